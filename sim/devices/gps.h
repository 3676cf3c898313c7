// The GPS receiver on Serial1 (9600 baud, 8N1): a MediaTek-based module
// driven with PMTK commands, powered through pin 35 (high = on).
//
// What it does on the wire:
// - Off (pin 35 low): silent and deaf. Switching it off forgets the output
//   selection; the next power-on starts from the default output. A reset of
//   the unit releases pin 35 (a floating line reads low), so it switches the
//   module off as well.
// - kBootTime after power-on it sends "$PMTK011,MTKGPS*08" and
//   "$PMTK010,001*2E", then one burst of NMEA sentences per second, starting
//   kBurstDelay after each whole second of the world's UTC and carrying that
//   second ("hhmmss.000").
// - Default output, per fix: GGA, GSA, RMC, VTG, GLL and ZDA every fix, GSV
//   (in-view satellites, up to four per sentence) every fifth fix, starting
//   with the first fix after boot. GRS and GST only when selected.
// - Commands from the unit are read byte by byte; a sentence counts from its
//   '$' to CR or LF and is taken only with a correct "*hh" checksum and the
//   form "$PMTKnnn[,fields]". Bytes at another baud rate than 9600 are
//   garbage to the module and spoil the sentence being received. While off or
//   booting it hears nothing.
//     $PMTK000          -> $PMTK001,0,3 (test packet)
//     $PMTK313,0|1      -> $PMTK001,313,3 (SBAS on/off; it changes nothing here)
//     $PMTK314,-1       -> default output, $PMTK001,314,3
//     $PMTK314,r1,...   -> 19 or more fields, each 0..5: the rate of GLL,
//                          RMC, VTG, GGA, GSA, GSV, GRS, GST, reserved (9..17),
//                          ZDA (18), MCHN (19, accepted, never sent), reserved;
//                          n = every n-th fix, 0 = off. $PMTK001,314,3
//     $PMTK101..103     -> hot/warm/cold restart: boot message again, the
//                          output selection kept; no acknowledgement
//     $PMTK104          -> full cold restart: as above, back to the default output
//     other $PMTKnnn    -> $PMTK001,nnn,1 (unsupported)
//   A known command with wrong parameters gets flag 0 (invalid). Replies leave
//   kReplyDelay after the command's last byte, behind whatever is already on
//   its way (a burst being sent goes out whole first: it is one line).
// - Its output buffer holds about a second of the 9600-baud line
//   (kBacklogBytes): a burst sentence that does not fit behind what is still
//   waiting is dropped, as a receiver set to say more than the line carries
//   (a fast replayed log) loses it. Replies to commands are always sent.
//
// Sentences (talker GP, true checksums, CR LF):
//   $GPGGA,hhmmss.000,ddmm.mmmmmm,N,dddmm.mmmmmm,W,q,ss,h.hh,alt,M,geoid,M,,*hh
//   $GPVTG,ccc.cc,T,,M,k.kk,N,k.kk,K,A*hh     $GPZDA,hhmmss.000,dd,mm,yyyy,,*hh
//   $GPRMC,hhmmss.000,A,lat,N,lon,W,k.kk,ccc.cc,ddmmyy,,,A*hh   and GSA, GSV, GLL, GRS, GST
// - Positions carry six decimals of a minute (ddmm.mmmmmm): the unit's
//   parser divides the fraction by 100 expecting six, so it reads the true
//   ten-thousandths of a minute. Receivers of this family usually send four;
//   a replayed log keeps whatever it holds.
// - Fix quality 2 (DGPS) fills GGA's DGPS age and station as "0000,0000"
//   and gives the mode letter D (RMC, VTG, GLL); quality 1 leaves them empty
//   and gives A. Altitude and geoid separation are fixed (kAltitude, kGeoid).
// - Without a fix (a [[gps_outage]] window) the receiver still knows the time
//   and date, as one with its backup supply does: GGA "hhmmss.000,,,,,0,00,,,M,,M,,",
//   VTG ",T,,M,,N,,K,N", RMC "V" with empty position, speed and course but
//   the date, GLL "V", GSA "A,1" with empty fields, GSV "1,1,00", and ZDA
//   with full time and date.
// - A fix is there from the first burst after boot (no time to first fix; an
//   outage window from 0 scripts one).
//
// Replay ([gps] replay = a recorded log): instead of synthesised sentences
// the log is played back, one second's group of lines per burst. Lines are
// split at LF (a CR before it dropped); empty lines and lines starting with
// '#' are skipped; every other line (NUL bytes and junk included) is sent as
// it is, followed by CR LF. Consecutive lines form a group until a line with
// a UTC time field (GGA, RMC, ZDA, GLL, GNS, GST, GRS, GBS) carries another
// hhmmss than the group's; lines without a time belong to the current group.
// The log advances one group per burst while the module runs (switching it
// off pauses the log; power-on and restarts continue where it stopped); once
// it has ended the module sends nothing but its replies. With the default
// output the groups go out whole; after a $PMTK314 selection the sentences
// of the kinds it covers (GLL, RMC, VTG, GGA, GSA, GSV, GRS, GST, ZDA, any
// talker) follow its rates, everything else ($PMTK..., other sentences,
// junk) goes out as it is. Outage windows do not change a replayed log.
//
// Faults: gps_restart (the module restarts by itself: its queued output is
// lost, it is silent for kBootTime, sends the boot message and returns with
// the default output) and gps_noise (each byte the module sends while the
// window lasts is corrupted with probability `rate`: one of its bits flips;
// the draws come from a generator seeded with the scenario's seed).
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "device.h"
#include "host/serial_peer.h"
#include "serial_line.h"
#include "scenario.h"

