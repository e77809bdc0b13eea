// Tests of transport-wide feedback on the wire: known packets laid out by hand from the
// format, round trips through the wrap with every chunk kind, the chunks the writer picks,
// large and negative deltas, refusals by cause and the datagram's bound on statuses.
#include "talmiro_media/rtcp_transport_feedback.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "byte_vectors.hpp"
#include "talmiro_media/rtcp.hpp"

using namespace talmiro_media;
using talmiro_test::Bytes;
using talmiro_test::cat;

namespace {

using Arrivals = std::vector<std::optional<std::int64_t>>;

RtcpTransportFeedback feedback(std::uint16_t base, const Arrivals& arrivals,
                               std::uint32_t reference = 0, std::uint8_t count = 0) {
    RtcpTransportFeedback fb{0x11223344, 0x55667788, base, reference, count, {}};
    for (const auto& a : arrivals)
        fb.statuses.push_back({static_cast<std::uint16_t>(base + fb.statuses.size()), a});
    return fb;
}

Bytes write(const RtcpTransportFeedback& fb) {
    Bytes out;
    EXPECT_TRUE(append_rtcp(out, fb).has_value());
    return out;
}

std::vector<std::uint16_t> chunks_of(const Bytes& packet, std::size_t n) {
    std::vector<std::uint16_t> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint16_t>(packet[20 + 2 * i] << 8 | packet[21 + 2 * i]));
    return out;
}

// Through the sequence number's wrap: received 1 ms after the reference, lost, received
// 70 ms later (a large delta), 2 ms earlier (a negative one), 250 µs later. One 2-bit vector.
const Bytes kVector{0x8F, 205, 0, 6, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                    0xFF, 0xFE, 0, 5, 0x01, 0x23, 0x45, 7,
                    0xD2, 0x90,                                      // 2-bit: 1 0 2 2 1 (0 0)
                    0x04, 0x01, 0x18, 0xFF, 0xF8, 0x01};             // deltas 4, 280, -8, 1
const Arrivals kVectorArrivals{1000, std::nullopt, 71'000, 69'000, 69'250};

}  // namespace

TEST(RtcpTransportFeedback, KnownPackets) {
    const RtcpTransportFeedback want = feedback(65534, kVectorArrivals, 0x012345, 7);
    const RtcpParsed parsed = parse_rtcp(kVector);
    ASSERT_EQ(parsed.counts, (RtcpCounts{.parsed = 1}));
    EXPECT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]), want);
    EXPECT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]).statuses[2].seq, 0);
    EXPECT_EQ(want.reference_us(), 0x012345 * 64'000LL);
    EXPECT_EQ(write(want), kVector);

    // A run of 221 lost, then a 1-bit vector of 14 (lost, 5 received, 3 lost, 3 received, 2
    // lost), each received 250 µs after the one before; padding after the deltas.
    const Bytes runs{0x8F, 205, 0, 7, 0, 0, 0, 1, 0, 0, 0, 2, 0, 100, 0, 235, 0, 0, 0, 0,
                     0x00, 0xDD, 0x9F, 0x1C, 1, 1, 1, 1, 1, 1, 1, 1};
    const RtcpParsed r = parse_rtcp(runs);
    ASSERT_EQ(r.counts, (RtcpCounts{.parsed = 1}));
    const auto& statuses = std::get<RtcpTransportFeedback>(r.packets[0]).statuses;
    ASSERT_EQ(statuses.size(), 235u);
    std::vector<std::uint16_t> received;
    for (const auto& s : statuses)
        if (s.arrival_us) received.push_back(s.seq);
    EXPECT_EQ(received, (std::vector<std::uint16_t>{322, 323, 324, 325, 326, 330, 331, 332}));
    EXPECT_EQ(statuses[332 - 100].arrival_us, 8 * 250);
    // Written back, the vector's first loss joins the run.
    const Bytes again = write(std::get<RtcpTransportFeedback>(r.packets[0]));
    EXPECT_EQ(chunks_of(again, 2), (std::vector<std::uint16_t>{0x00DE, 0xBE38}));
    EXPECT_EQ(parse_rtcp(again).packets, r.packets);
}

// The writer's chunks: a run where one symbol repeats at least as long as a vector would
// hold, a 1-bit vector for mixed losses and small deltas, a 2-bit one around large deltas.
TEST(RtcpTransportFeedback, ChunkChoice) {
    struct Case {
        const char* name;
        Arrivals arrivals;
        std::vector<std::uint16_t> chunks;
    };
    const auto lost = std::nullopt;
    Arrivals long_loss(20, lost);
    long_loss.push_back(0);
    Arrivals alternating;
    for (int i = 0; i < 14; ++i)
        alternating.push_back(i % 2 ? lost : std::optional<std::int64_t>(0));
    Arrivals large;
    for (int i = 0; i < 10; ++i) large.push_back(70'000 + i * 100'000);
    Arrivals gap(9000, lost);
    gap.push_back(0);
    const Case cases[] = {
        {"loss run then one", long_loss, {0x0014, 0x2001}},
        {"alternating", alternating, {0xAAAA}},
        {"large deltas", large, {0x400A}},
        {"mixed with a large delta", {0, lost, 0, 70'000, 70'000}, {0xD190}},
        {"a run past 13 bits", gap, {0x1FFF, 0x0329, 0x2001}},
    };
    for (const Case& c : cases) {
        const RtcpTransportFeedback fb = feedback(10, c.arrivals);
        const Bytes bytes = write(fb);
        EXPECT_EQ(chunks_of(bytes, c.chunks.size()), c.chunks) << c.name;
        const RtcpParsed parsed = parse_rtcp(bytes);
        ASSERT_EQ(parsed.packets.size(), 1u) << c.name;
        EXPECT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]), fb) << c.name;
    }
}

