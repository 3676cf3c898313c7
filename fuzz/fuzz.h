// The fuzzing harnesses: one per input path of the unit and of the programs
// around it. Each body is a plain function over one input, run by libFuzzer
// (fuzz_main.cpp) and by the replay test in the normal builds
// (tests/fuzz/replay_test.cpp). The first bytes of an input choose the
// state the path starts from; the rest is what arrives.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zfuzz {

using Bytes = std::vector<uint8_t>;

struct Harness {
    const char* name;
    // One input; a broken invariant aborts with a message on stderr.
    void (*run)(const uint8_t* data, size_t size);
    // Valid inputs to start from. `testdata` is the folder of the shared
    // real-world captures, or empty when it is not there.
    std::vector<Bytes> (*seeds)(const std::string& testdata);
    size_t max_len;   // what libFuzzer is told to try at most
};

const std::vector<Harness>& harnesses();
const Harness* find(std::string_view name);

// The harnesses, each in its own file.
void run_gps(const uint8_t* data, size_t size);
void run_ais(const uint8_t* data, size_t size);
void run_pc(const uint8_t* data, size_t size);
void run_eeprom(const uint8_t* data, size_t size);
void run_msg6(const uint8_t* data, size_t size);
void run_pclink(const uint8_t* data, size_t size);
void run_unitconfig(const uint8_t* data, size_t size);
void run_scenario(const uint8_t* data, size_t size);
void run_shore(const uint8_t* data, size_t size);
std::vector<Bytes> seeds_gps(const std::string& testdata);
std::vector<Bytes> seeds_ais(const std::string& testdata);
std::vector<Bytes> seeds_pc(const std::string& testdata);
std::vector<Bytes> seeds_eeprom(const std::string& testdata);
std::vector<Bytes> seeds_msg6(const std::string& testdata);
std::vector<Bytes> seeds_pclink(const std::string& testdata);
std::vector<Bytes> seeds_unitconfig(const std::string& testdata);
std::vector<Bytes> seeds_scenario(const std::string& testdata);
std::vector<Bytes> seeds_shore(const std::string& testdata);

// ---- shared by the bodies ----

// Prints "harness: what" and aborts: libFuzzer keeps the input as a crash.
[[noreturn]] void broken(const char* harness, const std::string& what);
#define ZFUZZ_CHECK(harness, cond, what) \
    do {                                 \
        if (!(cond)) ::zfuzz::broken(harness, what); \
    } while (0)

// Reads an input from the front: a few bytes of state, then the rest.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    // The next byte, 0 once the input is used up.
    uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::string_view rest() const { return {reinterpret_cast<const char*>(p_), n_}; }
    size_t left() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

// What arrives on a serial line comes in bursts; two bytes 0xFF 0x00 mark a
// pause between two of them.
constexpr std::string_view kPause{"\xFF\x00", 2};
std::vector<std::string_view> bursts(std::string_view stream);
// Builds a stream: the bursts with a pause between them.
std::string with_pauses(const std::vector<std::string>& parts);

// "$" or "!" + body + "*hh" CR LF, with its true checksum.
std::string sentence(std::string_view body, char start = '$');
// The lines of a text file (CR LF or LF), empty when it cannot be read.
std::vector<std::string> file_lines(const std::string& path);
std::string file_text(const std::string& path);
// Files of a folder, sorted; none when it is not there.
std::vector<std::string> files_in(const std::string& folder);

// A seed: the state bytes, then the payload.
Bytes seed(std::initializer_list<uint8_t> state, std::string_view payload);

}  // namespace zfuzz
