// The chip's peripheral models against a fake chip (a small event queue) and
// fake wires, driven through their registers as firmware would drive them.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <queue>

#include "nvic.h"
#include "nvm.h"
#include "peripherals.h"

namespace zchip {
namespace {

// Register addresses (datasheet register summaries).
constexpr uint32_t kGclk = 0x40001800, kMclk = 0x40000400, kOscctrl = 0x40000C00, kWdt = 0x40001C00;
constexpr uint32_t kAdc = 0x43000C00, kTc0 = 0x42002000;
constexpr uint32_t kSercom0 = 0x42000000, kSercom2 = 0x42000800, kSercom4 = 0x42001000;
uint32_t pchctrl(unsigned m) { return kGclk + 0x80 + 4 * m; }
uint32_t genctrl(unsigned g) { return kGclk + 0x20 + 4 * g; }

class FakeWires : public Wires {
public:
    struct Sent {
        PadSet tx;
        uint8_t byte;
        vtime at;
        double baud;
    };
    std::map<std::pair<int, int>, PadDrive> drives;
    std::map<std::pair<int, int>, double> volts;
    std::map<std::pair<int, int>, bool> levels;
    std::vector<Sent> sent;
    std::vector<std::pair<uint8_t, SpiFormat>> spi;
    // An I2C device at 0x6F: a register pointer and 256 registers.
    std::array<uint8_t, 256> mem{};
    uint8_t pointer = 0;
    int i2c_writes = 0;

    void pad_driven(Group g, uint8_t pin, const PadDrive& d) override { drives[{int(g), pin}] = d; }
    bool pad_level(Group g, uint8_t pin) override { return levels[{int(g), pin}]; }
    double pad_volts(Group g, uint8_t pin) override { return volts[{int(g), pin}]; }
    void serial_out(PadSet tx, uint8_t b, vtime at, double baud) override { sent.push_back({tx, b, at, baud}); }
    uint8_t spi_exchange(const SpiPads&, uint8_t mosi, const SpiFormat& f) override {
        spi.emplace_back(mosi, f);
        return static_cast<uint8_t>(~mosi);
    }
    size_t i2c_write(const I2cPads&, uint8_t address, const uint8_t* data, size_t n) override {
        if (address != 0x6F) return 0;
        ++i2c_writes;
        if (n > 0) pointer = data[0];
        for (size_t i = 1; i < n; ++i) mem[pointer++] = data[i];
        return n;
    }
    bool i2c_read(const I2cPads&, uint8_t address, uint8_t* out, size_t n) override {
        if (address != 0x6F) return false;
        for (size_t i = 0; i < n; ++i) out[i] = mem[pointer++];
        return true;
    }
};

class FakeChip : public Chip {
public:
    vtime t = 0;
    uint32_t lines = 0;
    std::vector<std::pair<uint8_t, vtime>> rises;   // line, time
    std::vector<std::pair<std::string, vtime>> resets;
    std::vector<std::string> reports;
    int cpu_changes = 0;
    FakeWires w;
    std::function<void(uint8_t)> on_rise;   // an interrupt handler

    vtime now() const override { return t; }
    uint32_t pc() const override { return 0; }
    void schedule(vtime at, std::function<void()> fn) override {
        EXPECT_GE(at, t);
        q.push(Ev{at, seq++, std::move(fn)});
    }
    void set_irq(uint8_t line, bool raised) override {
        const bool was = (lines >> line) & 1u;
        if (raised) lines |= 1u << line;
        else lines &= ~(1u << line);
        if (raised && !was) {
            rises.emplace_back(line, t);
            if (on_rise) on_rise(line);
        }
    }
    void system_reset(const std::string& cause) override { resets.emplace_back(cause, t); }
    void forbidden(const std::string& what) override { reports.push_back(what); }
    void cpu_clock_changed() override { ++cpu_changes; }
    Wires& wires() override { return w; }

    void run_until(vtime end) {
        while (!q.empty() && q.top().at <= end) {
            Ev e = q.top();
            q.pop();
            t = e.at;
            e.fn();
        }
        t = end;
    }
    void run_for(vtime d) { run_until(t + d); }
    // Runs events until `cond` holds (false if it never does within `limit`).
    bool run_until_true(const std::function<bool()>& cond, vtime limit = zplat::kSec) {
        const vtime end = t + limit;
        while (!cond()) {
            if (q.empty() || q.top().at > end) return false;
            Ev e = q.top();
            q.pop();
            t = e.at;
            e.fn();
        }
        return true;
    }
    bool reported(const std::string& part) const {
        for (const auto& r : reports)
            if (r.find(part) != std::string::npos) return true;
        return false;
    }

private:
    struct Ev {
        vtime at;
        uint64_t seq;
        std::function<void()> fn;
        bool operator<(const Ev& o) const { return at != o.at ? at > o.at : seq > o.seq; }
    };
    std::priority_queue<Ev> q;
    uint64_t seq = 0;
};

class PeripheralsTest : public ::testing::Test {
protected:
    FakeChip chip;
    Peripherals p{chip};

