// The unit's event log as stored: a ring of 513 records of 8 bytes from
// EEPROM address 256, the slot of the next record (the write index) at
// 254..255 and the restart counter at 252..253 (both most significant byte
// first). The unit keeps two more copies of the index, at 4608 and 4736.
//
// A record: packed date MMYYDDhhmm (uint32, MSB first), the second, the
// event code, the event's data (uint16, MSB first).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zpc {

constexpr uint16_t kLogHeaderAt = 252;     // restart counter, then the write index
constexpr uint16_t kLogAt = 256;
constexpr uint16_t kLogSlots = 513;
constexpr uint16_t kLogRecord = 8;
constexpr uint16_t kLogEnd = kLogAt + kLogSlots * kLogRecord;   // 4360
constexpr uint16_t kLogIndexCopy1 = 4608;
constexpr uint16_t kLogIndexCopy2 = 4736;

// The write index as the unit reads it: it writes copy 1, copy 2, then
// 254, each in a page of its own, so a loss of supply tears at most one.
// Copies 1 and 2 agreeing give the index, otherwise 254 does (all three
// differing too); copy 2 erased (0xFFFF) means the copies are not made yet.
uint16_t log_index(uint16_t copy1, uint16_t copy2, uint16_t at254);

struct Event {
    uint16_t slot = 0;
    uint32_t packed_date = 0;
    uint8_t second = 0;
    uint8_t code = 0;
    uint16_t data = 0;

    bool date_valid() const;
    // "2026-12-08 13:45:30" (`iso`: "2026-12-08T13:45:30Z"); the raw value when it does not decode.
    std::string when(bool iso = false) const;
    // What happened, in words.
    std::string name() const;
    // Battery events carry the voltage in hundredths of a volt.
    bool carries_volts() const { return code >= 1 && code <= 4; }
    double volts() const { return data / 100.0; }
};

struct EventLog {
    uint16_t restarts = 0;
    uint16_t next_slot = 0;          // as the unit reads it from its copies
    uint16_t at254 = 0;              // the copy at 254, the only one older units kept
    bool index_out_of_ring = false;  // the stored index names no slot (an erased EEPROM)
    std::vector<Event> events;       // oldest first
};

// `bytes` holds EEPROM addresses 252 .. 4359; `copy1` and `copy2` the index
// copies at 4608 and 4736 (erased: 254 alone counts).
EventLog decode_log(const std::vector<uint8_t>& bytes, uint16_t copy1 = 0xFFFF, uint16_t copy2 = 0xFFFF);

}  // namespace zpc
