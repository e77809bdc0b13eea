// Tests of REMB on the wire: a packet laid out by hand, the bitrate's exponent and mantissa
// at their limits, and refusals by cause.
#include "talmiro_media/rtcp_remb.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "byte_vectors.hpp"
#include "talmiro_media/rtcp.hpp"

using namespace talmiro_media;
using talmiro_test::Bytes;
using talmiro_test::cat;

TEST(RtcpRemb, KnownPacket) {
    // 1 Mbit/s is 250,000 (0x3D090) x 2^2, for one stream.
    const Bytes bytes{0x8F, 206, 0, 5, 0, 0, 0, 1, 0, 0, 0, 0, 'R', 'E', 'M', 'B',
                      1, 0x0B, 0xD0, 0x90, 0x12, 0x34, 0x56, 0x78};
    const RtcpRemb remb{1, 0, 1'000'000, {0x12345678}};
    const RtcpParsed parsed = parse_rtcp(bytes);
    ASSERT_EQ(parsed.counts, (RtcpCounts{.parsed = 1}));
    EXPECT_EQ(std::get<RtcpRemb>(parsed.packets[0]), remb);
    Bytes out;
    ASSERT_TRUE(append_rtcp(out, remb));
    EXPECT_EQ(out, bytes);
}

// Bitrates come back as written when 18 significant bits hold them, rounded down otherwise;
// the largest exponent a 64-bit rate needs is 46.
TEST(RtcpRemb, BitrateRoundTrips) {
    struct Case {
        std::uint64_t written, read;
    };
    const Case cases[] = {
        {0, 0},
        {262'143, 262'143},
        {262'144, 262'144},
        {1'000'001, 1'000'000},
        {~std::uint64_t{0}, std::uint64_t{0x3FFFF} << 46},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint32_t> ssrcs(c.written % 7, 0xABCD);
        Bytes out;
        ASSERT_TRUE(append_rtcp(out, RtcpRemb{9, 0, c.written, ssrcs}));
        const RtcpParsed parsed = parse_rtcp(out);
        ASSERT_EQ(parsed.packets.size(), 1u) << c.written;
        EXPECT_EQ(std::get<RtcpRemb>(parsed.packets[0]), (RtcpRemb{9, 0, c.read, ssrcs}))
            << c.written;
    }
    Bytes out;
    EXPECT_FALSE(append_rtcp(out, RtcpRemb{1, 0, 1, std::vector<std::uint32_t>(256)}));
    EXPECT_TRUE(out.empty());
}

TEST(RtcpRemb, Refusals) {
    const Bytes head{0x8F, 206, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 'R', 'E', 'M', 'B'};
    auto with_length = [](Bytes b) {
        b[3] = static_cast<std::uint8_t>(b.size() / 4 - 1);
        return b;
    };
    struct Case {
        const char* name;
        Bytes data;
        RtcpCounts counts;
    };
    const Case cases[] = {
        {"another application's feedback",
         with_length(
             cat({Bytes(head.begin(), head.begin() + 12), {'X', 'Y', 'Z', 'W', 0, 0, 0, 0}})),
         {.unknown_feedback = 1}},
        {"identifier alone", with_length(head), {.too_short = 1}},
        {"SSRC count past the end", with_length(cat({head, {2, 0, 0, 1, 0, 0, 0, 5}})),
         {.count_past_end = 1}},
        {"bytes after the SSRCs", with_length(cat({head, {0, 0, 0, 1, 0, 0, 0, 5}})),
         {.malformed = 1}},
        {"bitrate past 64 bits", with_length(cat({head, {0, 0xFC, 0, 2}})), {.malformed = 1}},
        {"largest bitrate that fits", with_length(cat({head, {0, 0xFC, 0, 1}})),
         {.parsed = 1}},
    };
    for (const Case& c : cases) {
        const RtcpParsed parsed = parse_rtcp(c.data);
        EXPECT_EQ(parsed.counts, c.counts) << c.name;
        EXPECT_EQ(parsed.packets.size(), c.counts.parsed) << c.name;
    }
    EXPECT_EQ(std::get<RtcpRemb>(parse_rtcp(cases[5].data).packets[0]).bitrate_bps,
              std::uint64_t{1} << 63);
}
