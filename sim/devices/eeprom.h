// The SPI EEPROM (512 Kbit, 128-byte pages) on chip select pin 19: the
// instructions WREN, RDSR, READ and WRITE in SPI mode 0, MSB first; the
// write-enable latch; page wrap of writes; a timed internal write cycle.
//
// Loss of supply: the part forgets the instruction in progress and its
// write-enable latch (M95512 datasheet, power-up state: WEL reset, standby).
// A write cycle cut short leaves the bytes it was writing undefined (the
// datasheet wants no write cycle in progress at power-down): each of them
// gets a mix of its old and new bits, drawn from a generator seeded with the
// scenario's seed; the rest of the page keeps its bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device.h"
#include "host/buses.h"
#include "scenario.h"
#include "serial_line.h"

namespace zsim {

class Board;

class Eeprom : public Device, public zplat::SpiTarget {
public:
    static constexpr size_t kSize = 65536;
    static constexpr size_t kPage = 128;
    static constexpr vtime kWriteCycle = 5 * zplat::kMs;   // the data sheet's maximum

    // Contents: the image file when the scenario names one (created from the
    // default image when absent, kept up to date as the unit writes), else
    // the default image in memory.
    Eeprom(Board& board, const Scenario& sc);

    const std::vector<uint8_t>& contents() const { return mem_; }
    // Changes cells directly, as a programmer on the bench would (tests).
    void poke(uint16_t address, const std::vector<uint8_t>& bytes);
    uint32_t write_cycles() const { return write_cycles_; }
    // Another chip in its place, fitted or not, losing its writes or not
    // (fuzzing varies one board rather than building many).
    void refit(bool present, const std::vector<Window>& writes_lost) {
        setup_.present = present;
        setup_.writes_lost = writes_lost;
    }
    // Test hook: the status register's write-enable latch.
    bool write_enable_latch() const { return write_enable_; }

    // The unit's supply goes (a write cycle in progress is torn) and comes back.
    void power_lost();
    void power_restored() { powered_ = true; }
    // Write cycles torn by a loss of supply so far.
    uint32_t torn_cycles() const { return torn_cycles_; }

    // zplat::SpiTarget
    void on_select(bool selected) override;
    uint8_t on_exchange(uint8_t mosi, const SPISettings& settings) override;

private:
    bool present(vtime t) const;
    bool busy(vtime t) const { return t < busy_until_; }
    uint8_t status(vtime t) const;
    void finish_write(vtime t);
    void load_image();
    void save_page(uint16_t page_start);

    Board* board_;   // a pointer: a snapshot is put back by assignment, without reallocating the cells
    EepromSetup setup_;
    std::vector<uint8_t> mem_;
    std::string path_;

    // Instruction in progress between chip select falling and rising.
    bool selected_ = false;
    uint8_t instruction_ = 0;
    size_t byte_index_ = 0;
    bool ignored_ = false;               // this selection is not acted on
    uint16_t address_ = 0;
    bool write_enable_ = false;
    std::vector<uint8_t> page_buffer_;   // bytes of a WRITE, applied when CS rises
    std::vector<uint8_t> latched_;       // which page_buffer_ bytes were sent
    size_t data_count_ = 0;
    bool save_failed_ = false;
    vtime busy_until_ = 0;
    uint32_t write_cycles_ = 0;

    // The cycle in progress, for a loss of supply: its page, the bytes it
    // writes and what they held before.
    bool powered_ = true;
    bool cycle_applied_ = false;
    uint16_t cycle_page_ = 0;
    std::vector<uint8_t> cycle_old_;
    std::vector<uint8_t> cycle_latched_;
    uint32_t torn_cycles_ = 0;
    SplitMix tear_rng_;
};

}  // namespace zsim
