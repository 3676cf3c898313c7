#include "event_log.h"

#include <cstdio>
#include <stdexcept>

namespace zpc {

namespace {
const char* const kNames[] = {
    "",
    "low-battery alarm raised",
    "low-battery alarm cleared",
    "solar charger switched off (high battery)",
    "solar charger switched on again",
    "external input 1 alarm raised",
    "external input 1 alarm cleared",
    "external input 2 alarm raised",
    "external input 2 alarm cleared",
    "external input 3 alarm raised",
    "external input 3 alarm cleared",
    "AIS transponder alarm raised",
    "AIS transponder alarm cleared",
    "GPS coverage alarm raised",
    "GPS coverage alarm cleared",
    "start-up",
};

struct Fields {
    unsigned month, year, day, hour, minute;
};
Fields split(uint32_t v) {
    return {v / 100000000u, v / 1000000u % 100, v / 10000u % 100, v / 100u % 100, v % 100};
}
}  // namespace

bool Event::date_valid() const {
    const Fields f = split(packed_date);
    return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 && f.hour <= 23 && f.minute <= 59 && second <= 59;
}

std::string Event::when(bool iso) const {
    char buf[40];
    if (!date_valid()) {
        std::snprintf(buf, sizeof buf, "?%u+%us", packed_date, second);
        return buf;
    }
    const Fields f = split(packed_date);
    std::snprintf(buf, sizeof buf, iso ? "20%02u-%02u-%02uT%02u:%02u:%02uZ" : "20%02u-%02u-%02u %02u:%02u:%02u", f.year,
                  f.month, f.day, f.hour, f.minute, second);
    return buf;
}

std::string Event::name() const {
    if (code >= 1 && code <= 15) return kNames[code];
    return "unknown event " + std::to_string(code);
}

uint16_t log_index(uint16_t copy1, uint16_t copy2, uint16_t at254) {
    if (copy2 != 0xFFFF && copy1 == copy2) return copy1;
    return at254;
}

EventLog decode_log(const std::vector<uint8_t>& bytes, uint16_t copy1, uint16_t copy2) {
    if (bytes.size() < kLogEnd - kLogHeaderAt) throw std::invalid_argument("the event log is 4108 bytes from 252 on");
    EventLog log;
    log.restarts = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    log.at254 = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
    log.next_slot = log_index(copy1, copy2, log.at254);
    // The next record goes to the write index, so the oldest one is there
    // (or after it). An index past the ring: the unit starts again at slot 0.
    log.index_out_of_ring = log.next_slot >= kLogSlots;
    const uint16_t start = log.index_out_of_ring ? 0 : log.next_slot;
    for (uint16_t k = 0; k < kLogSlots; ++k) {
        const uint16_t slot = static_cast<uint16_t>((start + k) % kLogSlots);
        const uint8_t* r = bytes.data() + (kLogAt - kLogHeaderAt) + slot * kLogRecord;
        bool zero = true, erased = true;
        for (int i = 0; i < kLogRecord; ++i) {
            zero = zero && r[i] == 0x00;
            erased = erased && r[i] == 0xFF;
        }
        if (zero || erased) continue;   // wiped, or never written
        Event e;
        e.slot = slot;
        e.packed_date = static_cast<uint32_t>(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3];
        e.second = r[4];
        e.code = r[5];
        e.data = static_cast<uint16_t>(r[6] << 8 | r[7]);
        log.events.push_back(e);
    }
    return log;
}

}  // namespace zpc
