// Send-time groups of packets and the delay change between consecutive groups.
#include "talmiro_media/arrival_groups.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

std::optional<ArrivalGroups::Delta> ArrivalGroups::add(std::int64_t send_us,
                                                       std::int64_t arrival_us) noexcept {
    if (!current_) {
        current_ = Group{send_us, send_us, arrival_us};
        return std::nullopt;
    }
    if (send_us < current_->first_send_us) return std::nullopt;
    if (saturating_sub(send_us, current_->first_send_us) <= config_.burst_us) {
        current_->last_send_us = std::max(current_->last_send_us, send_us);
        current_->last_arrival_us = std::max(current_->last_arrival_us, arrival_us);
        return std::nullopt;
    }
    std::optional<Delta> delta;
    if (previous_) {
        const std::int64_t send_delta =
            saturating_sub(current_->last_send_us, previous_->last_send_us);
        const std::int64_t arrival_delta =
            saturating_sub(current_->last_arrival_us, previous_->last_arrival_us);
        const std::int64_t change = saturating_sub(arrival_delta, send_delta);
        if (change > config_.max_jump_us || change < -config_.max_jump_us) {
            ++jumps_;
            previous_.reset();
            current_ = Group{send_us, send_us, arrival_us};
            return std::nullopt;
        }
        if (arrival_delta >= 0) delta = Delta{send_delta, arrival_delta, current_->last_arrival_us};
    }
    previous_ = current_;
    current_ = Group{send_us, send_us, arrival_us};
    return delta;
}

}  // namespace talmiro_media
