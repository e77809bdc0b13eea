// Tests of the pacer on a simulated clock: a burst spread at the pacing rate, repair first and
// within the budget, stale repair dropped, the queue's bounds, rate changes, and media that a
// flood of repair does not starve.
#include "talmiro_media/pacer.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace talmiro_media;

namespace {

struct Sent {
    Pacer::Handle handle;
    std::int64_t at_us;
};

// Sends as a sender thread would, waking at each time the pacer names, up to `until_us`.
std::vector<Sent> run(Pacer& pacer, std::int64_t until_us,
                      std::vector<Pacer::Handle>* dropped = nullptr) {
    std::vector<Sent> sent;
    std::vector<Pacer::Handle> out;
    for (int turn = 0; turn < 100'000; ++turn) {
        const auto next = pacer.next_send_us();
        if (!next || *next > until_us) break;
        out.clear();
        pacer.pop_due(*next, out, dropped);
        for (const auto handle : out) sent.push_back({handle, *next});
    }
    return sent;
}

void push_many(Pacer& pacer, Pacer::Handle first, int count, std::uint32_t bytes,
               PacketKind kind, std::int64_t now_us) {
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(pacer.push(first + static_cast<Pacer::Handle>(i), bytes, kind, now_us),
                  std::nullopt);
    }
}

// 2 Mbit/s target: paced at 5 Mbit/s, a 1,200-byte packet every 1,920 µs, a 3,125-byte burst.
constexpr PacerConfig kTwoMbps{.start_target_bps = 2'000'000};
constexpr std::int64_t kGapUs = 1'920;

}  // namespace

TEST(Pacer, SpreadsAnIdrPictureAtThePacingRate) {
    Pacer pacer(kTwoMbps);
    EXPECT_EQ(pacer.next_send_us(), std::nullopt);
    for (const std::int64_t start : {0, 1'000'000}) {
        push_many(pacer, 0, 100, 1'200, PacketKind::media, start);
        const auto sent = run(pacer, start + 10'000'000);
        ASSERT_EQ(sent.size(), 100u);
        // The burst: three packets at once (the third takes the credit below zero), the fourth
        // when the debt of 475 bytes is paid, then one every 1,920 µs, in order.
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].handle, i);
            const std::int64_t expected =
                i < 3 ? 0 : 760 + static_cast<std::int64_t>(i - 3) * kGapUs;
            EXPECT_EQ(sent[i].at_us - start, expected) << i;
        }
        EXPECT_EQ(pacer.next_send_us(), std::nullopt);
    }
    const PacerStats stats = pacer.stats(2'000'000);
    EXPECT_EQ(stats.sent_packets, 200u);
    EXPECT_EQ(stats.sent_bytes, 240'000u);
    EXPECT_EQ(stats.max_wait_us, 760 + 96 * kGapUs);
    EXPECT_EQ(stats.sent_draining, 0u);
    EXPECT_EQ(stats.queued_packets, 0u);
    EXPECT_EQ(stats.pacing_bps, 5'000'000u);
}

