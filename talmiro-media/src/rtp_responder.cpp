// The sender's answers to feedback: IDR requests coalesced, resends limited and paced.
#include "talmiro_media/rtp_responder.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

namespace {

constexpr std::size_t kMaxSentEntries = 4096;
constexpr std::int64_t kSecondUs = 1'000'000;

std::uint64_t key_of(std::uint32_t receiver, std::uint16_t seq) noexcept {
    return std::uint64_t{receiver} << 16 | seq;
}

}  // namespace

RtpResponder::RtpResponder(const RtpResponderConfig& config)
    : config_(config), budget_(config.resend_burst) {
    config_.max_resend_entries = std::max<std::size_t>(config.max_resend_entries, 4);
    config_.max_resends = std::min<std::uint32_t>(config.max_resends, 255);
}

bool RtpResponder::idr_pending(std::int64_t now_us) const noexcept {
    return idr_asked_us_ && saturating_sub(now_us, *idr_asked_us_) < config_.idr_pending_limit_us;
}

bool RtpResponder::request_idr(std::int64_t now_us, std::optional<std::int64_t> rtt_us) noexcept {
    stats_.idr_requests += 1;
    const std::int64_t rtt = rtt_us.value_or(config_.default_rtt_us);
    if (idr_pending(now_us) || (last_idr_us_ && saturating_sub(now_us, *last_idr_us_) < rtt)) {
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
    while (!sent_.empty() && sent_.front().first < t_us) {
        sent_bytes_ -= sent_.front().second;
        sent_.pop_front();
    }
}

void RtpResponder::media_sent(std::int64_t now_us, std::size_t bytes) {
    if (now_us > INT64_MIN + kSecondUs) forget_sent_before(now_us - kSecondUs);
    if (sent_.size() >= kMaxSentEntries) {
        // More units in a second than entries: the newest absorbs this one.
        sent_.back().second += bytes;
    } else {
        sent_.emplace_back(now_us, bytes);
    }
    sent_bytes_ += bytes;
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
    const auto it = resends_.find(key_of(receiver, seq));
    if (it != resends_.end() && it->second >= config_.max_resends) {
        stats_.resend_limited += 1;
        return ResendVerdict::Limited;
    }
    return ResendVerdict::Resend;
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
