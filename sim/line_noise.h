// What the models share for a noisy world: one small generator, the same on
// every host, and the corruption of bytes on a serial line.
#pragma once
#include <cstdint>
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

}  // namespace zsim
