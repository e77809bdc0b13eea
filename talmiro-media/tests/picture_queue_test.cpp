// Tests of the picture queue: bounded with the oldest dropped, stamps and latencies kept and
// bounded, and take's waiting ended by a picture, the deadline or close.
#include "talmiro_media/picture_queue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace talmiro_media;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<SharedImage> pictures(std::initializer_list<std::int64_t> stamps, bool recovering = false) {
    std::vector<SharedImage> out;
    for (const std::int64_t t : stamps) {
        Image image;
        image.t_us = t;
        image.recovering = recovering;
        out.push_back(std::make_shared<const Image>(std::move(image)));
    }
    return out;
}

std::vector<std::int64_t> stamps_of(const std::vector<SharedImage>& got) {
    std::vector<std::int64_t> out;
    for (const auto& p : got) out.push_back(p->t_us);
    return out;
}

}  // namespace

TEST(PictureQueue, DropsTheOldestAndKeepsStampsAndLatencies) {
    PictureQueue q(PictureQueue::Config{.capacity = 2, .stamps = 2, .latencies = 3});
    q.stamp(10, {100, true});
    q.stamp(20, {200, false});
    q.stamp(30, {300, true});  // forgets 10's stamp
    EXPECT_EQ(q.stamp_of(10), std::nullopt);
    EXPECT_EQ(q.stamp_of(20)->rtp_ts, 200u);
    q.stamp(30, {301, true});  // the latest stamp of a time wins
    EXPECT_EQ(q.stamp_of(30)->rtp_ts, 301u);
    q.push(pictures({10, 20, 30}, true), 1'030);
    EXPECT_EQ(q.counts(), (PictureQueue::Counts{3, 3, 1}));
    EXPECT_EQ(stamps_of(q.take(Clock::time_point::min())), (std::vector<std::int64_t>{20, 30}));
    // Only exact stamps count; the oldest latency goes beyond three.
    EXPECT_EQ(q.latencies(), (std::vector<std::int64_t>{1'000}));
    q.push(pictures({30, 30, 30}), 1'040);
    EXPECT_EQ(q.latencies(), (std::vector<std::int64_t>{1'010, 1'010, 1'010}));
    q.push(pictures({30}), 1'130);
    const auto lat = q.latency();
    ASSERT_TRUE(lat);
    EXPECT_EQ(lat->p50_us, 1'010);
    EXPECT_EQ(lat->p99_us, 1'100);
    EXPECT_DOUBLE_EQ(lat->mean_us, (1'010 * 2 + 1'100) / 3.0);
}

TEST(PictureQueue, TakeWaitsForAPictureTheDeadlineOrClose) {
    PictureQueue q;
    const auto start = Clock::now();
    EXPECT_TRUE(q.take(start + std::chrono::milliseconds(20)).empty());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
    std::jthread filler([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        q.push(pictures({7}), 0);
    });
    EXPECT_EQ(stamps_of(q.take(Clock::now() + std::chrono::seconds(10))),
              (std::vector<std::int64_t>{7}));
    std::jthread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        q.close();
    });
    EXPECT_TRUE(q.take(Clock::time_point::max()).empty());
    EXPECT_TRUE(q.closed());
    EXPECT_EQ(q.latency(), std::nullopt);
}
