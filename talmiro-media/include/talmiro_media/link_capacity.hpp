// What the path carried the last times the queue filled: a running mean of the delivered rate
// at each over-use, with its deviation (as a variance relative to the mean, kept between 0.4
// and 2.5 kbit/s, so that the band is neither a point nor everything). Inside the band the
// rate control creeps up; outside it, the capacity has changed and is searched for again.
#pragma once

#include <optional>

namespace talmiro_media {

class LinkCapacity {
public:
    // The delivered rate when an over-use was seen.
    void on_overuse(double delivered_bps) noexcept;
    void reset() noexcept { estimate_kbps_.reset(); }

    bool known() const noexcept { return estimate_kbps_.has_value(); }
    // Valid when known.
    double estimate_bps() const noexcept { return estimate_kbps_.value_or(0.0) * 1000.0; }
    double upper_bps() const noexcept;
    double lower_bps() const noexcept;

private:
    double deviation_kbps() const noexcept;

    std::optional<double> estimate_kbps_;
    double variance_ = 0.4;
};

}  // namespace talmiro_media
