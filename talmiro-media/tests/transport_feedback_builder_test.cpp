// Tests of the transport-wide feedback builder: its bytes for a known input, what each
// feedback covers through wraps, losses, duplicates and late arrivals, the split into several
// packets, and the bounds of its window against hostile sequence numbers.
#include "talmiro_media/transport_feedback_builder.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "byte_vectors.hpp"
#include "talmiro_media/rtcp.hpp"

using namespace talmiro_media;
using talmiro_test::Bytes;

namespace {

TransportFeedbackBuilder builder(std::size_t max_statuses = 400, std::size_t window = 8192) {
    return *TransportFeedbackBuilder::create({0x11223344, 0x55667788, max_statuses, window});
}

// Each status as (sequence number, arrival or -1 when lost), for short comparisons.
std::vector<std::pair<int, std::int64_t>> statuses(const RtcpTransportFeedback& fb) {
    std::vector<std::pair<int, std::int64_t>> out;
    for (const auto& s : fb.statuses) out.emplace_back(s.seq, s.arrival_us.value_or(-1));
    return out;
}

// Every packet writes, parses back equal, and gives absolute arrival times (reference plus
// offset) in `seen`.
void check_and_collect(const std::vector<RtcpTransportFeedback>& packets,
                       std::map<int, std::int64_t>& seen) {
    for (const RtcpTransportFeedback& fb : packets) {
        Bytes out;
        ASSERT_TRUE(append_rtcp(out, fb));
        const RtcpParsed parsed = parse_rtcp(out);
        ASSERT_EQ(parsed.packets.size(), 1u);
        ASSERT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]), fb);
        for (const auto& s : fb.statuses)
            if (s.arrival_us) seen[s.seq] = fb.reference_us() + *s.arrival_us;
    }
}

}  // namespace

TEST(TransportFeedbackBuilder, RejectsBadConfig) {
    for (auto [max, window] : {std::pair<std::size_t, std::size_t>{0, 10}, {65536, 10},
                               {10, 0}, {10, 32769}})
        EXPECT_FALSE(TransportFeedbackBuilder::create({1, 2, max, window})) << max << " " << window;
}

