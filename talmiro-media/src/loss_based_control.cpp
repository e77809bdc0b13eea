// The loss-based rate: grow under 2 % loss, hold to 10 %, cut by half the loss above.
#include "talmiro_media/loss_based_control.hpp"

#include <algorithm>
#include <cmath>

#include "saturating.hpp"

namespace talmiro_media {

LossBasedControl::LossBasedControl(std::int64_t start_bps, std::int64_t min_bps,
                                   std::int64_t max_bps, Tuning tuning) noexcept
    : tuning_(tuning),
      min_bps_(std::max<std::int64_t>(min_bps, 1)),
      max_bps_(std::max(min_bps_, max_bps)),
      rate_(std::clamp(start_bps, min_bps_, max_bps_)) {}

std::int64_t LossBasedControl::update(double loss, std::int64_t sending_bps, std::int64_t rtt_us,
                                      std::int64_t now_us) noexcept {
    if (!std::isfinite(loss)) return rate_;
    loss = std::clamp(loss, 0.0, 1.0);
    const std::int64_t sending = std::clamp(sending_bps, min_bps_, max_bps_);
    const double base = static_cast<double>(judged_ ? std::min(rate_, sending) : sending);
    judged_ = true;
    double next = static_cast<double>(rate_);
    if (loss < tuning_.low) {
        next = base * (1.0 + tuning_.growth) + 1'000.0;
    } else if (loss > tuning_.high) {
        const std::int64_t interval =
            saturating_add(std::clamp<std::int64_t>(rtt_us, 0, 2'000'000), tuning_.cut_interval_us);
        if (last_cut_us_ && saturating_sub(now_us, *last_cut_us_) < interval) return rate_;
        next = base * (1.0 - 0.5 * loss);
        last_cut_us_ = now_us;
    } else {
        next = base;
    }
    rate_ = std::clamp(static_cast<std::int64_t>(next), min_bps_, max_bps_);
    return rate_;
}

}  // namespace talmiro_media
