// What the device models on serial lines share: the queue of what they send,
// one small generator, the same on every host, and the corruption of bytes
// on a noisy line.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

namespace zsim {

// splitmix64: small, fast and the same on every host.
class SplitMix {
public:
    explicit SplitMix(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }

private:
    uint64_t state_;
};

// Bytes leaving a device back to back from `start`, one every `byte_time`:
// each whose stop bit falls in a noise window has one bit flipped with the
// window's probability.
inline void corrupt_line(std::string& bytes, vtime start, vtime byte_time, const std::vector<LineNoise>& noise,
                         SplitMix& rng) {
    if (noise.empty()) return;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const vtime t = start + (i + 1) * byte_time;
        for (const LineNoise& n : noise) {
            if (!n.window.covers(t)) continue;
            const uint64_t r = rng.next();
            if (static_cast<double>(r >> 11) / 9007199254740992.0 < n.rate) {
                bytes[i] = static_cast<char>(bytes[i] ^ (1u << (r & 7)));
            }
            break;
        }
    }
}

class Board;

// What a device sends on its line: sentences one after the other, each as
// soon as the line and its own time allow, so that clearing the queue (a
// power-off, a restart) stops the output between two sentences.
class LineOut {
public:
    // Puts the bytes on the line from `start`; false when the line carries
    // nothing (the device is cut off), so that it stays free.
    using Feed = std::function<bool(const std::string& text, vtime start)>;

    LineOut(Board& board, vtime byte_time, Feed feed) : board_(board), byte_time_(byte_time), feed_(std::move(feed)) {}

    void send(std::string text, vtime not_before);
    // Drops what is queued; bytes already on the line keep arriving.
    void clear();
    // Bytes waiting: those still leaving the device, and the queued ones.
    size_t backlog() const;

private:
    struct Out {
        std::string text;
        vtime not_before;
    };
    void pump();

    Board& board_;
    const vtime byte_time_;
    Feed feed_;
    std::deque<Out> out_;
    bool pump_pending_ = false;
    uint64_t gen_ = 0;      // bumped by clear(): a scheduled pump of the old queue is void
    vtime line_free_ = 0;   // when the last byte fed has left the device
};

}  // namespace zsim
