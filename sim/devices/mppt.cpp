#include "mppt.h"

#include <algorithm>

#include "battery.h"
#include "board.h"
#include "host/pins.h"
#include "wiring.h"

namespace zsim {

Mppt::Mppt(Board& board, Battery& battery, const Scenario& sc) : board_(board), battery_(battery) {
    line_high_ = disabled();
    high_since_ = board_.now();
    for (const vtime at : sc.power.mppt_stuck) board_.schedule(at, [this] { stick(); });
    update();
    board_.schedule(board_.now() + kPeriod, [this] { tick(); });
}

bool Mppt::disabled() const { return zplat::pin_level(wiring::kMpptDisable) != 0; }

void Mppt::tick() {
    update();
    board_.schedule(board_.now() + kPeriod, [this] { tick(); });
}

void Mppt::stick() {
    if (!stuck_ && line_high_) high_since_ = board_.now();
    stuck_ = true;
    update();
}

void Mppt::on_pin_changed(uint8_t pin) {
    if (pin != wiring::kMpptDisable) return;
    const bool high = disabled();
    if (high == line_high_) return;
    line_high_ = high;
    const vtime now = board_.now();
    if (high) high_since_ = now;
    else if (stuck_ && now - high_since_ >= kClearPulse) stuck_ = false;
    update();
}

double Mppt::delivered_amps() const {
    switch (status_) {
        case Status::Charging: return battery_.panel_amps();
        case Status::Finished: return std::min(battery_.panel_amps(), battery_.load_amps());
        case Status::NoCharge: break;
    }
    return 0.0;
}

void Mppt::update() {
    if (disabled() || stuck_ || battery_.panel_amps() < kWakeAmps) status_ = Status::NoCharge;
    else status_ = battery_.full() ? Status::Finished : Status::Charging;
    battery_.set_charge(delivered_amps(), status_ == Status::Finished);
    // Open drain: pulled low, or released to the unit's pull-up.
    zplat::drive_pin(wiring::kMpptStatus1, status_ == Status::Charging ? 0 : -1);
    zplat::drive_pin(wiring::kMpptStatus2, status_ == Status::Finished ? 0 : -1);
}

}  // namespace zsim
