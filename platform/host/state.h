// The platform's whole state on the host apart from the device models:
// registers, pins, buses, serial ports and their lines, the timebase and the
// firmware's RAM. Fuzzing takes it once the unit has started and puts it back
// before every input rather than starting the unit again.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "Uart.h"
#include "host/buses.h"
#include "host/pins.h"
#include "host/serial_peer.h"
#include "host/timebase.h"

namespace zplat {

struct UartPort::Saved {
    bool open, unpaced;
    uint32_t baud;
    SerialPeer* peer;
    LineSink* sink;
    uint8_t rx[kUartRingSize];
    size_t rx_head, rx_tail, rx_lost;
    // Only what is on its way: the lines' rings are large.
    std::vector<Arrival> in;
    size_t in_head;
    uint64_t in_last;
    std::vector<Pending> tx;
    size_t tx_head;
    uint64_t tx_last;
};

class PlatformState {
public:
    PlatformState();
    ~PlatformState();
    PlatformState(const PlatformState&) = delete;
    PlatformState& operator=(const PlatformState&) = delete;

    void take();
    void put_back() const;

private:
    struct Registers;
    std::unique_ptr<Registers> regs_;
    Timebase tb_;
    PinsSaved pins_{};
    BusesSaved buses_{};
    UartPort::Saved ports_[kUartCount];
    std::vector<uint8_t> ram_;
};

}  // namespace zplat
