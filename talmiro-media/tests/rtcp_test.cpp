// Tests of RTCP: every packet written and parsed back, the wire layout, refusals by cause, NACK
// pairs, NTP time, round trips, and recordings of other senders.
#include "talmiro_media/rtcp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "au_records.hpp"
#include "byte_vectors.hpp"

using namespace talmiro_media;

namespace {

using talmiro_test::Bytes;
using talmiro_test::cat;

Bytes build(std::initializer_list<RtcpPacket> packets) {
    const std::vector<RtcpPacket> list(packets);
    auto out = build_rtcp(list);
    EXPECT_TRUE(out.has_value());
    return out.value_or(Bytes{});
}

const RtcpReportBlock kBlock{0x11223344, 0x40, -3, 0x0001FFFE, 77, 0xAABBCCDD, 0x00010000};

// One of every packet the link sends or acts on, with the corner values of each field.
std::vector<RtcpPacket> every_packet() {
    return {
        RtcpSenderReport{1, 0x0123456789ABCDEFull, 90000, 10, 12000,
                         {kBlock, {7, 255, 0x7FFFFF, 1, 2, 3, 4}}},
        RtcpReceiverReport{2, {}},
        RtcpReceiverReport{3, {{9, 0, -0x800000, 0xFFFFFFFF, 0, 0, 0}}},
        RtcpSdes{{{4, {{kSdesCname, "user@host", ""}, {kSdesNote, "", ""},
                       {kSdesPriv, "v=1", "talmiro-pattern"}, {kSdesPriv, "", ""}}},
                  {5, {}}}},
        RtcpBye{{6, 7}, "closing"},
        RtcpBye{{}, ""},
        RtcpBye{{8}, std::nullopt},
        RtcpNack{9, 10, {{65535, 0x8001}, {3, 0}}},
        RtcpPli{11, 12},
        RtcpFir{13, 0, {{14, 255}, {15, 0}}},
        RtcpTransportFeedback{16, 17, 65535, 0xFFFFFF, 255,
                              {{65535, 250}, {0, std::nullopt}, {1, -8'191'750}}},
        RtcpRemb{18, 0, 1'000'000, {19, 20}},
    };
}

}  // namespace

TEST(Rtcp, EveryPacketParsesBackFieldForField) {
    const std::vector<RtcpPacket> packets = every_packet();
    const auto bytes = build_rtcp(packets);
    ASSERT_TRUE(bytes);
    const RtcpParsed parsed = parse_rtcp(*bytes);
    EXPECT_EQ(parsed.packets, packets);
    EXPECT_EQ(parsed.counts, (RtcpCounts{.parsed = packets.size()}));
}

