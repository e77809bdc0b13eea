// Reception statistics of one RTP source: sequence tracking, loss, jitter and the SR echo.
#include "talmiro_media/rtp_reception_stats.hpp"

#include <algorithm>
#include <cstdint>

namespace talmiro_media {

namespace {

// A step ahead shorter than this is the stream going on.
constexpr std::uint16_t kMaxDropout = 3000;
// A step back of at most this is a late or duplicate packet.
constexpr std::uint32_t kMaxMisorder = 100;
constexpr std::int64_t kUsPerSecond = 1'000'000;

// A time in µs on the timestamp clock, modulo 2^32 (only differences are used).
std::uint32_t timestamp_units(std::int64_t us, std::uint32_t rate) noexcept {
    std::int64_t seconds = us / kUsPerSecond;
    std::int64_t rest = us % kUsPerSecond;
    if (rest < 0) {
        rest += kUsPerSecond;
        --seconds;
    }
    const std::uint64_t whole = static_cast<std::uint64_t>(seconds) * rate;
    const std::uint64_t part = static_cast<std::uint64_t>(rest) * rate / kUsPerSecond;
    return static_cast<std::uint32_t>(whole + part);
}

}  // namespace

RtpReceptionStats::RtpReceptionStats(std::uint32_t ssrc, std::uint32_t clock_rate) noexcept
    : ssrc_(ssrc), clock_rate_(clock_rate ? clock_rate : 90'000) {}

void RtpReceptionStats::start(std::uint16_t seq) noexcept {
    started_ = true;
    base_seq_ = seq;
    max_seq_ = seq;
    cycles_ = 0;
    bad_seq_.reset();
    received_ = 0;
    expected_prior_ = 0;
    received_prior_ = 0;
    last_transit_.reset();
}

void RtpReceptionStats::packet(std::uint16_t seq, std::uint32_t rtp_timestamp,
                               std::int64_t arrival_us) noexcept {
    // Whether the packet moves the stream forward (the jitter is measured only on those).
    bool ahead = true;
    if (!started_) {
        start(seq);
    } else {
        const auto step = static_cast<std::uint16_t>(seq - max_seq_);
        if (step < kMaxDropout) {
            ahead = step != 0;
            if (seq < max_seq_) cycles_ += 0x10000;
            max_seq_ = seq;
            bad_seq_.reset();
        } else if (step <= 0x10000 - kMaxMisorder) {
            if (bad_seq_ != seq) {
                bad_seq_ = static_cast<std::uint16_t>(seq + 1);
                ++jumps_ignored_;
                return;
            }
            // Two in a row after the jump: the source restarted its sequence.
            start(seq);
            ++restarts_;
        } else {
            ahead = false;
        }
    }
    ++received_;
    if (!ahead) return;
    const std::uint32_t transit = timestamp_units(arrival_us, clock_rate_) - rtp_timestamp;
    if (last_transit_ && rtp_timestamp == last_timestamp_) return;
    if (last_transit_) {
        const auto diff = static_cast<std::int32_t>(transit - *last_transit_);
        const std::uint64_t d = diff < 0 ? 0 - static_cast<std::uint64_t>(std::int64_t{diff})
                                         : static_cast<std::uint64_t>(diff);
        // jitter += (|D| - jitter) / 16, kept times 16.
        jitter_q4_ = jitter_q4_ + d - ((jitter_q4_ + 8) >> 4);
    }
    last_transit_ = transit;
    last_timestamp_ = rtp_timestamp;
}

void RtpReceptionStats::sender_report(std::uint64_t ntp, std::int64_t arrival_us) noexcept {
    last_sr_ = compact_ntp(ntp);
    last_sr_arrival_us_ = arrival_us;
    ++sender_reports_;
}

RtpReceptionStats::Counts RtpReceptionStats::counts() const noexcept {
    Counts c;
    c.received = received_;
    if (started_) {
        const std::uint64_t extended = cycles_ + max_seq_;
        c.expected = extended - base_seq_ + 1;
        c.extended_highest_seq = static_cast<std::uint32_t>(extended);
    }
    c.lost = static_cast<std::int64_t>(c.expected) - static_cast<std::int64_t>(c.received);
    c.jitter = static_cast<std::uint32_t>(std::min<std::uint64_t>(jitter_q4_ >> 4, 0xFFFFFFFFu));
    c.restarts = restarts_;
    c.jumps_ignored = jumps_ignored_;
    c.sender_reports = sender_reports_;
    return c;
}

std::optional<RtcpReportBlock> RtpReceptionStats::report(std::int64_t now_us) noexcept {
    if (!started_) return std::nullopt;
    const Counts c = counts();
    RtcpReportBlock b;
    b.ssrc = ssrc_;
    b.cumulative_lost =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(c.lost, -0x800000, 0x7FFFFF));
    b.extended_highest_seq = c.extended_highest_seq;
    b.jitter = c.jitter;

    const std::uint64_t expected_interval = c.expected - expected_prior_;
    const std::uint64_t received_interval = received_ - received_prior_;
    expected_prior_ = c.expected;
    received_prior_ = received_;
    const std::int64_t lost_interval = static_cast<std::int64_t>(expected_interval) -
                                       static_cast<std::int64_t>(received_interval);
    if (expected_interval != 0 && lost_interval > 0)
        b.fraction_lost = static_cast<std::uint8_t>(std::min<std::uint64_t>(
            (static_cast<std::uint64_t>(lost_interval) << 8) / expected_interval, 255));

    if (last_sr_) {
        b.lsr = *last_sr_;
        std::int64_t held = 0;
        if (__builtin_sub_overflow(now_us, last_sr_arrival_us_, &held))
            held = now_us < 0 ? 0 : INT64_MAX;
        b.dlsr = compact_from_us(held);
    }
    return b;
}

}  // namespace talmiro_media
