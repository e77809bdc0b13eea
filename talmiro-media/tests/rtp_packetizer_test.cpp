// Tests of the RTP packetizer: configuration, packet kinds and headers, FU-A, timestamps, the
// resend history and the SDP facts of the parameter sets.
#include "talmiro_media/rtp_packetizer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtp_streams.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"
#include "talmiro_media/rtp_header_extension.hpp"

using namespace talmiro_media;
using rtp_streams::Bytes;
using rtp_streams::Nal;

namespace {

RtpPacketizer packetizer(std::size_t mtu, std::uint16_t first_seq = 65534,
                         std::size_t history = 2'000'000) {
    RtpPacketizerConfig c;
    c.mtu = mtu;
    c.ssrc = 0x11223344;
    c.first_seq = first_seq;
    c.timestamp_offset = 0xFFFFFF00u;
    c.rtx_ssrc = 0x55667788;
    c.rtx_first_seq = 7;
    c.history_bytes = history;
    return *RtpPacketizer::create(c);
}

std::uint16_t seq_of(const SharedBytes& p) {
    return static_cast<std::uint16_t>(p.bytes()[2] << 8 | p.bytes()[3]);
}
std::uint32_t ts_of(std::span<const std::uint8_t> p) {
    return std::uint32_t{p[4]} << 24 | std::uint32_t{p[5]} << 16 | std::uint32_t{p[6]} << 8 | p[7];
}

}  // namespace

TEST(RtpPacketizer, RejectsBadConfig) {
    for (auto [mtu, pt, rtx] : {std::tuple{std::size_t{63}, 96, 97}, {65508, 96, 97},
                                {1200, 128, 97}, {1200, 96, 96}}) {
        RtpPacketizerConfig c;
        c.mtu = mtu;
        c.payload_type = static_cast<std::uint8_t>(pt);
        c.rtx_payload_type = static_cast<std::uint8_t>(rtx);
        EXPECT_FALSE(RtpPacketizer::create(c).has_value()) << mtu << " " << pt << " " << rtx;
    }
}

// The packet kinds chosen for each access unit shape, the MTU (with two bytes spare for the
// RTX form), the header fields, sequence wrap and the marker.
TEST(RtpPacketizer, PacketKindsAndHeaders) {
    struct Case {
        std::size_t mtu;
        std::vector<Nal> nals;
        std::vector<std::uint8_t> kinds;  // NAL type byte of each packet's payload (& 0x1F)
    };
    const std::vector<Case> cases = {
        // SPS, PPS, SEI go together; the IDR slice alone.
        {1200, {{rtp_streams::kSps, 20}, {rtp_streams::kPps, 6}, {rtp_streams::kSei, 30},
                {rtp_streams::kIdr, 1150}}, {24, 5}},
        // A slice that fits goes into the same STAP-A.
        {1200, {{rtp_streams::kSps, 20}, {rtp_streams::kPps, 6}, {rtp_streams::kIdr, 1100}},
         {24}},
        // Small slices share one STAP-A; a slice of exactly the room is a single packet.
        {1200, {{rtp_streams::kP, 100}, {rtp_streams::kP, 100}}, {24}},
        {1200, {{rtp_streams::kP, 1186}}, {1}},
        {1200, {{rtp_streams::kP, 1187}}, {28, 28}},
        // A large slice: FU-A, with a STAP-A before it and a single unit after.
        {200, {{rtp_streams::kSps, 20}, {rtp_streams::kPps, 6}, {rtp_streams::kIdr, 1000},
               {rtp_streams::kSei, 150}}, {24, 28, 28, 28, 28, 28, 28, 6}},
    };
    std::mt19937 rng(1);
    for (const Case& c : cases) {
        RtpPacketizer p = packetizer(c.mtu);
        const auto au = rtp_streams::make_au(c.nals, rng);
        const auto packets = p.packetize(au.annexb, 1'000'000);
        ASSERT_EQ(packets.size(), c.kinds.size()) << c.mtu;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const auto b = packets[i].bytes();
            EXPECT_LE(b.size(), c.mtu - 2);
            EXPECT_EQ(b[0], 0x80);
            EXPECT_EQ(b[1], (i + 1 == packets.size() ? 0x80 : 0) | 96) << i;
            EXPECT_EQ(seq_of(packets[i]), static_cast<std::uint16_t>(65534 + i));
            EXPECT_EQ(ts_of(b), 0xFFFFFF00u + 90000u);
            EXPECT_EQ(b[12] & 0x1F, c.kinds[i]) << i;
        }
    }
}