// The wire layout itself, so that a writer and a parser wrong in the same way are caught.
TEST(Rtcp, WireLayout) {
    struct Case {
        RtcpPacket packet;
        Bytes bytes;
    };
    const Case cases[] = {
        {RtcpSenderReport{0x01020304, 0x1112131415161718ull, 0x21222324, 5, 6, {kBlock}},
         {0x81, 200, 0, 12, 1, 2, 3, 4, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
          0x21, 0x22, 0x23, 0x24, 0, 0, 0, 5, 0, 0, 0, 6,
          0x11, 0x22, 0x33, 0x44, 0x40, 0xFF, 0xFF, 0xFD, 0, 1, 0xFF, 0xFE, 0, 0, 0, 77,
          0xAA, 0xBB, 0xCC, 0xDD, 0, 1, 0, 0}},
        {RtcpReceiverReport{0xA0B0C0D0, {}}, {0x80, 201, 0, 1, 0xA0, 0xB0, 0xC0, 0xD0}},
        {RtcpSdes{{{1, {{kSdesCname, "ab", ""}}}}},
         {0x81, 202, 0, 3, 0, 0, 0, 1, 1, 2, 'a', 'b', 0, 0, 0, 0}},
        {RtcpSdes{{{1, {{kSdesPriv, "v", "p"}}}}},
         {0x81, 202, 0, 3, 0, 0, 0, 1, 8, 3, 1, 'p', 'v', 0, 0, 0}},
        {RtcpBye{{1}, "x"}, {0x81, 203, 0, 2, 0, 0, 0, 1, 1, 'x', 0, 0}},
        {RtcpNack{1, 2, {{0x1234, 0x8001}}},
         {0x81, 205, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0x12, 0x34, 0x80, 0x01}},
        {RtcpPli{1, 2}, {0x81, 206, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2}},
        {RtcpFir{1, 0, {{3, 9}}},
         {0x84, 206, 0, 4, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 9, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(build({c.packet}), c.bytes) << c.packet.index();
        EXPECT_EQ(parse_rtcp(c.bytes).packets, std::vector<RtcpPacket>{c.packet});
    }
}

TEST(Rtcp, WriterRefusesWhatDoesNotFit) {
    RtcpReceiverReport many{1, std::vector<RtcpReportBlock>(32)};
    const RtcpPacket refused[] = {
        many,
        RtcpReceiverReport{1, {{1, 0, 0x800000, 0, 0, 0, 0}}},
        RtcpReceiverReport{1, {{1, 0, -0x800001, 0, 0, 0, 0}}},
        RtcpSdes{{{1, {{kSdesCname, std::string(256, 'a'), ""}}}}},
        RtcpSdes{{{1, {{kSdesPriv, std::string(200, 'a'), std::string(55, 'p')}}}}},
        RtcpSdes{{{1, {{0, "end", ""}}}}},
        RtcpBye{std::vector<std::uint32_t>(32), std::nullopt},
        RtcpBye{{1}, std::string(256, 'r')},
        RtcpNack{1, 2, {}},
        RtcpFir{1, 0, {}},
        RtcpNack{1, 2, std::vector<NackPair>(65534)},
    };
    for (const RtcpPacket& p : refused) {
        Bytes out{1, 2, 3};
        EXPECT_FALSE(append_rtcp(out, p)) << p.index();
        EXPECT_EQ(out, (Bytes{1, 2, 3}));
    }
    // The largest of each still fits.
    Bytes out;
    EXPECT_TRUE(append_rtcp(out, RtcpReceiverReport{1, std::vector<RtcpReportBlock>(31)}));
    EXPECT_TRUE(append_rtcp(
        out, RtcpSdes{{{1, {{kSdesPriv, std::string(200, 'a'), std::string(54, 'p')}}}}}));
    EXPECT_TRUE(append_rtcp(out, RtcpNack{1, 2, std::vector<NackPair>(65533)}));
}

TEST(Rtcp, RefusalsAreCountedByCause) {
    const Bytes pli = build({RtcpPli{1, 2}});
    const Bytes rr = build({RtcpReceiverReport{1, {}}});
    struct Case {
        const char* name;
        Bytes data;
        RtcpCounts counts;
    };
    const Case cases[] = {
        {"three bytes", {0x80, 201, 0}, {.truncated = 1}},
        {"version 1", {0x40, 201, 0, 1, 0, 0, 0, 1}, {.bad_version = 1}},
        {"length past the end", {0x80, 201, 0, 2, 0, 0, 0, 1}, {.truncated = 1}},
        {"report count past the end", {0x81, 201, 0, 1, 0, 0, 0, 1},
         {.count_past_end = 1}},
        {"sender report without sender info", {0x80, 200, 0, 1, 0, 0, 0, 1},
         {.too_short = 1}},
        {"padding count 0", {0xA0, 201, 0, 1, 0, 0, 0, 0}, {.bad_padding = 1}},
        {"padding past the body", {0xA0, 201, 0, 1, 0, 0, 0, 5}, {.bad_padding = 1}},
        {"padding taken off", {0xA0, 201, 0, 2, 0, 0, 0, 1, 0, 0, 0, 4}, {.parsed = 1}},
        {"SDES item past its chunk", {0x81, 202, 0, 2, 0, 0, 0, 1, 1, 9, 'a', 'b'},
         {.malformed = 1}},
        {"SDES chunk count past the end", {0x82, 202, 0, 2, 0, 0, 0, 1, 1, 1, 'a', 0},
         {.count_past_end = 1}},
        {"PRIV prefix past its item", {0x81, 202, 0, 3, 0, 0, 0, 1, 8, 2, 5, 'p', 0, 0, 0, 0},
         {.malformed = 1}},
        {"SDES chunk ending at the packet's end", {0x81, 202, 0, 2, 0, 0, 0, 1, 1, 2, 'a', 'b'},
         {.parsed = 1}},
        {"BYE reason past the end", {0x81, 203, 0, 2, 0, 0, 0, 1, 7, 'a', 'b', 'c'},
         {.malformed = 1}},
        {"BYE count past the end", {0x82, 203, 0, 1, 0, 0, 0, 1}, {.count_past_end = 1}},
        {"NACK without a pair", {0x81, 205, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2},
         {.too_short = 1}},
        {"FIR entry cut short",
         {0x84, 206, 0, 5, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 9, 0, 0, 0, 0, 0, 0, 4},
         {.malformed = 1}},
        {"FIR without an entry", {0x84, 206, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3},
         {.too_short = 1}},
        {"APP", {0x80, 204, 0, 2, 0, 0, 0, 1, 'n', 'a', 'm', 'e'}, {.unknown_type = 1}},
        {"application feedback without an identifier",
         {0x8F, 206, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0}, {.unknown_feedback = 1}},
        {"transport-wide feedback without its fixed part",
         {0x8F, 205, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2}, {.too_short = 1}},
        // A packet refused by its contents is skipped by its length; a refused header ends
        // the datagram.
        {"bad packet between good ones", cat({rr, {0x81, 201, 0, 1, 0, 0, 0, 1}, pli}),
         {.parsed = 2, .count_past_end = 1}},
        {"bad header before a good packet", cat({pli, {0x00, 0, 0, 0}, rr}),
         {.parsed = 1, .bad_version = 1}},
        // A datagram gives kRtcpMaxNackPairs NACK pairs at most; a NACK left without one is
        // not reported.
        {"NACK pairs past the datagram's limit",
         build({RtcpNack{1, 2, std::vector<NackPair>(1000)},
                RtcpNack{1, 2, std::vector<NackPair>(100)},
                RtcpNack{1, 2, std::vector<NackPair>(5)}, RtcpPli{1, 2}}),
         {.parsed = 3, .nack_pairs_dropped = 81}},
    };
    for (const Case& c : cases) {
        const RtcpParsed parsed = parse_rtcp(c.data);
        EXPECT_EQ(parsed.counts, c.counts) << c.name;
        EXPECT_EQ(parsed.packets.size(), c.counts.parsed) << c.name;
    }
}

// Every cut of a compound packet keeps the packets wholly before the cut and refuses the rest
// as one truncation.
TEST(Rtcp, EveryTruncationIsRefusedOnce) {
    const std::vector<RtcpPacket> packets = every_packet();
    std::vector<std::size_t> ends;
    Bytes whole;
    for (const RtcpPacket& p : packets) {
        ASSERT_TRUE(append_rtcp(whole, p));
        ends.push_back(whole.size());
    }
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        const RtcpParsed parsed = parse_rtcp(std::span(whole).first(cut));
        std::size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut) ++complete;
        const bool at_boundary = cut == 0 || (complete > 0 && ends[complete - 1] == cut);
        ASSERT_EQ(parsed.packets.size(), complete) << cut;
        ASSERT_EQ(parsed.counts.truncated, at_boundary ? 0u : 1u) << cut;
        ASSERT_EQ(parsed.counts.refused(), parsed.counts.truncated) << cut;
    }
}

