// PORT – I/O Pin Controller, groups A and B (datasheet chapter PORT): data
// direction, output value, input value, pin configuration and peripheral
// multiplexing. Every change in how a pad is driven goes to
// Wires::pad_driven; IN reads the wire through Wires::pad_level for pins
// whose input buffer is on (PINCFG.INEN), the pull (PINCFG.PULLEN, towards
// OUT) acting on the wire of a pin that is not an output. The same
// registers answer on the single-cycle IOBUS.
#pragma once
#include <array>

#include "context.h"

namespace zchip {

class Port : public Model {
public:
    static constexpr uint32_t kBase = 0x40002800;
    static constexpr uint32_t kIobusBase = 0x60000000;
    static constexpr unsigned kGroups = 2;
    explicit Port(Ctx& ctx);
    void reset() override;
    // What decides whether a write is idle: the pin registers (every change
    // goes through publish) and the bus clock.
    uint64_t idle_version() const override { return 2 + 2 * changes_ + (ctx_.apb_on(kApb) ? 1 : 0); }

    // The drive of a pad as the registers set it.
    PadDrive drive(Group g, uint8_t pin) const;
    // The registers as the IOBUS reaches them (no bus clock in between).
    RegTable& iobus_table() { return regs_; }
    // Called when PINCFG.PMUXEN or PMUX of some pad changed.
    std::function<void()> on_functions_changed;

private:
    struct GroupState {
        uint32_t dir = 0;
        uint32_t out = 0;
        uint32_t ctrl = 0;
        uint32_t evctrl = 0;
        std::array<uint8_t, 16> pmux{};
        std::array<uint8_t, 32> pincfg{};
    };
    RegTable& table() override { return regs_; }
    void add_group(unsigned g);
    uint32_t read_in(unsigned g);
    void write_config(unsigned g, uint32_t data);
    // Tells the wires about every pad of the group whose drive changed.
    void publish(unsigned g, uint32_t pins);

    static constexpr ApbClock kApb{Apb::A, 10};
    RegTable regs_;
    uint64_t changes_ = 0;
    std::array<GroupState, kGroups> groups_{};
    std::array<std::array<PadDrive, 32>, kGroups> sent_{};
};

// The PORT registers on the IOBUS (datasheet, PORT: IOBUS Access).
class PortIobus : public Peripheral {
public:
    explicit PortIobus(Ctx& ctx, Port& port) : Peripheral("PORT_IOBUS", Port::kIobusBase, 0x400), ctx_(ctx), port_(port) {}
    bool read(uint32_t offset, unsigned width, uint32_t& value) override;
    bool write(uint32_t offset, unsigned width, uint32_t value) override;
    void reset() override {}

private:
    Ctx& ctx_;
    Port& port_;
};

}  // namespace zchip
