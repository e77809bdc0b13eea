// The over-use hypothesis from the delay trend, against an adaptive threshold.
#include "talmiro_media/overuse_detector.hpp"

#include <algorithm>
#include <cmath>

#include "saturating.hpp"

namespace talmiro_media {

OveruseDetector::OveruseDetector(Config config) noexcept
    : config_(config),
      threshold_ms_(std::clamp(config.initial_threshold_ms, config.min_threshold_ms,
                               std::max(config.min_threshold_ms, config.max_threshold_ms))) {}

BandwidthUsage OveruseDetector::detect(double trend_ms, double send_delta_ms,
                                       std::int64_t arrival_us) noexcept {
    if (!std::isfinite(trend_ms)) return usage_;
    if (trend_ms > threshold_ms_) {
        overuse_ms_ = overuse_ms_ ? *overuse_ms_ + send_delta_ms : send_delta_ms / 2.0;
        ++overuse_count_;
        if (*overuse_ms_ > config_.overuse_time_ms && overuse_count_ > 1 &&
            trend_ms >= previous_trend_ms_) {
            overuse_ms_ = 0.0;
            overuse_count_ = 0;
            usage_ = BandwidthUsage::overusing;
        }
    } else {
        overuse_ms_.reset();
        overuse_count_ = 0;
        usage_ = trend_ms < -threshold_ms_ ? BandwidthUsage::underusing : BandwidthUsage::normal;
    }
    previous_trend_ms_ = trend_ms;
    adapt(trend_ms, arrival_us);
    return usage_;
}

void OveruseDetector::adapt(double trend_ms, std::int64_t arrival_us) noexcept {
    const std::int64_t last = last_adapt_us_.value_or(arrival_us);
    last_adapt_us_ = arrival_us;
    const double magnitude = std::fabs(trend_ms);
    if (magnitude > threshold_ms_ + config_.max_adapt_offset_ms) return;
    const double k = magnitude < threshold_ms_ ? config_.k_down : config_.k_up;
    const double elapsed_ms =
        std::clamp(static_cast<double>(saturating_sub(arrival_us, last)) / 1000.0, 0.0, 100.0);
    threshold_ms_ += k * (magnitude - threshold_ms_) * elapsed_ms;
    threshold_ms_ = std::clamp(threshold_ms_, config_.min_threshold_ms,
                               std::max(config_.min_threshold_ms, config_.max_threshold_ms));
}

}  // namespace talmiro_media
