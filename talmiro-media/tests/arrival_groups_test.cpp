// Tests of the send-time groups: bursts merge, deltas compare group ends, reordering and jumps
// give none.
#include "talmiro_media/arrival_groups.hpp"

#include <gtest/gtest.h>

using namespace talmiro_media;

TEST(ArrivalGroups, BurstsMergeAndDeltasCompareTheirLastPackets) {
    ArrivalGroups groups;
    // Receiver clock far from the sender's: only differences count.
    const std::int64_t off = 1'000'000'000;
    EXPECT_FALSE(groups.add(0, off + 50'000));
    EXPECT_FALSE(groups.add(4'000, off + 55'000));      // same burst (within 5 ms)
    EXPECT_FALSE(groups.add(20'000, off + 71'000));     // second group starts: no delta yet
    EXPECT_FALSE(groups.add(22'000, off + 74'000));
    const auto delta = groups.add(40'000, off + 90'000);  // third group: delta of 2nd vs 1st
    ASSERT_TRUE(delta);
    EXPECT_EQ(delta->send_delta_us, 18'000);
    EXPECT_EQ(delta->arrival_delta_us, 19'000);
    EXPECT_EQ(delta->arrival_us, off + 74'000);
    // A packet sent before the current group (reordered feedback) is ignored.
    EXPECT_FALSE(groups.add(30'000, off + 95'000));
    const auto next = groups.add(60'000, off + 110'000);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->send_delta_us, 18'000);
    EXPECT_EQ(next->arrival_delta_us, 16'000);
}

TEST(ArrivalGroups, JumpsAndReversedArrivalsGiveNoDelta) {
    ArrivalGroups groups;
    groups.add(0, 100'000);
    groups.add(20'000, 120'000);
    // The third group arrived 10 s late: a clock jump. Its delta (given when the fourth
    // starts) is none, and the grouping starts over.
    EXPECT_TRUE(groups.add(40'000, 10'140'000));
    EXPECT_FALSE(groups.add(60'000, 10'160'000));
    EXPECT_EQ(groups.jumps(), 1u);
    EXPECT_FALSE(groups.add(80'000, 10'180'000));
    EXPECT_TRUE(groups.add(100'000, 10'200'000));
    // A group that arrived before the one it followed gives nothing, and the one after does.
    EXPECT_TRUE(groups.add(120'000, 10'150'000));
    EXPECT_FALSE(groups.add(140'000, 10'220'000));
    EXPECT_TRUE(groups.add(160'000, 10'240'000));
    // Extreme times saturate instead of overflowing (what the sanitizer build checks).
    groups.add(INT64_MAX, INT64_MIN);
    groups.add(INT64_MIN, INT64_MAX);
    EXPECT_EQ(groups.jumps(), 1u);
    EXPECT_FALSE(groups.add(INT64_MAX, INT64_MAX));
}
