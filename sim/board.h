// The virtual board: one virtual clock, the chip's timer and watchdog, the
// devices around the microcontroller, and the thread the firmware runs on.
//
// The firmware runs on its own host thread, one step at a time: while it
// runs, the caller of run_for() waits; while the caller looks at the world,
// the firmware is parked inside a platform call. Interrupts and device events
// are delivered on the firmware's thread at platform-call boundaries, so no
// two host threads ever touch firmware or device state at once.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "battery.h"
#include "device.h"
#include "eeprom.h"
#include "frontend.h"
#include "gps.h"
#include "host/serial_peer.h"
#include "host/state.h"
#include "host/timebase.h"
#include "inputs.h"
#include "mcu.h"
#include "mppt.h"
#include "rtc.h"
#include "scenario.h"
#include "transponder.h"

namespace zsim {

// Thrown through the firmware's frames to restart it, as a reset line would.
struct UnitReset {};

// A unit other than the host build's firmware (the chip image on its core),
// run on the board's caller thread against the same devices.
class ExternalUnit {
public:
    virtual ~ExternalUnit() = default;
    // Runs the unit until virtual time t, calling Board::service_world()
    // whenever virtual time reaches zplat::tb.due.
    virtual void run_until(vtime t) = 0;
    // Holds the main loop for d from now, as a device that never answers
    // would; interrupts still run.
    virtual void stall(vtime d) = 0;
    // The unit's supply goes (false: the core stops, its RAM is lost) or
    // comes back (true: it starts from power-on). Called from a board event.
    virtual void set_powered(bool on) = 0;
};

class Board final : public zplat::Host, private zplat::SerialPeer {
public:
    explicit Board(const Scenario& sc = Scenario::builtin());
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Runs the unit (powering it on at the first call) until virtual time t,
    // or for d more.
    void run_until(vtime t);
    void run_for(vtime d) { run_until(now() + d); }
    void run_seconds(double s) { run_for(static_cast<vtime>(s * 1e9)); }

    vtime now() const { return zplat::tb.now; }

    // What the unit sent on its console port, byte for byte.
    const std::string& console() const { return console_; }
    void clear_console() { console_.clear(); }
    void set_console_capture(bool on) { capture_ = on; }
    // Called with every console byte as its stop bit ends.
    void set_console_sink(std::function<void(uint8_t)> sink) { sink_ = std::move(sink); }

    // Restarts of the unit since power-on (watchdog or requested).
    uint32_t restarts() const { return restarts_; }
    // Whether the unit has its supply (no cut, not browned out), and how
    // many times it has lost it.
    bool powered() const { return powered_; }
    uint32_t power_losses() const { return power_losses_; }

    // Runs `unit` instead of the host build's firmware; before the first run.
    void attach_unit(ExternalUnit* unit);
    bool external() const { return ext_ != nullptr; }
    // For an external unit: delivers what has fallen due (device events,
    // bytes arriving on the lines, console input, pacing).
    void service_world();
    // For an external unit: it was reset; the devices see its pins fall back.
    void unit_restarted();

    // Pace virtual time to the wall clock, `speed` times faster than real
    // time, and feed console input. Bytes fed reach the console port's
    // receive ring at 38400 baud, back to back.
    void set_realtime(bool on, double speed = 1.0);
    void feed_console_input(const uint8_t* data, size_t n);
    // Realtime only: called on the firmware's thread at least once per
    // virtual millisecond, before pacing waits (to hand console bytes on).
    void set_pace_hook(std::function<void()> hook) { pace_hook_ = std::move(hook); }

    // Tests: the voltage on an analog pin, whatever the devices say (NaN: theirs again).
    void override_analog(uint8_t pin, double volts) { analog_override_[pin % 64] = volts; }

    // Calls fn at virtual time `at` on the firmware's thread.
    void schedule(vtime at, std::function<void()> fn);

    // Holds the main loop inside a platform call for d, from time `at`.
    void stall_main_loop(vtime at, vtime d);

    // Direct use from a test's own thread, without the firmware thread: lets
    // virtual time pass (the tick interrupt included, once started).
    void advance(vtime d);

    Mcu& mcu() { return mcu_; }
    Inputs& inputs() { return *inputs_; }
    Eeprom& eeprom() { return *eeprom_; }
    Rtc& rtc() { return *rtc_; }
    Battery& battery() { return *battery_; }
    Mppt& mppt() { return *mppt_; }
    Frontend& frontend() { return *frontend_; }
    Gps& gps() { return *gps_; }
    Transponder& transponder() { return *xpdr_; }
    // The world's UTC now: the scenario's start plus the virtual time elapsed.
    Civil world_utc() const;
    int64_t world_epoch() const;
    const Scenario& scenario() const { return scenario_; }