// Random statuses through the wrap: every mix of chunks and deltas (small, large, negative,
// at the ends of their ranges) reads back as written, in 250 µs units.
TEST(RtcpTransportFeedback, RandomRoundTrips) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const auto n = std::uniform_int_distribution<std::size_t>(1, 600)(rng);
        const double loss = std::uniform_real_distribution<double>(0, 1)(rng);
        Arrivals arrivals;
        std::int64_t t = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::bernoulli_distribution(loss)(rng)) {
                arrivals.push_back(std::nullopt);
                continue;
            }
            // Small, large or negative, and the ends of the two ranges.
            const int kind = std::uniform_int_distribution<int>(0, 3)(rng);
            std::int64_t step = kind == 2 ? 255 : -32768;
            if (kind == 0) step = std::uniform_int_distribution<int>(0, 255)(rng);
            if (kind == 1) step = std::uniform_int_distribution<int>(-32768, 32767)(rng);
            t += step * 250;
            arrivals.push_back(t);
        }
        const auto base = static_cast<std::uint16_t>(65535 - round);
        const RtcpTransportFeedback fb = feedback(base, arrivals, 0xFFFFFF, 255);
        const RtcpParsed parsed = parse_rtcp(write(fb));
        ASSERT_EQ(parsed.counts, (RtcpCounts{.parsed = 1})) << round;
        ASSERT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]), fb) << round;
    }
}

TEST(RtcpTransportFeedback, WriterRefusals) {
    Bytes out;
    EXPECT_FALSE(append_rtcp(out, feedback(0, {})));
    EXPECT_FALSE(append_rtcp(out, feedback(0, Arrivals(65536, std::nullopt))));
    EXPECT_FALSE(append_rtcp(out, feedback(0, {0}, 0x1000000)));
    EXPECT_FALSE(append_rtcp(out, feedback(0, {0, 32768 * 250})));
    EXPECT_FALSE(append_rtcp(out, feedback(0, {-32769 * 250})));
    RtcpTransportFeedback gap = feedback(0, {0, 0});
    gap.statuses[1].seq = 2;
    EXPECT_FALSE(append_rtcp(out, gap));
    EXPECT_TRUE(out.empty());
    // Times between 250 µs steps are rounded down, negative ones too.
    const RtcpParsed parsed = parse_rtcp(write(feedback(0, {-1, 249, 500})));
    EXPECT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]),
              feedback(0, {-250, 0, 500}));
}

TEST(RtcpTransportFeedback, Refusals) {
    const Bytes head{0x8F, 205, 0, 5, 0, 0, 0, 1, 0, 0, 0, 2, 0, 9};
    struct Case {
        const char* name;
        Bytes data;
        RtcpCounts counts;
    };
    const Case cases[] = {
        {"without the fixed part", {0x8F, 205, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1},
         {.too_short = 1}},
        {"status count 0", cat({head, {0, 0, 0, 0, 0, 0, 0x20, 1, 0, 0}}), {.malformed = 1}},
        {"status count beyond the chunks", cat({head, {0, 3, 0, 0, 0, 0, 0x20, 2, 0, 0}}),
         {.chunks_missing = 1}},
        {"deltas missing", cat({head, {0, 3, 0, 0, 0, 0, 0x20, 3, 1, 1}}),
         {.deltas_missing = 1}},
        {"a large delta of 0", cat({head, {0, 1, 0, 0, 0, 0, 0x40, 1, 0, 0}}),
         {.parsed = 1}},
        {"a large delta cut short", cat({head, {0, 2, 0, 0, 0, 0, 0x40, 2, 0, 0}}),
         {.deltas_missing = 1}},
        {"reserved symbol in a run", cat({head, {0, 1, 0, 0, 0, 0, 0x60, 1, 0, 0}}),
         {.malformed = 1}},
        {"reserved symbol in a vector", cat({head, {0, 1, 0, 0, 0, 0, 0xF0, 0, 0, 0}}),
         {.malformed = 1}},
        {"reserved symbol past the count", cat({head, {0, 1, 0, 0, 0, 0, 0xDC, 0, 5, 0}}),
         {.parsed = 1}},
    };
    for (const Case& c : cases) {
        const RtcpParsed parsed = parse_rtcp(c.data);
        EXPECT_EQ(parsed.counts, c.counts) << c.name;
        EXPECT_EQ(parsed.packets.size(), c.counts.parsed) << c.name;
    }
    // The 2-byte delta 0x0000 is read as such.
    EXPECT_EQ(std::get<RtcpTransportFeedback>(parse_rtcp(cases[4].data).packets[0]),
              (RtcpTransportFeedback{1, 2, 9, 0, 0, {{9, 0}}}));
}

// One datagram gives kRtcpMaxFeedbackStatuses statuses at most, however few bytes describe
// them (a run chunk names 8,191): those past it are counted, not read, and a feedback left
// with none is not reported.
TEST(RtcpTransportFeedback, DatagramBoundOnStatuses) {
    RtcpTransportFeedback all_lost = feedback(0, Arrivals(65535, std::nullopt));
    all_lost.statuses.back().arrival_us = 0;
    const Bytes one = write(all_lost);
    EXPECT_LE(one.size(), 40u);
    const Bytes three = cat({one, one, one});
    const RtcpParsed parsed = parse_rtcp(three);
    EXPECT_EQ(parsed.counts, (RtcpCounts{.parsed = 2, .feedback_statuses_dropped = 65534 + 65535}));
    ASSERT_EQ(parsed.packets.size(), 2u);
    EXPECT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[0]), all_lost);
    EXPECT_EQ(std::get<RtcpTransportFeedback>(parsed.packets[1]).statuses.size(), 1u);
}