// The input of the hand-laid packet of the wire format's tests, arriving out of order: the
// builder's bytes are that packet's.
TEST(TransportFeedbackBuilder, KnownAnswer) {
    const Bytes want{0x8F, 205, 0, 6, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                     0xFF, 0xFE, 0, 5, 0x01, 0x23, 0x45, 7,
                     0xD2, 0x90, 0x04, 0x01, 0x18, 0xFF, 0xF8, 0x01};
    const std::int64_t t = std::int64_t{0x012345} * 64'000;
    TransportFeedbackBuilder b = builder();
    b.packet_arrived(65534, t + 1000);
    b.packet_arrived(1, t + 69'000);
    b.packet_arrived(2, t + 69'250 + 100);  // rounded down to 250 µs
    b.packet_arrived(0, t + 71'000);
    std::vector<RtcpTransportFeedback> packets = b.build();
    ASSERT_EQ(packets.size(), 1u);
    packets[0].feedback_count = 7;
    Bytes out;
    ASSERT_TRUE(append_rtcp(out, packets[0]));
    EXPECT_EQ(out, want);
}

// Each feedback covers from the first number not reported to the highest arrived; a
// duplicate changes nothing, a late arrival is reported again from its number on.
TEST(TransportFeedbackBuilder, CoversEverythingSinceTheLast) {
    TransportFeedbackBuilder b = builder();
    EXPECT_TRUE(b.build().empty());
    for (int i = 0; i < 10; ++i)
        if (i != 3) b.packet_arrived(static_cast<std::uint16_t>(65530 + i), 1000 * i);
    EXPECT_TRUE(b.pending());
    auto packets = b.build();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].base_seq, 65530);
    EXPECT_EQ(statuses(packets[0]),
              (std::vector<std::pair<int, std::int64_t>>{
                  {65530, 0}, {65531, 1000}, {65532, 2000}, {65533, -1}, {65534, 4000},
                  {65535, 5000}, {0, 6000}, {1, 7000}, {2, 8000}, {3, 9000}}));
    b.packet_arrived(2, 20'000);
    EXPECT_FALSE(b.pending());
    EXPECT_TRUE(b.build().empty());
    b.packet_arrived(65533, 30'000);
    packets = b.build();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].feedback_count, 1);
    EXPECT_EQ(statuses(packets[0]),
              (std::vector<std::pair<int, std::int64_t>>{{65533, 30'000}, {65534, 4000},
                                                         {65535, 5000}, {0, 6000}, {1, 7000},
                                                         {2, 8000}, {3, 9000}}));
    b.packet_arrived(6, 40'000);
    packets = b.build();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(statuses(packets[0]),
              (std::vector<std::pair<int, std::int64_t>>{{4, -1}, {5, -1}, {6, 40'000 % 64'000}}));
    EXPECT_EQ(b.counts(), (TransportFeedbackBuilder::Counts{.arrivals = 12, .duplicates = 1,
                                                            .feedback_packets = 3}));
}

// More statuses than a packet holds, and a pause longer than a delta reaches, make several
// packets in order; together they give every arrival time back (to 250 µs).
TEST(TransportFeedbackBuilder, SplitsIntoSeveralPackets) {
    TransportFeedbackBuilder b = builder(100);
    std::map<int, std::int64_t> want;
    for (int i = 0; i < 250; ++i) {
        if (i % 7 == 3) continue;
        const std::int64_t t = 5'000'000 + 1000 * i + (i >= 152 ? 9'000'000 : 0);
        b.packet_arrived(static_cast<std::uint16_t>(65500 + i), t);
        want[static_cast<std::uint16_t>(65500 + i)] = t;
    }
    const auto packets = b.build();
    ASSERT_EQ(packets.size(), 3u);
    std::uint16_t next = 65500;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].base_seq, next);
        EXPECT_EQ(packets[i].feedback_count, i);
        next = static_cast<std::uint16_t>(next + packets[i].statuses.size());
    }
    // Full at 100; cut where the 9 s pause begins (at 152).
    EXPECT_EQ(packets[0].statuses.size(), 100u);
    EXPECT_EQ(packets[1].statuses.size(), 52u);
    EXPECT_EQ(next, static_cast<std::uint16_t>(65500 + 250));
    std::map<int, std::int64_t> seen;
    check_and_collect(packets, seen);
    EXPECT_EQ(seen, want);
}

// Hostile sequence numbers: far behind is refused, far ahead starts over, memory stays within
// the window; every feedback still writes and reads back.
TEST(TransportFeedbackBuilder, BoundedAgainstAnyNumbers) {
    TransportFeedbackBuilder b = builder(50, 100);
    b.packet_arrived(1000, 0);
    b.packet_arrived(1001, 10);
    b.packet_arrived(800, 20);  // 201 behind
    EXPECT_EQ(b.counts().too_old, 1u);
    b.packet_arrived(1300, 30);  // everything held would leave the window
    EXPECT_EQ(b.counts().restarts, 1u);
    EXPECT_EQ(b.counts().dropped, 2u);
    auto packets = b.build();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(statuses(packets[0]), (std::vector<std::pair<int, std::int64_t>>{{1300, 0}}));

    std::mt19937 rng(11);
    std::int64_t t = 0;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 60; ++i) {
            t += std::uniform_int_distribution<int>(0, 20'000)(rng);
            const bool wild = std::bernoulli_distribution(0.1)(rng);
            const int near = 1300 + round * 50 + std::uniform_int_distribution<int>(-80, 80)(rng);
            const auto seq = static_cast<std::uint16_t>(wild ? static_cast<int>(rng()) : near);
            b.packet_arrived(seq, t);
        }
        std::map<int, std::int64_t> seen;
        packets = b.build();
        std::size_t total = 0;
        for (const auto& fb : packets) total += fb.statuses.size();
        EXPECT_LE(total, 100u) << round;
        check_and_collect(packets, seen);
    }
}
