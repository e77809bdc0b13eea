// How long packets wait in the path's queues now, from the one-way delays of the packets a
// feedback message acknowledges. The one-way delay (arrival minus send time) mixes the two
// clocks' offset, the propagation and the queueing; its minimum over the last `buckets` x
// `bucket_us` (30 s by default: the path's base, when some packet crossed an empty queue) has
// only the first two. The queueing delay is the smallest one-way delay of the latest message
// above that base: the least any of its packets waited, which a pacer's or a picture's own
// burst does not lengthen.
//
// Memory is fixed (one minimum per bucket); a path that never empties its queue for the whole
// span makes the standing queue part of the base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace talmiro_media {

class QueueingDelay {
public:
    struct Config {
        std::int64_t bucket_us = 2'000'000;
        std::size_t buckets = 15;
    };

    QueueingDelay() noexcept : QueueingDelay(Config{}) {}
    explicit QueueingDelay(Config config) noexcept;

    // A packet of the message being read.
    void add(std::int64_t send_us, std::int64_t arrival_us);
    // The message is read: the queueing delay becomes its packets' least wait, if it had any.
    void end_message() noexcept;

    std::int64_t current_us() const noexcept { return current_us_; }
    std::optional<std::int64_t> base_us() const noexcept;

private:
    struct Bucket {
        std::int64_t start_us;
        std::int64_t min_delay_us;
    };

    Config config_;
    // Oldest first, by the receiver's arrival time.
    std::deque<Bucket> buckets_;
    std::optional<std::int64_t> message_min_us_;
    std::int64_t current_us_ = 0;
};

}  // namespace talmiro_media
