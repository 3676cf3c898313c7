// The AIS AtoN transponder on Serial3 (38400 baud, 8N1), powered through
// pin 41 (high = on), and what it transmits on the air.
//
// What it does on the line (IEC 61162-1 framing: "$" or "!", the address
// field, comma-separated fields, "*hh" checksum, CR LF):
// - Off (pin 41 low): silent and deaf, nothing on the air. kBootTime after
//   power-on it sends "$ANTXT,01,01,80,Exiting standby" and starts its radio
//   schedule. What it was programmed with (MMSI, destination, configuration,
//   GPS output) survives power cycles; a report load does not.
// - Sentences from the unit are read byte by byte from "$" or "!" to CR or
//   LF and taken only with a correct "*hh" checksum, except the two "$UPMCR"
//   configuration writes, which the unit sends without one. Bytes at another
//   baud rate spoil the sentence being received. Replies leave kReplyDelay
//   after the last byte of the request, behind whatever is already on its way.
//     $UPANQ,AID -> $ANAID,<mmsi>,1,<destination>,0,R   ("...,1,,,R" without one)
//     $UPANQ,ACE -> $ANACE,<mmsi>,,<aid type>,0,<station type>,0,<name>,R
//     $UPANQ,MCR -> $ANMCR,<mmsi>,SBS,<source bit status>,R and
//                   $ANMCR,<mmsi>,MSS,<settings>,R   (0: as they should be)
//     $UPANQ,AAR -> $ANAAR,<mmsi>,6,1,A,hhmm,<slot>,<increment>,3,B,hhmm,<slot>,<increment>,3,R
//                   $ANAAR,<mmsi>,21,1,A,hhmm,<slot>,<increment>,2,B,...,R
//                   (start of the schedule per channel: UTC hour and minute and
//                   the slot of that minute, -1 when nothing is scheduled; the
//                   increment in slots of one channel, 75 per second of the
//                   interval as the transmissions alternate between A and B;
//                   a station of type 3 (RATDMA) gives no start for Message 21)
//     other $UPANQ -> $ANNAK,UP,<formatter>,<mmsi>,1,Sentence not supported
//     $UPAID,<mmsi>,1,<d>,0,C   -> destination d (nothing is sent back)
//     $UPAID,<mmsi>,1,<m>,R,C   -> its own MMSI becomes m
//     $UPMCR,<mmsi>,SBS,<v>,C   -> source bit status v
//     $UPMCR,<mmsi>,MSS,<v>,<mask>,C -> settings bits under the mask from v
//       A write addressed to another MMSI is refused:
//       $ANNAK,UP,<formatter>,<mmsi>,11,Wrong MMSI
//     $PSMT,0,0,0x00000000,<n>,<command>,<code> -> $PSMT,1,<command>,<code>,<value>:
//       vin (6, millivolts), vswr (5, tenths), getatontype (7), appver (1,
//       text), getserno (4, text); "gpsfilt N" (N 0..63: which of its GPS
//       sentences go out, bit 0 GGA, 1 GLL, 2 GSA, 3 RMC, 4 VTG, 5 ZDA) is
//       acknowledged as $PSMT,1,gpsfilt N,0 (an N out of range: ...,1).
//     !AIMEB,S,k,id,0,<mmsi>,6,<index>,<flag>,<destination>,0,C,<payload>,<fill>
//       -> S sentences of one load, in order; the last completes it: the
//       binary data is the de-armoured payload less the fill bits. Kept until
//       the next Message 6 slot, which consumes it; a newer load replaces it.
//       A load for another MMSI or message is refused ($ANNAK,AI,MEB,<mmsi>,11,...),
//       as is every load under the ais_nak fault ($ANNAK,AI,MEB,<mmsi>,3,...).
//
// On the air (ITU-R M.1371), each message type alternating between the
// channels on its own (A, B, A, ... from every start-up), as an AtoN does:
// - Message 21 every msg21_interval_s, at slot kMsg21Slot of the UTC minute
//   plus whole intervals since the world's UTC midnight: its name (20
//   characters, the rest in the name extension), aid type, the position of
//   the world's beacon, dimensions 2/2/1/1 m, GPS fix, the UTC second.
// - Message 6 every msg6_interval_s from slot kMsg6Slot, likewise: the load
//   kept, as an addressed binary message (type 6, repeat 0, its MMSI, a
//   sequence number 0..3, the load's destination, retransmit 0, spare 0, the
//   binary data). Without a load it sends "$ANTXT,01,01,62,Buffer empty msg 06"
//   on the line instead.
// Each transmission is echoed on the line kEchoDelay after its slot as !AIVDO
// sentences, and logged as the !AIVDM sentences a shore receiver would write
// (at most 60 payload characters each, sequential message id 0..9 for
// multi-sentence messages, fill bits in the last).
//
// Its GPS output: the selected sentences of "gpsfilt" (talker GP, the world's
// position and UTC) kGpsDelay after every UTC second while selected.
//
// A slow sender ([transponder] byte_gap_ms) leaves that much idle line
// between the bytes it sends.
//
// Faults: ais_silent (its line carries nothing either way; the radio goes on),
// ais_nak, ais_foreign_mmsi (it is swapped for one carrying another MMSI: it
// restarts, and its load is lost), ais_noise (each byte it sends while the
// window lasts is corrupted with probability `rate`: one bit flips; draws
// from a generator seeded with the scenario's seed), ais_pc (a PC program on
// its USB port: "$ANTXT,01,01,80,USB connected", then the replies to the
// PC's ACE and AAR queries every kPcPoll, and "USB disconnected" at the end).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "device.h"
#include "host/serial_peer.h"
#include "serial_line.h"
#include "scenario.h"

