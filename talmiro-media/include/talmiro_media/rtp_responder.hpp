// How an RTP sender answers its receivers' feedback: which requests for an IDR picture reach
// the encoder, and which NACKed packets are resent.
//
// - IDR requests coalesce. While an IDR picture asked for has not been sent (for at most
//   `idr_pending_limit_us`: a request the encoder never answered must not hold the next ones
//   back for ever), or within one round trip or `min_idr_interval_us` after an IDR picture was
//   sent, whichever is longer (the receiver cannot have seen it yet; and a storm of requests
//   over a short round trip must not make every picture an IDR picture), a request asks for
//   nothing new.
// - Each packet is resent at most `max_resends` times per receiver.
// - Resends spend a budget of bytes. It refills at twice the media rate of the last second (at
//   least `resend_min_rate` bytes/s) and holds at most `resend_burst` bytes, so that a flood of
//   NACKs cannot make the sender send many times what its stream carries.
// - A NACK costs a bounded amount of work whatever it names: `answer_nack` reads at most
//   `max_nack_pairs` PID/BLP pairs, keeps of what they name only the packets the history holds
//   (by ranges, not number by number), and handles at most as many packets per receiver and
//   second as its feedback budget allows (twice the media packets sent in the last second, as
//   the budget of bytes, at least `nack_min_rate`; a second's worth saved up at most: a
//   receiver may have every packet resent twice a second). A packet handled spends the budget
//   whether it is resent or found resent too often already.
//
// No sockets and no clocks: every call takes the time (µs on one monotonic clock). Memory is
// bounded: `max_resend_entries` resend counts, a second of sent-media entries (at most 4096),
// the feedback budgets of `max_receivers` receivers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>

#include "talmiro_media/rtcp.hpp"

namespace talmiro_media {

struct RtpResponderConfig {
    std::uint32_t max_resends = 3;
    // The round trip assumed for coalescing before any is measured.
    std::int64_t default_rtt_us = 100'000;
    std::int64_t idr_pending_limit_us = 1'000'000;
    double resend_min_rate = 125'000;
    double resend_burst = 512 * 1024;
    std::size_t max_resend_entries = 65536;
    // IDR pictures from requests at least this far apart (0: only the round trip counts).
    std::int64_t min_idr_interval_us = 0;
    // The least a receiver's feedback budget refills by, in NACKed packets per second.
    double nack_min_rate = 128;
    // PID/BLP pairs read from one NACK list; receivers whose budgets are kept.
    std::size_t max_nack_pairs = 1024;
    std::size_t max_receivers = 64;
};

// The sequence numbers the sender's history holds: `count` of them from `first` on (across
// the wrap), as RtpPacketizer keeps them.
struct SeqWindow {
    std::uint16_t first = 0;
    std::size_t count = 0;
};

// What one call of `answer_nack` did with the packets a NACK list named (each number once).
struct NackAnswer {
    std::uint64_t named = 0;
    std::uint64_t not_held = 0;       // outside the history: nothing to resend
    std::uint64_t resent = 0;
    std::uint64_t limited = 0;        // resent `max_resends` times already
    std::uint64_t over_budget = 0;    // the budget of bytes was spent
    std::uint64_t nack_over_budget = 0;  // the receiver's feedback budget was spent
    std::uint64_t pairs_dropped = 0;  // pairs past `max_nack_pairs`, not read

    bool operator==(const NackAnswer&) const = default;
};

// Sends (or queues) the held packet `seq` again and gives its size in bytes; 0 when it could
// not (then nothing is paid).
using ResendPacket = std::function<std::size_t(std::uint16_t seq)>;

enum class ResendVerdict : std::uint8_t {
    Resend = 0,      // resend it (and call `resent` once it went)
    OverBudget = 1,  // the budget is spent
    Limited = 2,     // resent `max_resends` times to this receiver already
};

struct RtpResponderStats {
    std::uint64_t idr_requests = 0;
    std::uint64_t idr_requests_coalesced = 0;
    std::uint64_t resends = 0;
    std::uint64_t resend_limited = 0;
    std::uint64_t resend_over_budget = 0;
    std::uint64_t nack_over_budget = 0;
};

class RtpResponder {
public:
    explicit RtpResponder(const RtpResponderConfig& config = {});

    // A receiver asked for an IDR picture at `now_us`; `rtt_us` is the longest round trip
    // measured to the receivers (absent: none yet). True when the encoder is to be asked.
    bool request_idr(std::int64_t now_us, std::optional<std::int64_t> rtt_us) noexcept;
    // An IDR picture went out (asked for or not): it answers the request pending. The
    // stream's first picture does not make the next request wait a round trip: a request
    // right after it comes from a receiver that could not start with it (its parameter sets
    // were lost before its first packet, say).
    void idr_sent(std::int64_t now_us, bool first = false) noexcept;
    // An IDR picture asked for has not been sent yet (nor given up on) at `now_us`.
    bool idr_pending(std::int64_t now_us) const noexcept;

    // `bytes` of media in `packets` packets went out at `now_us`.
    void media_sent(std::int64_t now_us, std::size_t bytes, std::size_t packets = 1);
    // Whether packet `seq` may be resent to `receiver` (a number the caller gives each
    // receiver, e.g. its port) now.
    ResendVerdict may_resend(std::uint32_t receiver, std::uint16_t seq, std::int64_t now_us);
    // The packet `may_resend` allowed went out, `bytes` long (a packet no longer held is not
    // resent and costs nothing).
    void resent(std::uint32_t receiver, std::uint16_t seq, std::size_t bytes);
    // Answers a NACK list from `receiver` at `now_us`: of the packets `pairs` name, those in
    // `held` and within the receiver's feedback budget (the newest first when it does not
    // cover them all) are checked as `may_resend` does and given to `resend` in sequence
    // order, each paid as `resent` pays. The work is bounded by `max_nack_pairs` and the
    // budget, not by what the list names.
    NackAnswer answer_nack(std::uint32_t receiver, std::span<const NackPair> pairs,
                           SeqWindow held, std::int64_t now_us, const ResendPacket& resend);

    const RtpResponderConfig& config() const noexcept { return config_; }
    const RtpResponderStats& stats() const noexcept { return stats_; }
    // The budget in bytes as of the last call.
    double budget() const noexcept { return budget_; }

private:
    void refill(std::int64_t now_us) noexcept;
    void forget_sent_before(std::int64_t t_us) noexcept;
    // The feedback budget of `receiver` refilled to `now_us` (created full).
    double& feedback_budget(std::uint32_t receiver, std::int64_t now_us);
    bool limited(std::uint32_t receiver, std::uint16_t seq) const;

    struct FeedbackBudget {
        double packets = 0;
        std::int64_t at_us = 0;
    };

    RtpResponderConfig config_;
    RtpResponderStats stats_;
    std::optional<std::int64_t> idr_asked_us_;
    std::optional<std::int64_t> last_idr_us_;
    // Media sent in the last second: (time, bytes, packets), and their sums.
    struct SentMedia {
        std::int64_t t_us;
        std::size_t bytes;
        std::size_t packets;
    };
    std::deque<SentMedia> sent_;
    std::size_t sent_bytes_ = 0;
    std::size_t sent_packets_ = 0;
    double budget_ = 0;
    std::optional<std::int64_t> budget_us_;
    // Resends by (receiver, sequence number), and the keys in the order they came.
    std::unordered_map<std::uint64_t, std::uint8_t> resends_;
    std::deque<std::uint64_t> resend_order_;
    std::unordered_map<std::uint32_t, FeedbackBudget> feedback_;
};

}  // namespace talmiro_media
