// Tests of the reorder window on its own: sequence numbers extended across the wrap, where a
// packet lies, duplicates told from late packets, and jumps confirmed only by the next packet.
#include "talmiro_media/internal/rtp_reorder_window.hpp"

#include <gtest/gtest.h>

#include <cstdint>

using namespace talmiro_media;

namespace {

using Place = RtpReorderWindow::Place;
using SeqCheck = RtpReorderWindow::SeqCheck;

constexpr std::int64_t kHorizon = 1'000'000;

TEST(RtpReorderWindow, ExtendsAcrossTheWrapBothWays) {
    RtpReorderWindow w(64);
    w.start(65534, 0);
    EXPECT_EQ(w.extend(65534), 65534);
    EXPECT_EQ(w.extend_seq(65535), 65535);
    EXPECT_EQ(w.extend_seq(0), 65536);
    EXPECT_EQ(w.extend_seq(3), 65539);
    // The gaps opened across the wrap, then the highest beyond it.
    EXPECT_EQ(w.extend(65537), 65535);
    EXPECT_EQ(w.highest(), 65537);
    EXPECT_EQ(w.extend_seq(65535), 65535);
    EXPECT_EQ(w.place(65535), Place::Missing);
    EXPECT_EQ(w.place(65536), Place::Missing);
    EXPECT_EQ(w.place(65533), Place::Behind);
    EXPECT_EQ(w.place(65538), Place::Ahead);
    // From a stream started just after the wrap, an older number extends below 65536.
    RtpReorderWindow after(64);
    after.start(65536 + 2, 0);
    after.extend(65536 + 2);
    EXPECT_EQ(after.extend_seq(65530), 65530);
}

TEST(RtpReorderWindow, HoldsReleasesAndTellsDuplicatesFromLatePackets) {
    RtpReorderWindow w(64);
    w.start(10, 0);
    w.extend(12);
    w.hold(12, {90, true, false, 5, {1, 2, 3}});
    EXPECT_EQ(w.place(12), Place::Held);
    EXPECT_EQ(w.held_ts(12), 90u);
    EXPECT_FALSE(w.held_ts(11));
    EXPECT_EQ(w.buffered_bytes(), 3u);
    w.release_arrived(6);   // 10 arrived and was used at once
    w.release_missing(7);   // 11 given up
    const RtpReorderWindow::Held h = w.release_held(8);
    EXPECT_EQ(h.payload.size(), 3u);
    EXPECT_TRUE(h.marker);
    EXPECT_EQ(w.buffered_bytes(), 0u);
    EXPECT_TRUE(w.drained());
    // Behind the release point: 10 and 12 arrived (duplicates), 11 did not (late, once).
    EXPECT_TRUE(w.arrive_behind(10));
    EXPECT_TRUE(w.arrive_behind(12));
    EXPECT_FALSE(w.arrive_behind(11));
    EXPECT_TRUE(w.arrive_behind(11));
    // Skipping beyond the highest gives up the places never seen.
    EXPECT_EQ(w.skip_to(20, 9), 7u);
    EXPECT_EQ(w.next(), 20);
    EXPECT_EQ(w.highest(), 19);
    EXPECT_FALSE(w.arrive_behind(15));
}

TEST(RtpReorderWindow, AJumpNeedsTheNextPacketToConfirmIt) {
    RtpReorderWindow w(64);
    w.start(100, 0);
    w.extend(100);
    w.release_arrived(0);
    EXPECT_EQ(w.check(101, 101, false, 1, kHorizon, 3000), SeqCheck::InStream);
    // Far ahead: refused, then confirmed by its successor, not by anything else.
    EXPECT_EQ(w.check(9000, w.extend_seq(9000), false, 2, kHorizon, 3000), SeqCheck::Refused);
    EXPECT_EQ(w.check(9002, w.extend_seq(9002), false, 3, kHorizon, 3000), SeqCheck::Refused);
    EXPECT_EQ(w.check(9003, w.extend_seq(9003), false, 4, kHorizon, 3000), SeqCheck::NewBase);
    // A retransmission never confirms, and a packet in the stream ends the probation.
    EXPECT_EQ(w.check(9000, w.extend_seq(9000), false, 5, kHorizon, 3000), SeqCheck::Refused);
    EXPECT_EQ(w.check(9001, w.extend_seq(9001), true, 6, kHorizon, 3000), SeqCheck::Refused);
    EXPECT_EQ(w.check(101, 101, false, 7, kHorizon, 3000), SeqCheck::InStream);
    EXPECT_EQ(w.check(9001, w.extend_seq(9001), false, 8, kHorizon, 3000), SeqCheck::Refused);
    // Behind, at a place passed longer ago than the horizon: in the stream (late) until its
    // successor confirms a new base.
    EXPECT_EQ(w.check(100, 100, false, kHorizon + 1, kHorizon, 3000), SeqCheck::InStream);
    EXPECT_EQ(w.check(101, 101, false, kHorizon + 2, kHorizon, 3000), SeqCheck::InStream);
    EXPECT_EQ(w.check(99, 99, false, kHorizon + 3, kHorizon, 3000), SeqCheck::InStream);
    EXPECT_EQ(w.check(100, 100, false, kHorizon + 4, kHorizon, 3000), SeqCheck::NewBase);
}

}  // namespace