namespace zsim {

class Board;

class Gps : public Device, public zplat::SerialPeer {
public:
    static constexpr uint32_t kBaud = 9600;
    static constexpr vtime kBootTime = 500 * zplat::kMs;     // power-on to boot message
    static constexpr vtime kBurstDelay = 60 * zplat::kMs;    // whole UTC second to the burst's first byte
    static constexpr vtime kReplyDelay = 10 * zplat::kMs;    // command's last byte to its reply
    static constexpr size_t kBacklogBytes = kBaud / 10;      // about a second of output waiting for the line
    static constexpr double kAltitude = 8.6;                 // metres above mean sea level
    static constexpr double kGeoid = 52.9;                   // geoid separation, metres

    // Sentence kinds of the output selection, in $PMTK314 order (ZDA is its field 18).
    enum Kind { kGll, kRmc, kVtg, kGga, kGsa, kGsv, kGrs, kGst, kZda, kKinds };
    using Rates = std::array<uint8_t, kKinds>;
    static const Rates kDefaultRates;

    // Throws std::runtime_error when the scenario's replay log cannot be read.
    Gps(Board& board, const Scenario& sc);

    bool powered() const { return powered_; }
    // Booted and sending once a second.
    bool running() const { return running_; }
    const Rates& rates() const { return rates_; }
    uint64_t bursts() const { return bursts_; }
    size_t replay_groups() const { return groups_.size(); }
    size_t replay_position() const { return cursor_; }
    // Sentences of bursts lost because the line could not carry them.
    uint64_t dropped() const { return dropped_; }

    // The module restarts by itself now (fault), back to its default output.
    void restart();

    void on_pin_changed(uint8_t pin) override;
    void on_byte(uint8_t byte, uint64_t at, uint32_t baud) override;

private:
    void power(bool on);
    // Ends the current run: queued output, scheduled work and the sentence
    // being received are dropped.
    void stop(bool keep_output);
    void reboot(bool keep_output);
    void booted();
    void burst(vtime at);
    void schedule_burst();
    void synthesise(vtime at, uint64_t fix, std::vector<std::string>& out) const;
    void replay(uint64_t fix, std::vector<std::string>& out);
    void command(const std::string& line, vtime at);
    void reply(int cmd, int flag, vtime at);
    void send(std::string text, vtime not_before) { out_.send(std::move(text), not_before); }
    bool feed(const std::string& text, vtime start);
    bool fix_at(vtime t) const;
    bool selected(Kind k, uint64_t fix) const { return rates_[k] != 0 && fix % rates_[k] == 0; }
    void load_log(const std::string& path);

    Board& board_;
    const GpsSetup setup_;

    bool powered_ = false;
    bool running_ = false;
    uint64_t gen_ = 0;   // bumped at power-off and restart: scheduled work of the old run is void
    Rates rates_ = kDefaultRates;
    bool custom_ = false;   // a $PMTK314 selection is in force
    uint64_t fix_ = 0;      // fixes (bursts) since boot
    uint64_t bursts_ = 0;
    uint64_t dropped_ = 0;

    std::string rx_;
    bool rx_active_ = false;

    LineOut out_;

    std::vector<std::vector<std::string>> groups_;
    size_t cursor_ = 0;

    SplitMix rng_;
};

}  // namespace zsim
