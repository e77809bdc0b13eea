// The running estimate of the path's capacity from the delivered rate at over-use.
#include "talmiro_media/link_capacity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace talmiro_media {

namespace {
constexpr double kAlpha = 0.05;
constexpr double kMinVariance = 0.4;
constexpr double kMaxVariance = 2.5;
}  // namespace

void LinkCapacity::on_overuse(double delivered_bps) noexcept {
    const double sample = std::max(delivered_bps, 0.0) / 1000.0;
    const double estimate =
        estimate_kbps_ ? (1.0 - kAlpha) * *estimate_kbps_ + kAlpha * sample : sample;
    const double error = estimate - sample;
    variance_ = (1.0 - kAlpha) * variance_ + kAlpha * error * error / std::max(estimate, 1.0);
    variance_ = std::clamp(variance_, kMinVariance, kMaxVariance);
    estimate_kbps_ = estimate;
}

double LinkCapacity::deviation_kbps() const noexcept {
    return std::sqrt(variance_ * estimate_kbps_.value_or(0.0));
}

double LinkCapacity::upper_bps() const noexcept {
    if (!estimate_kbps_) return std::numeric_limits<double>::infinity();
    return (*estimate_kbps_ + 3.0 * deviation_kbps()) * 1000.0;
}

double LinkCapacity::lower_bps() const noexcept {
    if (!estimate_kbps_) return 0.0;
    return std::max(*estimate_kbps_ - 3.0 * deviation_kbps(), 0.0) * 1000.0;
}

}  // namespace talmiro_media
