// Tests of the queueing delay (the least wait of a message above the windowed base) and of
// the delivered rate (bytes over the arrival span of a bounded window).
#include "talmiro_media/queueing_delay.hpp"

#include <gtest/gtest.h>

#include "talmiro_media/acked_rate.hpp"

using namespace talmiro_media;

TEST(QueueingDelay, LeastWaitAboveTheBaseAndTheBaseForgets) {
    QueueingDelay queue(QueueingDelay::Config{1'000'000, 3});
    const std::int64_t off = -5'000'000'000;  // the receiver's clock origin
    EXPECT_EQ(queue.base_us(), std::nullopt);
    queue.add(0, off + 50'000);
    queue.end_message();
    EXPECT_EQ(queue.current_us(), 0);
    EXPECT_EQ(queue.base_us(), off + 50'000);
    // A message whose packets waited 30 and 80 ms: the least wait counts.
    queue.add(100'000, off + 180'000);
    queue.add(110'000, off + 240'000);
    queue.end_message();
    EXPECT_EQ(queue.current_us(), 30'000);
    // An empty message changes nothing.
    queue.end_message();
    EXPECT_EQ(queue.current_us(), 30'000);
    // Three seconds of a standing 40 ms queue: the old base is forgotten, the queue is the base.
    for (int i = 1; i <= 40; ++i) {
        queue.add(i * 100'000, off + i * 100'000 + 90'000);
        queue.end_message();
    }
    EXPECT_EQ(queue.base_us(), off + 90'000);
    EXPECT_EQ(queue.current_us(), 0);
}

TEST(AckedRate, BytesOverTheArrivalSpanOfTheWindow) {
    AckedRate rate(AckedRate::Config{350'000, 50'000, 8});
    EXPECT_EQ(rate.bps(), std::nullopt);
    rate.add(1'000'000, 1000);
    rate.add(1'040'000, 1000);
    EXPECT_EQ(rate.bps(), std::nullopt);  // spans under 50 ms
    for (int i = 2; i <= 5; ++i) rate.add(1'000'000 + i * 40'000, 1000);
    // 5 packets after the first over 200 ms.
    EXPECT_EQ(rate.bps(), 200'000);
    // At most 8 kept: the window shortens, the rate stays right.
    for (int i = 6; i <= 20; ++i) rate.add(1'000'000 + i * 40'000, 1000);
    EXPECT_EQ(rate.bps(), 200'000);
    // After a pause longer than the window only the new packets count.
    rate.add(3'000'000, 1000);
    rate.add(3'100'000, 3000);
    EXPECT_EQ(rate.bps(), 240'000);
}
