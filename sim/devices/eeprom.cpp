#include "eeprom.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "board.h"
#include "default_image.h"

namespace zsim {

namespace {
constexpr uint8_t kWREN = 0x06;
constexpr uint8_t kRDSR = 0x05;
constexpr uint8_t kREAD = 0x03;
constexpr uint8_t kWRITE = 0x02;

constexpr uint8_t kStatusWIP = 0x01;
constexpr uint8_t kStatusWEL = 0x02;

constexpr uint32_t kMaxClockHz = 16000000;   // fastest clock the part accepts
constexpr uint8_t kIdle = 0xFF;              // MISO released: the pull-up reads ones

bool settings_ok(const SPISettings& s) {
    return s.data_mode() == SPI_MODE0 && s.bit_order() == MSBFIRST && s.clock() <= kMaxClockHz;
}
}  // namespace

Eeprom::Eeprom(Board& board, const Scenario& sc)
    : board_(&board),
      setup_(sc.eeprom),
      path_(sc.eeprom.image_path),
      page_buffer_(kPage, 0),
      latched_(kPage, 0),
      cycle_old_(kPage, 0),
      cycle_latched_(kPage, 0),
      tear_rng_(sc.seed ^ 0xE2E2E2E2E2E2E2E2ull) {
    load_image();
}

// The file, when named, is the chip's contents across runs: created from the
// default image the first time, reused afterwards.
void Eeprom::load_image() {
    if (path_.empty()) {
        mem_ = default_eeprom_image();
        if (mem_.size() != kSize) throw std::runtime_error("default EEPROM image has the wrong size");
        return;
    }
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        mem_ = default_eeprom_image();
        if (mem_.size() != kSize) throw std::runtime_error("default EEPROM image has the wrong size");
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(mem_.data()), static_cast<std::streamsize>(mem_.size()));
        if (!out) throw std::runtime_error("EEPROM image " + path_ + ": cannot be created");
        return;
    }
    std::ifstream in(path_, std::ios::binary);
    if (!in) throw std::runtime_error("EEPROM image " + path_ + ": cannot be opened");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != kSize) {
        throw std::runtime_error("EEPROM image " + path_ + ": " + std::to_string(bytes.size()) +
                                 " bytes, an image must be exactly " + std::to_string(kSize) + " bytes");
    }
    mem_ = std::move(bytes);
}

// Rewrites one page in place. A failure cannot be thrown through the
// firmware's frames, so it is reported once and memory stays authoritative.
void Eeprom::save_page(uint16_t page_start) {
    if (path_.empty()) return;
    std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
    if (f) {
        f.seekp(page_start);
        f.write(reinterpret_cast<const char*>(mem_.data() + page_start), static_cast<std::streamsize>(kPage));
        f.flush();
    }
    if (!f && !save_failed_) {
        save_failed_ = true;
        std::cerr << "EEPROM image " << path_ << ": cannot be updated; further writes stay in memory\n";
    }
}

void Eeprom::poke(uint16_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) mem_[(address + i) % kSize] = bytes[i];
    if (bytes.empty()) return;
    // Every page touched, in the file too.
    const size_t pages = bytes.size() >= kSize ? kSize / kPage : (address % kPage + bytes.size() + kPage - 1) / kPage;
    for (size_t p = 0; p < pages; ++p) {
        save_page(static_cast<uint16_t>((address / kPage + p) % (kSize / kPage) * kPage));
    }
}

bool Eeprom::present(vtime t) const {
    if (!setup_.present) return false;
    for (const Window& w : setup_.absent) {
        if (w.covers(t)) return false;
    }
    return true;
}

uint8_t Eeprom::status(vtime t) const {
    return static_cast<uint8_t>((busy(t) ? kStatusWIP : 0) | (write_enable_ ? kStatusWEL : 0));
}

