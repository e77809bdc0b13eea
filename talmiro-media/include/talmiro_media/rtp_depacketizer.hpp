// The receiving side of H.264 over RTP: datagrams in, Annex-B access units out, in decode order,
// each marked complete or incomplete, with the sequence numbers to ask the sender for again.
//
// Every byte of a datagram is untrusted. A datagram that does not parse (a bad header, a
// payload structure that runs past its end, a packetization this receiver does not take:
// STAP-B, MTAP, FU-B, reserved types) is refused and counted by cause, never raised. Memory
// is bounded whatever arrives: a fixed window of buffered packets, a cap on their bytes and
// a cap on the bytes of one access unit.
//
// The first packet heard starts the stream (one older than it arrives late). Packets are put
// in order by extended sequence number. A jump far ahead, or back to a place passed long ago,
// is refused until the next packet of the media stream continues from it: then the sender
// started over on a new base (a restart). A packet that arrives at the release
// point is used at once (no copy, no delay); a later one waits in the window for the gap before
// it. A gap is waited for until `max_wait_us` after it showed (the arrival of the packet beyond
// it), then passed: its sequence numbers count as lost and the access unit around it comes out
// incomplete. A NAL unit that lost any fragment is left out whole, never spliced or cut. Zero
// bytes trailing a NAL unit are dropped; a unit with a start code inside it (which emulation
// prevention rules out) is refused, so every unit that goes out reads as that one unit.
//
// No sockets and no clocks: each call takes the time, and `next_deadline_us` says when the
// caller should call `poll` if nothing arrives before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "talmiro_media/annexb.hpp"

