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

// What the link needs of a line; a test double stands in for the port.
class Line {
public:
    virtual ~Line() = default;
    // Writes every byte, waiting while the line takes none.
    virtual void write_all(const uint8_t* data, size_t n, Clock::time_point deadline) = 0;
    // Waits until bytes arrive or the deadline passes; returns how many were
    // read (0: nothing before the deadline).
    virtual size_t read_some(uint8_t* buf, size_t cap, Clock::time_point deadline) = 0;
};

class SerialPort : public Line {
public:
    // Opens and configures the device, and drops whatever it had buffered.
    explicit SerialPort(const std::string& path);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    const std::string& path() const { return path_; }

    // A pipe's read end that ends a wait in read_some() when it becomes
    // readable (a signal handler writes to it); its bytes are drained.
    void wake_on(int fd) { wake_ = fd; }

    // Writes every byte, waiting while the driver's buffer is full.
    void write_all(const uint8_t* data, size_t n, Clock::time_point deadline) override;
    size_t read_some(uint8_t* buf, size_t cap, Clock::time_point deadline) override;

private:
    std::string path_;
    int fd_ = -1;
    int wake_ = -1;
};

}  // namespace zpc
