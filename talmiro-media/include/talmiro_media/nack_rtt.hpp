// The receiver's round trip, measured from the NACK that asked for a packet to the
// retransmission that brought it. Pure bookkeeping; every time is passed in (µs on one
// monotonic clock).
//
// A packet asked for more than once gives no sample: its retransmission may answer any of the
// requests. A request repeated within `copy_window_us` of the first is a copy of it (a receiver
// that sends each NACK twice on purpose): its answer is timed from the first. The requests remembered are bounded in number and in age, so that a sequence
// number that comes round again after the wrap is not taken for the one asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace talmiro_media {

class NackRtt {
public:
    struct Config {
        // Requests remembered; the oldest is forgotten first.
        std::size_t capacity = 1024;
        // A request older than this is forgotten.
        std::int64_t max_age_us = 5'000'000;
        // Repeats this soon after the first request are copies of it, not requests of their own.
        std::int64_t copy_window_us = 0;
    };

    NackRtt() noexcept : NackRtt(Config{}) {}
    explicit NackRtt(Config config) noexcept;

    // A NACK naming `seqs` went out at `now_us`.
    void nack_sent(std::span<const std::uint16_t> seqs, std::int64_t now_us);
    // A retransmission of `seq` arrived at `now_us`: the round trip it measured, if it answers
    // the one request for it that is remembered.
    std::optional<std::int64_t> retransmission(std::uint16_t seq, std::int64_t now_us);

    // The smoothed round trip (each sample moves it an eighth of the way), absent before the
    // first sample; and the latest sample.
    std::optional<std::int64_t> rtt_us() const noexcept { return smoothed_; }
    std::optional<std::int64_t> latest_us() const noexcept { return latest_; }

    struct Counts {
        std::uint64_t samples = 0;
        // Retransmissions of a packet asked for more than once.
        std::uint64_t ambiguous = 0;
        // Retransmissions of a packet not asked for, or whose request was forgotten.
        std::uint64_t unmatched = 0;

        bool operator==(const Counts&) const = default;
    };
    const Counts& counts() const noexcept { return counts_; }
    const Config& config() const noexcept { return config_; }

private:
    struct Request {
        std::uint16_t seq;
        std::uint32_t times;
        std::int64_t sent_us;
    };
    void forget_old(std::int64_t now_us);

    Config config_;
    // Oldest first.
    std::deque<Request> requests_;
    std::optional<std::int64_t> smoothed_;
    std::optional<std::int64_t> latest_;
    Counts counts_;
};

}  // namespace talmiro_media
