// The chip image as the unit on the virtual board: the ELF's code on the
// ARMv6-M core, the chip's peripherals around it, and the board's wiring
// from the chip's pads and serial engines to the same device models the
// host build meets.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "bus.h"
#include "core.h"
#include "elf.h"
#include "host/port/uart_port.h"
#include "peripherals.h"

namespace zchip {

// What only the chip image can tell, gathered over a run.
struct ChipReport {
    uint64_t instructions = 0;
    uint64_t cycles = 0;
    uint64_t idle_cycles = 0;            // of those, in polling loops skipped (Core::set_idle_skip)
    double longest_pass_ms = 0;          // between two watchdog clears
    std::string longest_pass_in;         // the function the main loop spent most of that pass in
    uint64_t tick_longest_cycles = 0;    // TC0's handler, entry to return
    std::vector<std::pair<std::string, uint64_t>> interrupts;   // taken, per exception
    uint32_t stack_low = 0;              // lowest stack address written
    uint32_t stack_used = 0;             // bytes from the top of the stack down to it
    uint32_t stack_left = 0;             // bytes between the end of .bss and it
    std::vector<std::string> forbidden;  // register writes the datasheet forbids, with their PC
    uint32_t restarts = 0;
    // The pads that carried each signal of the peripherals in use ("SERCOM0
    // TX on PA04, function D, PAD0 = line 1 (PC TX)"), and the board's device
    // wires nothing drove or read ("transponder RX (line 4, PB23): why").
    std::vector<std::string> pins;
    std::vector<std::string> unconnected;
};

// A debugger holding the core (gdb.h). The unit calls it on the board's
// thread; while it is inside halted() nothing runs and virtual time stands.
class Debugger {
public:
    virtual ~Debugger() = default;
    // Between two runs of the core: true when the debugger wants it halted.
    virtual bool interrupted() = 0;
    // The core is halted (why: Core::Stop::Halt with the core's halt(), or
    // Fault, or Until for an interruption). Returns when it is to go on,
    // false when the debugger ended the run.
    virtual bool halted(Core::Stop why) = 0;
};

class ChipUnit final : public zsim::ExternalUnit, public Chip, public Wires {
public:
    // Loads the image; throws std::runtime_error when it cannot be read.
    ChipUnit(zsim::Board& board, const std::string& elf_path);
    ~ChipUnit() override;

    // zsim::ExternalUnit
    void run_until(vtime t) override;
    void stall(vtime d) override;
    void set_powered(bool on) override;

    // The core stopped for good on a fault: its report (empty while running).
    const std::string& fault_report() const { return fault_report_; }
    bool faulted() const { return !fault_report_.empty(); }
    ChipReport report() const;
    std::string report_text() const;

    Core& core() { return *core_; }
    Peripherals& peripherals() { return *periph_; }

    // A debugger's hold on the core (null: none, and no cost).
    void set_debugger(Debugger* d) { debugger_ = d; }
    // The debugger ended the run: run_until() returns at once from then on.
    bool ended() const { return ended_; }
    // The chip's reset pin: core, RAM and peripherals to power-on; the
    // devices on the board are kept. A core that faulted runs again.
    void hardware_reset();

    // Chip
    vtime now() const override;
    uint32_t pc() const override;
    void schedule(vtime at, std::function<void()> fn) override;
    void set_irq(uint8_t line, bool raised) override;
    void system_reset(const std::string& cause) override;
    void forbidden(const std::string& what) override;
    void cpu_clock_changed() override;
    Wires& wires() override { return *this; }

    // Wires
    void pad_driven(Group g, uint8_t pin, const PadDrive& d) override;
    bool pad_level(Group g, uint8_t pin) override;
    double pad_volts(Group g, uint8_t pin) override;
    void serial_out(PadSet tx, uint8_t byte, vtime at, double baud) override;
    uint8_t spi_exchange(const SpiPads& pads, uint8_t mosi, const SpiFormat& f) override;
    size_t i2c_write(const I2cPads& pads, uint8_t address, const uint8_t* data, size_t n) override;
    bool i2c_read(const I2cPads& pads, uint8_t address, uint8_t* out, size_t n) override;

private:
    // Bytes a device sends on one of the board's serial lines, arriving at
    // the unit's RX pad of that line.
    struct Line : zplat::LineSink {
        ChipUnit* unit = nullptr;
        Pad rx{};
        void on_arrival(uint8_t byte, uint64_t at, uint32_t baud) override;
    };

    void reset_chip();
    void watchdog_cleared(vtime at);
    void sample_pass();
    void report_pins(ChipReport& r) const;

    zsim::Board& board_;
    Elf elf_;
    std::unique_ptr<Core> core_;
    std::unique_ptr<Peripherals> periph_;
    Line lines_[3];
    uint64_t gen_ = 0;            // bumped at every reset: events of the old run are void
    bool in_run_ = false;          // inside the core's run(): a register access is under way
    std::string pending_reset_;
    std::string fault_report_;
    vtime stall_until_ = 0;
    bool powered_ = true;
    uint32_t power_losses_ = 0;
    std::map<uint64_t, PadDrive> unconnected_;   // pads the board leaves open, as the chip drives them

    // The longest main-loop pass: from one watchdog clear to the next.
    vtime last_clear_ = zplat::kNever;
    vtime longest_pass_ = 0;
    std::string longest_pass_in_;
    std::map<std::string, uint32_t> pass_samples_;
    std::vector<std::string> forbidden_;
    uint32_t restarts_ = 0;
    Debugger* debugger_ = nullptr;
    bool ended_ = false;
};

}  // namespace zchip
