// The delay trend: the one-way delay's change accumulated over group deltas, smoothed, and the
// slope of a least-squares line through the last `window` points of it against arrival time.
// A slope of 0.1 means the queue grows by 0.1 ms per ms: the sender sends about 10 % more than
// the path carries; a negative slope means the queue drains.
//
// The slope is scaled for the over-use detector: times `gain` and by the number of deltas seen
// (up to `full_after`), so that the first few points, a line through noise, weigh little.
// The window is fixed (2 to 200 points): memory and work per delta are bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "talmiro_media/arrival_groups.hpp"

namespace talmiro_media {

class TrendlineEstimator {
public:
    struct Config {
        std::size_t window = 20;
        // The share of the previous smoothed delay kept at each point.
        double smoothing = 0.9;
        double gain = 4.0;
        std::uint32_t full_after = 60;
    };

    TrendlineEstimator() noexcept : TrendlineEstimator(Config{}) {}
    explicit TrendlineEstimator(Config config) noexcept;

    // Takes one group delta; returns the scaled trend (ms), what the detector compares with
    // its threshold.
    double update(const ArrivalGroups::Delta& delta);

    double slope() const noexcept { return slope_; }
    double scaled_trend_ms() const noexcept { return scaled_; }
    std::uint32_t deltas() const noexcept { return deltas_; }

private:
    struct Point {
        double arrival_ms;
        double smoothed_ms;
    };
    std::optional<double> fit() const noexcept;

    Config config_;
    std::deque<Point> points_;
    std::optional<std::int64_t> first_arrival_us_;
    double accumulated_ms_ = 0.0;
    double smoothed_ms_ = 0.0;
    double slope_ = 0.0;
    double scaled_ = 0.0;
    std::uint32_t deltas_ = 0;
};

}  // namespace talmiro_media
