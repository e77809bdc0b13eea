// Tests of the NACK scheduler on its own: when a gap is asked for, again and no more, a run too
// long to ask for, and a tail asked for that becomes a gap without being asked for again at once.
#include "talmiro_media/internal/nack_scheduler.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace talmiro_media;

namespace {

using Seqs = std::vector<std::uint16_t>;

RtpDepacketizerConfig timing() {
    RtpDepacketizerConfig c;
    c.nack_delay_us = 1'000;
    c.nack_copy_us = 2'000;
    c.nack_interval_us = 10'000;
    c.max_nacks = 3;
    c.max_nack_run = 4;
    return c;
}

TEST(NackScheduler, AsksAfterTheDelayThenTheCopyThenRepeatsUpToTheCap) {
    NackScheduler s(timing(), 64);
    RtpReorderWindow w(64);
    w.start(10, 0);
    w.extend(12);
    w.hold(12, {});
    Seqs nacks;
    s.open(10, 12, 0, nacks);
    EXPECT_TRUE(nacks.empty());
    EXPECT_EQ(s.next_repeat_us(), 1'000);
    EXPECT_EQ(s.give_up_at(10), timing().max_wait_us);
    const std::int64_t at[] = {999, 1'000, 2'999, 3'000, 12'999, 13'000, 50'000};
    const Seqs expect[] = {{}, {10, 11}, {}, {10, 11}, {}, {10, 11}, {}};
    for (std::size_t i = 0; i < std::size(at); ++i) {
        nacks.clear();
        s.repeat(at[i], w, nacks);
        EXPECT_EQ(nacks, expect[i]) << at[i];
    }
    EXPECT_TRUE(s.asked(10));
    EXPECT_FALSE(s.next_repeat_us());
}

TEST(NackScheduler, ARunPastTheCapIsNeverAskedFor) {
    NackScheduler s(timing(), 64);
    Seqs nacks;
    s.open(10, 15, 5'000, nacks);
    EXPECT_TRUE(nacks.empty());
    EXPECT_FALSE(s.next_repeat_us());
    EXPECT_FALSE(s.asked(12));
    // It is still waited for.
    EXPECT_EQ(s.give_up_at(14), 5'000 + timing().max_wait_us);
}

TEST(NackScheduler, ATailAskedForCountsWhenItsGapShows) {
    NackScheduler s(timing(), 64);
    const std::optional<NackScheduler::Stall> stall =
        NackScheduler::Stall{1, 1'000, 20, 0};
    Seqs nacks;
    // Due after the wait held to its lower bound.
    EXPECT_EQ(s.tail_due(stall), 1'000 + timing().tail_wait_min_us);
    EXPECT_FALSE(s.ask_tail(2'999, stall, nacks));
    EXPECT_TRUE(s.ask_tail(3'000, stall, nacks));
    EXPECT_EQ(nacks, Seqs{20});
    EXPECT_TRUE(s.tail_asked(20));
    // The next unit shows the gap: 20 is not asked for again before its copy is due.
    nacks.clear();
    s.open(20, 21, 3'500, nacks);
    EXPECT_TRUE(nacks.empty());
    EXPECT_TRUE(s.asked(20));
    EXPECT_EQ(s.next_repeat_us(), 5'000);
    // A retransmission beyond it ends the tail; with RTX on, only RTX answers it.
    EXPECT_FALSE(s.end_tail(20, false, true));
    EXPECT_FALSE(s.tail_asked(20));
}

}  // namespace
