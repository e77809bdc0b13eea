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
//
// This class checks headers and sources and ties its units together: the order of packets is
// `RtpReorderWindow`'s, when to ask for what and how long to wait `NackScheduler`'s (with
// `PacketSpacing` for the tail), the payload structure `parse_h264_payload`'s and the access
// units `H264UnitAssembler`'s (all in internal/).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/internal/h264_payload.hpp"
#include "talmiro_media/internal/h264_unit_assembler.hpp"
#include "talmiro_media/internal/nack_scheduler.hpp"
#include "talmiro_media/internal/packet_spacing.hpp"
#include "talmiro_media/internal/rtp_reorder_window.hpp"
#include "talmiro_media/rtp_access_unit.hpp"
#include "talmiro_media/rtp_depacketizer_config.hpp"
#include "talmiro_media/rtp_depacketizer_stats.hpp"
#include "talmiro_media/rtp_refusal.hpp"

namespace talmiro_media {

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
    std::size_t buffered_bytes() const noexcept { return window_.buffered_bytes(); }
    std::size_t pending_unit_bytes() const noexcept { return assembler_.pending_bytes(); }

private:
    // A parsed, accepted datagram (the payload borrows the caller's bytes).
    struct Packet {
        std::uint16_t seq = 0;
        std::uint32_t ts = 0;
        std::uint32_t ssrc = 0;
        bool marker = false;
        bool rtx = false;
        H264Payload payload;
    };

    std::optional<RtpRefusal> parse(std::span<const std::uint8_t> d, Packet& p) const noexcept;
    std::optional<RtpRefusal> accept_source(const Packet& p, std::int64_t arrival_us,
                                            RtpOutput& out);
    std::optional<RtpRefusal> insert(const Packet& p, std::int64_t arrival_us, RtpOutput& out);
    // Where `p` lies in the stream (its extended sequence number), or its refusal; starts the
    // stream, or starts it over on a confirmed jump.
    std::optional<std::int64_t> locate(const Packet& p, std::int64_t arrival_us, RtpOutput& out);
    void start_stream(const Packet& p, std::int64_t ext, bool unknown_start,
                      std::int64_t arrival_us) noexcept;
    void restart(std::int64_t now_us, RtpOutput& out);
    // Takes a packet beyond the highest (the gaps before it are waited for and asked for);
    // true when it answers a tail asked for.
    bool extend(const Packet& p, std::int64_t ext, std::int64_t arrival_us, RtpOutput& out);
    // Gives up a lone gap at the release point that lies between a unit passed on incomplete
    // and the start of the next unit: it was the former's marker packet.
    bool pass_cut_short_tail(std::int64_t now_us);
    // Moves the release point over present packets, and over gaps whose wait ended (all gaps
    // when `force_until` is beyond them).
    void advance(std::int64_t now_us, std::int64_t force_until, RtpOutput& out);
    // A lost sequence number (or `n` of them) passed at the release point.
    void pass_gap(std::uint64_t n = 1);
    // Hands a packet at the release point to the assembler.
    void assemble(const H264Payload& payload, std::uint32_t ts, bool marker,
                  std::int64_t arrival_us, bool recovered, RtpOutput& out);
    // The units `out` holds from `first` on came out: the spacing learns from them.
    void units_done(const RtpOutput& out, std::size_t first) noexcept;
    // The unit being assembled, when its last packet heard is the stream's last.
    std::optional<NackScheduler::Stall> stall() const noexcept;
    // Asks for what is due by `now_us`: a stalled unit's tail, repeats for gaps.
    void ask_due(std::int64_t now_us, RtpOutput& out);
    void update_jitter(std::uint32_t ts, std::int64_t arrival_us) noexcept;
    // The interarrival jitter in µs.
    std::int64_t jitter_us() const noexcept;
    // Passes on the unit being assembled, if any, as incomplete.
    void give_up_unit(RtpOutput& out);

    // The wait and repeat interval set by `set_timing` and `set_round_trip` are the
    // scheduler's; `config_` shows them too.
    RtpDepacketizerConfig config_;
    RtpDepacketizerStats stats_;
    RtpReorderWindow window_;
    NackScheduler scheduler_;
    H264UnitAssembler assembler_;
    PacketSpacing spacing_;

    bool started_ = false;
    std::uint32_t ssrc_ = 0;
    // The stream's sender said BYE: a new SSRC need not wait for the silence.
    bool ended_ = false;
    std::optional<std::uint32_t> rtx_ssrc_;
    std::int64_t last_packet_us_ = 0;
    // Jitter state: the previous packet's timestamp and arrival in 90 kHz units.
    std::optional<std::uint32_t> jitter_ts_;
    double jitter_arrival_ = 0;
};

}  // namespace talmiro_media