    Peripheral* at(uint32_t addr) {
        for (Peripheral* x : p.all())
            if (addr >= x->base() && addr < x->base() + x->size()) return x;
        return nullptr;
    }
    uint32_t rd(uint32_t addr, unsigned w = 4) {
        uint32_t v = 0;
        Peripheral* x = at(addr);
        EXPECT_NE(x, nullptr);
        if (x) {
            EXPECT_TRUE(x->read(addr - x->base(), w, v));
        }
        return v;
    }
    void wr(uint32_t addr, uint32_t v, unsigned w = 4) {
        Peripheral* x = at(addr);
        ASSERT_NE(x, nullptr);
        EXPECT_TRUE(x->write(addr - x->base(), w, v));
    }
    // Waits, as firmware polls, until `mask` clears in the register.
    void until_clear(uint32_t addr, uint32_t mask, unsigned w = 4) {
        ASSERT_TRUE(chip.run_until_true([&] { return (rd(addr, w) & mask) == 0; })) << std::hex << addr;
    }
    // A peripheral channel on a generator, as the firmware does it.
    void channel(unsigned m, unsigned gen) {
        wr(pchctrl(m), (1u << 6) | gen);
        ASSERT_TRUE(chip.run_until_true([&] { return (rd(pchctrl(m)) & (1u << 6)) != 0; }));
    }
};

TEST_F(PeripheralsTest, ClocksAfterResetAndOsc16mRetunedAsTheDatasheetAllows) {
    EXPECT_DOUBLE_EQ(p.cpu_hz(), 4e6);
    // FSEL while enabled: reported and not taken.
    wr(kOscctrl + 0x14, 0x86, 1);   // ENABLE, FSEL 8 MHz, ONDEMAND
    EXPECT_TRUE(chip.reported("FSEL"));
    EXPECT_DOUBLE_EQ(p.oscctrl().osc16m_hz(), 4e6);

    // The sequence: generator 0 to OSCULP32K, OSC16M off, 8 MHz, on, back.
    wr(genctrl(0), 0x00000103);
    until_clear(kGclk + 0x04, 1u << 2);
    EXPECT_DOUBLE_EQ(p.cpu_hz(), 32768.0);
    wr(kOscctrl + 0x14, 0x84, 1);   // disabled, 8 MHz
    EXPECT_EQ(rd(kOscctrl + 0x0C) & (1u << 4), 0u);
    // On demand and requested by nobody, it does not start.
    wr(kOscctrl + 0x14, 0x86, 1);
    EXPECT_FALSE(chip.run_until_true([&] { return (rd(kOscctrl + 0x0C) & (1u << 4)) != 0; }, zplat::kMs));
    chip.reports.clear();
    // Generator 0 switching to it requests it; SYNCBUSY holds until it runs.
    wr(genctrl(0), 0x00000106);
    const vtime requested = chip.t;
    ASSERT_TRUE(chip.run_until_true([&] { return (rd(kOscctrl + 0x0C) & (1u << 4)) != 0; }));
    EXPECT_EQ(chip.t - requested, Oscctrl::startup_ns(1));
    until_clear(kGclk + 0x04, 1u << 2);
    EXPECT_DOUBLE_EQ(p.cpu_hz(), 8e6);
    EXPECT_GE(chip.cpu_changes, 2);
    // 8 MHz at PL0 needs a flash wait state (NVMCTRL CTRLB.RWS still 0).
    EXPECT_TRUE(chip.reported("too few flash wait states"));
    wr(kMclk + 0x04, 2, 1);   // CPUDIV 2
    EXPECT_DOUBLE_EQ(p.cpu_hz(), 4e6);
}

TEST_F(PeripheralsTest, UsartBitRateFromBaudAndGclkAndAMismatchedSenderGarbled) {
    channel(18, 0);   // GCLK_SERCOM0_CORE from generator 0, 4 MHz
    const uint32_t baud = static_cast<uint32_t>(65536.0 * (1.0 - 16.0 * 9600.0 / 4e6));
    wr(kSercom0 + 0x00, (1u << 2) | (1u << 20));   // USART internal clock, RX on PAD1
    wr(kSercom0 + 0x04, (1u << 16) | (1u << 17));  // TXEN, RXEN
    wr(kSercom0 + 0x0C, baud, 2);
    wr(kSercom0 + 0x00, (1u << 2) | (1u << 20) | 2u);
    until_clear(kSercom0 + 0x1C, 0x7);
    const double rate = 4e6 / 16.0 * (1.0 - baud / 65536.0);
    EXPECT_DOUBLE_EQ(p.sercom(0).usart_baud(), rate);

    EXPECT_EQ(rd(kSercom0 + 0x18, 1) & 1u, 1u);   // DRE
    wr(kSercom0 + 0x28, 'A', 2);
    const vtime start = chip.t;
    ASSERT_TRUE(chip.run_until_true([&] { return (rd(kSercom0 + 0x18, 1) & 2u) != 0; }));   // TXC
    ASSERT_EQ(chip.w.sent.size(), 1u);
    EXPECT_EQ(chip.w.sent[0].byte, 'A');
    EXPECT_EQ(chip.w.sent[0].at - start, static_cast<vtime>(std::llround(10e9 / rate)));
    EXPECT_DOUBLE_EQ(chip.w.sent[0].baud, rate);

    // A sender at the receiver's rate is taken as sent.
    p.line_in(0, 0x55, chip.t, 9600);
    EXPECT_EQ(rd(kSercom0 + 0x18, 1) & 4u, 4u);   // RXC
    EXPECT_EQ(rd(kSercom0 + 0x28, 2), 0x55u);
    EXPECT_EQ(rd(kSercom0 + 0x1A, 2), 0u);
    // 14400 baud is far outside the receiver's tolerance: framing error, garbage.
    p.line_in(0, 0x55, chip.t, 14400);
    EXPECT_EQ(rd(kSercom0 + 0x1A, 2) & 2u, 2u);   // FERR
    EXPECT_EQ(rd(kSercom0 + 0x18, 1) & 0x80u, 0x80u);   // ERROR
    bool stop_ok;
    const uint8_t garbled = Sercom::sample_frame(0x55, 14400, rate, 16, stop_ok);
    EXPECT_NE(garbled, 0x55);
    EXPECT_EQ(rd(kSercom0 + 0x28, 2), garbled);
    // The datasheet's tolerance for 16x, 8 data bits: 96.00 % .. 105.26 %.
    double slow, fast;
    Sercom::tolerance(16, 8, slow, fast);
    EXPECT_NEAR(slow, 0.9600, 1e-4);
    EXPECT_NEAR(fast, 1.0526, 1e-4);
}

TEST_F(PeripheralsTest, OverflowWhenDataIsNotReadInTime) {
    channel(18, 0);
    wr(kSercom0 + 0x04, 1u << 17);
    wr(kSercom0 + 0x0C, 63019, 2);
    wr(kSercom0 + 0x00, (1u << 2) | 2u);
    until_clear(kSercom0 + 0x1C, 0x7);
    for (uint8_t b = 1; b <= 4; ++b) p.line_in(0, b, chip.t, 9600);
    EXPECT_EQ(rd(kSercom0 + 0x28, 2), 1u);
    EXPECT_EQ(rd(kSercom0 + 0x28, 2), 2u);
    EXPECT_EQ(rd(kSercom0 + 0x1A, 2) & 4u, 0u);
    EXPECT_EQ(rd(kSercom0 + 0x28, 2), 3u);
    EXPECT_EQ(rd(kSercom0 + 0x18, 1) & 4u, 0u);   // the fourth was lost
    p.line_in(0, 5, chip.t, 9600);
    EXPECT_EQ(rd(kSercom0 + 0x1A, 2) & 4u, 4u);   // BUFOVF travels with the next byte
    EXPECT_EQ(rd(kSercom0 + 0x28, 2), 5u);
}

TEST_F(PeripheralsTest, SyncbusyLastsTheSynchronisationDelayAndProtectsEnabledFields) {
    channel(27, 0);   // GCLK_TC0 at 4 MHz
    wr(kTc0 + 0x00, 2u);   // ENABLE
    const vtime d = static_cast<vtime>(std::llround((5.5 / 4e6 + 2.5 / 4e6) * 1e9));
    EXPECT_EQ(rd(kTc0 + 0x10) & 2u, 2u);
    chip.run_for(d - 1);
    EXPECT_EQ(rd(kTc0 + 0x10) & 2u, 2u);
    chip.run_for(1);
    EXPECT_EQ(rd(kTc0 + 0x10) & 2u, 0u);
    // Enable-protected: the prescaler does not change while enabled.
    wr(kTc0 + 0x00, 2u | (3u << 8));
    EXPECT_EQ((rd(kTc0 + 0x00) >> 8) & 7u, 0u);
    EXPECT_TRUE(chip.reported("enable-protected"));
    // A write to a register still synchronising is discarded.
    wr(kTc0 + 0x1C, 100, 2);
    wr(kTc0 + 0x1C, 200, 2);
    EXPECT_TRUE(chip.reported("SYNCBUSY.CC0"));
    until_clear(kTc0 + 0x10, 0xFF);
    EXPECT_EQ(rd(kTc0 + 0x1C, 2), 100u);
}

TEST_F(PeripheralsTest, Tc0MatchPeriodFromCc0AndPrescaler) {
    wr(genctrl(1), 0x00000106);   // generator 1: OSC16M, 4 MHz
    until_clear(kGclk + 0x04, 1u << 3);
    channel(27, 1);
    wr(kTc0 + 0x00, 2u << 8);     // PRESCALER DIV4: 1 MHz ticks
    wr(kTc0 + 0x0C, 1, 1);        // MFRQ
    wr(kTc0 + 0x1C, 999, 2);
    until_clear(kTc0 + 0x10, 0xFF);
    wr(kTc0 + 0x09, 1u << 4, 1);  // INTENSET MC0
    chip.on_rise = [this](uint8_t line) {
        if (line == 17) wr(kTc0 + 0x0A, 1u << 4, 1);   // the handler clears MC0
    };
    wr(kTc0 + 0x00, (2u << 8) | 2u);
    until_clear(kTc0 + 0x10, 0xFF);
    const vtime t0 = chip.t;
    chip.run_for(10 * zplat::kMs + 1);
    std::vector<vtime> ticks;
    for (auto& r : chip.rises)
        if (r.first == 17) ticks.push_back(r.second - t0);
    ASSERT_EQ(ticks.size(), 10u);
    EXPECT_EQ(ticks[0], 999000u);                 // CC0 ticks to the first match
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_EQ(ticks[i] - ticks[i - 1], 1000000u);   // CC0 + 1
    // COUNT reads what READSYNC latched.
    wr(kTc0 + 0x05, 4u << 5, 1);
    until_clear(kTc0 + 0x10, 1u << 2);
    EXPECT_LE(rd(kTc0 + 0x14, 2), 999u);
    // Without its generic clock the counter stops.
    wr(pchctrl(27), 1);
    chip.run_for(zplat::kMs);
    const size_t n = chip.rises.size();
    chip.run_for(5 * zplat::kMs);
    EXPECT_EQ(chip.rises.size(), n);
    EXPECT_FALSE(p.tc(0).running());
}

TEST_F(PeripheralsTest, WatchdogEarlyWarningAndResetAtItsPeriod) {
    std::vector<vtime> clears;
    p.on_watchdog_clear = [&](vtime t) { clears.push_back(t); };
    wr(kWdt + 0x01, 8, 1);        // PER: 2048 cycles, 2 s
    wr(kWdt + 0x02, 7, 1);        // EWOFFSET: 1024 cycles, 1 s
    wr(kWdt + 0x05, 1, 1);        // INTENSET EW
    wr(kWdt + 0x00, 2, 1);        // ENABLE
    const vtime d = static_cast<vtime>(std::llround((5.5 / 1024.0 + 2.5 / 4e6) * 1e9));
    until_clear(kWdt + 0x08, 2);
    EXPECT_EQ(chip.t, d);
    // Enable-protected while on.
    wr(kWdt + 0x01, 9, 1);
    EXPECT_EQ(rd(kWdt + 0x01, 1), 8u);
    chip.run_for(zplat::kSec);
    ASSERT_FALSE(chip.rises.empty());
    EXPECT_EQ(chip.rises.back(), std::make_pair(uint8_t{1}, d + zplat::kSec));
    // A clear with the key restarts the period.
    wr(kWdt + 0x0C, 0xA5, 1);
    const vtime cleared = chip.t + d;
    chip.run_for(2 * zplat::kSec - 1);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0], cleared);
    EXPECT_TRUE(chip.resets.empty());
    chip.run_until(cleared + 2 * zplat::kSec);
    ASSERT_EQ(chip.resets.size(), 1u);
    EXPECT_EQ(chip.resets[0], std::make_pair(std::string("watchdog"), cleared + 2 * zplat::kSec));
}

