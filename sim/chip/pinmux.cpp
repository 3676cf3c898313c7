#include "pinmux.h"

#include "port.h"

namespace zchip {
namespace {

constexpr int8_t N = -1;
constexpr int8_t S(int sercom, int pad) { return static_cast<int8_t>(sercom * 4 + pad); }

// Function B's AIN, C's and D's SERCOM pad, per pad: the multiplexing table
// of the ATSAML21J18B (64-pin J package) in the datasheet's I/O Multiplexing
// and Considerations. Pads the J package does not bond out have none.
struct Entry {
    int8_t ain, c, d;
};
constexpr Entry kPads[2][32] = {
    {
        {N, N, S(1, 0)},         {N, N, S(1, 1)},         {0, N, N},               {1, N, N},                // PA00-03
        {4, N, S(0, 0)},         {5, N, S(0, 1)},         {6, N, S(0, 2)},         {7, N, S(0, 3)},          // PA04-07
        {16, S(0, 0), S(2, 0)},  {17, S(0, 1), S(2, 1)},  {18, S(0, 2), S(2, 2)},  {19, S(0, 3), S(2, 3)},   // PA08-11
        {N, S(2, 0), S(4, 0)},   {N, S(2, 1), S(4, 1)},   {N, S(2, 2), S(4, 2)},   {N, S(2, 3), S(4, 3)},    // PA12-15
        {N, S(1, 0), S(3, 0)},   {N, S(1, 1), S(3, 1)},   {N, S(1, 2), S(3, 2)},   {N, S(1, 3), S(3, 3)},    // PA16-19
        {N, S(5, 2), S(3, 2)},   {N, S(5, 3), S(3, 3)},   {N, S(3, 0), S(5, 0)},   {N, S(3, 1), S(5, 1)},    // PA20-23
        {N, S(3, 2), S(5, 2)},   {N, S(3, 3), S(5, 3)},   {N, N, N},               {N, N, N},                // PA24-27
        {N, N, N},               {N, N, N},               {N, N, S(1, 2)},         {N, N, S(1, 3)},          // PA28-31
    },
    {
        {8, N, S(5, 2)},         {9, N, S(5, 3)},         {10, N, S(5, 0)},        {11, N, S(5, 1)},         // PB00-03
        {12, N, N},              {13, N, N},              {14, N, N},              {15, N, N},               // PB04-07
        {2, N, S(4, 0)},         {3, N, S(4, 1)},         {N, N, S(4, 2)},         {N, N, S(4, 3)},          // PB08-11
        {N, S(4, 0), N},         {N, S(4, 1), N},         {N, S(4, 2), N},         {N, S(4, 3), N},          // PB12-15
        {N, S(5, 0), N},         {N, S(5, 1), N},         {N, N, N},               {N, N, N},                // PB16-19
        {N, N, N},               {N, N, N},               {N, N, S(5, 2)},         {N, N, S(5, 3)},          // PB20-23
        {N, N, N},               {N, N, N},               {N, N, N},               {N, N, N},                // PB24-27
        {N, N, N},               {N, N, N},               {N, N, S(5, 0)},         {N, N, S(5, 1)},          // PB28-31
    },
};

const Entry& entry(Pad p) { return kPads[static_cast<unsigned>(p.group) & 1u][p.pin & 31u]; }

int8_t sercom_code(Pad p, uint8_t function) {
    if (function == fn::kC) return entry(p).c;
    if (function == fn::kD) return entry(p).d;
    return N;
}

}  // namespace

std::optional<unsigned> ain_on(Pad p) {
    const int8_t a = entry(p).ain;
    if (a < 0) return std::nullopt;
    return static_cast<unsigned>(a);
}

std::optional<Pad> pad_of_ain(unsigned ain) {
    for (unsigned i = 0; i < 64; ++i)
        if (entry(PadSet::at(i)).ain == static_cast<int>(ain)) return PadSet::at(i);
    return std::nullopt;
}

std::optional<SercomPad> sercom_on(Pad p, uint8_t function) {
    const int8_t code = sercom_code(p, function);
    if (code < 0) return std::nullopt;
    return SercomPad{static_cast<uint8_t>(code / 4), static_cast<uint8_t>(code % 4)};
}

std::optional<uint8_t> function_of(Pad p, unsigned sercom) {
    for (uint8_t f : {fn::kC, fn::kD})
        if (auto sp = sercom_on(p, f); sp && sp->sercom == sercom) return f;
    return std::nullopt;
}

std::string pad_name(Pad p) {
    char name[8] = {'P', p.group == Group::A ? 'A' : 'B', static_cast<char>('0' + p.pin / 10),
                    static_cast<char>('0' + p.pin % 10), 0};
    return name;
}

const char* signal_name(Signal s) {
    static const char* const kNames[kSignals] = {"TX", "RX", "SCK", "MOSI", "MISO", "SDA", "SCL"};
    return kNames[static_cast<unsigned>(s)];
}

PinMux::PinMux(const Port& port) : port_(port) { update(); }

void PinMux::update() {
    for (auto& s : pads_) s.fill(PadSet{});
    at_.fill(N);
    analog_ = 0;
    for (unsigned i = 0; i < 64; ++i) {
        const Pad p = PadSet::at(i);
        const PadDrive d = port_.drive(p.group, p.pin);
        if (!d.function) continue;
        if (d.mux == fn::kB && entry(p).ain >= 0) analog_ |= uint64_t{1} << i;
        const int8_t code = sercom_code(p, d.mux);
        if (code < 0) continue;
        at_[i] = code;
        pads_[static_cast<unsigned>(code) / 4][static_cast<unsigned>(code) % 4].add(p);
    }
}

std::optional<SercomPad> PinMux::sercom_at(Pad p) const {
    const int8_t code = at_[PadSet::index(p)];
    if (code < 0) return std::nullopt;
    return SercomPad{static_cast<uint8_t>(code / 4), static_cast<uint8_t>(code % 4)};
}

}  // namespace zchip
