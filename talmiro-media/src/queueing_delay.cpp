// The queueing delay: the latest message's least one-way delay above the windowed minimum.
#include "talmiro_media/queueing_delay.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

QueueingDelay::QueueingDelay(Config config) noexcept : config_(config) {
    config_.bucket_us = std::max<std::int64_t>(config_.bucket_us, 1);
    config_.buckets = std::clamp<std::size_t>(config_.buckets, 1, 1000);
}

void QueueingDelay::add(std::int64_t send_us, std::int64_t arrival_us) {
    const std::int64_t delay = saturating_sub(arrival_us, send_us);
    message_min_us_ = std::min(message_min_us_.value_or(delay), delay);
    if (buckets_.empty() ||
        saturating_sub(arrival_us, buckets_.back().start_us) >= config_.bucket_us ||
        arrival_us < saturating_sub(buckets_.back().start_us, config_.bucket_us)) {
        buckets_.push_back({arrival_us, delay});
        if (buckets_.size() > config_.buckets) buckets_.pop_front();
        return;
    }
    buckets_.back().min_delay_us = std::min(buckets_.back().min_delay_us, delay);
}

void QueueingDelay::end_message() noexcept {
    if (!message_min_us_) return;
    const std::int64_t base = base_us().value_or(*message_min_us_);
    current_us_ = std::max<std::int64_t>(saturating_sub(*message_min_us_, base), 0);
    message_min_us_.reset();
}

std::optional<std::int64_t> QueueingDelay::base_us() const noexcept {
    if (buckets_.empty()) return std::nullopt;
    std::int64_t base = buckets_.front().min_delay_us;
    for (const Bucket& b : buckets_) base = std::min(base, b.min_delay_us);
    return base;
}

}  // namespace talmiro_media