TEST_F(PeripheralsTest, WatchdogWrongKeyResetsOnceSynchronised) {
    wr(kWdt + 0x00, 2, 1);
    until_clear(kWdt + 0x08, 2);
    wr(kWdt + 0x0C, 0x00, 1);
    EXPECT_EQ(rd(kWdt + 0x08) & (1u << 4), 1u << 4);
    wr(kWdt + 0x0C, 0xA5, 1);
    EXPECT_TRUE(chip.reported("SYNCBUSY.CLEAR"));
    until_clear(kWdt + 0x08, 1u << 4);
    ASSERT_EQ(chip.resets.size(), 1u);
}

TEST_F(PeripheralsTest, WithoutItsBusClockAPeripheralIgnoresWritesAndReadsZero) {
    wr(kMclk + 0x1C, 0x7FFF & ~(1u << 8));   // APBCMASK: TC0 off
    wr(kTc0 + 0x1C, 1234, 2);
    EXPECT_EQ(rd(kTc0 + 0x1C, 2), 0u);
    EXPECT_TRUE(chip.reported("without its bus clock"));
    wr(kMclk + 0x1C, 0x7FFF);
    EXPECT_EQ(rd(kTc0 + 0x1C, 2), 0u);   // the write never happened
    // An access nobody modelled is reported with its place.
    rd(kSercom0 + 0x3C);
    EXPECT_TRUE(chip.reported("SERCOM0+0x3C"));
    EXPECT_EQ(p.report().unmodelled_count(), 1u);
}