TEST(RtpPacketizer, FuAFragmentsCarryTheUnitWhole) {
    std::mt19937 rng(2);
    const auto au = rtp_streams::make_au({{rtp_streams::kIdr, 5000}}, rng);
    RtpPacketizer p = packetizer(300);
    const auto packets = p.packetize(au.annexb, 0);
    Bytes body;
    std::size_t smallest = 1 << 20, largest = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto b = packets[i].bytes();
        EXPECT_EQ(b[12], 0x60 | 28);  // the NRI of the unit, FU-A
        EXPECT_EQ(b[13], (i == 0 ? 0x80 : 0) | (i + 1 == packets.size() ? 0x40 : 0) | 5);
        body.insert(body.end(), b.begin() + 14, b.end());
        smallest = std::min(smallest, b.size());
        largest = std::max(largest, b.size());
    }
    EXPECT_EQ(body, Bytes(au.nals[0].begin() + 1, au.nals[0].end()));
    EXPECT_LE(largest - smallest, 1u);  // near-equal fragments, no runt at the end
}

// Trailing zero bytes are stream padding; units of the payload format's own types (and type 0)
// would be misread by every receiver.
TEST(RtpPacketizer, SendsOnlyH264Units) {
    RtpPacketizer p = packetizer(1200);
    EXPECT_TRUE(p.packetize(Bytes{0, 0, 0, 1, 0, 0}, 0).empty());
    EXPECT_TRUE(p.packetize(Bytes{}, 0).empty());
    EXPECT_TRUE(p.packetize(Bytes{0, 0, 1, 0x7C, 0x85, 1, 0, 0, 1, 0x18, 0, 1, 5, 0, 0, 1, 0x41,
                                  0, 0, 0, 7, 0, 0, 1, 0x41, 0, 0, 2},
                            0).empty());
    EXPECT_EQ(p.stats().nal_units_skipped, 4u);
    const auto packets = p.packetize(
        Bytes{0, 0, 0, 1, 0x41, 9, 9, 0, 0, 0, 0, 1, 0x5C, 1, 0, 0, 1, 0x41, 7, 0}, 0);
    ASSERT_EQ(packets.size(), 1u);
    const auto b = packets[0].bytes();
    EXPECT_EQ(Bytes(b.begin() + 12, b.end()), (Bytes{0x58, 0, 3, 0x41, 9, 9, 0, 2, 0x41, 7}));
    EXPECT_EQ(p.stats().empty_units, 3u);
    EXPECT_EQ(p.stats().nal_units_skipped, 5u);
}

TEST(RtpPacketizer, TimestampFromCaptureTime) {
    RtpPacketizer p = packetizer(1200);
    for (auto [us, ticks] : {std::pair<std::int64_t, std::uint32_t>{0, 0}, {11, 0}, {12, 1},
                             {1'000'000, 90000}, {-12, 0xFFFFFFFEu}, {-100, 0xFFFFFFF7u}})
        EXPECT_EQ(p.timestamp_of(us), static_cast<std::uint32_t>(0xFFFFFF00u + ticks)) << us;
}

