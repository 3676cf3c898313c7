// Host part of a serial port: the receive ring, the bytes on their way along
// the line in both directions with their virtual times, and the access the
// virtual board and the device models have.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zplat {
class SerialPeer;

// Takes the bytes arriving on a line instead of the port's receive ring:
// the chip image's serial engine, which samples them itself.
class LineSink {
public:
    virtual ~LineSink() = default;
    // A byte whose stop bit ends at `at`, sent at `baud`.
    virtual void on_arrival(uint8_t byte, uint64_t at, uint32_t baud) = 0;
};

class UartPort {
public:
    uint8_t host_index() const { return index_; }
    uint32_t host_baud() const { return open_ ? baud_ : 0; }
    // Bytes sent by the device on the other end of the line, starting at
    // virtual time `start`, back to back at `baud`.
    void host_feed(const uint8_t* data, size_t n, uint64_t start, uint32_t baud);
    // Bytes already received: straight into the receive ring, as if they had
    // come in back to back before now, without the line's pace (fuzzing).
    // Returns how many fitted; a closed port takes none.
    size_t host_receive(const uint8_t* data, size_t n);
    // What the unit writes leaves at once, whatever the baud rate, so that
    // printing never holds it up (fuzzing); a new world paces it again.
    void host_set_unpaced(bool on) { unpaced_ = on; }
    void host_attach(SerialPeer* peer) { peer_ = peer; }
    SerialPeer* host_peer() const { return peer_; }
    void host_set_sink(LineSink* sink) { sink_ = sink; }
    // Moves bytes whose time has come: arrivals into the ring, finished
    // transmissions to the peer. Returns the next time something is due.
    uint64_t host_settle(uint64_t now);
    void host_reset();
    // A new world: nothing on its way on the line, no counts.
    void host_clear_line();
    size_t host_rx_lost() const { return rx_lost_; }
    // The port and its line as they stand, to be put back later (host/state.h).
    struct Saved;
    void host_save(Saved& s) const;
    void host_restore(const Saved& s);

protected:
    explicit UartPort(uint8_t index) : index_(index) {}

    struct Pending { uint64_t at; uint8_t byte; };
    struct Arrival { uint64_t at; uint32_t baud; uint8_t byte; };
    static constexpr size_t kPendingMax = 8192;

    uint64_t byte_time(uint32_t baud) const { return (10ull * 1000000000ull + baud / 2) / baud; }
    void settle_now();

    uint8_t index_;
    bool open_ = false;
    bool unpaced_ = false;
    uint32_t baud_ = 0;
    SerialPeer* peer_ = nullptr;
    LineSink* sink_ = nullptr;

    uint8_t rx_[kUartRingSize] = {};
    size_t rx_head_ = 0, rx_tail_ = 0;
    size_t rx_lost_ = 0;

    // Line in: bytes on their way from the device, with their arrival times.
    Arrival in_[kPendingMax] = {};
    size_t in_head_ = 0, in_count_ = 0;
    uint64_t in_last_ = 0;

    // Line out: queued bytes with the time their stop bit ends.
    Pending tx_[kUartRingSize] = {};
    size_t tx_head_ = 0, tx_count_ = 0;
    uint64_t tx_last_ = 0;
};
}  // namespace zplat