TEST_F(PeripheralsTest, AdcResultForAVoltsInputAt12Bits) {
    channel(30, 0);   // GCLK_ADC 4 MHz
    chip.w.volts[{int(Group::B), 0}] = 1.65;   // AIN8
    wr(0x40002800 + 0x80 + 0x30, 1, 1);        // PB00 on function B, its analog function
    wr(0x40002800 + 0x80 + 0x40, 1, 1);        // PINCFG0.PMUXEN
    wr(kAdc + 0x01, 0, 1);                     // PRESCALER DIV2: CLK_ADC 2 MHz
    wr(kAdc + 0x02, 5, 1);                     // REFSEL INTVCC2 = VDDANA
    wr(kAdc + 0x08, 8, 2);                     // MUXPOS AIN8
    wr(kAdc + 0x2C, nvm::kAdcCalib, 2);        // the factory trims
    wr(kAdc + 0x00, 2, 1);
    until_clear(kAdc + 0x20, 0xFFFF, 2);
    wr(kAdc + 0x18, 2, 1);                     // START
    const vtime start = chip.t;
    ASSERT_TRUE(chip.run_until_true([&] { return (rd(kAdc + 0x06, 1) & 1u) != 0; }));
    const vtime sync = static_cast<vtime>(std::llround((5.5 / 4e6 + 2.5 / 4e6) * 1e9));
    EXPECT_EQ(chip.t - start, sync + 6500);    // (SAMPLEN + 1) + 12 cycles of 2 MHz
    EXPECT_EQ(rd(kAdc + 0x24, 2), 2048u);
    EXPECT_EQ(rd(kAdc + 0x06, 1) & 1u, 0u);    // reading RESULT cleared RESRDY
    // 10 bits of 3.3 V full scale.
    chip.w.volts[{int(Group::B), 0}] = 3.3;
    wr(kAdc + 0x0A, 2u << 4, 2);
    until_clear(kAdc + 0x20, 0xFFFF, 2);
    wr(kAdc + 0x18, 2, 1);
    ASSERT_TRUE(chip.run_until_true([&] { return (rd(kAdc + 0x06, 1) & 1u) != 0; }));
    EXPECT_EQ(rd(kAdc + 0x24, 2), 1023u);
}

