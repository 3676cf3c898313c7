// TC – Timer/Counter, TC0..TC4 in 16-bit mode (datasheet chapter TC):
// CTRLA (SWRST, ENABLE, MODE, PRESCALER), CTRLB commands, WAVE (NFRQ/MFRQ),
// CC0/CC1 and their buffers, COUNT (read through READSYNC), INTFLAG
// OVF/MC0/MC1, SYNCBUSY. It counts its generic clock channel divided by the
// prescaler; matches and overflows are scheduled at the virtual times the
// count gives, never ticked one by one.
#pragma once
#include <memory>

#include "context.h"

namespace zchip {

class Tc : public Model {
public:
    static constexpr unsigned kCount = 5;
    Tc(Ctx& ctx, unsigned index);
    void reset() override;

    static uint32_t base_of(unsigned index);
    uint8_t irq() const { return static_cast<uint8_t>(17 + index_); }
    // The count now (what a READSYNC would latch).
    uint16_t count_now();
    bool running() const { return running_; }
    // The tick rate: the channel's clock over the prescaler (0 if stopped).
    double tick_hz() const;

private:
    RegTable& table() override { return regs_; }
    void write_ctrla(uint32_t data, uint32_t lanes);
    void write_ctrlb(uint32_t data, bool set);
    void run_command(unsigned cmd);
    void write_cc(unsigned x, uint32_t data, uint32_t lanes);
    void software_reset();
    unsigned top() const;
    uint32_t count_at(uint64_t n) const;
    uint64_t ticks_now() const;
    vtime time_of(uint64_t n) const;
    // Re-anchors the count at the last whole tick before now (or at now when
    // the rate changes) and schedules the next event.
    void rebase(bool keep_phase);
    void restart_from(uint32_t count);
    void schedule_next();
    void on_event(uint64_t n, bool wrap, uint64_t gen);
    void clocks_changed();
    void update_irq();

    unsigned index_;
    unsigned channel_;
    RegTable regs_;
    std::unique_ptr<Sync> sync_;
    Reg* ctrla_;
    Reg* wave_;
    uint8_t ctrlb_ = 0;       // DIR, LUPD, ONESHOT
    uint8_t cmd_pending_ = 0;
    uint8_t inten_ = 0;
    uint8_t intflag_ = 0;
    uint8_t status_ = 1;      // STOP
    uint16_t cc_[2] = {0, 0};
    uint16_t ccbuf_[2] = {0, 0};
    uint16_t count_ = 0;      // the count while not running
    uint16_t latched_ = 0;    // what COUNT reads
    bool enabled_ = false;
    bool stopped_ = false;    // CTRLB STOP command or one-shot end
    bool running_ = false;
    vtime t_anchor_ = 0;
    uint32_t c_anchor_ = 0;
    double hz_anchor_ = 0.0;
    uint64_t n_last_ = 0;
    uint64_t gen_ = 0;
};

}  // namespace zchip