// Resends from the history, plain and RTX, and misses once a packet has left it.
TEST(RtpPacketizer, HistoryAnswersResends) {
    std::mt19937 rng(3);
    RtpPacketizer p = packetizer(1200, 65530, 10'000);
    std::vector<SharedBytes> sent;
    for (int i = 0; i < 20; ++i)
        for (auto& pkt :
             p.packetize(rtp_streams::make_au({{rtp_streams::kP, 2000}}, rng).annexb, i))
            sent.push_back(pkt);
    const std::size_t kept = p.stats().history_packets;
    EXPECT_GE(p.stats().history_size, 10'000u - 1200u);
    EXPECT_LE(p.stats().history_size, 10'000u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const std::uint16_t seq = seq_of(sent[i]);
        const auto plain = p.resend(seq);
        const auto rtx = p.resend_rtx(seq);
        ASSERT_EQ(plain.has_value(), i + kept >= sent.size()) << i;
        if (!plain) continue;
        EXPECT_TRUE(plain->shares(sent[i]));
        const auto r = rtx->bytes(), o = sent[i].bytes();
        ASSERT_EQ(r.size(), o.size() + 2);
        EXPECT_EQ(r[1], (o[1] & 0x80) | 97);
        EXPECT_EQ(ts_of(r), ts_of(o));
        EXPECT_EQ(Bytes(r.begin() + 8, r.begin() + 12), (Bytes{0x55, 0x66, 0x77, 0x88}));
        EXPECT_EQ(r[12] << 8 | r[13], seq);
        EXPECT_EQ(Bytes(r.begin() + 14, r.end()), Bytes(o.begin() + 12, o.end()));
    }
    EXPECT_EQ(p.stats().history_misses, 2 * (sent.size() - kept));
    EXPECT_FALSE(p.resend(static_cast<std::uint16_t>(p.next_seq())));
}

namespace {

RtpPacketizerConfig transport_cc_config() {
    RtpPacketizerConfig c;
    c.mtu = 300;
    c.ssrc = 0x11223344;
    c.first_seq = 100;
    c.rtx_ssrc = 0x55667788;
    c.transport_cc_extension_id = 5;
    c.transport_first_seq = 65533;
    return c;
}

}  // namespace

// With the transport-wide sequence number on, every packet carries it after the fixed header,
// one counter across media and RTX packets (through its wrap), within the same MTU; a plain
// resend repeats its original's.
TEST(RtpPacketizer, TransportWideSequenceNumbers) {
    const RtpPacketizerConfig c = transport_cc_config();
    for (const std::uint8_t bad : {0, 15}) {
        RtpPacketizerConfig b = c;
        b.transport_cc_extension_id = bad;
        EXPECT_FALSE(RtpPacketizer::create(b).has_value()) << int{bad};
    }
    RtpPacketizer p = *RtpPacketizer::create(c);
    EXPECT_EQ(p.next_transport_seq(), 65533);
    std::mt19937 rng(5);
    const auto au = rtp_streams::make_au({{rtp_streams::kIdr, 1000}}, rng);
    const std::vector<SharedBytes> sent = p.packetize(au.annexb, 0);
    ASSERT_GE(sent.size(), 4u);
    std::uint16_t want = 65533;
    for (const SharedBytes& pkt : sent) {
        const auto b = pkt.bytes();
        EXPECT_LE(b.size() + 2, c.mtu);
        EXPECT_EQ(b[0], 0x90);
        EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 20),
                  (Bytes{0xBE, 0xDE, 0, 1, 0x51, static_cast<std::uint8_t>(want >> 8),
                         static_cast<std::uint8_t>(want), 0}));
        EXPECT_EQ(p.transport_seq_of(b), want++);
    }
    EXPECT_EQ(p.stats().payload_bytes, p.stats().bytes - 20 * sent.size());
    // Resends: the plain one is the original; the RTX one has the next number, its original
    // sequence number after the extension.
    const auto plain = p.resend(seq_of(sent[1]));
    EXPECT_EQ(p.transport_seq_of(plain->bytes()), p.transport_seq_of(sent[1].bytes()));
    const auto rtx = p.resend_rtx(seq_of(sent[1]));
    const auto r = rtx->bytes(), o = sent[1].bytes();
    ASSERT_EQ(r.size(), o.size() + 2);
    EXPECT_EQ(read_transport_seq(r, 5), want);
    EXPECT_EQ(r[20] << 8 | r[21], seq_of(sent[1]));
    EXPECT_EQ(Bytes(r.begin() + 22, r.end()), Bytes(o.begin() + 20, o.end()));
    EXPECT_EQ(p.next_transport_seq(), want + 1);
    EXPECT_EQ(p.transport_seq_of(p.packetize(au.annexb, 40'000)[0].bytes()), want + 1);
    // Off, packets have no extension and report no number.
    EXPECT_FALSE(packetizer(300).next_transport_seq());
}

// The receiver takes packets with the extension, media and RTX, as before.
TEST(RtpPacketizer, TransportWideSequenceNumbersReachTheReceiver) {
    RtpPacketizer p = *RtpPacketizer::create(transport_cc_config());
    std::mt19937 rng(5);
    const auto au = rtp_streams::make_au({{rtp_streams::kIdr, 1000}}, rng);
    const std::vector<SharedBytes> sent = p.packetize(au.annexb, 0);
    const auto rtx = p.resend_rtx(seq_of(sent[1]));
    RtpDepacketizerConfig dc;
    dc.rtx_payload_type = kDefaultRtxPayloadType;
    RtpDepacketizer d(dc);
    std::vector<std::uint8_t> whole;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const SharedBytes& pkt = i == 1 ? *rtx : sent[i];
        for (RtpAccessUnit& u : d.push(pkt.bytes(), 0).units) {
            const auto data = u.unit.data.bytes();
            whole.insert(whole.end(), data.begin(), data.end());
        }
    }
    for (RtpAccessUnit& u : d.give_up(1'000'000).units) {
        const auto data = u.unit.data.bytes();
        whole.insert(whole.end(), data.begin(), data.end());
    }
    EXPECT_EQ(whole, au.annexb);
}

TEST(RtpPacketizer, SdpFactsFromParameterSets) {
    std::mt19937 rng(4);
    RtpPacketizer p = packetizer(1200);
    EXPECT_FALSE(p.profile_level_id());
    EXPECT_FALSE(p.sprop_parameter_sets());
    const Bytes au{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xAA, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,
                   0, 0, 1, 0x65, 0x88};
    p.packetize(au, 0);
    EXPECT_EQ(p.profile_level_id(), "42c01e");
    EXPECT_EQ(p.sprop_parameter_sets(), "Z0LAHqo=,aM48gA==");
}

TEST(Base64, Vectors) {
    for (auto [in, out] : {std::pair<std::string, std::string>{"", ""}, {"f", "Zg=="},
                           {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
                           {"\xff\xfe", "//4="}})
        EXPECT_EQ(base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(in.data()),
                                          in.size())),
                  out);
}