TEST(Pacer, RepairGoesFirstWithinTheSameBudget) {
    Pacer pacer(kTwoMbps);
    push_many(pacer, 0, 20, 1'200, PacketKind::media, 0);
    auto sent = run(pacer, 10'000);
    ASSERT_EQ(sent.size(), 8u);
    push_many(pacer, 100, 3, 1'200, PacketKind::retransmission, 10'000);
    const auto rest = run(pacer, 1'000'000);
    sent.insert(sent.end(), rest.begin(), rest.end());
    ASSERT_EQ(sent.size(), 23u);
    // The three resends take the next three slots; the schedule is one packet every gap all
    // through, as if they were media.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const Pacer::Handle expected = i < 8 ? i : i < 11 ? 100 + (i - 8) : i - 3;
        EXPECT_EQ(sent[i].handle, expected) << i;
        if (i >= 4) {
            EXPECT_EQ(sent[i].at_us - sent[i - 1].at_us, kGapUs) << i;
        }
    }
    EXPECT_EQ(pacer.stats(1'000'000).sent_retransmissions, 3u);
}

TEST(Pacer, StaleRepairIsDropped) {
    Pacer pacer(kTwoMbps);
    // 192 ms of repair at once: what cannot leave within 100 ms is dropped, not sent late.
    push_many(pacer, 0, 100, 1'200, PacketKind::retransmission, 0);
    std::vector<Pacer::Handle> dropped;
    const auto sent = run(pacer, 1'000'000, &dropped);
    ASSERT_EQ(sent.size(), 55u);
    EXPECT_LE(sent.back().at_us, 100'000);
    ASSERT_EQ(dropped.size(), 45u);
    EXPECT_EQ(dropped.front(), 55u);
    EXPECT_EQ(dropped.back(), 99u);
    const PacerStats stats = pacer.stats(1'000'000);
    EXPECT_EQ(stats.dropped_stale_retransmissions, 45u);
    EXPECT_EQ(stats.queued_packets, 0u);
    EXPECT_EQ(stats.queued_bytes, 0u);
    EXPECT_LE(stats.max_wait_us, 100'000);
}

TEST(Pacer, QueueIsBoundedInTimeAndInPackets) {
    // A second's worth at the pacing rate: the rate rises so that the last packet leaves when
    // the first has waited the queue's limit, and nothing is dropped.
    Pacer pacer(kTwoMbps);
    push_many(pacer, 0, 500, 1'250, PacketKind::media, 0);
    EXPECT_EQ(pacer.stats(0).queued_bytes, 625'000u);
    const auto sent = run(pacer, 10'000'000);
    ASSERT_EQ(sent.size(), 500u);
    EXPECT_EQ(sent.back().handle, 499u);
    EXPECT_GE(sent.back().at_us, 490'000);
    EXPECT_LE(sent.back().at_us, 501'000);
    const PacerStats stats = pacer.stats(10'000'000);
    EXPECT_GT(stats.sent_draining, 400u);
    EXPECT_LE(stats.max_wait_us, 501'000);
    EXPECT_EQ(stats.dropped_overflow, 0u);

    // Four packets at most: the oldest media packet makes room, even for a retransmission.
    Pacer small(PacerConfig{.max_packets = 4});
    push_many(small, 0, 4, 100, PacketKind::media, 0);
    EXPECT_EQ(small.push(4, 100, PacketKind::media, 0), 0u);
    EXPECT_EQ(small.push(5, 100, PacketKind::retransmission, 0), 1u);
    EXPECT_EQ(small.stats(0).queued_packets, 4u);
    EXPECT_EQ(small.stats(0).queued_bytes, 400u);
    std::vector<Pacer::Handle> out;
    small.pop_due(0, out);
    EXPECT_EQ(out, (std::vector<Pacer::Handle>{5, 2, 3, 4}));
    EXPECT_EQ(small.stats(0).dropped_overflow, 2u);
}

TEST(Pacer, RateChangesTakeEffectMidQueue) {
    Pacer pacer(kTwoMbps);
    push_many(pacer, 0, 150, 1'200, PacketKind::media, 0);
    const auto gaps = [](const std::vector<Sent>& sent) {
        std::vector<std::int64_t> g;
        for (std::size_t i = 2; i < sent.size(); ++i) {
            g.push_back(sent[i].at_us - sent[i - 1].at_us);
        }
        return g;
    };
    const auto at_five = run(pacer, 50'000);
    pacer.set_rate(4'000'000, 50'000);
    const auto at_ten = run(pacer, 100'000);
    pacer.set_rate(1'000'000, 100'000);
    const auto at_two_and_a_half = run(pacer, 10'000'000);
    EXPECT_EQ(at_five.size() + at_ten.size() + at_two_and_a_half.size(), 150u);
    // The first gap after each change is part old rate, part new.
    for (const auto gap : gaps(at_five)) EXPECT_LE(gap, kGapUs);
    for (const auto gap : gaps(at_ten)) EXPECT_EQ(gap, kGapUs / 2);
    for (const auto gap : gaps(at_two_and_a_half)) EXPECT_EQ(gap, kGapUs * 2);
    EXPECT_GT(at_ten.size(), 50u);
    const PacerStats stats = pacer.stats(10'000'000);
    EXPECT_EQ(stats.target_bps, 1'000'000u);
    EXPECT_EQ(stats.pacing_bps, 2'500'000u);
    EXPECT_EQ(stats.sent_draining, 0u);

    // Credit saved up at a higher rate is held to the lower rate's burst: 1,562 bytes.
    pacer.set_rate(4'000'000, 9'000'000);
    pacer.set_rate(1'000'000, 9'500'000);
    push_many(pacer, 0, 5, 1'200, PacketKind::media, 9'500'000);
    EXPECT_EQ(run(pacer, 9'500'000).size(), 2u);
    run(pacer, 10'000'000);

    // A target of nothing still paces (slowly) rather than stopping.
    pacer.set_rate(0, 10'000'000);
    pacer.push(1'000, 1'200, PacketKind::media, 10'000'000);
    pacer.push(1'001, 125, PacketKind::media, 10'000'000);
    EXPECT_EQ(run(pacer, 20'000'000).size(), 2u);
}

TEST(Pacer, MediaIsNotStarvedByAFloodOfRepair) {
    // A second of media at 2.4 Mbit/s beside repair at 9.6 Mbit/s, paced at 5 Mbit/s, then
    // 200 ms to empty the queue. The clock ticks each millisecond.
    Pacer pacer(kTwoMbps);
    constexpr Pacer::Handle kRepair = 1u << 20;
    std::vector<std::int64_t> media_waits;
    std::uint64_t repair_sent = 0;
    std::vector<Pacer::Handle> out;
    for (std::int64_t ms = 0; ms < 1'200; ++ms) {
        const std::int64_t now = ms * 1'000;
        if (ms < 1'000 && ms % 4 == 0) pacer.push(ms, 1'200, PacketKind::media, now);
        if (ms < 1'000) pacer.push(kRepair + ms, 1'200, PacketKind::retransmission, now);
        out.clear();
        pacer.pop_due(now, out);
        for (const auto handle : out) {
            if (handle >= kRepair) {
                ++repair_sent;
                continue;
            }
            // Media in order (its handle is the millisecond it was queued).
            EXPECT_EQ(handle, 4 * media_waits.size());
            media_waits.push_back(now - static_cast<std::int64_t>(handle) * 1'000);
        }
        if (ms == 999) {
            EXPECT_LE(pacer.stats(now).sent_bytes, 625'000u + 3'125u + 1'200u);
        }
    }
    // Each one within repair's wait and a slot or two.
    ASSERT_EQ(media_waits.size(), 250u);
    for (const auto wait : media_waits) EXPECT_LE(wait, 104'000);
    const PacerStats stats = pacer.stats(1'200'000);
    EXPECT_EQ(stats.queued_packets, 0u);
    EXPECT_GT(repair_sent, 200u);
    EXPECT_EQ(stats.sent_retransmissions, repair_sent);
    EXPECT_EQ(repair_sent + stats.dropped_stale_retransmissions, 1'000u);
}