TEST_F(PeripheralsTest, SpiExchangeAtTheSckFromBaud) {
    channel(22, 0);   // GCLK_SERCOM4_CORE
    wr(kSercom4 + 0x00, (3u << 2) | (1u << 16) | (1u << 29) | (1u << 28));   // SPI master, DOPO 1, CPOL, CPHA
    wr(kSercom4 + 0x04, 1u << 17);   // RXEN
    wr(kSercom4 + 0x0C, 1, 1);       // 4 MHz / (2 × 2) = 1 MHz
    wr(kSercom4 + 0x00, (3u << 2) | (1u << 16) | (1u << 29) | (1u << 28) | 2u);
    until_clear(kSercom4 + 0x1C, 0x7);
    wr(kSercom4 + 0x28, 0xA5);
    const vtime start = chip.t;
    ASSERT_TRUE(chip.run_until_true([&] { return (rd(kSercom4 + 0x18, 1) & 4u) != 0; }));
    EXPECT_EQ(chip.t - start, 8000u);
    ASSERT_EQ(chip.w.spi.size(), 1u);
    EXPECT_EQ(chip.w.spi[0].first, 0xA5);
    EXPECT_EQ(chip.w.spi[0].second.hz, 1000000u);
    EXPECT_TRUE(chip.w.spi[0].second.cpol);
    EXPECT_TRUE(chip.w.spi[0].second.cpha);
    EXPECT_FALSE(chip.w.spi[0].second.lsb_first);
    EXPECT_EQ(rd(kSercom4 + 0x28), 0x5Au);
}

TEST_F(PeripheralsTest, I2cWriteAndReadTransactions) {
    channel(20, 0);   // GCLK_SERCOM2_CORE
    const uint32_t ctrla = 5u << 2;   // I2C master
    wr(kSercom2 + 0x00, ctrla);
    wr(kSercom2 + 0x0C, 15);          // 4 MHz / (10 + 30) = 100 kHz
    wr(kSercom2 + 0x00, ctrla | 2u);
    until_clear(kSercom2 + 0x1C, 0x7);
    EXPECT_DOUBLE_EQ(p.sercom(2).i2c_scl_hz(), 100000.0);
    wr(kSercom2 + 0x1A, 1u << 4, 2);  // force the bus idle
    until_clear(kSercom2 + 0x1C, 0x7);
    auto mb = [&] { return (rd(kSercom2 + 0x18, 1) & 1u) != 0; };
    auto sb = [&] { return (rd(kSercom2 + 0x18, 1) & 2u) != 0; };

    // Write 0x20, 0x11, 0x22 to the device at 0x6F.
    wr(kSercom2 + 0x24, 0x6Fu << 1);
    ASSERT_TRUE(chip.run_until_true(mb));
    EXPECT_EQ(rd(kSercom2 + 0x1A, 2) & 4u, 0u);   // ACK
    for (uint8_t b : {0x20, 0x11, 0x22}) {
        wr(kSercom2 + 0x28, b, 1);
        ASSERT_TRUE(chip.run_until_true(mb));
    }
    wr(kSercom2 + 0x04, 3u << 16);    // STOP
    ASSERT_TRUE(chip.run_until_true([&] { return ((rd(kSercom2 + 0x1A, 2) >> 4) & 3u) == 1; }));
    EXPECT_EQ(chip.w.mem[0x20], 0x11);
    EXPECT_EQ(chip.w.mem[0x21], 0x22);

    // Point at 0x20, then read two bytes back.
    wr(kSercom2 + 0x24, 0x6Fu << 1);
    ASSERT_TRUE(chip.run_until_true(mb));
    wr(kSercom2 + 0x28, 0x20, 1);
    ASSERT_TRUE(chip.run_until_true(mb));
    wr(kSercom2 + 0x24, (0x6Fu << 1) | 1u);   // repeated START, read
    ASSERT_TRUE(chip.run_until_true(sb));
    EXPECT_EQ(rd(kSercom2 + 0x28, 1), 0x11u);
    wr(kSercom2 + 0x04, 2u << 16);            // ACK, next byte
    ASSERT_TRUE(chip.run_until_true(sb));
    EXPECT_EQ(rd(kSercom2 + 0x28, 1), 0x22u);
    wr(kSercom2 + 0x04, (1u << 18) | (3u << 16));   // NACK, STOP
    ASSERT_TRUE(chip.run_until_true([&] { return ((rd(kSercom2 + 0x1A, 2) >> 4) & 3u) == 1; }));

    // Nobody at 0x50: the address is not acknowledged.
    wr(kSercom2 + 0x24, 0x50u << 1);
    ASSERT_TRUE(chip.run_until_true(mb));
    EXPECT_EQ(rd(kSercom2 + 0x1A, 2) & 4u, 4u);   // RXNACK
    wr(kSercom2 + 0x04, 3u << 16);
    EXPECT_TRUE(chip.reports.empty()) << chip.reports.front();
}

