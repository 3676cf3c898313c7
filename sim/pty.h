// The console port on a pseudo-terminal: a PC program opens the slave side
// as it would open a USB serial adapter. What the unit sends is written to
// the master side while a program holds the slave open, and dropped while
// none does, as on a cable with nobody at the other end; what the program
// writes is handed to a callback.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zsim {

class PtyPort {
public:
    // Creates the pseudo-terminal (raw, no echo); throws std::runtime_error.
    PtyPort();
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // The slave's path, /dev/pts/N.
    const std::string& path() const { return path_; }

    // Starts the reader thread: `received` gets every chunk the PC writes.
    void start(std::function<void(const uint8_t*, size_t)> received);

    // Queues bytes for the PC and writes what the line takes now. Never
    // blocks; bytes beyond what the PC leaves unread for a long time are dropped.
    void send(const uint8_t* data, size_t n);

    // A program has the slave open (as last seen by the reader).
    bool connected() const { return connected_; }

private:
    void reader();
    void write_pending();

    int master_ = -1;
    std::string path_;
    std::function<void(const uint8_t*, size_t)> received_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::mutex out_m_;
    std::vector<uint8_t> out_;
};

}  // namespace zsim
