// The sender's answers to feedback: IDR requests coalesced, resends limited and paced, the
// work of a NACK list bounded.
#include "talmiro_media/rtp_responder.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "saturating.hpp"

namespace talmiro_media {

namespace {

constexpr std::size_t kMaxSentEntries = 4096;
constexpr std::int64_t kSecondUs = 1'000'000;

std::uint64_t key_of(std::uint32_t receiver, std::uint16_t seq) noexcept {
    return std::uint64_t{receiver} << 16 | seq;
}

// A set of 16-bit sequence numbers as 65,536 bits: a PID/BLP pair goes in with two word
// operations, and a range of numbers is counted or walked a word at a time.
class SeqSet {
public:
    void add(const NackPair& pair) noexcept {
        const std::uint64_t mask = 1u | std::uint64_t{pair.blp} << 1;  // pid .. pid + 16
        const std::size_t word = pair.pid >> 6, shift = pair.pid & 63;
        bits_[word] |= mask << shift;
        if (shift > 64 - 17) bits_[(word + 1) % kWords] |= mask >> (64 - shift);
    }
    std::uint64_t size() const noexcept {
        std::uint64_t n = 0;
        for (const std::uint64_t w : bits_) n += static_cast<std::uint64_t>(std::popcount(w));
        return n;
    }
    // How many of the `count` numbers from `first` on are in the set.
    std::uint64_t count(std::uint16_t first, std::size_t count) const noexcept {
        std::uint64_t n = 0;
        chunks(first, count, [&](std::uint16_t, std::uint64_t bits) {
            n += static_cast<std::uint64_t>(std::popcount(bits));
            return true;
        });
        return n;
    }
    // Calls `each(seq)` in sequence order for the numbers of the set among the `count` from
    // `first` on, after skipping the first `skip` of them, until it returns false.
    template <typename Each>
    void each(std::uint16_t first, std::size_t count, std::uint64_t skip, Each&& each) const {
        chunks(first, count, [&](std::uint16_t base, std::uint64_t bits) {
            const auto n = static_cast<std::uint64_t>(std::popcount(bits));
            if (skip >= n) {
                skip -= n;
                return true;
            }
            for (; skip > 0; --skip) bits &= bits - 1;
            for (; bits != 0; bits &= bits - 1)
                if (!each(static_cast<std::uint16_t>(base + std::countr_zero(bits)))) return false;
            return true;
        });
    }

private:
    static constexpr std::size_t kWords = 65536 / 64;

    // The set's bits of the range a word at a time: `chunk(seq of bit 0, bits)`.
    template <typename Chunk>
    void chunks(std::uint16_t first, std::size_t count, Chunk&& chunk) const {
        std::uint16_t at = first;
        for (std::size_t left = std::min<std::size_t>(count, 65536); left > 0;) {
            const std::size_t shift = at & 63;
            const std::size_t take = std::min<std::size_t>(64 - shift, left);
            std::uint64_t bits = bits_[at >> 6] >> shift;
            if (take < 64) bits &= (std::uint64_t{1} << take) - 1;
            if (!chunk(at, bits)) return;
            at = static_cast<std::uint16_t>(at + take);
            left -= take;
        }
    }