namespace talmiro_media {

// Why a datagram was refused.
enum class RtpRefusal : std::uint8_t {
    Truncated,        // shorter than its header, CSRC list, extension or padding say
    BadVersion,       // RTP version other than 2
    BadPadding,       // a padding count of 0 or past the payload
    WrongPayloadType, // neither the media nor the retransmission payload type
    ForeignSsrc,      // another stream while the current one is alive
    SeqJump,          // a sequence number far from the stream's, not (yet) confirmed by the next
    StapB,            // NAL type 25
    Mtap,             // NAL types 26 and 27
    FuB,              // NAL type 29
    ReservedType,     // NAL types 0, 30 and 31
    BadStapA,         // an aggregated unit empty, of an aggregation type, or past the end
    BadFuA,           // shorter than its two headers, or fragmenting a type other than 1..23
    BadNal,           // a NAL unit holding 00 00 00, 00 00 01 or 00 00 02 (a start code inside)
    Count_,
};
inline constexpr std::size_t kRtpRefusalCount = static_cast<std::size_t>(RtpRefusal::Count_);

// "truncated", "bad_version", "bad_padding", "wrong_payload_type", "foreign_ssrc", "seq_jump",
// "stap_b", "mtap", "fu_b", "reserved_type", "bad_stap_a", "bad_fu_a", "bad_nal".
std::string_view rtp_refusal_name(RtpRefusal cause) noexcept;

struct RtpDepacketizerConfig {
    std::uint8_t payload_type = 96;
    // Retransmissions in RTX form (their own payload type and SSRC, the original sequence
    // number in front of the payload) are taken when set. Plain resends (the original packet
    // again) are always taken.
    std::optional<std::uint8_t> rtx_payload_type;
    // The RTX stream's SSRC; learned from its first packet when absent.
    std::optional<std::uint32_t> rtx_ssrc;
    // The media SSRC; when absent, the first one heard, and after `ssrc_silence_us` without a
    // packet of it, the next new one (the sender restarted).
    std::optional<std::uint32_t> ssrc;
    std::int64_t ssrc_silence_us = 500'000;
    // How long a gap is waited for before the access units around it are passed on incomplete.
    std::int64_t max_wait_us = 100'000;
    // What `set_round_trip` makes of the round trip: a wait long enough for two NACK rounds, or
    // for one when a second could not end before `max_delay_us`; at least `min_wait_us` (the
    // same wait holds a unit whose marker packet has not come, and a pacing sender spreads one
    // picture's packets over milliseconds), at most `max_delay_us`.
    std::int64_t min_wait_us = 20'000;
    std::int64_t max_delay_us = 100'000;
    // NACKs: each missing sequence number is reported `nack_delay_us` after its gap showed (0:
    // at once; more tolerates reordering), then again every `nack_interval_us` (0: never again)
    // while it is waited for, `max_nacks` times at most (255 at most).
    bool nack = true;
    std::int64_t nack_delay_us = 0;
    // The first NACK of a gap is sent again this long after it (0 or less: not at all), before
    // the repeats: on a lossy path the NACK or the retransmission it asks for is lost about
    // twice as often as a packet, and each such loss costs the unit a round trip and more of
    // waiting; a copy costs a few bytes, and a second retransmission when both arrive. It
    // counts among the `max_nacks`.
    std::int64_t nack_copy_us = 0;
    std::int64_t nack_interval_us = 30'000;
    std::uint32_t max_nacks = 3;
    // A unit whose packets stopped without its marker packet: its tail is asked for (the sequence
    // number after the last heard) once nothing has come for twice the packet spacing measured
    // within units plus three times the jitter, or 1.5 times the longest pause within the
    // complete units of late if more (a jittery path spreads a unit's packets), held between
    // these bounds and below half the wait for a gap, instead of waiting for the next unit to show
    // the gap a frame interval later. The ask is repeated like a gap's NACK (`nack_copy_us`, then
    // `nack_interval_us`) while the stall lasts, at most `max_nacks` times per unit, and only once
    // the stream has shown marker bits: a sender that merely paces its packets costs a NACK now
    // and then, never a flood. What arrives for a unit after it was passed on incomplete counts
    // as late and is not passed on again.
    std::int64_t tail_wait_min_us = 2'000;
    std::int64_t tail_wait_max_us = 10'000;
    // A gap of more sequence numbers than this is not asked for: resending it would take longer
    // than a new key picture, and a forged sequence number must not make the sender resend
    // thousands of packets.
    std::uint32_t max_nack_run = 1000;
    // The reorder window in packets (rounded up to a power of two, 64..32768): how far ahead
    // of the release point a packet may be before the oldest gaps are given up to make room.
    std::size_t window_packets = 8192;
    // Bytes of payload held in the window at most (the oldest gaps are given up beyond it).
    std::size_t max_buffered_bytes = 32u << 20;
    // Bytes of one access unit at most: a 4096x2304 4:2:0 picture coded as raw macroblocks
    // (the largest an IDR picture can be) with room to spare. NAL units beyond it are left out.
    std::size_t max_unit_bytes = 16u << 20;
    // How far (in sequence numbers) a packet may jump from the stream before it needs the
    // next one to confirm it. A step back needs it too when its place was passed longer ago than
    // any answer to a NACK or late packet is worth waiting for (see `insert`).
    std::uint32_t max_dropout = 3000;
};

struct RtpDepacketizerStats {
    // Datagrams of the stream taken (media and RTX, duplicates and late ones included), and
    // their bytes.
    std::uint64_t packets_received = 0;
    std::uint64_t bytes_received = 0;
    // Sequence numbers given up on (never arrived in time).
    std::uint64_t packets_lost = 0;
    std::uint64_t packets_duplicated = 0;
    // Arrived after a later sequence number.
    std::uint64_t packets_reordered = 0;
    // Arrived after their place had been given up on, or for a unit passed on incomplete.
    std::uint64_t packets_late = 0;
    // Arrived after being asked for again (counted once each).
    std::uint64_t packets_recovered = 0;
    std::uint64_t rtx_received = 0;
    std::uint64_t packets_refused = 0;
    std::array<std::uint64_t, kRtpRefusalCount> refused{};
    std::uint64_t units_complete = 0;
    std::uint64_t units_incomplete = 0;
    // NAL units left out: a fragment missing, or past the unit cap.
    std::uint64_t nals_dropped = 0;
    // Units cut short by `max_unit_bytes`.
    std::uint64_t units_oversized = 0;
    // Sequence numbers asked for, repeats included.
    std::uint64_t nacks = 0;
    // Of those, asked for because a unit's packets stopped before its marker packet.
    std::uint64_t tail_nacks = 0;
    // A new SSRC after silence, or a confirmed sequence jump: the stream starts over.
    std::uint64_t restarts = 0;
    // Gaps given up before their deadline because the window or its byte cap was full.
    std::uint64_t forced = 0;
    // For receiver reports: the media SSRC (0 before any), the first and highest extended
    // sequence numbers (highest < first before any), and the interarrival jitter in 90 kHz
    // units.
    std::uint32_t ssrc = 0;
    std::int64_t first_seq = 0;
    std::int64_t highest_seq = -1;
    double jitter = 0;
};

// One access unit as it came out.
struct RtpAccessUnit {
    // Annex-B with start codes (four bytes for the first NAL unit and parameter sets, three
    // for the others), and the key/config/recovery facts of the NAL units it holds; `t_us` is
    // the arrival time of its last packet. Empty when every NAL unit of it was lost: it still
    // says that a unit was lost there.
    AccessUnit unit;
    std::uint32_t rtp_timestamp = 0;
    std::uint32_t ssrc = 0;
    // Arrival times of its first and last packet.
    std::int64_t first_arrival_us = 0;
    std::int64_t last_arrival_us = 0;
    // Every sequence number from its first packet to its marker packet arrived and every
    // fragmented NAL unit ran from start to end.
    bool complete = false;
    // Some of its packets arrived after being asked for again.
    bool recovered = false;
};

// The header of a datagram that parsed, for the caller's reception statistics and round trip.
struct RtpHeaderFacts {
    std::uint16_t seq = 0;  // of an RTX packet: the original sequence number it carries
    std::uint32_t ts = 0;
    std::uint32_t ssrc = 0;
    bool rtx = false;
};

// What one call gives back.
struct RtpOutput {
    std::vector<RtpAccessUnit> units;
    // Sequence numbers to ask for now, each once, in order.
    std::vector<std::uint16_t> nacks;
    // Why the datagram of a `push` was refused; absent when it was taken.
    std::optional<RtpRefusal> refused;
    // The header of the datagram of a `push`, when it parsed (taken or refused later, e.g. as
    // another stream's).
    std::optional<RtpHeaderFacts> header;
};

// One H.264 stream's RTP receiver state. Not thread-safe.
class RtpDepacketizer {
public:
    explicit RtpDepacketizer(const RtpDepacketizerConfig& config = {});

