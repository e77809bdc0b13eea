// The delivered rate over a sliding window of arrival times, bounded in packets.
#include "talmiro_media/acked_rate.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

AckedRate::AckedRate(Config config) noexcept : config_(config) {
    config_.window_us = std::max<std::int64_t>(config_.window_us, 1);
    config_.min_span_us = std::clamp<std::int64_t>(config_.min_span_us, 1, config_.window_us);
    config_.max_packets = std::clamp<std::size_t>(config_.max_packets, 2, 1 << 16);
}

void AckedRate::add(std::int64_t arrival_us, std::size_t bytes) {
    newest_us_ = std::max(newest_us_.value_or(arrival_us), arrival_us);
    packets_.push_back({arrival_us, bytes});
    bytes_ += bytes;
    const std::int64_t oldest = saturating_sub(*newest_us_, config_.window_us);
    while (packets_.size() > config_.max_packets ||
           (!packets_.empty() && packets_.front().arrival_us < oldest)) {
        bytes_ -= packets_.front().bytes;
        packets_.pop_front();
    }
}

std::optional<std::int64_t> AckedRate::bps() const noexcept {
    if (packets_.size() < 2 || !newest_us_) return std::nullopt;
    const std::int64_t span = saturating_sub(*newest_us_, packets_.front().arrival_us);
    if (span < config_.min_span_us) return std::nullopt;
    const double bits = static_cast<double>(bytes_ - packets_.front().bytes) * 8.0;
    return static_cast<std::int64_t>(bits * 1e6 / static_cast<double>(span));
}

}  // namespace talmiro_media
