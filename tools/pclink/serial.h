// A serial line owned by the program: raw 38400 8N1, no flow control,
// read with poll() against deadlines. Works the same on a USB serial
// adapter (/dev/ttyUSB0, /dev/ttyACM0) and on a pseudo-terminal.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zpc {

using Clock = std::chrono::steady_clock;

// The line cannot be used: not openable, not a terminal, hung up.
class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SerialPort {
public:
    // Opens and configures the device, and drops whatever it had buffered.
    explicit SerialPort(const std::string& path);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    const std::string& path() const { return path_; }

    // Writes every byte, waiting while the driver's buffer is full.
    void write_all(const uint8_t* data, size_t n, Clock::time_point deadline);
    // Waits until bytes arrive or the deadline passes; returns how many were
    // read (0: nothing before the deadline).
    size_t read_some(uint8_t* buf, size_t cap, Clock::time_point deadline);

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace zpc