    // One datagram, arrived at `arrival_us`. Also does what `poll(arrival_us)` would.
    RtpOutput push(std::span<const std::uint8_t> datagram, std::int64_t arrival_us);
    // Gives up the gaps whose wait ended by `now_us`, and an access unit whose end has not come
    // `max_wait_us` after its last packet; repeats the NACKs that are due, and asks for the
    // tail of a unit whose packets stopped before its marker packet.
    RtpOutput poll(std::int64_t now_us);
    // Gives up every gap now and passes on all that is held, the unit still arriving included.
    RtpOutput give_up(std::int64_t now_us);
    // When `poll` next has something to do; absent while nothing waits.
    std::optional<std::int64_t> next_deadline_us() const noexcept;
    // How long after its last packet a unit whose packets stopped has its tail asked for (what
    // the packet spacing and jitter measured give now): a caller that reads a socket in
    // batches hands its packets on within this.
    std::int64_t tail_wait_us() const noexcept;

    // The wait for a gap and the NACK repeat interval, given outright.
    void set_timing(std::int64_t max_wait_us, std::int64_t nack_interval_us) noexcept;
    // The wait for a gap and the NACK repeat interval from the round trip (NACK to
    // retransmission; absent before the first sample) and the interarrival jitter, in µs:
    // - with NACKs and a round trip, NACKs repeat every 1.25 round trips plus two jitters (at
    //   least every 5 ms); the first NACK's answer is due a round trip plus four jitters or half
    //   a round trip (whichever is more) after the gap, and the wait lasts until one repeat's
    //   answer is due too (for a lost retransmission), or only until the first's when the
    //   repeat's could not come before `max_delay_us`;
    // - with NACKs and no round trip yet, the wait is `max_delay_us` and the repeat interval
    //   half of it (at least 5 ms): an answer to the first NACK that comes before the repeat
    //   gives the first sample (a packet asked for twice measures nothing), and a lost
    //   retransmission is still asked for again;
    // - without NACKs, the wait is four jitters (what reordering needs), the interval
    //   `min_wait_us`.
    // The wait is held between `min_wait_us` and `max_delay_us`.
    void set_round_trip(std::optional<std::int64_t> rtt_us, std::int64_t jitter_us) noexcept;
    // The stream's sender said it left (an RTCP BYE for its SSRC): the next packet of a new SSRC
    // starts a new stream at once, without the `ssrc_silence_us` a new SSRC waits for otherwise.
    // Packets of the ended SSRC are still taken until then.
    void end_stream() noexcept { ended_ = started_; }