void Eeprom::power_lost() {
    const vtime t = board_->now();
    if (powered_ && busy(t) && cycle_applied_) {
        for (size_t off = 0; off < kPage; ++off) {
            if (!cycle_latched_[off]) continue;
            const uint8_t keep_old = static_cast<uint8_t>(tear_rng_.next());
            uint8_t& cell = mem_[cycle_page_ + off];
            cell = static_cast<uint8_t>((cycle_old_[off] & keep_old) | (cell & ~keep_old));
        }
        ++torn_cycles_;
        save_page(cycle_page_);
    }
    powered_ = false;
    selected_ = false;
    write_enable_ = false;
    busy_until_ = 0;
}

void Eeprom::on_select(bool selected) {
    if (!powered_) return;
    const vtime t = board_->now();
    if (selected) {
        selected_ = true;
        instruction_ = 0;
        byte_index_ = 0;
        data_count_ = 0;
        std::fill(latched_.begin(), latched_.end(), 0);   // an aborted WRITE leaves nothing behind
        ignored_ = !present(t);
        return;
    }
    if (!selected_) return;
    selected_ = false;
    if (ignored_ || byte_index_ == 0 || !present(t)) return;
    if (instruction_ == kWREN) write_enable_ = true;
    else if (instruction_ == kWRITE) finish_write(t);
}

// Chip select rose after a WRITE accepted with the latch set: the latched
// bytes go into their page and the internal cycle starts.
void Eeprom::finish_write(vtime t) {
    write_enable_ = false;
    if (byte_index_ < 3 || data_count_ == 0) return;   // no complete address or no data: nothing to do
    busy_until_ = t + kWriteCycle;
    ++write_cycles_;
    bool lost = false;
    for (const Window& w : setup_.writes_lost) lost = lost || w.covers(t);
    const uint16_t page_start = static_cast<uint16_t>(address_ & ~(kPage - 1));
    cycle_applied_ = !lost;
    cycle_page_ = page_start;
    for (size_t off = 0; off < kPage; ++off) {
        cycle_old_[off] = mem_[page_start + off];
        cycle_latched_[off] = latched_[off];
        if (latched_[off] && !lost) mem_[page_start + off] = page_buffer_[off];
    }
    if (!lost) save_page(page_start);
}

uint8_t Eeprom::on_exchange(uint8_t mosi, const SPISettings& settings) {
    if (!selected_ || !powered_) return kIdle;
    const vtime t = board_->now();
    // Wrong mode, order or speed: the bits the part sees are garbage.
    if (!present(t) || !settings_ok(settings)) ignored_ = true;
    if (ignored_) return kIdle;

    const size_t index = byte_index_++;
    if (index == 0) {
        instruction_ = mosi;
        const bool known = mosi == kWREN || mosi == kRDSR || mosi == kREAD || mosi == kWRITE;
        // While the cycle runs only RDSR is decoded; a WRITE needs the latch.
        if (!known || (busy(t) && mosi != kRDSR)) ignored_ = true;
        else if (mosi == kWRITE && !write_enable_) ignored_ = true;
        return kIdle;
    }
    switch (instruction_) {
        case kRDSR:
            return status(t);
        case kREAD:
            if (index == 1) address_ = static_cast<uint16_t>(mosi << 8);
            else if (index == 2) address_ = static_cast<uint16_t>(address_ | mosi);
            else {
                const uint8_t b = mem_[address_];
                address_ = static_cast<uint16_t>(address_ + 1);   // wraps at 64 KiB
                return b;
            }
            return kIdle;
        case kWRITE:
            if (index == 1) address_ = static_cast<uint16_t>(mosi << 8);
            else if (index == 2) address_ = static_cast<uint16_t>(address_ | mosi);
            else {
                // Past the page end the column address wraps within the page.
                const size_t off = (address_ % kPage + data_count_) % kPage;
                page_buffer_[off] = mosi;
                latched_[off] = 1;
                ++data_count_;
            }
            return kIdle;
        default:
            return kIdle;
    }
}

}  // namespace zsim
