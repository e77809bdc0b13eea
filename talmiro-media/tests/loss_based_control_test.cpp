// Tests of the loss-based rate: growth under 2 %, hold to 10 %, cut by half the loss above,
// cuts spaced by a round trip, and the bounds.
#include "talmiro_media/loss_based_control.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace talmiro_media;

TEST(LossBasedControl, GrowHoldCut) {
    LossBasedControl loss(1'000'000, 100'000, 2'000'000, {});
    EXPECT_FALSE(loss.judged());
    EXPECT_EQ(loss.update(0.01, 1'000'000, 100'000, 0), 1'051'000);
    EXPECT_TRUE(loss.judged());
    EXPECT_EQ(loss.update(0.05, 1'051'000, 100'000, 1'000'000), 1'051'000);
    // Never grows ahead of what is sent now: it follows a lower target down.
    EXPECT_EQ(loss.update(0.05, 800'000, 100'000, 2'000'000), 800'000);
    // 20 % loss: 800k x 0.9.
    EXPECT_EQ(loss.update(0.20, 800'000, 100'000, 3'000'000), 720'000);
    // The next report within a round trip plus 300 ms still counts the old loss: no second cut.
    EXPECT_EQ(loss.update(0.20, 720'000, 100'000, 3'300'000), 720'000);
    EXPECT_EQ(loss.update(0.20, 720'000, 100'000, 3'400'000), 648'000);
    // Bounds, and loss out of range or not a number.
    EXPECT_EQ(loss.update(1.5, 648'000, 0, 10'000'000), 324'000);
    EXPECT_EQ(loss.update(std::nan(""), 324'000, 0, 11'000'000), 324'000);
    for (int i = 0; i < 100; ++i) loss.update(0.0, 2'000'000, 0, 12'000'000 + i);
    EXPECT_EQ(loss.bitrate_bps(), 2'000'000);
    for (int i = 0; i < 100; ++i) loss.update(1.0, 2'000'000, 0, 20'000'000 + i * 1'000'000);
    EXPECT_EQ(loss.bitrate_bps(), 100'000);
}
