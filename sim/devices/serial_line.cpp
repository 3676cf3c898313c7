#include "serial_line.h"

#include <algorithm>

#include "board.h"

namespace zsim {

void LineOut::send(std::string text, vtime not_before) {
    out_.push_back(Out{std::move(text), not_before});
    if (!pump_pending_) pump();
}

void LineOut::clear() {
    ++gen_;
    out_.clear();
    pump_pending_ = false;
}

size_t LineOut::backlog() const {
    const vtime now = board_.now();
    size_t bytes = line_free_ > now ? static_cast<size_t>((line_free_ - now + byte_time_ - 1) / byte_time_) : 0;
    for (const Out& o : out_) bytes += o.text.size();
    return bytes;
}

void LineOut::pump() {
    pump_pending_ = false;
    if (out_.empty()) return;
    const vtime start = std::max(line_free_, out_.front().not_before);
    if (start <= board_.now()) {
        if (feed_(out_.front().text, start)) line_free_ = start + out_.front().text.size() * byte_time_;
        out_.pop_front();
        if (out_.empty()) return;
    }
    const vtime at = std::max(line_free_, out_.front().not_before);
    const uint64_t g = gen_;
    pump_pending_ = true;
    board_.schedule(at, [this, g] {
        if (g == gen_) pump();
    });
}

}  // namespace zsim
