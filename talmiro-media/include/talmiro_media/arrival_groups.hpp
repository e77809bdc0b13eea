// Packets sent within a few milliseconds of each other form a group (a burst the pacer let out
// together); the delay signal compares consecutive groups: how much longer (or shorter) the
// second took to arrive after the first than it took to leave after it. Send times are the
// sender's clock, arrival times the receiver's: only differences on one clock are taken.
//
// A group that left before the current one (reordered feedback) is ignored; consecutive groups
// whose deltas disagree by more than `max_jump_us` (a clock jump, a path change) or that
// arrived in reverse order give no delta, and the jump starts the grouping over.
#pragma once

#include <cstdint>
#include <optional>

namespace talmiro_media {

class ArrivalGroups {
public:
    struct Config {
        std::int64_t burst_us = 5'000;
        std::int64_t max_jump_us = 3'000'000;
    };
    // The change from one group to the next, each timed by its last packet.
    struct Delta {
        std::int64_t send_delta_us = 0;
        std::int64_t arrival_delta_us = 0;
        // The arrival of the later group (receiver's clock).
        std::int64_t arrival_us = 0;
    };

    ArrivalGroups() noexcept : ArrivalGroups(Config{}) {}
    explicit ArrivalGroups(Config config) noexcept : config_(config) {}

    // A packet that arrived; the delta between the two groups before it when it starts a new one.
    std::optional<Delta> add(std::int64_t send_us, std::int64_t arrival_us) noexcept;

    // Times the grouping started over on a jump.
    std::uint64_t jumps() const noexcept { return jumps_; }

private:
    struct Group {
        std::int64_t first_send_us = 0;
        std::int64_t last_send_us = 0;
        std::int64_t last_arrival_us = 0;
    };

    Config config_;
    std::optional<Group> previous_;
    std::optional<Group> current_;
    std::uint64_t jumps_ = 0;
};

}  // namespace talmiro_media