    std::array<std::uint64_t, kWords> bits_{};
};

}  // namespace

RtpResponder::RtpResponder(const RtpResponderConfig& config)
    : config_(config), budget_(config.resend_burst) {
    config_.max_resend_entries = std::max<std::size_t>(config.max_resend_entries, 4);
    config_.max_resends = std::min<std::uint32_t>(config.max_resends, 255);
    config_.max_receivers = std::max<std::size_t>(config.max_receivers, 1);
    config_.nack_min_rate = std::max(config.nack_min_rate, 1.0);
}

bool RtpResponder::idr_pending(std::int64_t now_us) const noexcept {
    return idr_asked_us_ && saturating_sub(now_us, *idr_asked_us_) < config_.idr_pending_limit_us;
}

bool RtpResponder::request_idr(std::int64_t now_us, std::optional<std::int64_t> rtt_us) noexcept {
    stats_.idr_requests += 1;
    const std::int64_t hold =
        std::max(rtt_us.value_or(config_.default_rtt_us), config_.min_idr_interval_us);
    if (idr_pending(now_us) || (last_idr_us_ && saturating_sub(now_us, *last_idr_us_) < hold)) {
        stats_.idr_requests_coalesced += 1;
        return false;
    }
    idr_asked_us_ = now_us;
    return true;
}

void RtpResponder::idr_sent(std::int64_t now_us, bool first) noexcept {
    idr_asked_us_.reset();
    if (first)
        last_idr_us_.reset();
    else
        last_idr_us_ = now_us;
}

void RtpResponder::forget_sent_before(std::int64_t t_us) noexcept {
    while (!sent_.empty() && sent_.front().t_us < t_us) {
        sent_bytes_ -= sent_.front().bytes;
        sent_packets_ -= sent_.front().packets;
        sent_.pop_front();
    }
}

void RtpResponder::media_sent(std::int64_t now_us, std::size_t bytes, std::size_t packets) {
    if (now_us > INT64_MIN + kSecondUs) forget_sent_before(now_us - kSecondUs);
    if (sent_.size() >= kMaxSentEntries) {
        // More units in a second than entries: the newest absorbs this one.
        sent_.back().bytes += bytes;
        sent_.back().packets += packets;
    } else {
        sent_.push_back({now_us, bytes, packets});
    }
    sent_bytes_ += bytes;
    sent_packets_ += packets;
}

void RtpResponder::refill(std::int64_t now_us) noexcept {
    if (now_us > INT64_MIN + kSecondUs) forget_sent_before(now_us - kSecondUs);
    if (budget_us_) {
        const double elapsed =
            static_cast<double>(std::max<std::int64_t>(0, saturating_sub(now_us, *budget_us_))) / 1e6;
        const double rate =
            std::max(config_.resend_min_rate, 2.0 * static_cast<double>(sent_bytes_));
        budget_ = std::min(config_.resend_burst, budget_ + elapsed * rate);
    }
    budget_us_ = now_us;
}

ResendVerdict RtpResponder::may_resend(std::uint32_t receiver, std::uint16_t seq,
                                       std::int64_t now_us) {
    refill(now_us);
    if (budget_ <= 0) {
        stats_.resend_over_budget += 1;
        return ResendVerdict::OverBudget;
    }
    if (limited(receiver, seq)) {
        stats_.resend_limited += 1;
        return ResendVerdict::Limited;
    }
    return ResendVerdict::Resend;
}

bool RtpResponder::limited(std::uint32_t receiver, std::uint16_t seq) const {
    const auto it = resends_.find(key_of(receiver, seq));
    return it != resends_.end() && it->second >= config_.max_resends;
}

double& RtpResponder::feedback_budget(std::uint32_t receiver, std::int64_t now_us) {
    // Twice the media packets of the last second, at least the minimum rate.
    const double rate = std::max(config_.nack_min_rate, 2.0 * static_cast<double>(sent_packets_));
    auto it = feedback_.find(receiver);
    if (it == feedback_.end()) {
        if (feedback_.size() >= config_.max_receivers) {
            // The receiver heard from longest ago makes room.
            feedback_.erase(std::min_element(feedback_.begin(), feedback_.end(),
                                              [](const auto& a, const auto& b) {
                                                  return a.second.at_us < b.second.at_us;
                                              }));
        }
        it = feedback_.emplace(receiver, FeedbackBudget{rate, now_us}).first;
    }
    FeedbackBudget& b = it->second;
    const double elapsed =
        static_cast<double>(std::max<std::int64_t>(0, saturating_sub(now_us, b.at_us))) / 1e6;
    b.packets = std::min(rate, b.packets + elapsed * rate);
    b.at_us = std::max(b.at_us, now_us);
    return b.packets;
}

NackAnswer RtpResponder::answer_nack(std::uint32_t receiver, std::span<const NackPair> pairs,
                                     SeqWindow held, std::int64_t now_us,
                                     const ResendPacket& resend) {
    NackAnswer a;
    if (pairs.size() > config_.max_nack_pairs) {
        a.pairs_dropped = pairs.size() - config_.max_nack_pairs;
        pairs = pairs.first(config_.max_nack_pairs);
    }
    SeqSet named;
    for (const NackPair& pair : pairs) named.add(pair);
    a.named = named.size();
    const std::uint64_t in_history = named.count(held.first, held.count);
    a.not_held = a.named - in_history;
    if (in_history == 0) return a;
    refill(now_us);
    double& budget = feedback_budget(receiver, now_us);
    // The budget covers the newest packets named: the older ones are refused.
    const auto affordable = static_cast<std::uint64_t>(std::max(0.0, budget));
    const std::uint64_t skip = in_history - std::min(in_history, affordable);
    std::uint64_t handled = 0;
    named.each(held.first, held.count, skip, [&](std::uint16_t seq) {
        if (budget_ <= 0) return false;
        ++handled;
        if (limited(receiver, seq)) {
            ++a.limited;
        } else if (const std::size_t bytes = resend(seq); bytes > 0) {
            resent(receiver, seq, bytes);
            ++a.resent;
        } else {
            ++a.not_held;
        }
        return true;
    });
    budget -= static_cast<double>(handled);
    a.nack_over_budget = skip;
    a.over_budget = in_history - skip - handled;
    stats_.resend_limited += a.limited;
    stats_.resend_over_budget += a.over_budget;
    stats_.nack_over_budget += a.nack_over_budget;
    return a;
}

void RtpResponder::resent(std::uint32_t receiver, std::uint16_t seq, std::size_t bytes) {
    const std::uint64_t key = key_of(receiver, seq);
    auto it = resends_.find(key);
    if (it == resends_.end()) {
        if (resends_.size() >= config_.max_resend_entries) {
            // The oldest quarter goes: their packets have long left the history.
            for (std::size_t n = config_.max_resend_entries / 4; n > 0; --n) {
                resends_.erase(resend_order_.front());
                resend_order_.pop_front();
            }
        }
        it = resends_.emplace(key, 0).first;
        resend_order_.push_back(key);
    }
    if (it->second < 255) it->second += 1;
    budget_ -= static_cast<double>(bytes);
    stats_.resends += 1;
}

}  // namespace talmiro_media
