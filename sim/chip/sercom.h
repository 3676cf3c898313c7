// SERCOM0..5 in the three modes the board uses (datasheet chapters SERCOM,
// SERCOM USART, SERCOM SPI, SERCOM I2C):
// - USART with internal clock: 16x/8x/3x oversampling, arithmetic or
//   fractional BAUD; a byte written to DATA shifts out at the real bit rate
//   and reaches Wires::serial_out when its stop bit ends; bytes arrive
//   through line_in() and are taken only within the receiver's tolerance.
// - SPI master: SCK from BAUD, CPOL/CPHA/DORD, each byte exchanged through
//   Wires::spi_exchange.
// - I2C master: ADDR starts a transaction, DATA and CTRLB.CMD carry it on,
//   mapped onto Wires::i2c_write / Wires::i2c_read (see the .cpp for how a
//   byte-level master meets transaction-level devices).
// Each signal is on the pads where PORT's multiplexer puts the SERCOM PADn
// that CTRLA's pad selection gives it (TXPO/RXPO, DOPO/DIPO; in I2C PAD0 is
// SDA, PAD1 SCL); the Wires calls name those pads.
#pragma once
#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "context.h"
#include "pinmux.h"

namespace zchip {

class Sercom : public Model {
public:
    static constexpr unsigned kCount = 6;
    enum Mode : unsigned { kUsartExt = 0, kUsartInt = 1, kSpiSlave = 2, kSpiMaster = 3, kI2cSlave = 4, kI2cMaster = 5 };
    Sercom(Ctx& ctx, unsigned index);
    void reset() override;

    static uint32_t base_of(unsigned index);
    uint8_t irq() const { return static_cast<uint8_t>(8 + index_); }
    unsigned mode() const { return (ctrla_ >> 2) & 7; }
    bool enabled() const { return enabled_; }

    // A byte on the RX line whose stop bit ended at `stop_bit_end` (now), sent
    // at `sender_baud`.
    void line_in(uint8_t byte, vtime stop_bit_end, double sender_baud);
    // The USART bit rate BAUD, SAMPR and the generic clock give (0: no clock).
    double usart_baud() const;
    // The receiver's tolerance (datasheet, SERCOM USART: Asynchronous
    // Operational Range): the sender-to-receiver rate ratios it takes.
    static void tolerance(unsigned oversampling, unsigned data_bits, double& slow, double& fast);
    // What a receiver sampling at `rx_baud` makes of a frame sent at `tx_baud`.
    static uint8_t sample_frame(uint8_t byte, double tx_baud, double rx_baud, unsigned oversampling, bool& stop_ok);
    double spi_sck_hz() const;
    double i2c_scl_hz() const;
    // SCL rise time in the SCL formula (datasheet, SERCOM I2C: Clock
    // Generation): the board's bus is not characterised, 0 by default.
    void set_i2c_rise_ns(double ns) { i2c_rise_ns_ = ns; }
    // Bytes one I2C read transaction fetches when ADDR.LENEN gives no length.
    void set_i2c_read_ahead(size_t n) { read_ahead_ = n ? n : 1; }

    uint64_t rx_ignored() const { return rx_ignored_; }

    // The pad multiplexer the SERCOM's pads go through.
    void attach(const PinMux& mux);
    // PORT moved a pad: the signals' pads follow.
    void reroute();
    // The SERCOM PADn the CTRLA in force puts a signal on; -1 when the mode
    // has no such signal.
    int pad_of(Signal s) const;
    // The pads a signal is on now.
    PadSet pins_of(Signal s) const { return route_[static_cast<unsigned>(s)]; }
    // Every pad a signal was on while the SERCOM was enabled, over the run
    // (resets included).
    PadSet seen(Signal s) const { return seen_[static_cast<unsigned>(s)]; }

private:
    struct RxEntry {
        uint16_t data;
        bool ferr;
        bool ovf;   // data was lost just before this one (BUFOVF travels with it)
    };
    RegTable& table() override;
    void build_common(RegTable& t, unsigned mode_kind);
    void build_usart();
    void build_spi();
    void build_i2c();
    void write_ctrla(uint32_t data, uint32_t lanes);
    void write_ctrlb(uint32_t data, uint32_t lanes, unsigned kind);
    void apply_enable(bool on);
    void software_reset();
    uint8_t flags() const;
    void clear_flags(uint8_t bits);
    void update_irq();
    void clocks_changed();
    double core_hz() const;
    unsigned oversampling() const;
    unsigned frame_bits() const;

    // USART
    void usart_write_data(uint16_t v);
    uint16_t usart_read_data();
    void tx_start();
    void tx_done(uint64_t gen);
    void head_status();
    void rx_flush();
    // SPI
    void spi_write_data(uint32_t v);
    uint32_t spi_read_data();
    void spi_start();
    void spi_done(uint64_t gen, uint16_t mosi);
    // I2C
    void i2c_write_addr(uint32_t v);
    void i2c_write_data(uint8_t v);
    uint8_t i2c_read_data();
    void i2c_command(unsigned cmd);
    void i2c_address();
    void i2c_next_byte();
    bool i2c_fetch();
    void i2c_flush_write();
    void i2c_stop();
    void i2c_op(double bits, std::function<void()> done);
    bool i2c_sysop_busy(const char* what);
    I2cPads i2c_pads() const { return I2cPads{pins_of(Signal::Sda), pins_of(Signal::Scl)}; }

    unsigned index_;
    unsigned core_channel_;
    RegTable usart_, spi_, i2c_;
    std::unique_ptr<Sync> sync_;
    uint32_t ctrla_ = 0;
    uint32_t ctrlb_ = 0;
    uint32_t baud_ = 0;
    uint8_t rxpl_ = 0;
    uint8_t dbgctrl_ = 0;
    uint8_t inten_ = 0;
    uint8_t intflag_ = 0;   // the stored flags (DRE and RXC are computed in USART/SPI)
    uint16_t status_ = 0;
    uint32_t addr_ = 0;
    bool enabled_ = false;
    bool txen_ = false;
    bool rxen_ = false;
    uint64_t gen_ = 0;
    const PinMux* mux_ = nullptr;
    std::array<PadSet, kSignals> route_{};
    std::array<PadSet, kSignals> seen_{};

    // USART and SPI data paths
    std::optional<uint16_t> tx_buf_;
    bool shifting_ = false;
    uint16_t shift_data_ = 0;
    std::deque<RxEntry> rx_;
    bool pending_ovf_ = false;
    uint64_t rx_ignored_ = 0;

    // I2C master
    unsigned bus_state_ = 0;   // STATUS.BUSSTATE: 0 unknown, 1 idle, 2 owner, 3 busy
    bool i2c_busy_ = false;    // a bus operation is under way
    bool addr_waits_ = false;  // ADDR written during it: the START follows when it ends
    bool i2c_read_ = false;
    bool i2c_acked_ = false;
    uint8_t i2c_addr_ = 0;
    std::vector<uint8_t> wbuf_;
    std::vector<uint8_t> rbuf_;
    size_t rpos_ = 0;
    uint8_t i2c_data_ = 0;
    double i2c_rise_ns_ = 0.0;
    size_t read_ahead_ = 32;
};

}  // namespace zchip