TEST(Rtcp, NackPairsFromMissingAndBack) {
    struct Case {
        std::vector<std::uint16_t> missing;
        std::vector<NackPair> pairs;
        std::vector<std::uint16_t> named;
    };
    const Case cases[] = {
        {{}, {}, {}},
        {{5}, {{5, 0}}, {5}},
        {{5, 6, 21}, {{5, 0x8001}}, {5, 6, 21}},
        {{5, 22}, {{5, 0}, {22, 0}}, {5, 22}},
        {{7, 7, 8, 7}, {{7, 0x0001}}, {7, 8}},
        // Across the wrap, in sequence order.
        {{65534, 65535, 0, 1}, {{65534, 0x0007}}, {65534, 65535, 0, 1}},
        {{65535, 15, 16}, {{65535, 0x8000}, {16, 0}}, {65535, 15, 16}},
        // Out of order: still every number, in more pairs.
        {{10, 4, 11}, {{10, 0}, {4, 0x0040}}, {10, 4, 11}},
    };
    for (const Case& c : cases) {
        const std::vector<NackPair> pairs = nack_pairs(c.missing);
        EXPECT_EQ(pairs, c.pairs);
        EXPECT_EQ(nack_seqs(pairs), c.named);
    }
}

TEST(Rtcp, NacksSplitIntoPacketsWithinTheBound) {
    // Every other sequence number from 65000 on, across the wrap: one pair per 9 numbers.
    std::vector<std::uint16_t> lost;
    for (unsigned i = 0; i < 3000; i += 2) lost.push_back(static_cast<std::uint16_t>(65000 + i));
    const std::vector<NackPair> pairs = nack_pairs(lost);
    for (const std::size_t bound : {std::size_t{0}, std::size_t{17}, std::size_t{100},
                                    kRtcpNackBytes, std::size_t{1} << 20}) {
        const auto packets = write_nacks(7, 9, lost, bound);
        const std::size_t per = std::clamp<std::size_t>((std::max<std::size_t>(bound, 16) - 12) / 4,
                                                        1, pairs.size());
        EXPECT_EQ(packets.size(), (pairs.size() + per - 1) / per) << bound;
        std::vector<NackPair> read;
        for (const Bytes& p : packets) {
            EXPECT_LE(p.size(), std::max<std::size_t>(bound, 16));
            const RtcpParsed parsed = parse_rtcp(p);
            ASSERT_EQ(parsed.packets.size(), 1u);
            const auto& nack = std::get<RtcpNack>(parsed.packets[0]);
            EXPECT_EQ(nack.sender_ssrc, 7u);
            EXPECT_EQ(nack.media_ssrc, 9u);
            read.insert(read.end(), nack.pairs.begin(), nack.pairs.end());
        }
        EXPECT_EQ(read, pairs) << bound;
    }
    EXPECT_TRUE(write_nacks(7, 9, {}).empty());
}

