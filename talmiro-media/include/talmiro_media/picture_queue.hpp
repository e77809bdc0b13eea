// Decoded pictures on their way from a receiving thread to the application: a bounded queue
// that one thread fills and another empties, waiting for the next picture when it must. It also
// keeps what the receiver knows of each picture: the RTP timestamp of the access unit stamped
// with its time, and the latency from capture to the moment it was queued.
//
// Thread-safe: every member takes the queue's own mutex, briefly; only `take` waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "talmiro_media/image.hpp"

namespace talmiro_media {

class PictureQueue {
public:
    struct Config {
        // Pictures queued; beyond this the oldest is dropped (counted).
        std::size_t capacity = 256;
        // Stamps remembered, the oldest forgotten first.
        std::size_t stamps = 1024;
        // Latencies kept, the oldest forgotten first.
        std::size_t latencies = 100'000;
    };

    // What a stamp says of the access unit its pictures came from.
    struct Stamp {
        std::uint32_t rtp_ts = 0;
        // The time is the capture time on the sender's clock (a sender report said so), not a
        // provisional one; only such pictures count in the latency.
        bool exact = false;
    };

    struct Counts {
        std::uint64_t pictures = 0;  // queued
        std::uint64_t flagged = 0;   // of them, recovering
        std::uint64_t dropped = 0;   // oldest dropped from a full queue

        bool operator==(const Counts&) const = default;
    };

    struct Latency {
        std::int64_t p50_us = 0;
        std::int64_t p99_us = 0;
        double mean_us = 0;
    };

    PictureQueue() : PictureQueue(Config{}) {}
    explicit PictureQueue(Config config);

    // The access unit whose pictures are stamped `t_us` had the RTP timestamp `rtp_ts`.
    void stamp(std::int64_t t_us, Stamp stamp);
    std::optional<Stamp> stamp_of(std::int64_t t_us) const;

    // Queues `pictures`, shown at `now_wall_us` (µs since 1970): a picture with an exact stamp
    // adds its latency. Wakes a waiting `take`.
    void push(std::vector<SharedImage>&& pictures, std::int64_t now_wall_us);

    // Every queued picture, oldest first; waits until there is one, the queue is closed, or
    // `deadline` passed (then the result is empty).
    std::vector<SharedImage> take(std::chrono::steady_clock::time_point deadline);

    // Wakes every `take` for good: they return what is queued without waiting.
    void close();
    bool closed() const;

    Counts counts() const;
    // The latencies kept, in the order their pictures were queued.
    std::vector<std::int64_t> latencies() const;
    // Their median, 99th percentile (the sample at index floor(q x n)) and mean; absent
    // without one.
    std::optional<Latency> latency() const;

private:
    Config config_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<SharedImage> pictures_;
    std::deque<std::pair<std::int64_t, Stamp>> stamps_;
    std::deque<std::int64_t> latencies_;
    Counts counts_;
    bool closed_ = false;
};

}  // namespace talmiro_media
