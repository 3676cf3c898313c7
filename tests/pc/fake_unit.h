// A stand-in for the unit at the far end of a pseudo-terminal: it gathers
// request frames from "@" on, answers them from a 64 KiB memory, and can be
// told to lose replies, never answer, or talk on its console around them.
// It keeps test mode as the unit does: monitors print on every pass (every
// few milliseconds) only in test mode, and the charger (`cmppt`) follows
// test mode and the panel monitor only there.
#pragma once
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "frame.h"

class FakeUnit {
public:
    FakeUnit() : mem(65536, 0xFF) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master_);
        ::unlockpt(master_);
        path = ::ptsname(master_);
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeUnit() {
        stop_ = true;
        thread_.join();
        ::close(master_);
    }

    std::string path;
    std::vector<uint8_t> mem;            // touch only while no command runs
    std::atomic<int> lose{0};            // the next n requests get no reply
    std::atomic<bool> silent{false};     // no request gets a reply
    std::atomic<bool> chatty{false};     // console text around replies, replies in pieces
    std::atomic<bool> eeprom_absent{false};       // reads refused, writes lost, each with the unit's console line
    std::atomic<bool> eeprom_reads_fail{false};   // only the reads
    std::atomic<bool> test_mode{false};
    std::atomic<int> dips{0}, battery{0}, panel{0};   // monitor flags
    std::atomic<int> cmppt{1};                        // 1: charger enabled
    std::atomic<int> panel_counts{0};                 // what the panel reads while the charger runs
    std::atomic<bool> hang_up_on_write{false};        // the line drops as a write or wipe comes in

    std::vector<zpc::Request> requests() {
        std::lock_guard<std::mutex> lk(m_);
        return seen_;
    }
    void forget() {
        std::lock_guard<std::mutex> lk(m_);
        seen_.clear();
    }

private:
    void send(const std::string& s) {
        size_t done = 0;
        while (done < s.size()) {
            const ssize_t w = ::write(master_, s.data() + done, s.size() - done);
            if (w > 0) done += static_cast<size_t>(w);
            else return;
        }
    }
    void reply(const zpc::Reply& r) {
        const std::vector<uint8_t> f = zpc::encode(r);
        const std::string frame(f.begin(), f.end());
        if (!chatty) return send(frame);
        send("\r\n\t\tSTATUS: 08/12/26 13:45\r\n");
        for (size_t at = 0; at < frame.size(); at += 5) {
            send(frame.substr(at, 5));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        send("\t\tBattery:12.60 v\r\n");
    }

    static constexpr const char* kNoEeprom = "ERROR EEPROM: no responde\r\n";

    // One pass of test mode: what the running monitors print.
    void pass() {
        if (!test_mode) return;
        if (dips) send("DIP 1 => OFF\r\nDIP 2 => ON\r\nDIP 3 => ON\r\nDIP 4 => OFF\r\n");
        if (battery) send("BATERIA => 12.6000\r\nBATERIA AD => 2716\r\n");
        if (panel) {
            const int raw = cmppt ? panel_counts.load() : 0;
            send("I PANEL => " + std::to_string(raw / 400.0) + "\r\nPANEL AD => " + std::to_string(raw) + "\r\n");
        }
    }

    void handle(const zpc::Request& q) {
        {
            std::lock_guard<std::mutex> lk(m_);
            seen_.push_back(q);
        }
        if (silent) return;
        if (hang_up_on_write && (q.command == 1 || (q.command == 2 && q.subcommand != 0))) {
            ::close(master_);   // the PC's end sees the line hang up
            master_ = -1;
            return;
        }
        if (lose > 0) {
            --lose;
            return;
        }
        const uint16_t a = static_cast<uint16_t>(q.address);
        zpc::Reply r{q.command, q.subcommand, q.address, 1, {}};
        const uint8_t action = q.data.empty() ? 0xFF : q.data[0];
        switch (q.command) {
            case 0:
                if (q.count > 128) r.result = 0;
                else
                    for (size_t i = 0; i < q.count; ++i) r.data.push_back(mem[(a + i) % 65536]);
                if (eeprom_absent || eeprom_reads_fail) {
                    send(kNoEeprom);
                    r.result = 0;
                }
                return reply(r);
            case 1:
                if (eeprom_absent) send(kNoEeprom);   // and still done, as the unit says
                else
                    for (size_t i = 0; i < q.data.size(); ++i) mem[(a + i) % 65536] = q.data[i];
                return reply(r);
            case 2:
                if (q.subcommand == 0) {
                    reply(r);
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    r.result = 0;
                } else if (q.subcommand == 1) {
                    std::fill(mem.begin(), mem.begin() + 128, 0xFF);
                } else if (q.subcommand == 2) {
                    std::fill(mem.begin() + 256, mem.begin() + 4352, 0x00);
                } else {
                    r.result = 0;
                }
                return reply(r);
            case 3:
                send("--> ENTRADA TRAMA TEST <<<<\r\n");
                if (q.subcommand == 6 && action == 0) {
                    send("Test RTC\r\n\r\n\tGET DATETIME ");
                    reply(r);
                    return send("Fecha rx: 08/12/26 2 13:45:30\r\n\r\n");
                }
                if (q.subcommand == 11 && action == 2 && q.data.size() >= 5) {
                    float v;
                    std::memcpy(&v, q.data.data() + 1, 4);
                    const float factor = v / 2716.0f;
                    std::memcpy(mem.data() + 0xFFF8, &factor, 4);
                    send("\tEntrada bateria ajustada\r\nValor AD:2716\r\n");
                    return reply(r);
                }
                if (q.subcommand == 13 && action == 2 && q.data.size() >= 5) {
                    float v;
                    std::memcpy(&v, q.data.data() + 1, 4);
                    const int raw = test_mode && cmppt ? panel_counts.load() : 0;
                    if (raw == 0) {
                        send("\tAjuste rechazado\r\nDato:" + std::to_string(v) + "\r\nValor AD:0\r\n");
                        r.result = 0;
                    } else {
                        const float factor = v / static_cast<float>(raw);
                        std::memcpy(mem.data() + 0xFFF4, &factor, 4);
                    }
                    return reply(r);
                }
                if (q.subcommand == 1 && action == 4) return;   // no reply, as the unit does
                if (q.subcommand == 1 && action <= 1) {
                    if (action == 1 || test_mode) {
                        dips = battery = panel = 0;
                        cmppt = action == 1 ? 0 : 1;
                    }
                    test_mode = action == 1;
                }
                if (q.subcommand == 5 && action <= 1) dips = action;
                if (q.subcommand == 11 && action <= 1) battery = action;
                if (q.subcommand == 13 && action <= 1) {
                    panel = action;
                    if (test_mode) cmppt = action;
                }
                return reply(r);
            default:
                r.result = 0;
                return reply(r);
        }
    }

    void serve() {
        std::vector<uint8_t> buf;
        uint8_t chunk[512];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 10);
            if (ready > 0 && (p.revents & POLLHUP)) {   // nobody on the line
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            pass();
            if (ready <= 0) continue;
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf.empty() && chunk[i] != '@') continue;
                buf.push_back(chunk[i]);
            }
            if (buf.size() > 4 && buf.size() >= buf[4]) {
                if (auto q = zpc::decode_request(buf.data(), buf.size())) handle(*q);
                buf.clear();
            }
        }
    }

    int master_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<zpc::Request> seen_;
};