TEST_F(PeripheralsTest, PortDrivesPadsAndReadsOnlyWithTheInputBufferOn) {
    const uint32_t port = 0x40002800;
    wr(port + 0x80 + 0x08, 1u << 2);      // PB02 output
    wr(port + 0x80 + 0x18, 1u << 2);      // high
    auto d = chip.w.drives[{int(Group::B), 2}];
    EXPECT_TRUE(d.output);
    EXPECT_TRUE(d.level);
    chip.w.levels[{int(Group::A), 5}] = true;
    EXPECT_EQ(rd(port + 0x20), 0u);   // input buffer off: reads 0
    // WRCONFIG: PA04/PA05 to function D with the input buffer on.
    wr(port + 0x28, (1u << 30) | (1u << 28) | (3u << 24) | (1u << 17) | (1u << 16) | 0x30u);
    d = chip.w.drives[{int(Group::A), 5}];
    EXPECT_TRUE(d.function);
    EXPECT_TRUE(d.input);
    EXPECT_EQ(d.mux, 3);
    EXPECT_EQ(rd(port + 0x30 + 2, 1), 0x33u);
    EXPECT_EQ(rd(port + 0x20), 1u << 5);
    EXPECT_EQ(rd(0x60000000 + 0x80 + 0x10), 1u << 2);   // the same registers on the IOBUS
}


TEST_F(PeripheralsTest, GeneratorDividersAndChannelsFollowTheirSources) {
    // Generator 1: OSC16M / 4 = 1 MHz; generator 2: generator 1 / 2^(1+1) = 250 kHz.
    wr(genctrl(1), (4u << 16) | 0x106);
    wr(genctrl(2), (1u << 16) | (1u << 12) | 0x102);
    until_clear(kGclk + 0x04, 0x3FF);
    EXPECT_DOUBLE_EQ(p.gclk().generator_hz(1), 1e6);
    EXPECT_DOUBLE_EQ(p.gclk().generator_hz(2), 250e3);
    // CHEN reads its old state until synchronised with the generator.
    wr(pchctrl(30), (1u << 6) | 2);
    EXPECT_EQ(rd(pchctrl(30)) & (1u << 6), 0u);
    ASSERT_TRUE(chip.run_until_true([&] { return (rd(pchctrl(30)) & (1u << 6)) != 0; }));
    EXPECT_DOUBLE_EQ(p.gclk().channel_hz(30), 250e3);
    // A channel on a generator that does not run never synchronises.
    wr(pchctrl(31), (1u << 6) | 5);
    chip.run_for(zplat::kMs);
    EXPECT_EQ(rd(pchctrl(31)) & (1u << 6), 0u);
    EXPECT_TRUE(chip.reported("generic clock that does not run"));
    // Reserved CPUDIV values are refused.
    wr(kMclk + 0x04, 3, 1);
    EXPECT_EQ(rd(kMclk + 0x04, 1), 1u);
    EXPECT_TRUE(chip.reported("CPUDIV"));
}

TEST_F(PeripheralsTest, UsartBaudIsEnableProtected) {
    channel(18, 0);
    wr(kSercom0 + 0x0C, 63019, 2);
    wr(kSercom0 + 0x00, (1u << 2) | 2u);
    until_clear(kSercom0 + 0x1C, 0x7);
    wr(kSercom0 + 0x0C, 1000, 2);
    EXPECT_EQ(rd(kSercom0 + 0x0C, 2), 63019u);
    EXPECT_TRUE(chip.reported("BAUD written while enabled"));
    // Writing DATA with the transmitter off loses the byte, and says so.
    wr(kSercom0 + 0x28, 'x', 2);
    EXPECT_TRUE(chip.reported("transmitter is disabled"));
    EXPECT_TRUE(chip.w.sent.empty());
}