    const RtpDepacketizerConfig& config() const noexcept { return config_; }
    const RtpDepacketizerStats& stats() const noexcept { return stats_; }
    // Payload bytes held in the window now, and bytes of the unit being assembled.
    std::size_t buffered_bytes() const noexcept { return buffered_bytes_; }
    std::size_t pending_unit_bytes() const noexcept { return unit_.bytes.size(); }

private:
    enum class SlotState : std::uint8_t { Empty, Missing, Present };
    struct Slot {
        SlotState state = SlotState::Empty;
        bool marker = false;
        bool nacked = false;
        std::uint8_t nack_count = 0;
        std::uint32_t ts = 0;
        // Missing: when the gap showed; Present: arrival.
        std::int64_t time_us = 0;
        std::int64_t last_nack_us = 0;
        std::vector<std::uint8_t> payload;
    };
    // A parsed, accepted datagram (the payload borrows the caller's bytes).
    struct Packet {
        std::uint16_t seq = 0;
        std::uint32_t ts = 0;
        std::uint32_t ssrc = 0;
        bool marker = false;
        bool rtx = false;
        std::span<const std::uint8_t> payload;
    };
    // The access unit being assembled at the release point.
    struct Unit {
        bool active = false;
        std::uint32_t ts = 0;
        bool ok = true;
        bool recovered = false;
        std::int64_t first_arrival_us = 0;
        std::int64_t last_arrival_us = 0;
        std::vector<std::uint8_t> bytes;
        std::vector<NalUnit> nals;
        // An FU-A in progress: where its start code begins in `bytes`.
        std::optional<std::size_t> fu_start;
        std::uint8_t fu_type = 0;
        // Some NAL unit did not fit `max_unit_bytes`.
        bool oversized = false;
        // Gaps passed since its last packet.
        std::uint64_t gap_after = 0;
        // Its tail was asked for this many times.
        std::uint32_t tail_asks = 0;
        // A fragmented NAL unit left out (counted) whose remaining fragments are still coming.
        bool fu_dropped = false;
    };
    // What the sequence number of a packet of a running stream says.
    enum class SeqCheck : std::uint8_t { InStream, Refused, NewBase };

    std::optional<RtpRefusal> parse(std::span<const std::uint8_t> d, Packet& p) const noexcept;
    static std::optional<RtpRefusal> check_payload(std::span<const std::uint8_t> payload) noexcept;
    std::optional<RtpRefusal> insert(const Packet& p, std::int64_t arrival_us, RtpOutput& out);
    SeqCheck check_seq(const Packet& p, std::int64_t ext, std::int64_t arrival_us) noexcept;
    void start_stream(const Packet& p, std::int64_t ext, bool fresh_unknown,
                      std::int64_t arrival_us) noexcept;
    // Takes a packet beyond the highest (the gaps before it are waited for and asked for);
    // true when it answers a tail asked for.
    bool extend(const Packet& p, std::int64_t ext, std::int64_t arrival_us, RtpOutput& out);
    // Notes that the release point passed `ext` at `now_us`, and whether its packet arrived.
    void mark_released(std::int64_t ext, bool arrived, std::int64_t now_us) noexcept;
    // A packet at the release point for a unit already passed on incomplete: counted late.
    bool late_for_released(std::uint32_t ts) noexcept;
    // Gives up a lone gap at the release point that lies between a unit passed on incomplete
    // and the start of the next unit: it was the former's marker packet.
    bool pass_given_up_tail(std::int64_t now_us, RtpOutput& out);
    std::optional<RtpRefusal> accept_source(Packet& p, std::int64_t arrival_us, RtpOutput& out);
    void restart(std::int64_t now_us, RtpOutput& out);
    // Moves the release point over present packets, and over gaps whose wait ended (all gaps
    // when `force_until` is beyond them).
    void advance(std::int64_t now_us, std::int64_t force_until, RtpOutput& out);
    void consume(std::uint32_t ts, bool marker, std::span<const std::uint8_t> payload,
                 std::int64_t arrival_us, bool recovered, RtpOutput& out);
    // Leaves out the fragmented NAL unit in progress, if any (counted, the unit damaged).
    void drop_fragment() noexcept;
    void pass_gap(RtpOutput& out);
    // An FU-A packet of the unit being assembled; false when it ended the unit already.
    bool consume_fu(std::span<const std::uint8_t> payload, bool marker, RtpOutput& out);
    // The end fragment of the fragmented NAL unit in progress has come: it is whole.
    void end_fu(std::uint8_t nal_type);
    void append_nal(std::span<const std::uint8_t> nal);
    // Passes the unit on; `marked` when its marker packet ended it.
    void finish(bool complete, bool marked, RtpOutput& out);
    // When the missing packet in `s` is next to be asked for; absent when it is not.
    std::optional<std::int64_t> nack_due(const Slot& s) const noexcept;
    // Asks for `seq` if it is due by `now_us`, and keeps the earliest next due time.
    void ask(Slot& s, std::int64_t seq, std::int64_t now_us, RtpOutput& out);
    void repeat_nacks(std::int64_t now_us, RtpOutput& out);
    // When the tail of the unit being assembled is to be asked for; absent when it is not.
    std::optional<std::int64_t> tail_due() const noexcept;
    void ask_tail(std::int64_t now_us, RtpOutput& out);
    // Learns the packet spacing within units from a new packet next in sequence.
    void update_spacing(std::uint32_t ts, std::int64_t arrival_us) noexcept;
    void update_jitter(std::uint32_t ts, std::int64_t arrival_us) noexcept;
    Slot& slot(std::int64_t ext) noexcept {
        return slots_[static_cast<std::uint64_t>(ext) & (slots_.size() - 1)];
    }

