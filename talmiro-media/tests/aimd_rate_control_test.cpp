// Tests of the delay-based rate: the startup ramp, the cut that drains the queue, additive
// growth near the capacity found and multiplicative away from it, the bounds.
#include "talmiro_media/aimd_rate_control.hpp"

#include <gtest/gtest.h>

using namespace talmiro_media;

namespace {
using Input = AimdRateControl::Input;
constexpr auto kNormal = BandwidthUsage::normal;
constexpr auto kOver = BandwidthUsage::overusing;

// Updates every 100 ms from `t` for `seconds`, the path delivering what is sent.
std::int64_t hold_normal(AimdRateControl& aimd, std::int64_t& t, double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) {
        aimd.update({kNormal, aimd.bitrate_bps(), 0}, t);
        t += 100'000;
    }
    return aimd.bitrate_bps();
}
}  // namespace

TEST(AimdRateControl, StartupDoublesThenCutDrainsTheQueue) {
    AimdRateControl aimd(300'000, 100'000, 5'000'000, {});
    std::int64_t t = 0;
    EXPECT_NEAR(hold_normal(aimd, t, 1.1), 600'000, 40'000);
    EXPECT_EQ(aimd.state(), RateControlState::increase);
    // Over-use with 100 ms of queue: 0.85 x 600k less 600k x 100/500.
    EXPECT_EQ(aimd.update({kOver, 600'000, 100'000}, t), 390'000);
    EXPECT_EQ(aimd.state(), RateControlState::decrease);
    // Not again within the round trip, unless the path delivers under half the rate.
    EXPECT_EQ(aimd.update({kOver, 380'000, 0}, t + 50'000), 390'000);
    EXPECT_EQ(aimd.update({kOver, 150'000, 0}, t + 60'000), 127'500);
    // A huge queue cuts to a quarter of what is delivered at most, and never below the floor.
    AimdRateControl floor(300'000, 100'000, 5'000'000, {});
    EXPECT_EQ(floor.update({kOver, 1'000'000, 2'000'000}, 0), 250'000);
    EXPECT_EQ(floor.update({kOver, 200'000, 2'000'000}, 1'000'000), 100'000);
}

TEST(AimdRateControl, AdditiveNearTheCapacityMultiplicativeAwayFromIt) {
    AimdRateControl aimd(1'000'000, 100'000, 10'000'000, {});
    aimd.set_rtt(100'000);
    std::int64_t t = 0;
    aimd.update({kOver, 1'000'000, 0}, t);  // capacity seen at 1 Mbit/s, rate 850k
    t += 100'000;
    const std::int64_t cut = aimd.bitrate_bps();
    ASSERT_EQ(cut, 850'000);
    // Below the band around 1 Mbit/s: fast back up to it.
    const std::int64_t back = hold_normal(aimd, t, 0.5);
    EXPECT_GT(back, 960'000);
    // Inside the band: about a packet (9,600 bits) per 200 ms of response time each second.
    const std::int64_t before = aimd.bitrate_bps();
    const std::int64_t after = hold_normal(aimd, t, 1.0);
    EXPECT_NEAR(after - before, 48'000, 10'000);
    // Past the band: the capacity changed, the search is multiplicative (40 %/s).
    hold_normal(aimd, t, 3.0);
    const std::int64_t far = aimd.bitrate_bps();
    EXPECT_NEAR(hold_normal(aimd, t, 1.0), far * 1.4, far * 0.02);
    // Never ahead of 1.5 x what the path delivers, nor above the ceiling.
    EXPECT_LE(aimd.update({kNormal, 100'000, 0}, t + 100'000), far * 2);
    AimdRateControl capped(1'000'000, 100'000, 1'200'000, {});
    std::int64_t t2 = 0;
    EXPECT_EQ(hold_normal(capped, t2, 5.0), 1'200'000);
}

TEST(AimdRateControl, NoGrowthWhileTheQueueHolds) {
    AimdRateControl aimd(500'000, 100'000, 5'000'000, {});
    aimd.update({kNormal, 500'000, 0}, 0);
    aimd.update({kNormal, 500'000, 0}, 100'000);
    const std::int64_t r = aimd.bitrate_bps();
    // A queue of 30 ms without over-use: additive only, not the startup's doubling.
    aimd.update({kNormal, 500'000, 30'000}, 1'100'000);
    EXPECT_LT(aimd.bitrate_bps(), r + 60'000);
    EXPECT_GT(aimd.bitrate_bps(), r);
}
