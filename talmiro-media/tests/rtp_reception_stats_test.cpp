// Tests of the reception statistics: loss, jitter, the SR echo, sequence wrap, jumps and restarts.
#include "talmiro_media/rtp_reception_stats.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace talmiro_media;

// 90 kHz: 100 µs of arrival time are 9 timestamp units.
TEST(RtpReceptionStats, LossJitterAndSrEcho) {
    RtpReceptionStats s(0xC0FFEE);
    EXPECT_EQ(s.report(0), std::nullopt);
    // seq, timestamp, arrival: transits 0, (same timestamp), 600, (late), -60.
    s.packet(100, 0, 0);
    s.packet(101, 0, 1'000);
    s.packet(103, 3'000, 40'000);
    s.packet(102, 3'000, 41'000);
    s.packet(106, 6'000, 66'000);
    // jitter*16: 0 + 600 - 0 = 600, then 600 + 660 - 38 = 1222.
    s.sender_report(0x0000'1234'5678'0000ull, 50'000);
    const auto first = s.report(550'000);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, (RtcpReportBlock{0xC0FFEE, (2 << 8) / 7, 2, 106, 1222 >> 4, 0x12345678,
                                       0x8000}));
    // A duplicate makes the interval's loss negative: fraction 0, cumulative loss down to 1.
    s.packet(107, 9'000, 100'000);
    s.packet(107, 9'000, 100'500);
    const auto second = s.report(1'050'000);
    ASSERT_TRUE(second);
    // jitter*16: 1222 + 60 - 76 = 1206.
    EXPECT_EQ(*second, (RtcpReportBlock{0xC0FFEE, 0, 1, 107, 1206 >> 4, 0x12345678, 0x10000}));
    EXPECT_EQ(s.counts(), (RtpReceptionStats::Counts{7, 8, 1, 107, 1206 >> 4, 0, 0, 1}));
}

TEST(RtpReceptionStats, SequenceWrapJumpAndRestart) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> seqs;
        RtpReceptionStats::Counts counts;
    };
    const Case cases[] = {
        {"wrap", {65534, 65535, 0, 2}, {4, 5, 1, 65536 + 2, 0, 0, 0, 0}},
        {"late across the wrap", {65535, 1, 0}, {3, 3, 0, 65536 + 1, 0, 0, 0, 0}},
        {"jump not followed", {10, 40000, 11}, {2, 2, 0, 11, 0, 0, 1, 0}},
        {"jump followed: a restart", {10, 11, 40000, 40001, 40003}, {2, 3, 1, 40003, 0, 1, 1, 0}},
        {"old duplicate", {500, 450, 501}, {3, 2, -1, 501, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        RtpReceptionStats s(1);
        for (const std::uint16_t seq : c.seqs) s.packet(seq, 0, 0);
        EXPECT_EQ(s.counts(), c.counts) << c.name;
    }
}
