// Tests of the delay trend and its judge: a growing queue gives a positive slope that turns
// into over-use only after it lasted, a draining one under-use; the threshold adapts within
// its bounds and ignores spikes.
#include "talmiro_media/overuse_detector.hpp"

#include <gtest/gtest.h>

#include "talmiro_media/trendline_estimator.hpp"

using namespace talmiro_media;

namespace {

// Groups every 10 ms of send time, each arriving `growth_us` later than the spacing.
double feed(TrendlineEstimator& trend, int count, std::int64_t growth_us, std::int64_t& arrival) {
    double scaled = 0;
    for (int i = 0; i < count; ++i) {
        arrival += 10'000 + growth_us;
        scaled = trend.update({10'000, 10'000 + growth_us, arrival});
    }
    return scaled;
}

}  // namespace

TEST(TrendlineEstimator, SlopeFollowsTheQueue) {
    TrendlineEstimator trend;
    std::int64_t arrival = 0;
    // Nothing until the window is full.
    EXPECT_EQ(feed(trend, 19, 1'000, arrival), 0.0);
    feed(trend, 41, 1'000, arrival);
    // 1 ms more per 11 ms of arrival: a slope near 1/11, scaled by 4 x 60 deltas.
    EXPECT_NEAR(trend.slope(), 1.0 / 11.0, 0.01);
    EXPECT_NEAR(trend.scaled_trend_ms(), trend.slope() * 4 * 60, 1e-9);
    feed(trend, 60, -1'000, arrival);
    EXPECT_LT(trend.slope(), 0.0);
}

TEST(OveruseDetector, OveruseOnlyAfterItLastedAndUnderuseAtOnce) {
    OveruseDetector detector;
    EXPECT_EQ(detector.detect(20.0, 5.0, 0), BandwidthUsage::normal);  // 2.5 ms over: not yet
    EXPECT_EQ(detector.detect(20.0, 5.0, 5'000), BandwidthUsage::normal);
    EXPECT_EQ(detector.detect(21.0, 5.0, 10'000), BandwidthUsage::overusing);
    // Stays over-using while the trend is above, whatever it does, until it falls below.
    EXPECT_EQ(detector.detect(19.0, 5.0, 15'000), BandwidthUsage::overusing);
    EXPECT_EQ(detector.detect(0.0, 5.0, 20'000), BandwidthUsage::normal);
    EXPECT_EQ(detector.detect(-30.0, 5.0, 25'000), BandwidthUsage::underusing);
    // A falling trend above the threshold is not over-use.
    OveruseDetector falling;
    falling.detect(40.0, 10.0, 0);
    falling.detect(30.0, 10.0, 10'000);
    EXPECT_EQ(falling.detect(25.0, 10.0, 20'000), BandwidthUsage::normal);
}

TEST(OveruseDetector, ThresholdAdaptsWithinBoundsAndIgnoresSpikes) {
    OveruseDetector detector;
    // A calm trend pulls the threshold down to its floor.
    for (int i = 1; i <= 1000; ++i) detector.detect(0.0, 10.0, i * 10'000);
    EXPECT_DOUBLE_EQ(detector.threshold_ms(), 6.0);
    // A spike far above leaves it.
    detector.detect(500.0, 10.0, 10'020'000);
    EXPECT_DOUBLE_EQ(detector.threshold_ms(), 6.0);
    // A trend that keeps a little above it pushes it up, slowly, never past 600.
    double t = detector.threshold_ms();
    for (int i = 0; i < 10'000; ++i) {
        detector.detect(t + 10.0, 10.0, 10'030'000 + i * 10'000);
        EXPECT_GE(detector.threshold_ms(), t);
        t = detector.threshold_ms();
    }
    EXPECT_GT(t, 100.0);
    EXPECT_LE(t, 600.0);
}