TEST_F(PeripheralsTest, Tc0OverflowsAtTheMaximumAndTakesItsBufferThere) {
    channel(27, 0);   // 4 MHz, DIV1: NFRQ overflows every 65536 ticks = 16.384 ms
    wr(kTc0 + 0x09, 1u << 0, 1);   // INTENSET OVF
    wr(kTc0 + 0x00, 2u);
    until_clear(kTc0 + 0x10, 0xFF);
    const vtime t0 = chip.t;
    wr(kTc0 + 0x30, 1234, 2);      // CCBUF0: reaches CC0 at the overflow
    chip.run_for(16384000 - 1);
    EXPECT_EQ(rd(kTc0 + 0x1C, 2), 0u);
    chip.run_for(1);
    EXPECT_EQ(chip.rises.back(), std::make_pair(uint8_t{17}, t0 + 16384000));
    EXPECT_EQ(rd(kTc0 + 0x1C, 2), 1234u);
}

TEST_F(PeripheralsTest, WatchdogWindowAndAlwaysOn) {
    wr(kWdt + 0x01, (7u << 4) | 7u, 1);   // closed window 1 s, open window 1 s
    wr(kWdt + 0x00, (1u << 2) | 2u, 1);   // WEN, ENABLE
    until_clear(kWdt + 0x08, 0x1F);
    chip.run_for(zplat::kSec / 2);
    wr(kWdt + 0x0C, 0xA5, 1);             // a clear in the closed window
    until_clear(kWdt + 0x08, 0x1F);
    ASSERT_EQ(chip.resets.size(), 1u);
    // ALWAYSON keeps it running across a system reset, not across power-on.
    p.reset();
    wr(kWdt + 0x00, 0x80, 1);
    until_clear(kWdt + 0x08, 0x1F);
    p.reset();
    EXPECT_TRUE(p.wdt().enabled());
    wr(kWdt + 0x00, 0, 1);
    EXPECT_EQ(rd(kWdt + 0x00, 1) & 0x80u, 0x80u);
    EXPECT_TRUE(chip.reported("ALWAYSON"));
    p.power_on_reset();
    EXPECT_FALSE(p.wdt().enabled());
}