namespace zsim {

class Board;

class Transponder : public Device, public zplat::SerialPeer {
public:
    static constexpr uint32_t kBaud = 38400;
    static constexpr vtime kBootTime = 2 * zplat::kSec;      // power-on to its first sentence
    static constexpr vtime kReplyDelay = 30 * zplat::kMs;    // request's last byte to its reply
    static constexpr vtime kEchoDelay = 100 * zplat::kMs;    // slot start to the echo on the line
    static constexpr vtime kGpsDelay = 150 * zplat::kMs;     // whole UTC second to its GPS sentences
    static constexpr vtime kPcPoll = 4 * zplat::kSec;        // the PC program's query period
    static constexpr int kMsg6Slot = 1125;                   // slots of the UTC minute (2250 per channel)
    static constexpr int kMsg21Slot = 375;
    static constexpr int kMsg6Index = 1;
    static constexpr size_t kMaxData = 920;                  // binary data bits of a Message 6 (5 slots)

    // Counts since power-on of the virtual board.
    struct Counters {
        uint64_t sentences = 0;      // taken from the unit (checksum correct)
        uint64_t bad_checksum = 0;   // dropped for a wrong or missing checksum
        uint64_t replies = 0;        // replies to queries and commands, the PC's included
        uint64_t loads = 0;          // complete report loads accepted
        uint64_t naks = 0;
        uint64_t msg6 = 0;           // Message 6 transmissions
        uint64_t msg21 = 0;
        uint64_t empty = 0;          // Message 6 slots without a load (TXT 62)
    };

    Transponder(Board& board, const Scenario& sc);

    bool powered() const { return powered_; }
    bool running() const { return running_; }
    uint32_t mmsi() const { return mmsi_; }
    uint32_t destination() const { return destination_; }   // 0: none
    uint8_t gps_filter() const { return gps_filter_; }
    bool gps_output() const { return gps_filter_ != 0; }
    bool config_correct() const { return sbs_ == 0 && mss_ == 0; }
    // The binary data of the last complete load, one '0' or '1' per bit;
    // whether it still waits for its slot.
    const std::string& last_load() const { return last_load_; }
    bool load_pending() const { return load_pending_; }
    // The last Message 6 transmitted, all its bits.
    const std::string& last_msg6() const { return last_msg6_; }
    // The next scheduled slots (kNever: none, or not running).
    vtime next_msg6_slot() const { return next6_; }
    vtime next_msg21_slot() const { return next21_; }
    const Counters& counters() const { return counters_; }

