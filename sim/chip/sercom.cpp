#include "sercom.h"

#include <cmath>

#include "gclk.h"

namespace zchip {
namespace {
constexpr uint32_t kSwrst = 1u << 0, kEnable = 1u << 1;
constexpr uint32_t kIbon = 1u << 8;
constexpr uint32_t kCpha = 1u << 28, kCpol = 1u << 29, kDord = 1u << 30;
constexpr uint32_t kCtrlaWritable = 0x7FF3E19E;    // every field of the three modes
constexpr uint32_t kCtrlaProtected = 0x7FF3E19C;   // all but SWRST and ENABLE
constexpr uint32_t kTxen = 1u << 16, kRxen = 1u << 17;
constexpr uint32_t kSmen = 1u << 8, kAckact = 1u << 18;
constexpr uint32_t kSyncSwrst = 1u << 0, kSyncEnable = 1u << 1, kSyncCtrlb = 1u << 2, kSyncSysop = 1u << 2;
// INTFLAG
constexpr uint8_t kDre = 1u << 0, kTxc = 1u << 1, kRxc = 1u << 2, kError = 1u << 7;
constexpr uint8_t kMb = 1u << 0, kSb = 1u << 1;
// STATUS
constexpr uint16_t kFerr = 1u << 1, kBufovf = 1u << 2, kRxnack = 1u << 2;
// ADDR (I2C)
constexpr uint32_t kLenen = 1u << 13, kTenbiten = 1u << 15;
// Two-level receive buffer and the shift register behind it (datasheet,
// SERCOM USART: Data Reception).
constexpr size_t kUsartRxDepth = 3;
constexpr size_t kSpiRxDepth = 2;
enum Kind : unsigned { kUsart = 0, kSpi = 1, kI2c = 2 };

const char* sercom_name(unsigned i) {
    static const char* const kNames[Sercom::kCount] = {"SERCOM0", "SERCOM1", "SERCOM2", "SERCOM3", "SERCOM4", "SERCOM5"};
    return kNames[i];
}
}  // namespace

uint32_t Sercom::base_of(unsigned index) {
    static const uint32_t kBases[kCount] = {0x42000000, 0x42000400, 0x42000800, 0x42000C00, 0x42001000, 0x43000400};
    return kBases[index];
}

Sercom::Sercom(Ctx& ctx, unsigned index)
    : Model(ctx, sercom_name(index), base_of(index), 0x400,
            index < 5 ? ApbClock{Apb::C, static_cast<uint8_t>(index)} : ApbClock{Apb::D, 1}),
      index_(index),
      core_channel_(index < 5 ? pch::kSercom0Core + index : pch::kSercom5Core) {
    sync_ = std::make_unique<Sync>(ctx, name(), [this] { return core_hz(); });
    build_usart();
    build_spi();
    build_i2c();
    ctx.on_clocks_changed([this] { clocks_changed(); });
}

RegTable& Sercom::table() {
    switch (mode()) {
        case kSpiSlave:
        case kSpiMaster: return spi_;
        case kI2cSlave:
        case kI2cMaster: return i2c_;
        default: return usart_;
    }
}

double Sercom::core_hz() const { return ctx_.channel_hz(core_channel_); }

// ---- registers shared by the three modes ----

void Sercom::build_common(RegTable& t, unsigned kind) {
    Reg& ctrla = t.add("CTRLA", 0x00, 4, 0, 0);
    ctrla.on_read = [this] { return (ctrla_ & ~kSwrst) | ((sync_->busy() & kSyncSwrst) ? kSwrst : 0u); };
    ctrla.on_write = [this](uint32_t d, uint32_t lanes) { write_ctrla(d, lanes); };
    Reg& ctrlb = t.add("CTRLB", 0x04, 4, 0, 0);
    ctrlb.on_read = [this] { return ctrlb_; };
    ctrlb.on_write = [this, kind](uint32_t d, uint32_t lanes) { write_ctrlb(d, lanes, kind); };
    add_inten(t, 0x14, 0x16, 1, inten_, 0xBF, [this] { update_irq(); });
    Reg& intflag = t.add("INTFLAG", 0x18, 1, 0, 0);
    intflag.on_read = [this] { return static_cast<uint32_t>(flags()); };
    intflag.on_write = [this](uint32_t d, uint32_t) { clear_flags(static_cast<uint8_t>(d)); };
    Reg& syncbusy = t.add("SYNCBUSY", 0x1C, 4, 0, 0);
    syncbusy.on_read = [this] { return sync_->busy(); };
    syncbusy.on_write = [](uint32_t, uint32_t) {};
    Reg& dbgctrl = t.add("DBGCTRL", 0x30, 1, 0, 0);
    dbgctrl.on_read = [this] { return static_cast<uint32_t>(dbgctrl_); };
    dbgctrl.on_write = [this](uint32_t d, uint32_t) { dbgctrl_ = static_cast<uint8_t>(d & 1u); };
}

void Sercom::build_usart() {
    build_common(usart_, kUsart);
    Reg& baud = usart_.add("BAUD", 0x0C, 2, 0, 0);
    baud.on_read = [this] { return baud_ & 0xFFFF; };
    baud.on_write = [this](uint32_t d, uint32_t lanes) {
        baud_ = enable_protect("BAUD", baud_ & 0xFFFF, d, lanes, 0xFFFF, 0xFFFF, enabled_ || (ctrla_ & kEnable));
    };
    Reg& rxpl = usart_.add("RXPL", 0x0E, 1, 0, 0);
    rxpl.on_read = [this] { return static_cast<uint32_t>(rxpl_); };
    rxpl.on_write = [this](uint32_t d, uint32_t) { rxpl_ = static_cast<uint8_t>(d); };
    Reg& status = usart_.add("STATUS", 0x1A, 2, 0, 0);
    status.on_read = [this] { return static_cast<uint32_t>(status_); };
    status.on_write = [this](uint32_t d, uint32_t) { status_ = static_cast<uint16_t>(status_ & ~(d & 0x37)); };
    Reg& data = usart_.add("DATA", 0x28, 2, 0, 0);
    data.on_read = [this] { return static_cast<uint32_t>(usart_read_data()); };
    data.on_write = [this](uint32_t d, uint32_t) { usart_write_data(static_cast<uint16_t>(d & 0x1FF)); };
}

void Sercom::build_spi() {
    build_common(spi_, kSpi);
    Reg& baud = spi_.add("BAUD", 0x0C, 1, 0, 0);
    baud.on_read = [this] { return baud_ & 0xFF; };
    baud.on_write = [this](uint32_t d, uint32_t lanes) {
        baud_ = enable_protect("BAUD", baud_ & 0xFF, d, lanes, 0xFF, 0xFF, enabled_ || (ctrla_ & kEnable));
    };
    Reg& status = spi_.add("STATUS", 0x1A, 2, 0, 0);
    status.on_read = [this] { return static_cast<uint32_t>(status_); };
    status.on_write = [this](uint32_t d, uint32_t) { status_ = static_cast<uint16_t>(status_ & ~(d & kBufovf)); };
    Reg& addr = spi_.add("ADDR", 0x24, 4, 0, 0);
    addr.on_read = [this] { return addr_; };
    addr.on_write = [this](uint32_t d, uint32_t lanes) {
        addr_ = enable_protect("ADDR", addr_, d, lanes, 0x00FF00FF, 0x00FF00FF, enabled_ || (ctrla_ & kEnable));
    };
    Reg& data = spi_.add("DATA", 0x28, 4, 0, 0);
    data.on_read = [this] { return spi_read_data(); };
    data.on_write = [this](uint32_t d, uint32_t) { spi_write_data(d & 0x1FF); };
}

void Sercom::build_i2c() {
    build_common(i2c_, kI2c);
    Reg& baud = i2c_.add("BAUD", 0x0C, 4, 0, 0);
    baud.on_read = [this] { return baud_; };
    baud.on_write = [this](uint32_t d, uint32_t lanes) {
        baud_ = enable_protect("BAUD", baud_, d, lanes, 0xFFFFFFFF, 0xFFFFFFFF, enabled_ || (ctrla_ & kEnable));
    };
    Reg& status = i2c_.add("STATUS", 0x1A, 2, 0, 0);
    status.on_read = [this] { return static_cast<uint32_t>(status_ | (bus_state_ << 4)); };
    status.on_write = [this](uint32_t d, uint32_t lanes) {
        status_ = static_cast<uint16_t>(status_ & ~(d & 0x0743));
        // Writing 1 to BUSSTATE forces the bus state to IDLE (datasheet, SERCOM I2C: Status).
        if ((lanes & 0x30) && ((d >> 4) & 3) == 1 && enabled_ && mode() == kI2cMaster) {
            if (i2c_sysop_busy("STATUS.BUSSTATE")) return;
            sync_->start(kSyncSysop, [this] {
                if (enabled_ && !i2c_busy_) bus_state_ = 1;
            });
        }
    };
    Reg& addr = i2c_.add("ADDR", 0x24, 4, 0, 0);
    addr.on_read = [this] { return addr_; };
    addr.on_write = [this](uint32_t d, uint32_t lanes) { i2c_write_addr((addr_ & ~lanes) | (d & lanes)); };
    Reg& data = i2c_.add("DATA", 0x28, 1, 0, 0);
    data.on_read = [this] { return static_cast<uint32_t>(i2c_read_data()); };
    data.on_write = [this](uint32_t d, uint32_t) { i2c_write_data(static_cast<uint8_t>(d)); };
}

void Sercom::write_ctrla(uint32_t data, uint32_t lanes) {
    if (sync_->busy() & (kSyncSwrst | kSyncEnable)) {
        forbidden("CTRLA written while SYNCBUSY.SWRST/ENABLE is set: discarded");
        return;
    }
    if ((lanes & kSwrst) && (data & kSwrst)) {
        // A software reset takes every register back, ENABLE included.
        ++gen_;
        sync_->start(kSyncSwrst, [this] { software_reset(); });
        return;
    }
    const uint32_t m = lanes & kCtrlaWritable;
    uint32_t v = (ctrla_ & ~m) | (data & m);
    if ((enabled_ || (ctrla_ & kEnable)) && ((v ^ ctrla_) & kCtrlaProtected)) {
        forbidden("CTRLA written while enabled: enable-protected bits " + hex((v ^ ctrla_) & kCtrlaProtected) +
                  " ignored");
        v = (v & ~kCtrlaProtected) | (ctrla_ & kCtrlaProtected);
    }
    const uint32_t old = ctrla_;
    ctrla_ = v;
    reroute();
    if ((v ^ old) & kEnable) sync_->start(kSyncEnable, [this] { apply_enable(ctrla_ & kEnable); });
}

void Sercom::write_ctrlb(uint32_t data, uint32_t lanes, unsigned kind) {
    const bool on = enabled_ || (ctrla_ & kEnable);
    if (on && (sync_->busy() & kSyncCtrlb)) {
        forbidden(std::string("CTRLB written while SYNCBUSY.") + (kind == kI2c ? "SYSOP" : "CTRLB") +
                  " is set: discarded");
        return;
    }
    // Writable and enable-protected bits per mode (datasheet, Control B):
    // RXEN/TXEN, and in I2C ACKACT and CMD, may change while enabled.
    static const uint32_t kWritable[3] = {0x00032747, 0x0002E247, 0x00040300};
    static const uint32_t kProtected[3] = {0x00002747, 0x0000E247, 0x00000300};
    const uint32_t m = lanes & kWritable[kind];
    uint32_t v = (ctrlb_ & ~m) | (data & m);
    if (on && ((v ^ ctrlb_) & kProtected[kind])) {
        forbidden("CTRLB written while enabled: enable-protected bits " + hex((v ^ ctrlb_) & kProtected[kind]) +
                  " ignored");
        v = (v & ~kProtected[kind]) | (ctrlb_ & kProtected[kind]);
    }
    ctrlb_ = v;
    if (kind == kI2c) {
        const unsigned cmd = (lanes & 0x30000u) ? (data >> 16) & 3 : 0;
        if (cmd) i2c_command(cmd);
        return;
    }
    auto apply = [this, kind] {
        const bool rx = ctrlb_ & kRxen;
        if (rxen_ && !rx) rx_flush();   // disabling the receiver flushes it (datasheet, Data Reception)
        rxen_ = rx;
        txen_ = kind == kUsart ? (ctrlb_ & kTxen) != 0 : true;
        if (kind == kUsart) tx_start();
        update_irq();
    };
    if (on) sync_->start(kSyncCtrlb, apply);
    else apply();
}

void Sercom::apply_enable(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    reroute();
    ++gen_;
    shifting_ = false;
    i2c_busy_ = addr_waits_ = false;
    if (on) {
        const unsigned m = mode();
        if (m != kUsartInt && m != kSpiMaster && m != kI2cMaster)
            forbidden_once("CTRLA.MODE " + std::to_string(m) + " is not modelled: the SERCOM does nothing");
        if (m == kUsartInt) {
            const unsigned sampr = (ctrla_ >> 13) & 7;
            if (sampr > 4) forbidden("CTRLA.SAMPR " + std::to_string(sampr) + " is reserved");
            if ((ctrlb_ & 0x7) != 0 || ((ctrla_ >> 24) & 0xF) != 0 || (ctrlb_ & (1u << 6)))
                forbidden_once("USART frame other than 8N1: bytes go to the line as their low 8 bits");
        }
        rxen_ = ctrlb_ & kRxen;
        txen_ = m == kUsartInt ? (ctrlb_ & kTxen) != 0 : true;
        bus_state_ = 0;   // UNKNOWN until forced idle or seen idle (datasheet, SERCOM I2C: Bus State Logic)
        tx_start();
        spi_start();
    } else {
        tx_buf_.reset();
        rx_flush();
        bus_state_ = 0;
        wbuf_.clear();
        rbuf_.clear();
    }
    update_irq();
}

void Sercom::software_reset() {
    ++gen_;
    ctrla_ = ctrlb_ = baud_ = addr_ = 0;
    rxpl_ = dbgctrl_ = inten_ = intflag_ = 0;
    status_ = 0;
    enabled_ = txen_ = rxen_ = false;
    tx_buf_.reset();
    shifting_ = false;
    rx_.clear();
    pending_ovf_ = false;
    bus_state_ = 0;
    i2c_busy_ = i2c_read_ = i2c_acked_ = addr_waits_ = false;
    wbuf_.clear();
    rbuf_.clear();
    rpos_ = 0;
    i2c_data_ = 0;
    reroute();
    update_irq();
}

void Sercom::reset() {
    sync_->reset();
    software_reset();
    rx_ignored_ = 0;
}

// ---- pads ----

void Sercom::attach(const PinMux& mux) {
    mux_ = &mux;
    reroute();
}

int Sercom::pad_of(Signal s) const {
    // USART TXPO: TxD on PAD2 for 1, else PAD0; SPI DOPO 0..3: DO on PAD0,
    // 2, 3, 0 and SCK on PAD1, 3, 1, 3; RXPO and DIPO name the pad
    // (datasheet, SERCOM USART and SPI: CTRLA). I2C: SDA on PAD0, SCL on PAD1.
    static const int kDo[4] = {0, 2, 3, 0}, kSck[4] = {1, 3, 1, 3};
    const unsigned m = mode(), out = (ctrla_ >> 16) & 3, in = (ctrla_ >> 20) & 3;
    const bool usart = m == kUsartExt || m == kUsartInt;
    switch (s) {
        case Signal::Tx: return usart ? (out == 1 ? 2 : 0) : -1;
        case Signal::Rx: return usart ? static_cast<int>(in) : -1;
        case Signal::Sck: return m == kSpiMaster ? kSck[out] : -1;
        case Signal::Mosi: return m == kSpiMaster ? kDo[out] : -1;
        case Signal::Miso: return m == kSpiMaster ? static_cast<int>(in) : -1;
        case Signal::Sda: return m == kI2cMaster ? 0 : -1;
        case Signal::Scl: return m == kI2cMaster ? 1 : -1;
    }
    return -1;
}

void Sercom::reroute() {
    for (unsigned i = 0; i < kSignals; ++i) {
        const int pad = pad_of(static_cast<Signal>(i));
        route_[i] = (mux_ && pad >= 0) ? mux_->pads(index_, static_cast<unsigned>(pad)) : PadSet{};
        if (enabled_) seen_[i].bits |= route_[i].bits;
    }
}

uint8_t Sercom::flags() const {
    const unsigned m = mode();
    if (m == kI2cSlave || m == kI2cMaster) return intflag_;
    uint8_t f = static_cast<uint8_t>(intflag_ & ~(kDre | kRxc));
    if (!tx_buf_) f |= kDre;
    if (!rx_.empty()) f |= kRxc;
    return f;
}

void Sercom::clear_flags(uint8_t bits) {
    const unsigned m = mode();
    // DRE and RXC follow the buffers; the others clear by writing 1.
    const uint8_t clearable = (m == kI2cSlave || m == kI2cMaster) ? (kMb | kSb | kError) : 0xBA;
    intflag_ = static_cast<uint8_t>(intflag_ & ~(bits & clearable));
    update_irq();
}

void Sercom::update_irq() { ctx_.chip.set_irq(irq(), (flags() & inten_) != 0); }

void Sercom::clocks_changed() {
    sync_->clock_changed();
    tx_start();
    spi_start();
}

// ---- USART ----

unsigned Sercom::oversampling() const {
    const unsigned sampr = (ctrla_ >> 13) & 7;
    return sampr <= 1 ? 16 : (sampr <= 3 ? 8 : 3);
}

unsigned Sercom::frame_bits() const {
    const unsigned chsize = ctrlb_ & 7;
    const unsigned data = chsize == 0 ? 8 : (chsize == 1 ? 9 : chsize);
    const unsigned parity = ((ctrla_ >> 24) & 0xF) == 1 ? 1 : 0;
    const unsigned stop = (ctrlb_ & (1u << 6)) ? 2 : 1;
    return 1 + data + parity + stop;
}

double Sercom::usart_baud() const {
    // Asynchronous arithmetic: f = fref/S × (1 − BAUD/65536); fractional:
    // f = fref / (S × (BAUD + FP/8)) (datasheet, SERCOM: Baud-Rate Generator).
    const double f = core_hz();
    if (!(f > 0.0)) return 0.0;
    const unsigned sampr = (ctrla_ >> 13) & 7;
    const double s = oversampling();
    const uint32_t b = baud_ & 0xFFFF;
    if (sampr == 0 || sampr == 2 || sampr == 4) return f / s * (1.0 - static_cast<double>(b) / 65536.0);
    if (sampr == 1 || sampr == 3) {
        const double div = static_cast<double>(b & 0x1FFF) + static_cast<double>(b >> 13) / 8.0;
        return div > 0.0 ? f / (s * div) : 0.0;
    }
    return 0.0;
}

void Sercom::tolerance(unsigned s, unsigned d, double& slow, double& fast) {
    // R_SLOW = (D+1)S / (S−1 + D·S + S_F), R_FAST = (D+2)S / ((D+1)S + S_M),
    // S_F and S_M the first and middle sample (datasheet, SERCOM USART:
    // Asynchronous Operational Range; 16x, D=8: 96.00 % .. 105.26 %).
    const double sf = s >= 8 ? s / 2.0 - 1.0 : 1.0;
    const double sm = s >= 8 ? s / 2.0 : 2.0;
    slow = (d + 1.0) * s / (s - 1.0 + d * s + sf);
    fast = (d + 2.0) * s / ((d + 1.0) * s + sm);
}

uint8_t Sercom::sample_frame(uint8_t byte, double tx_baud, double rx_baud, unsigned s, bool& stop_ok) {
    // The line as the sender drives it: start bit, 8 data bits LSB first, stop, idle.
    auto level = [&](double t) {
        const double j = std::floor(t * tx_baud);
        if (j < 1.0) return 0;
        if (j <= 8.0) return (byte >> (static_cast<int>(j) - 1)) & 1;
        return 1;
    };
    // Three samples around the middle of each bit at the receiver's rate, majority wins.
    auto bit = [&](unsigned k) {
        int ones = 0;
        for (int i = -1; i <= 1; ++i) ones += level((k + 0.5 + i / static_cast<double>(s)) / rx_baud);
        return ones >= 2 ? 1 : 0;
    };
    uint8_t r = 0;
    for (unsigned k = 1; k <= 8; ++k) r = static_cast<uint8_t>(r | (bit(k) << (k - 1)));
    stop_ok = bit(9) == 1;
    return r;
}

void Sercom::line_in(uint8_t byte, vtime /*stop_bit_end*/, double sender_baud) {
    const double rx_baud = usart_baud();
    if (mode() != kUsartInt || !enabled_ || !rxen_ || !(rx_baud > 0.0)) {
        ++rx_ignored_;
        return;
    }
    double slow, fast;
    const unsigned s = oversampling();
    tolerance(s, frame_bits() - 1 - ((ctrlb_ & (1u << 6)) ? 2 : 1), slow, fast);
    const double ratio = sender_baud / rx_baud;
    RxEntry e{byte, false, false};
    if (!(ratio >= slow && ratio <= fast)) {
        // Out of the receiver's range: a framing error on what it sampled.
        bool stop_ok;
        e.data = sample_frame(byte, sender_baud, rx_baud, s, stop_ok);
        e.ferr = true;
    }
    if (rx_.size() >= kUsartRxDepth) {
        // Overflow: the new frame is lost. With IBON the error shows at once,
        // else it travels with the next data (datasheet, Data Reception, Error Bits).
        if (ctrla_ & kIbon) {
            status_ |= kBufovf;
            intflag_ |= kError;
        } else {
            pending_ovf_ = true;
        }
        update_irq();
        return;
    }
    e.ovf = pending_ovf_;
    pending_ovf_ = false;
    rx_.push_back(e);
    if (rx_.size() == 1) head_status();
    update_irq();
}

void Sercom::head_status() {
    if (rx_.empty()) return;
    const RxEntry& h = rx_.front();
    if (h.ferr) status_ |= kFerr;
    if (h.ovf) status_ |= kBufovf;
    if (h.ferr || h.ovf) intflag_ |= kError;
}

uint16_t Sercom::usart_read_data() {
    if (rx_.empty()) return 0;
    const uint16_t v = rx_.front().data;
    rx_.pop_front();
    head_status();
    update_irq();
    return v;
}

void Sercom::rx_flush() {
    rx_.clear();
    pending_ovf_ = false;
    status_ = static_cast<uint16_t>(status_ & ~0x07u);   // PERR, FERR, BUFOVF
}

void Sercom::usart_write_data(uint16_t v) {
    if (tx_buf_) {
        forbidden("DATA written while INTFLAG.DRE is 0: byte " + hex(v, 2) + " lost");
        return;
    }
    if (!enabled_ || !txen_) {
        forbidden("DATA written while the transmitter is disabled: byte " + hex(v, 2) + " lost");
        return;
    }
    tx_buf_ = v;
    intflag_ = static_cast<uint8_t>(intflag_ & ~kTxc);
    tx_start();
    update_irq();
}

void Sercom::tx_start() {
    if (mode() != kUsartInt || shifting_ || !tx_buf_ || !enabled_ || !txen_) return;
    const double baud = usart_baud();
    if (!(baud > 0.0)) return;   // no clock: the byte waits
    shift_data_ = *tx_buf_;
    tx_buf_.reset();
    shifting_ = true;
    const uint64_t gen = gen_;
    ctx_.chip.schedule(ctx_.now() + ns_for(frame_bits(), baud), [this, gen] { tx_done(gen); });
    update_irq();
}

void Sercom::tx_done(uint64_t gen) {
    if (gen != gen_ || !shifting_) return;
    shifting_ = false;
    ctx_.chip.wires().serial_out(route_[static_cast<unsigned>(Signal::Tx)], static_cast<uint8_t>(shift_data_),
                                 ctx_.now(), usart_baud());
    if (tx_buf_) tx_start();
    else intflag_ |= kTxc;
    update_irq();
}

// ---- SPI master ----

double Sercom::spi_sck_hz() const {
    // f_SCK = fref / (2 × (BAUD + 1)) (datasheet, SERCOM: Baud-Rate Generator, synchronous).
    return core_hz() / (2.0 * ((baud_ & 0xFF) + 1.0));
}

void Sercom::spi_write_data(uint32_t v) {
    if (tx_buf_) {
        forbidden("DATA written while INTFLAG.DRE is 0: byte " + hex(v, 2) + " lost");
        return;
    }
    if (!enabled_) {
        forbidden("DATA written while the SPI is disabled: byte " + hex(v, 2) + " lost");
        return;
    }
    if ((ctrlb_ & 7) == 1) forbidden_once("9-bit SPI characters are not modelled: 8 bits go out");
    tx_buf_ = static_cast<uint16_t>(v);
    intflag_ = static_cast<uint8_t>(intflag_ & ~kTxc);
    spi_start();
    update_irq();
}

uint32_t Sercom::spi_read_data() {
    if (rx_.empty()) return 0;
    const uint16_t v = rx_.front().data;
    rx_.pop_front();
    update_irq();
    return v;
}

void Sercom::spi_start() {
    if (mode() != kSpiMaster || shifting_ || !tx_buf_ || !enabled_) return;
    const double hz = spi_sck_hz();
    if (!(hz > 0.0)) return;
    shifting_ = true;
    const uint16_t mosi = *tx_buf_;
    tx_buf_.reset();
    const uint64_t gen = gen_;
    ctx_.chip.schedule(ctx_.now() + ns_for(8, hz), [this, gen, mosi] { spi_done(gen, mosi); });
    update_irq();
}

void Sercom::spi_done(uint64_t gen, uint16_t mosi) {
    if (gen != gen_ || !shifting_) return;
    shifting_ = false;
    SpiFormat f;
    f.cpol = ctrla_ & kCpol;
    f.cpha = ctrla_ & kCpha;
    f.lsb_first = ctrla_ & kDord;
    f.hz = static_cast<uint32_t>(std::llround(spi_sck_hz()));
    const SpiPads pads{pins_of(Signal::Sck), pins_of(Signal::Mosi), pins_of(Signal::Miso)};
    const uint8_t miso = ctx_.chip.wires().spi_exchange(pads, static_cast<uint8_t>(mosi), f);
    if (rxen_) {
        if (rx_.size() >= kSpiRxDepth) {
            status_ |= kBufovf;
            intflag_ |= kError;
        } else {
            rx_.push_back(RxEntry{miso, false, false});
        }
    }
    if (tx_buf_) spi_start();
    else intflag_ |= kTxc;
    update_irq();
}

// ---- I2C master ----
//
// The devices answer whole transactions (Wires::i2c_write / i2c_read), the
// firmware drives bytes. A write's address is acknowledged or not as a
// zero-length read probe answers; its data bytes are acknowledged as they
// go and reach the device together at the STOP or repeated START (a device
// that refuses some is reported). A read fetches its bytes when the address
// goes out: ADDR.LEN of them with LENEN, else a read-ahead, continued by
// further reads if the firmware wants more.

double Sercom::i2c_scl_hz() const {
    // f_SCL = fref / (10 + 2·BAUD + fref·T_RISE), or with BAUDLOW:
    // fref / (10 + BAUD + BAUDLOW + fref·T_RISE) (datasheet, SERCOM I2C: Clock Generation).
    const double f = core_hz();
    if (!(f > 0.0)) return 0.0;
    const double baud = baud_ & 0xFF, low = (baud_ >> 8) & 0xFF;
    const double cycles = (low > 0 ? 10.0 + baud + low : 10.0 + 2.0 * baud) + f * i2c_rise_ns_ * 1e-9;
    return f / cycles;
}

bool Sercom::i2c_sysop_busy(const char* what) {
    if (!(sync_->busy() & kSyncSysop)) return false;
    forbidden(std::string(what) + " written while SYNCBUSY.SYSOP is set: discarded");
    return true;
}

void Sercom::i2c_op(double bits, std::function<void()> done) {
    i2c_busy_ = true;
    const double hz = i2c_scl_hz();
    if (!(hz > 0.0)) {
        forbidden_once("I2C bus operation without its generic clock: it never completes");
        return;
    }
    const uint64_t gen = gen_;
    ctx_.chip.schedule(ctx_.now() + ns_for(bits, hz), [this, gen, done = std::move(done)] {
        if (gen != gen_) return;
        i2c_busy_ = false;
        done();
        update_irq();
        if (addr_waits_) {
            addr_waits_ = false;
            i2c_address();
        }
    });
}

void Sercom::i2c_write_addr(uint32_t v) {
    if (i2c_sysop_busy("ADDR")) return;
    addr_ = v & 0x00FFE7FF;
    intflag_ = static_cast<uint8_t>(intflag_ & ~(kMb | kSb));
    update_irq();
    if (!enabled_ || mode() != kI2cMaster) return;
    sync_->start(kSyncSysop, [this] { i2c_address(); });
}

void Sercom::i2c_address() {
    {
        if (bus_state_ == 0) {
            forbidden_once("ADDR written while STATUS.BUSSTATE is UNKNOWN: no START until the bus is seen idle");
            return;
        }
        // A master whose bus is still busy (a STOP being sent) issues the
        // START once the bus is free (datasheet, SERCOM I2C: Transmitting
        // Address Packets).
        if (i2c_busy_) {
            addr_waits_ = true;
            return;
        }
        if (bus_state_ == 2 && !i2c_read_) i2c_flush_write();   // repeated START ends the write
        if (addr_ & kTenbiten) forbidden_once("10-bit I2C addressing is not modelled");
        i2c_addr_ = static_cast<uint8_t>((addr_ >> 1) & 0x7F);
        i2c_read_ = addr_ & 1u;
        bus_state_ = 2;
        wbuf_.clear();
        Wires& w = ctx_.chip.wires();
        if (!i2c_read_) {
            i2c_acked_ = w.i2c_read(i2c_pads(), i2c_addr_, nullptr, 0);
            // START, address and R/W, acknowledge.
            i2c_op(10, [this] {
                status_ = static_cast<uint16_t>(i2c_acked_ ? status_ & ~kRxnack : status_ | kRxnack);
                intflag_ |= kMb;
            });
            return;
        }
        i2c_acked_ = i2c_fetch();
        if (!i2c_acked_) {
            i2c_op(10, [this] {
                status_ |= kRxnack;
                intflag_ |= kMb;
            });
            return;
        }
        // The address, then the first byte clocked in.
        i2c_op(19, [this] {
            status_ = static_cast<uint16_t>(status_ & ~kRxnack);
            i2c_data_ = rbuf_[rpos_];
            intflag_ |= kSb;
        });
    }
}

bool Sercom::i2c_fetch() {
    const size_t len = (addr_ >> 16) & 0xFF;
    const size_t n = ((addr_ & kLenen) && len) ? len : read_ahead_;
    rbuf_.assign(n, 0);
    rpos_ = 0;
    return ctx_.chip.wires().i2c_read(i2c_pads(), i2c_addr_, rbuf_.data(), n);
}

void Sercom::i2c_next_byte() {
    ++rpos_;
    if (rpos_ >= rbuf_.size() && !i2c_fetch()) {
        forbidden_once("I2C read continued past its read-ahead and the device stopped answering");
        rbuf_.assign(1, 0xFF);
        rpos_ = 0;
    }
    i2c_op(9, [this] {
        i2c_data_ = rbuf_[rpos_];
        intflag_ |= kSb;
    });
}

void Sercom::i2c_write_data(uint8_t v) {
    if (mode() != kI2cMaster || !enabled_) return;
    if (i2c_sysop_busy("DATA")) return;
    intflag_ = static_cast<uint8_t>(intflag_ & ~kMb);
    update_irq();
    if (bus_state_ != 2 || i2c_read_) {
        forbidden("DATA written without a write transaction on the bus: ignored");
        return;
    }
    if (i2c_busy_) {
        forbidden("DATA written while a byte is on the bus: ignored");
        return;
    }
    sync_->start(kSyncSysop, [this, v] {
        i2c_op(9, [this, v] {
            wbuf_.push_back(v);
            status_ = static_cast<uint16_t>(i2c_acked_ ? status_ & ~kRxnack : status_ | kRxnack);
            intflag_ |= kMb;
        });
    });
}

uint8_t Sercom::i2c_read_data() {
    const uint8_t v = i2c_data_;
    if (mode() != kI2cMaster || !enabled_) return v;
    // In smart mode reading DATA sends ACKACT and, on ACK, reads the next
    // byte (datasheet, SERCOM I2C: Smart Mode).
    if ((ctrlb_ & kSmen) && bus_state_ == 2 && i2c_read_ && (intflag_ & kSb)) {
        intflag_ = static_cast<uint8_t>(intflag_ & ~kSb);
        update_irq();
        if (!(ctrlb_ & kAckact)) i2c_next_byte();
    }
    return v;
}

void Sercom::i2c_command(unsigned cmd) {
    if (mode() != kI2cMaster || !enabled_) return;
    if (i2c_sysop_busy("CTRLB.CMD")) return;
    intflag_ = static_cast<uint8_t>(intflag_ & ~(kMb | kSb));
    update_irq();
    sync_->start(kSyncSysop, [this, cmd] {
        if (bus_state_ != 2) {
            forbidden("CTRLB.CMD " + std::to_string(cmd) + " without owning the bus: ignored");
            return;
        }
        if (i2c_busy_) {
            forbidden("CTRLB.CMD written while a bus operation is under way: ignored");
            return;
        }
        switch (cmd) {
            case 1:   // acknowledge action, then a repeated START to the same address
                i2c_address();
                break;
            case 2:   // acknowledge action, then read a byte
                if (!i2c_read_) {
                    forbidden("CTRLB.CMD byte read during a write transaction: ignored");
                    return;
                }
                if (ctrlb_ & kAckact) {
                    forbidden("CTRLB.CMD byte read with ACKACT sending NACK: ignored");
                    return;
                }
                i2c_next_byte();
                break;
            default: i2c_stop(); break;
        }
    });
}

void Sercom::i2c_flush_write() {
    if (i2c_acked_ && !wbuf_.empty()) {
        const size_t n = wbuf_.size();
        const size_t k = ctx_.chip.wires().i2c_write(i2c_pads(), i2c_addr_, wbuf_.data(), n);
        if (k < n)
            forbidden_once("I2C device " + hex(i2c_addr_, 2) + " acknowledged " + std::to_string(k) + " of " +
                           std::to_string(n) + " data bytes: known only at the STOP, the firmware saw them all acknowledged");
    }
    wbuf_.clear();
}

void Sercom::i2c_stop() {
    if (!i2c_read_) i2c_flush_write();
    rbuf_.clear();
    i2c_op(1, [this] { bus_state_ = 1; });
}

}  // namespace zchip
