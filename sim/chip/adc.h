// ADC – Analog-to-Digital Converter (datasheet chapter ADC): single-ended
// conversions of AIN0..19 against the selected reference, 8/10/12-bit
// results (and 16-bit accumulation), started by SWTRIG.START or free
// running, RESRDY when the result is in RESULT. The input volts come from
// Wires::pad_volts of the AIN's pad while that pad is on its analog
// function (B); a conversion lasts what its clock (GCLK_ADC over
// CTRLB.PRESCALER), SAMPCTRL and the resolution give. CALIB must hold the
// factory trims from the NVM software calibration area (nvm.h); with other
// values the converter has a gross gain and offset error (uncalibrated_volts).
#pragma once
#include <memory>
#include <optional>

#include "context.h"
#include "pinmux.h"

namespace zchip {

class Adc : public Model {
public:
    static constexpr uint32_t kBase = 0x43000C00;
    static constexpr uint8_t kIrq = 22;
    explicit Adc(Ctx& ctx);
    void reset() override;

    // The pad of AINn (datasheet, I/O Multiplexing: ADC AIN[n]).
    static std::optional<Pad> pad_of(unsigned ain) { return pad_of_ain(ain); }
    // The multiplexer that connects an AIN to its pad.
    void attach(const PinMux& mux) { mux_ = &mux; }
    // AINs converted over the run with their pad on function B, and with it off.
    uint32_t ains_read() const { return ains_read_; }
    uint32_t ains_cut_off() const { return ains_cut_off_; }
    // VDDANA, the supply the VDDANA references follow (3.3 V on the board).
    void set_vddana(double volts) { vddana_ = volts; }
    // CLK_ADC and the length of one conversion at the present settings.
    double clk_adc_hz() const;
    vtime conversion_ns() const;

    // CALIB's fields: BIASREFBUF biases the reference buffer (the gain),
    // BIASCOMP the comparator (the offset).
    static constexpr uint16_t kCalibBiasComp = 0x0007, kCalibBiasRefBuf = 0x0700;
    // The converter with a trim other than the factory's: 6 % low in gain
    // with BIASREFBUF wrong, 20 mV high in offset with BIASCOMP wrong; both
    // far beyond the few millivolts of gain and offset error a trimmed
    // converter keeps to. Forgetting the load costs a battery reading of
    // 1.5 V some 5 %.
    static constexpr double kUncalibratedGain = -0.06, kUncalibratedOffsetVolts = 0.020;
    // The volts the converter takes `v` for with `calib` in CALIB.
    static double uncalibrated_volts(double v, uint16_t calib);

private:
    RegTable& table() override { return regs_; }
    void write_ctrla(uint32_t data, uint32_t lanes);
    void synced(Reg* r, uint32_t bit);
    void start_conversion();
    void finish(uint64_t gen);
    double reference_volts();
    double input_volts(unsigned mux);
    uint32_t convert();
    void update_irq();

    RegTable regs_;
    std::unique_ptr<Sync> sync_;
    Reg* ctrla_;
    Reg* ctrlb_;
    Reg* refctrl_;
    Reg* inputctrl_;
    Reg* ctrlc_;
    Reg* avgctrl_;
    Reg* sampctrl_;
    Reg* gaincorr_;
    Reg* offsetcorr_;
    Reg* calib_;
    uint8_t inten_ = 0;
    uint8_t intflag_ = 0;
    uint16_t result_ = 0;
    bool enabled_ = false;
    bool converting_ = false;
    bool waiting_for_clock_ = false;
    double vddana_ = 3.3;
    uint64_t gen_ = 0;
    const PinMux* mux_ = nullptr;
    uint32_t ains_read_ = 0;
    uint32_t ains_cut_off_ = 0;
};

}  // namespace zchip
