// The smoothed delay's least-squares slope over a fixed window of group deltas.
#include "talmiro_media/trendline_estimator.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

TrendlineEstimator::TrendlineEstimator(Config config) noexcept : config_(config) {
    config_.window = std::clamp<std::size_t>(config_.window, 2, 200);
    config_.smoothing = std::clamp(config_.smoothing, 0.0, 1.0);
    config_.full_after = std::max<std::uint32_t>(config_.full_after, 1);
}

std::optional<double> TrendlineEstimator::fit() const noexcept {
    double sum_x = 0.0;
    double sum_y = 0.0;
    for (const Point& p : points_) {
        sum_x += p.arrival_ms;
        sum_y += p.smoothed_ms;
    }
    const double n = static_cast<double>(points_.size());
    const double mean_x = sum_x / n;
    const double mean_y = sum_y / n;
    double num = 0.0;
    double den = 0.0;
    for (const Point& p : points_) {
        num += (p.arrival_ms - mean_x) * (p.smoothed_ms - mean_y);
        den += (p.arrival_ms - mean_x) * (p.arrival_ms - mean_x);
    }
    if (den <= 0.0) return std::nullopt;
    return num / den;
}

double TrendlineEstimator::update(const ArrivalGroups::Delta& delta) {
    if (deltas_ < config_.full_after) ++deltas_;
    if (!first_arrival_us_) first_arrival_us_ = delta.arrival_us;
    const double change_ms =
        static_cast<double>(saturating_sub(delta.arrival_delta_us, delta.send_delta_us)) / 1000.0;
    accumulated_ms_ += change_ms;
    smoothed_ms_ = config_.smoothing * smoothed_ms_ + (1.0 - config_.smoothing) * accumulated_ms_;
    const double arrival_ms =
        static_cast<double>(saturating_sub(delta.arrival_us, *first_arrival_us_)) / 1000.0;
    points_.push_back({arrival_ms, smoothed_ms_});
    if (points_.size() > config_.window) points_.pop_front();
    if (points_.size() == config_.window) slope_ = fit().value_or(slope_);
    scaled_ = slope_ * config_.gain * static_cast<double>(deltas_);
    return scaled_;
}

}  // namespace talmiro_media