    template <typename T, typename... Args>
    T& add_device(Args&&... args) {
        auto d = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *d;
        devices_.push_back(std::move(d));
        if constexpr (std::is_copy_constructible_v<T>) {
            copiers_.push_back({&copy_device<T>, &put_back_device<T>});
        } else {
            copiers_.push_back({nullptr, nullptr});
        }
        return ref;
    }

    // The board, its devices and the unit as they stand, to be put back
    // later: fuzzing starts every input from a unit already started. Only
    // for boards driven from the caller's thread (advance()), whose devices
    // can all be copied; the caller's own settings (console capture and
    // sink, pacing) are not part of it.
    class Snapshot;
    std::unique_ptr<Snapshot> snapshot() const;
    void restore(const Snapshot& s);

    // zplat::Host
    void service() override;
    void idle() override;
    void wait_until(vtime t) override;
    void register_written(const void* reg) override;
    void pin_changed(uint8_t pin) override;
    double analog_volts(uint8_t pin) override;

private:
    struct Event {
        vtime at;
        uint64_t seq;
        std::function<void()> fn;
        bool operator>(const Event& o) const { return at != o.at ? at > o.at : seq > o.seq; }
    };
    struct CpuStop {};
    struct PowerLoss {};
    struct DeviceCopier {
        std::unique_ptr<Device> (*copy)(const Device&);
        void (*put_back)(Device&, const Device&);
    };
    template <typename T>
    static std::unique_ptr<Device> copy_device(const Device& d) {
        return std::make_unique<T>(static_cast<const T&>(d));
    }
    // Put back where it stands: the buses, ports and pending events keep
    // pointing at it. Assigned where it can be (its buffers are reused),
    // else rebuilt in place.
    template <typename T>
    static void put_back_device(Device& d, const Device& saved) {
        T& t = static_cast<T&>(d);
        if constexpr (std::is_copy_assignable_v<T>) {
            t = static_cast<const T&>(saved);
        } else {
            t.~T();
            ::new (static_cast<void*>(&t)) T(static_cast<const T&>(saved));
        }
    }
    void check_snapshot_use() const;

    void on_byte(uint8_t byte, uint64_t at, uint32_t baud) override;
    void power_on();
    void cpu_main();
    void park();
    void recompute_due();
    void settle_ports(vtime now);
    bool run_events(vtime now);
    void run_isr(void (*handler)());
    void perform_stall();
    void supervise_supply();
    void supply_changed();
    void unpower_unit();
    void wait_for_power();
    void pace();
    void poll_console_input();

    Scenario scenario_;
    Mcu mcu_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<DeviceCopier> copiers_;
    Inputs* inputs_ = nullptr;
    Eeprom* eeprom_ = nullptr;
    Rtc* rtc_ = nullptr;
    Battery* battery_ = nullptr;
    Mppt* mppt_ = nullptr;
    Frontend* frontend_ = nullptr;
    Gps* gps_ = nullptr;
    Transponder* xpdr_ = nullptr;

    std::priority_queue<Event, std::vector<Event>, std::greater<>> events_;
    uint64_t seq_ = 0;
    vtime ports_next_ = zplat::kNever;
    bool in_service_ = false;

    double analog_override_[64];
    std::string console_;
    bool capture_ = true;
    std::function<void(uint8_t)> sink_;

    uint32_t restarts_ = 0;
    vtime stall_pending_ = 0;
    bool in_loop_ = false;

    // The unit's supply: cut by power_cut faults, browned out by the battery.
    int cut_depth_ = 0;
    bool browned_out_ = false;
    bool powered_ = true;
    uint32_t power_losses_ = 0;
    bool fw_active_ = false;        // the firmware thread is inside setup() or loop()
    bool needs_power_on_ = false;   // the host build's chip comes back from power-on

    // Firmware thread hand-off.
    std::thread cpu_;
    std::mutex m_;
    std::condition_variable cv_;
    bool cpu_running_ = false;
    bool stop_requested_ = false;
    vtime stop_at_ = zplat::kNever;

    ExternalUnit* ext_ = nullptr;

    // Real-time pacing.
    bool realtime_ = false;
    double speed_ = 1.0;
    std::function<void()> pace_hook_;
    int64_t wall_origin_ns_ = 0;
    vtime virtual_origin_ = 0;
    std::mutex input_m_;
    std::vector<uint8_t> input_;
    std::atomic<bool> input_waiting_{false};
};

class Board::Snapshot {
    friend class Board;
    zplat::PlatformState platform;
    Mcu mcu;
    std::vector<std::unique_ptr<Device>> devices;
    std::priority_queue<Event, std::vector<Event>, std::greater<>> events;
    uint64_t seq = 0;
    vtime ports_next = zplat::kNever;
    double analog_override[64];
    std::string console;
    uint32_t restarts = 0;
    vtime stall_pending = 0;
    int cut_depth = 0;
    bool browned_out = false, powered = true;
    uint32_t power_losses = 0;
    bool needs_power_on = false;
};

}  // namespace zsim
