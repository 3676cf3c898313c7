// Where zelmora-sim --air puts what the transponder transmits: a file, one
// sentence a line, or a UDP address, one sentence a datagram, as a shore
// receiver hands them on. Each sentence carries an IEC 61162-450 tag block
// with the world's UTC at its transmission ("\c:1765280000*hh\!AIVDM,..."),
// unless tags are off.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace zsim {

class AirLog {
public:
    // "udp://HOST:PORT" or a file path; nullptr and `why` when it cannot be opened.
    static std::unique_ptr<AirLog> open(const std::string& where, bool tags, bool line_buffered, std::string& why);
    ~AirLog();
    AirLog(const AirLog&) = delete;
    AirLog& operator=(const AirLog&) = delete;

    // One sentence without its line end, transmitted at `utc` (seconds since 1970).
    void sentence(const std::string& s, int64_t utc);

    // "\c:SECONDS*hh\" for that time.
    static std::string tag_block(int64_t utc);

private:
    AirLog() = default;
    std::FILE* file_ = nullptr;
    int socket_ = -1;
    bool tags_ = true;
};

}  // namespace zsim