TEST(Rtcp, NtpTime) {
    constexpr std::uint64_t kUnixEpoch = 2'208'988'800ull << 32;
    EXPECT_EQ(ntp_from_us(0), kUnixEpoch);
    EXPECT_EQ(ntp_from_us(500'000), kUnixEpoch | 0x80000000u);
    EXPECT_EQ(ntp_from_us(-2'208'988'800'000'001), 0u);
    // NTP's seconds wrap on 2036-02-07 06:28:16 UTC.
    constexpr std::int64_t kWrapUs = 2'085'978'496'000'000;
    EXPECT_EQ(ntp_from_us(kWrapUs + 1'000'000) >> 32, 1u);
    for (const std::int64_t us : {std::int64_t{0}, std::int64_t{1}, std::int64_t{999'999},
                                  std::int64_t{1'765'000'000'123'457}, kWrapUs - 1, kWrapUs,
                                  kWrapUs + 77})
        EXPECT_EQ(us_from_ntp(ntp_from_us(us)), us) << us;
    EXPECT_EQ(compact_ntp(0x0000B710'80000000ull), 0xB7108000u);
    EXPECT_EQ(compact_from_us(5'250'000), 0x00054000u);
    EXPECT_EQ(us_from_compact(0x00054000u), 5'250'000);
    EXPECT_EQ(compact_from_us(-1), 0u);
    EXPECT_EQ(compact_from_us(INT64_MAX), 0xFFFFFFFFu);
}

// The worked example of the RTP standard: the report arrives at 46864.500 s, echoes an SR of
// 46853.125 s and was held 5.250 s, so the round trip is 6.125 s.
TEST(Rtcp, RoundTripFromLsrAndDlsr) {
    const std::uint64_t arrival = 0x0000B710'80000000ull;
    EXPECT_EQ(rtt_us(0xB7052000u, 0x00054000u, arrival), 6'125'000);
    EXPECT_EQ(rtt_us(0, 0x00054000u, arrival), std::nullopt);
    // A DLSR longer than the time since the SR went out.
    EXPECT_EQ(rtt_us(0xB7052000u, 0x000C0000u, arrival), std::nullopt);
}

namespace {

std::uint32_t be32_at(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
           std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

}  // namespace

// What Debian's ffmpeg and GStreamer sent (tests/data/rtp): every packet is read, none refused
// or skipped, every report and request is about a source the RTP carried, and a report that
// echoes a recorded sender report held it for less time than passed between the two.
TEST(Rtcp, ForeignRecordingsParseWithoutRefusal) {
    // Kinds are RtcpPacket's alternatives: SR 0, RR 1, SDES 2, BYE 3, NACK 4, PLI 5, FIR 6.
    struct Case {
        const char* name;
        std::set<std::size_t> kinds;
    };
    const Case cases[] = {
        {"ffmpeg_zerolatency", {0}},
        {"ffmpeg_bframes", {0}},
        {"ffmpeg_sprop", {0}},
        {"gst_rtpbin", {0, 2, 3}},
        {"gst_feedback", {0, 1, 2, 3, 4, 5}},
        {"gst_feedback_fir", {0, 1, 2, 3, 4, 6}},
        {"gst_feedback_rtx", {0, 1, 2, 3, 4, 5}},
    };
    std::size_t echoes = 0;
    for (const Case& c : cases) {
        const Bytes file = talmiro_testing::read_file(std::filesystem::path(TALMIRO_TEST_DATA) /
                                                      "rtp" / (std::string(c.name) + ".bin"));
        const auto records = talmiro_testing::read_au_records(file);
        ASSERT_TRUE(records && !records->empty()) << c.name;
        std::set<std::uint32_t> media;
        for (const auto& r : *records)
            if (!(r.flags & talmiro_testing::kRtcp) && r.bytes.size() >= 12)
                media.insert(be32_at(Bytes(r.bytes.begin(), r.bytes.end()), 8));
        // Sender reports by their compact NTP time: when they were recorded.
        std::vector<std::pair<std::uint32_t, std::int64_t>> sent;
        std::set<std::size_t> kinds;
        for (const auto& r : *records) {
            if (!(r.flags & talmiro_testing::kRtcp)) continue;
            const RtcpParsed parsed = parse_rtcp(r.bytes);
            EXPECT_EQ(parsed.counts, (RtcpCounts{.parsed = parsed.packets.size()})) << c.name;
            for (const RtcpPacket& p : parsed.packets) {
                kinds.insert(p.index());
                std::vector<RtcpReportBlock> blocks;
                if (const auto* sr = std::get_if<RtcpSenderReport>(&p)) {
                    sent.emplace_back(compact_ntp(sr->ntp), r.t_us);
                    blocks = sr->reports;
                }
                if (const auto* rr = std::get_if<RtcpReceiverReport>(&p)) blocks = rr->reports;
                for (const RtcpReportBlock& b : blocks) {
                    EXPECT_TRUE(media.contains(b.ssrc)) << c.name;
                    const auto sr = std::find_if(sent.begin(), sent.end(),
                                                 [&](const auto& s) { return s.first == b.lsr; });
                    if (b.lsr == 0 || sr == sent.end()) continue;
                    const std::uint32_t between = compact_from_us(r.t_us - sr->second);
                    EXPECT_LE(b.dlsr, between) << c.name;
                    EXPECT_LT(between - b.dlsr, compact_from_us(100'000)) << c.name;
                    ++echoes;
                }
                std::vector<std::uint32_t> asked;
                if (const auto* nack = std::get_if<RtcpNack>(&p)) asked.push_back(nack->media_ssrc);
                if (const auto* pli = std::get_if<RtcpPli>(&p)) asked.push_back(pli->media_ssrc);
                if (const auto* fir = std::get_if<RtcpFir>(&p))
                    for (const RtcpFirEntry& e : fir->entries) asked.push_back(e.ssrc);
                for (const std::uint32_t ssrc : asked) EXPECT_TRUE(media.contains(ssrc)) << c.name;
            }
        }
        EXPECT_EQ(kinds, c.kinds) << c.name;
    }
    EXPECT_GE(echoes, 2u);
}