    RtpDepacketizerConfig config_;
    RtpDepacketizerStats stats_;
    std::vector<Slot> slots_;
    // Whether each of the last window's worth of released sequence numbers arrived, by the
    // same index as `slots_` (tells a duplicate from a late packet).
    std::vector<bool> released_arrived_;
    // When the release point passed each of them (before the stream's first packet: its arrival).
    std::vector<std::int64_t> released_us_;

    bool started_ = false;
    std::uint32_t ssrc_ = 0;
    // The stream's sender said BYE: a new SSRC need not wait for the silence.
    bool ended_ = false;
    std::optional<std::uint32_t> rtx_ssrc_;
    std::int64_t last_packet_us_ = 0;
    // The release point and the highest extended sequence number seen.
    std::int64_t next_ = 0;
    std::int64_t highest_ = -1;
    std::size_t buffered_bytes_ = 0;
    std::optional<std::uint16_t> bad_seq_;
    // Gaps at the release point passed since the last packet used.
    std::uint64_t gap_ = 0;
    // The last unit ended on a packet with the marker bit (or the stream just started).
    bool last_marked_ = true;
    bool markers_seen_ = false;
    std::optional<std::uint32_t> last_released_ts_;
    Unit unit_;
    // Bytes of the last unit passed on: room a new unit's bytes start with, so that a picture's
    // bytes are not moved again at every doubling of their buffer as its packets come.
    std::size_t last_unit_bytes_ = 0;
    std::int64_t nack_due_us_ = 0;
    bool nacks_pending_ = false;
    // The last tail asked for: the sequence number (also in flight while the next unit shows
    // its gap, which then does not ask again at once) and when.
    std::optional<std::int64_t> tail_seq_;
    std::int64_t tail_asked_us_ = 0;
    // How many times that sequence number was asked for as a tail.
    std::uint8_t tail_count_ = 0;
    // The mean spacing of consecutive packets of one unit, and the last new packet's timestamp
    // and arrival.
    std::int64_t spacing_us_ = 0;
    bool spacing_learnt_ = false;
    // The longest pause within the complete units of late, fading with each (see
    // `update_spacing`), and the longest within the unit arriving now.
    std::int64_t spacing_peak_us_ = 0;
    std::int64_t unit_pause_us_ = 0;
    std::optional<std::uint32_t> pause_ts_;
    std::optional<std::uint32_t> spacing_ts_;
    std::int64_t spacing_arrival_us_ = 0;
    // Jitter state: the previous packet's timestamp and arrival in 90 kHz units.
    std::optional<std::uint32_t> jitter_ts_;
    double jitter_arrival_ = 0;
};

}  // namespace talmiro_media