    // Every transmission as a shore receiver logs it: !AIVDM sentences, no line end.
    const std::vector<std::string>& air() const { return air_; }
    void set_air_sink(std::function<void(const std::string&)> sink) { air_sink_ = std::move(sink); }
    void set_air_capture(bool on) { air_capture_ = on; }
    // While the sink is called: the virtual time of that transmission, for
    // a log that stamps each sentence with the world's UTC.
    vtime air_time() const { return air_at_; }

    void on_pin_changed(uint8_t pin) override;
    void on_byte(uint8_t byte, uint64_t at, uint32_t baud) override;

private:
    struct Assembly {
        bool active = false;
        int total = 0, next = 0, id = 0;
        std::vector<std::string> fields;   // of the first sentence
        std::string payload;
        int fill = 0;
    };

    void power(bool on);
    void stop();
    void reboot();
    void booted();
    void schedule_slot(bool msg6);
    void slot(bool msg6, vtime at);
    void transmit(const std::string& bits, bool& channel_b, vtime at);
    void start_gps();
    void gps_second();
    void pc_poll(size_t window, vtime at);
    void foreign(uint32_t mmsi);

    void sentence(const std::string& line, vtime at);
    void query(const std::string& talker, const std::string& what, vtime at);
    void write(const std::string& talker, const std::string& formatter, const std::vector<std::string>& f, vtime at);
    void proprietary(const std::vector<std::string>& f, vtime at);
    void meb(const std::string& talker, const std::vector<std::string>& f, vtime at);
    void nak(const std::string& talker, const std::string& formatter, int reason, const std::string& text, vtime at);

    std::string aid_reply() const;
    std::string ace_reply() const;
    std::vector<std::string> mcr_reply() const;
    std::vector<std::string> aar_reply() const;
    std::string aar_line(int msg, int interval_s, int slot, int slots, bool start) const;
    std::string msg21_bits() const;
    double supply_volts();

    void send(const std::string& text, vtime not_before) { out_.send(text, not_before); }
    bool feed(const std::string& text, vtime start);
    bool covered(const std::vector<Window>& ws, vtime t) const;

    Board& board_;
    const TransponderSetup setup_;
    const GpsSetup gps_;
    int64_t day_start_ns_;   // the world's UTC midnight before power-on, in virtual time (<= 0)

    uint32_t mmsi_;
    uint32_t destination_;
    uint32_t sbs_ = 0, mss_ = 0;   // configuration as checked by MCR; 0: as it should be
    uint8_t gps_filter_ = 0;
    bool gps_ticking_ = false;

    bool powered_ = false;
    bool running_ = false;
    uint64_t gen_ = 0;   // bumped at power-off and restart: scheduled work of the old run is void
    vtime next6_ = zplat::kNever, next21_ = zplat::kNever;

    std::string rx_;
    bool rx_active_ = false;
    Assembly meb_;
    std::string last_load_;
    bool load_pending_ = false;
    uint32_t load_destination_ = 0;
    std::string last_msg6_;
    unsigned sequence_ = 0;   // Message 6 sequence number, 2 bits
    bool channel_b_[2] = {};  // the channel of the next Message 21 [0] and Message 6 [1]
    unsigned vdo_id_ = 0, vdm_id_ = 0;

    LineOut out_;

    std::vector<std::string> air_;
    bool air_capture_ = true;
    std::function<void(const std::string&)> air_sink_;
    vtime air_at_ = 0;
    Counters counters_;
    SplitMix rng_;
};

}  // namespace zsim
