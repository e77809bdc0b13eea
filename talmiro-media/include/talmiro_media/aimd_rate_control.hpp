// The delay-based rate: raised while the queue holds, cut when it fills, held while it drains.
//
// Raising depends on where the rate is against the capacity the path showed at the last
// over-uses (LinkCapacity): inside that band it creeps up by about a packet per response time
// (round trip plus 100 ms), so that the queue barely grows before the next over-use; outside
// it the capacity has changed and is searched for multiplicatively: fast before the first
// over-use (startup) and below the band, more gently above it, and only while the queue is
// empty. It never runs ahead of 1.5 times what the path delivers.
//
// Cutting takes the delivered rate times `beta`, less what drains the queue that built up
// within `drain_period_us` (the queue's bits are about its delay times the delivered rate),
// but never below `min_backoff` of the delivered rate at once. Cuts are at least a round trip
// apart, unless the delivered rate fell below half the rate.
#pragma once

#include <cstdint>
#include <optional>

#include "talmiro_media/bandwidth_usage.hpp"
#include "talmiro_media/link_capacity.hpp"
#include "talmiro_media/rate_control_state.hpp"

namespace talmiro_media {

class AimdRateControl {
public:
    struct Tuning {
        double beta = 0.85;
        double startup_growth_per_s = 1.0;
        double far_growth_per_s = 0.4;
        // Multiplicative growth only while the queueing delay is below this.
        std::int64_t quiet_queue_us = 10'000;
        std::int64_t drain_period_us = 500'000;
        double min_backoff = 0.25;
        // The size of a packet and the picture rate, for the additive step.
        std::int64_t packet_bytes = 1200;
        double frame_rate = 30.0;
        std::int64_t min_cut_interval_us = 100'000;
        std::int64_t max_cut_interval_us = 500'000;
    };
    struct Input {
        BandwidthUsage usage = BandwidthUsage::normal;
        std::optional<std::int64_t> delivered_bps;
        std::int64_t queue_delay_us = 0;
    };

    AimdRateControl(std::int64_t start_bps, std::int64_t min_bps, std::int64_t max_bps,
                    Tuning tuning) noexcept;

    // One feedback message's verdict at `now_us` (the sender's clock); returns the rate.
    std::int64_t update(const Input& input, std::int64_t now_us) noexcept;
    void set_rtt(std::int64_t rtt_us) noexcept { rtt_us_ = rtt_us; }

    std::int64_t bitrate_bps() const noexcept { return static_cast<std::int64_t>(rate_); }
    // What the last update did.
    RateControlState state() const noexcept { return action_; }
    const LinkCapacity& capacity() const noexcept { return capacity_; }
    std::optional<std::int64_t> last_cut_us() const noexcept { return last_cut_us_; }

private:
    void change_state(BandwidthUsage usage) noexcept;
    void increase(const Input& input, double elapsed_s) noexcept;
    void cut(const Input& input, std::int64_t now_us) noexcept;
    double growth_per_s(const Input& input) const noexcept;
    double additive_bps_per_s() const noexcept;
    bool may_cut(double delivered, std::int64_t now_us) const noexcept;
    double clamp(double bps) const noexcept;

    Tuning tuning_;
    double min_bps_;
    double max_bps_;
    double rate_;
    RateControlState state_ = RateControlState::hold;
    RateControlState action_ = RateControlState::hold;
    LinkCapacity capacity_;
    std::int64_t rtt_us_ = 200'000;
    bool congested_ = false;
    std::optional<std::int64_t> last_update_us_;
    std::optional<std::int64_t> last_cut_us_;
};

}  // namespace talmiro_media
