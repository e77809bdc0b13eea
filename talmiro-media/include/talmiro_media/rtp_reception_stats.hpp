// What a receiver counts of one RTP source to fill its report block: sequence numbers received
// and expected, loss since the previous report, interarrival jitter, and the echo of the last
// sender report. Pure arithmetic; every time is passed in (µs on one monotonic clock).
//
// Sequence numbers are followed as RTP's reference receiver does: a step ahead of fewer than
// 3,000 is the stream going on (a gap is loss, a smaller number a new cycle), a step back of up
// to 100 is a late or duplicate packet, anything else is a jump that is believed only when the
// next packet follows it, and then starts the counts over. There is no probation: the first
// packet starts the stream (the receiver has already chosen its source).
//
// The jitter is measured on the first packet of each timestamp that arrives in order: packets
// of one picture leave together and say nothing new, a late packet or a retransmission says
// only that it was late.
#pragma once

#include <cstdint>
#include <optional>

#include "talmiro_media/rtcp.hpp"

namespace talmiro_media {

class RtpReceptionStats {
public:
    // `ssrc` is the source's, put into every report block; `clock_rate` is the timestamps'
    // (90 kHz for video; 0 is taken as 90 kHz).
    explicit RtpReceptionStats(std::uint32_t ssrc, std::uint32_t clock_rate = 90'000) noexcept;

    // One RTP packet of the source (retransmissions go elsewhere: they would count as
    // duplicates of packets lost).
    void packet(std::uint16_t seq, std::uint32_t rtp_timestamp, std::int64_t arrival_us) noexcept;
    // A sender report from the source: its NTP time and when it arrived.
    void sender_report(std::uint64_t ntp, std::int64_t arrival_us) noexcept;
    // The report block at `now_us`; starts the next interval of `fraction_lost`. Absent before
    // the first packet.
    std::optional<RtcpReportBlock> report(std::int64_t now_us) noexcept;

    struct Counts {
        // Packets counted since the (re)start, duplicates included.
        std::uint64_t received = 0;
        // Sequence numbers from the first to the highest.
        std::uint64_t expected = 0;
        // expected - received, unclamped.
        std::int64_t lost = 0;
        std::uint32_t extended_highest_seq = 0;
        // In timestamp units.
        std::uint32_t jitter = 0;
        // Jumps that were believed and started the counts over.
        std::uint64_t restarts = 0;
        // Packets of a jump not (yet) believed, left out of the counts.
        std::uint64_t jumps_ignored = 0;
        // Sender reports taken.
        std::uint64_t sender_reports = 0;

        bool operator==(const Counts&) const = default;
    };
    Counts counts() const noexcept;

    std::uint32_t ssrc() const noexcept { return ssrc_; }
    std::uint32_t clock_rate() const noexcept { return clock_rate_; }

private:
    void start(std::uint16_t seq) noexcept;

    std::uint32_t ssrc_;
    std::uint32_t clock_rate_;
    bool started_ = false;
    std::uint16_t max_seq_ = 0;
    // Sequence-number cycles, shifted left by 16.
    std::uint64_t cycles_ = 0;
    std::uint16_t base_seq_ = 0;
    // The sequence number after a jump; the jump is believed when it comes next.
    std::optional<std::uint16_t> bad_seq_;
    std::uint64_t received_ = 0;
    std::uint64_t expected_prior_ = 0;
    std::uint64_t received_prior_ = 0;
    // Jitter times 16 (kept in 64 bits: a lying stream cannot overflow it).
    std::uint64_t jitter_q4_ = 0;
    std::optional<std::uint32_t> last_transit_;
    std::uint32_t last_timestamp_ = 0;
    std::optional<std::uint32_t> last_sr_;
    std::int64_t last_sr_arrival_us_ = 0;
    std::uint64_t restarts_ = 0;
    std::uint64_t jumps_ignored_ = 0;
    std::uint64_t sender_reports_ = 0;
};

}  // namespace talmiro_media
