// The delay-based rate: additive near the known capacity, multiplicative away from it, cut to
// drain the queue on over-use.
#include "talmiro_media/aimd_rate_control.hpp"

#include <algorithm>
#include <cmath>

#include "saturating.hpp"

namespace talmiro_media {

AimdRateControl::AimdRateControl(std::int64_t start_bps, std::int64_t min_bps,
                                 std::int64_t max_bps, Tuning tuning) noexcept
    : tuning_(tuning),
      min_bps_(static_cast<double>(std::max<std::int64_t>(min_bps, 1))),
      max_bps_(std::max(min_bps_, static_cast<double>(max_bps))),
      rate_(clamp(static_cast<double>(start_bps))) {
    tuning_.beta = std::clamp(tuning_.beta, 0.1, 1.0);
    tuning_.min_backoff = std::clamp(tuning_.min_backoff, 0.05, tuning_.beta);
    tuning_.drain_period_us = std::max<std::int64_t>(tuning_.drain_period_us, 1'000);
    tuning_.frame_rate = std::max(tuning_.frame_rate, 1.0);
}

double AimdRateControl::clamp(double bps) const noexcept {
    return std::clamp(bps, min_bps_, max_bps_);
}

std::int64_t AimdRateControl::update(const Input& input, std::int64_t now_us) noexcept {
    const std::int64_t since = last_update_us_ ? saturating_sub(now_us, *last_update_us_) : 0;
    const double elapsed_s =
        static_cast<double>(std::clamp<std::int64_t>(since, 0, 1'000'000)) / 1e6;
    last_update_us_ = now_us;
    const RateControlState before = state_;
    change_state(input.usage);
    action_ = state_ == RateControlState::increase ? state_ : RateControlState::hold;
    if (state_ == RateControlState::increase && before == RateControlState::increase) {
        increase(input, elapsed_s);
    } else if (state_ == RateControlState::decrease) {
        cut(input, now_us);
    }
    return bitrate_bps();
}

void AimdRateControl::change_state(BandwidthUsage usage) noexcept {
    switch (usage) {
        case BandwidthUsage::normal:
            if (state_ == RateControlState::hold) state_ = RateControlState::increase;
            break;
        case BandwidthUsage::overusing: state_ = RateControlState::decrease; break;
        case BandwidthUsage::underusing: state_ = RateControlState::hold; break;
    }
}

double AimdRateControl::growth_per_s(const Input& input) const noexcept {
    if (input.queue_delay_us >= tuning_.quiet_queue_us) return 0.0;
    if (!congested_) return tuning_.startup_growth_per_s;
    if (!capacity_.known() || rate_ > capacity_.upper_bps()) return tuning_.far_growth_per_s;
    if (rate_ < capacity_.lower_bps()) return tuning_.startup_growth_per_s;
    return 0.0;
}

double AimdRateControl::additive_bps_per_s() const noexcept {
    const double packet_bits = std::min(static_cast<double>(tuning_.packet_bytes) * 8.0,
                                        rate_ / tuning_.frame_rate);
    const double response_s =
        static_cast<double>(std::clamp<std::int64_t>(rtt_us_, 0, 2'000'000) + 100'000) / 1e6;
    return std::max(4'000.0, packet_bits / response_s);
}

void AimdRateControl::increase(const Input& input, double elapsed_s) noexcept {
    if (input.delivered_bps && static_cast<double>(*input.delivered_bps) > capacity_.upper_bps()) {
        capacity_.reset();
    }
    const double limit = input.delivered_bps
                             ? 1.5 * static_cast<double>(*input.delivered_bps) + 10'000.0
                             : max_bps_;
    if (rate_ >= limit) return;
    const double growth = growth_per_s(input);
    const double raised = growth > 0.0 ? rate_ * std::pow(1.0 + growth, elapsed_s)
                                       : rate_ + additive_bps_per_s() * elapsed_s;
    rate_ = clamp(std::min(raised, std::max(limit, rate_)));
}

bool AimdRateControl::may_cut(double delivered, std::int64_t now_us) const noexcept {
    if (!last_cut_us_) return true;
    const std::int64_t interval =
        std::clamp(rtt_us_, tuning_.min_cut_interval_us, tuning_.max_cut_interval_us);
    return saturating_sub(now_us, *last_cut_us_) >= interval || delivered < 0.5 * rate_;
}

void AimdRateControl::cut(const Input& input, std::int64_t now_us) noexcept {
    const double delivered =
        input.delivered_bps ? static_cast<double>(*input.delivered_bps) : rate_;
    state_ = RateControlState::hold;
    if (!may_cut(delivered, now_us)) return;
    action_ = RateControlState::decrease;
    const double queue_us = static_cast<double>(std::max<std::int64_t>(input.queue_delay_us, 0));
    const double drain = delivered * queue_us / static_cast<double>(tuning_.drain_period_us);
    const double target = std::max(tuning_.beta * delivered - drain,
                                   tuning_.min_backoff * delivered);
    if (target < rate_) rate_ = clamp(target);
    if (delivered < capacity_.lower_bps()) capacity_.reset();
    capacity_.on_overuse(delivered);
    congested_ = true;
    last_cut_us_ = now_us;
}

}  // namespace talmiro_media