// Every modelled register read through the bus after reset against the
// vendor's reset values (the device headers' *_RESETVALUE; for the system
// control space the ARMv6-M ARM). `reads` marks the few where the model
// gives what a running chip shows instead, and why.
TEST_F(PeripheralsTest, EveryRegisterResetsToTheVendorsValue) {
    struct Expect {
        uint32_t addr;
        unsigned width;
        uint32_t vendor;
        int64_t reads = -1;   // >= 0: the model reads this instead
    };
    std::vector<Expect> t;
    auto regs = [&](uint32_t base, std::initializer_list<Expect> l) {
        for (Expect e : l) t.push_back({base + e.addr, e.width, e.vendor, e.reads});
    };
    regs(0x40000000, {{0x00, 1, 0}, {0x01, 1, 0x02}, {0x02, 1, 0}, {0x04, 1, 0}, {0x05, 1, 0}, {0x06, 1, 0},
                      {0x08, 2, 0}, {0x0C, 1, 0}});   // PM
    regs(kMclk, {{0x00, 1, 0}, {0x01, 1, 0}, {0x02, 1, 0}, {0x03, 1, 0x01}, {0x04, 1, 0x01}, {0x05, 1, 0x01},
                 {0x06, 1, 0x01}, {0x10, 4, 0x000FFFFF}, {0x14, 4, 0x1FFF}, {0x18, 4, 0x17}, {0x1C, 4, 0x7FFF},
                 {0x20, 4, 0xFF}, {0x24, 4, 0x0D}});
    // OSCCTRL. STATUS: the header's 0 is before start-up; OSC16M runs from reset.
    regs(kOscctrl, {{0x00, 4, 0}, {0x04, 4, 0}, {0x08, 4, 0}, {0x0C, 4, 0, 0x10}, {0x10, 2, 0x80}, {0x14, 1, 0x82},
                    {0x18, 2, 0x80}, {0x1C, 4, 0}, {0x20, 4, 0}, {0x24, 1, 0}, {0x28, 1, 0x80}, {0x2C, 4, 0},
                    {0x30, 4, 0}, {0x34, 1, 0}, {0x38, 1, 0}, {0x3C, 1, 0}});
    regs(0x40001000, {{0x00, 4, 0}, {0x04, 4, 0}, {0x08, 4, 0}, {0x0C, 4, 0}, {0x10, 1, 0}, {0x14, 2, 0x80},
                      {0x18, 4, 0x003F0080}, {0x1C, 4, 0}});   // OSC32KCTRL
    // GCLK. One GENCTRL_RESETVALUE (0) stands for all nine; GENCTRL0 is
    // 0x106 after reset (datasheet, GCLK: GENCTRL0 reset value), OSC16M to the CPU.
    regs(kGclk, {{0x00, 1, 0}, {0x04, 4, 0}, {0x20, 4, 0, 0x106}});
    for (unsigned g = 1; g < 9; ++g) t.push_back({genctrl(g), 4, 0});
    for (unsigned m = 0; m < 36; ++m) t.push_back({pchctrl(m), 4, 0});
    regs(kWdt, {{0x00, 1, 0}, {0x01, 1, 0xBB}, {0x02, 1, 0x0B}, {0x04, 1, 0}, {0x05, 1, 0}, {0x06, 1, 0},
                {0x08, 4, 0}, {0x0C, 1, 0}});
    // NVMCTRL. PARAM and LOCK: the header's 0 stands for what the chip loads
    // at start-up (4096 pages of 64 bytes, 8 KB RWW; the user row's locks all open).
    regs(0x41004000, {{0x00, 2, 0}, {0x04, 4, 0x80}, {0x08, 4, 0, 0x08031000}, {0x0C, 1, 0}, {0x10, 1, 0},
                      {0x14, 1, 0}, {0x18, 2, 0}, {0x1C, 4, 0}, {0x20, 2, 0, 0xFFFF}});
    for (uint32_t group : {0x40002800u, 0x40002880u}) {   // PORT
        for (uint32_t off = 0; off <= 0x2C; off += 4) t.push_back({group + off, 4, 0});
        for (uint32_t n = 0; n < 16; ++n) t.push_back({group + 0x30 + n, 1, 0});
        for (uint32_t n = 0; n < 32; ++n) t.push_back({group + 0x40 + n, 1, 0});
    }
    regs(kAdc, {{0x00, 1, 0}, {0x01, 1, 0}, {0x02, 1, 0}, {0x03, 1, 0}, {0x04, 1, 0}, {0x05, 1, 0}, {0x06, 1, 0},
                {0x07, 1, 0}, {0x08, 2, 0}, {0x0A, 2, 0}, {0x0C, 1, 0}, {0x0D, 1, 0}, {0x0E, 2, 0}, {0x10, 2, 0},
                {0x12, 2, 0}, {0x14, 2, 0}, {0x18, 1, 0}, {0x1C, 1, 0}, {0x20, 2, 0}, {0x24, 2, 0}, {0x28, 4, 0},
                {0x2C, 2, 0}});
    // SERCOM in USART, the mode CTRLA's reset value selects. INTFLAG: the
    // model's DRE reads 1 before the USART is enabled; the vendor says 0x00.
    for (unsigned n = 0; n < Sercom::kCount; ++n)
        regs(Sercom::base_of(n), {{0x00, 4, 0}, {0x04, 4, 0}, {0x0C, 2, 0}, {0x0E, 1, 0}, {0x14, 1, 0}, {0x16, 1, 0},
                                  {0x18, 1, 0, 0x01}, {0x1A, 2, 0}, {0x1C, 4, 0}, {0x28, 2, 0}, {0x30, 1, 0}});
    for (unsigned n = 0; n < Tc::kCount; ++n)   // COUNT16, the mode CTRLA's reset value selects
        regs(Tc::base_of(n), {{0x00, 4, 0}, {0x04, 1, 0}, {0x05, 1, 0}, {0x06, 2, 0}, {0x08, 1, 0}, {0x09, 1, 0},
                              {0x0A, 1, 0}, {0x0B, 1, 0x01}, {0x0C, 1, 0}, {0x0D, 1, 0}, {0x0F, 1, 0}, {0x10, 4, 0},
                              {0x14, 2, 0}, {0x1C, 2, 0}, {0x1E, 2, 0}, {0x30, 2, 0}, {0x32, 2, 0}});

    // The system control space, on its own (the core owns it).
    struct Owner : ScsOwner {
        uint64_t scs_cycles() const override { return 0; }
        void scs_changed() override {}
        void scs_systick_changed() override {}
        void scs_reset_request() override {}
    } owner;
    Nvic scs(chip, owner);
    scs.reset();
    struct Scs {
        uint32_t offset, vendor;
    };
    std::vector<Scs> s = {{0x010, 0x4},   // SYST_CSR: CLKSOURCE reads 1, no reference clock
                          {0x014, 0},   {0x018, 0}, {0x01C, 0xC0000000}, {0x100, 0}, {0x180, 0}, {0x200, 0},
                          {0x280, 0},   {0xD00, Nvic::kCpuid}, {0xD04, 0}, {0xD08, 0}, {0xD0C, 0xFA050000},
                          {0xD10, 0},   {0xD14, 0x208}, {0xD1C, 0}, {0xD20, 0}};
    for (uint32_t n = 0; n < 8; ++n) s.push_back({0x400 + 4 * n, 0});

    for (const Expect& e : t) {
        const uint32_t want = e.reads >= 0 ? static_cast<uint32_t>(e.reads) : e.vendor;
        EXPECT_EQ(rd(e.addr, e.width), want) << std::hex << "register at 0x" << e.addr;
    }
    for (const Scs& r : s) {
        uint32_t v = 0;
        EXPECT_TRUE(scs.read(r.offset, 4, v));
        EXPECT_EQ(v, r.vendor) << std::hex << "SCS register at 0x" << r.offset;
    }
    EXPECT_TRUE(chip.reports.empty()) << chip.reports.front();
    EXPECT_EQ(p.report().unmodelled_count(), 0u);
}

}  // namespace
}  // namespace zchip
