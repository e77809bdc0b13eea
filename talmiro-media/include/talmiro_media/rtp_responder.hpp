// How an RTP sender answers its receivers' feedback: which requests for an IDR picture reach
// the encoder, and which NACKed packets are resent.
//
// - IDR requests coalesce. While an IDR picture asked for has not been sent (for at most
//   `idr_pending_limit_us`: a request the encoder never answered must not hold the next ones
//   back for ever), or within one round trip after an IDR picture was sent (the receiver cannot
//   have seen it yet), a request asks for nothing new.
// - Each packet is resent at most `max_resends` times per receiver.
// - Resends spend a budget of bytes. It refills at twice the media rate of the last second (at
//   least `resend_min_rate` bytes/s) and holds at most `resend_burst` bytes, so that a flood of
//   NACKs cannot make the sender send many times what its stream carries.
//
// No sockets and no clocks: every call takes the time (µs on one monotonic clock). Memory is
// bounded: `max_resend_entries` resend counts, a second of sent-media entries (at most 4096).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>

namespace talmiro_media {

struct RtpResponderConfig {
    std::uint32_t max_resends = 3;
    // The round trip assumed for coalescing before any is measured.
    std::int64_t default_rtt_us = 100'000;
    std::int64_t idr_pending_limit_us = 1'000'000;
    double resend_min_rate = 125'000;
    double resend_burst = 512 * 1024;
    std::size_t max_resend_entries = 65536;
};

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

    // `bytes` of media went out at `now_us`.
    void media_sent(std::int64_t now_us, std::size_t bytes);
    // Whether packet `seq` may be resent to `receiver` (a number the caller gives each
    // receiver, e.g. its port) now.
    ResendVerdict may_resend(std::uint32_t receiver, std::uint16_t seq, std::int64_t now_us);
    // The packet `may_resend` allowed went out, `bytes` long (a packet no longer held is not
    // resent and costs nothing).
    void resent(std::uint32_t receiver, std::uint16_t seq, std::size_t bytes);

    const RtpResponderConfig& config() const noexcept { return config_; }
    const RtpResponderStats& stats() const noexcept { return stats_; }
    // The budget in bytes as of the last call.
    double budget() const noexcept { return budget_; }

private:
    void refill(std::int64_t now_us) noexcept;
    void forget_sent_before(std::int64_t t_us) noexcept;

    RtpResponderConfig config_;
    RtpResponderStats stats_;
    std::optional<std::int64_t> idr_asked_us_;
    std::optional<std::int64_t> last_idr_us_;
    // Media sent in the last second: (time, bytes), and their sum.
    std::deque<std::pair<std::int64_t, std::size_t>> sent_;
    std::size_t sent_bytes_ = 0;
    double budget_ = 0;
    std::optional<std::int64_t> budget_us_;
    // Resends by (receiver, sequence number), and the keys in the order they came.
    std::unordered_map<std::uint64_t, std::uint8_t> resends_;
    std::deque<std::uint64_t> resend_order_;
};

}  // namespace talmiro_media
