// Placeholder: the device model is being written.
#include "rtc.h"

#include "board.h"

namespace zsim {
Rtc::Rtc(Board& board, const Scenario& sc) : board_(board), setup_(sc.rtc) {}
Civil Rtc::time() const { return {}; }
bool Rtc::running() const { return false; }
bool Rtc::twelve_hour() const { return false; }
void Rtc::set_time(const Civil&) {}
void Rtc::stop() {}
size_t Rtc::on_write(const uint8_t*, size_t) { return 0; }
bool Rtc::on_read(uint8_t*, size_t) { return false; }
bool Rtc::present(vtime) const { return setup_.present; }
}  // namespace zsim
