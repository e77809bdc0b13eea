// Says from the scaled delay trend whether the queue fills, drains or holds, against a
// threshold that adapts: it rises slowly towards a trend that keeps above it (a path whose
// delay swings, or a competing flow that keeps the queue moving) and falls faster when the
// trend is calm, within 6 to 600 ms. Spikes far beyond it (a sudden drop in capacity) do not
// move it. Over-use is said only when the trend has stayed above the threshold for
// `overuse_time_ms` over at least two deltas, and is not falling.
#pragma once

#include <cstdint>
#include <optional>

#include "talmiro_media/bandwidth_usage.hpp"

namespace talmiro_media {

class OveruseDetector {
public:
    struct Config {
        double initial_threshold_ms = 12.5;
        double min_threshold_ms = 6.0;
        double max_threshold_ms = 600.0;
        // Per ms of arrival time, towards a trend above (up) and below (down) the threshold.
        double k_up = 0.0087;
        double k_down = 0.039;
        double overuse_time_ms = 10.0;
        // Trends further than this above the threshold leave it as it is.
        double max_adapt_offset_ms = 15.0;
    };

    OveruseDetector() noexcept : OveruseDetector(Config{}) {}
    explicit OveruseDetector(Config config) noexcept;

    // One scaled trend (ms) with the send-time delta of the group that produced it, at
    // `arrival_us` (the receiver's clock, only its differences are used).
    BandwidthUsage detect(double trend_ms, double send_delta_ms, std::int64_t arrival_us) noexcept;

    BandwidthUsage usage() const noexcept { return usage_; }
    double threshold_ms() const noexcept { return threshold_ms_; }

private:
    void adapt(double trend_ms, std::int64_t arrival_us) noexcept;

    Config config_;
    BandwidthUsage usage_ = BandwidthUsage::normal;
    double threshold_ms_;
    double previous_trend_ms_ = 0.0;
    // Time spent above the threshold, absent while below it.
    std::optional<double> overuse_ms_;
    std::uint32_t overuse_count_ = 0;
    std::optional<std::int64_t> last_adapt_us_;
};

}  // namespace talmiro_media
