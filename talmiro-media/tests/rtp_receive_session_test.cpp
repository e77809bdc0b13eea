// Tests of the receive session on a simulated clock: a loss asked for at once and again, its
// retransmission timing the round trip; the receiver report on its timer; capture times from the
// sender report; PLIs on request and for a new stream after silence or a BYE.
#include "talmiro_media/rtp_receive_session.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <variant>
#include <vector>

using namespace talmiro_media;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kOurs = 0xABCD;
constexpr std::uint32_t kSsrc = 0x11223344;
constexpr std::uint32_t kRtxSsrc = 0x99;

// One packet holding one P-slice NAL unit (an access unit of its own); with `osn`, its RTX form.
Bytes rtp(std::uint16_t seq, std::uint32_t ts, std::uint32_t ssrc = kSsrc,
          std::optional<std::uint16_t> osn = std::nullopt) {
    Bytes p{0x80, static_cast<std::uint8_t>(0x80 | (osn ? 97 : 96)),
            static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq),
            static_cast<std::uint8_t>(ts >> 24), static_cast<std::uint8_t>(ts >> 16),
            static_cast<std::uint8_t>(ts >> 8), static_cast<std::uint8_t>(ts),
            static_cast<std::uint8_t>(ssrc >> 24), static_cast<std::uint8_t>(ssrc >> 16),
            static_cast<std::uint8_t>(ssrc >> 8), static_cast<std::uint8_t>(ssrc)};
    if (osn) {
        p.push_back(static_cast<std::uint8_t>(*osn >> 8));
        p.push_back(static_cast<std::uint8_t>(*osn));
    }
    for (std::uint8_t b : {0x41, 0x9A, 0x02, 0x33}) p.push_back(b);
    return p;
}

// Media seq/ts: packet n of the stream.
Bytes media(std::uint16_t n, std::uint32_t ssrc = kSsrc) { return rtp(n, 3000u * n, ssrc); }

RtpReceiveSessionConfig config() {
    RtpReceiveSessionConfig c;
    c.ssrc = kOurs;
    c.cname = "me@here";
    c.depacketizer.rtx_payload_type = 97;
    c.depacketizer.nack_copy_us = 3'000;
    c.note_prefix = "pattern";
    return c;
}

std::vector<RtcpPacket> parsed(const FeedbackDatagram& d) {
    RtcpParsed p = parse_rtcp(d.bytes);
    EXPECT_EQ(p.counts.refused(), 0u);
    return p.packets;
}

// A compound sent back: its receiver report's one block (absent when it has none), after
// checking that our SDES follows it.
std::optional<RtcpReportBlock> block_of(const std::vector<RtcpPacket>& packets) {
    EXPECT_GE(packets.size(), 2u);
    const auto& rr = std::get<RtcpReceiverReport>(packets.at(0));
    const auto& sdes = std::get<RtcpSdes>(packets.at(1));
    EXPECT_EQ(rr.ssrc, kOurs);
    EXPECT_EQ(sdes.chunks.at(0).items.at(0).value, "me@here");
    if (rr.reports.empty()) return std::nullopt;
    return rr.reports.at(0);
}

Bytes compound(const std::vector<RtcpPacket>& packets) { return *build_rtcp(packets); }

}  // namespace

// A gap is asked for when the packet beyond it comes, and again `nack_copy_us` later; the RTX
// that answers it measures the round trip from the first NACK, and the units come out whole.
TEST(RtpReceiveSession, LossIsAskedForAndTimesTheRoundTrip) {
    RtpReceiveSession s(config(), 0);
    std::size_t units = 0;
    for (std::uint16_t n : {100, 101}) {
        const auto out = s.rtp(media(n), 1'000 * n);
        EXPECT_TRUE(out.feedback.empty());
        units += out.units.size();
    }
    auto out = s.rtp(media(103), 103'000);
    ASSERT_EQ(out.feedback.size(), 1u);
    EXPECT_EQ(out.feedback[0].kind, FeedbackKind::Nack);
    auto packets = parsed(out.feedback[0]);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(block_of(packets)->extended_highest_seq, 103u);
    const auto& nack = std::get<RtcpNack>(packets[2]);
    EXPECT_EQ(nack.sender_ssrc, kOurs);
    EXPECT_EQ(nack.media_ssrc, kSsrc);
    EXPECT_EQ(nack_seqs(nack.pairs), std::vector<std::uint16_t>{102});

    EXPECT_EQ(s.next_deadline_us(), 106'000);
    EXPECT_TRUE(s.poll(105'999).feedback.empty());
    out = s.poll(106'000);
    ASSERT_EQ(out.feedback.size(), 1u);
    EXPECT_EQ(nack_seqs(std::get<RtcpNack>(parsed(out.feedback[0]).at(2)).pairs),
              std::vector<std::uint16_t>{102});

    EXPECT_FALSE(s.rtt_us());
    out = s.rtp(rtp(7, 3000u * 102, kRtxSsrc, 102), 113'000);
    EXPECT_EQ(s.counts().rtt_samples, 1u);
    EXPECT_EQ(s.rtt_us(), 10'000);  // the copy 3 ms after is the same request
    units += out.units.size();
    EXPECT_EQ(units, 4u);
    EXPECT_TRUE(std::ranges::all_of(out.units, [](const auto& u) { return u.complete; }));
    EXPECT_EQ(s.depacketizer().stats().packets_recovered, 1u);
}

// Reports go on the timer, the first one interval after the start, with the block the stream's
// one reception count makes: loss, highest sequence number, the sender report echoed. The sender
// report's mapping stamps units with their capture time; the note is kept.
TEST(RtpReceiveSession, ReportsOnTheTimerAndCaptureTimes) {
    RtpReceiveSessionConfig c = config();
    c.depacketizer.nack = false;
    RtpReceiveSession s(c, 0);
    EXPECT_EQ(s.next_deadline_us(), 1'000'000);
    EXPECT_TRUE(s.poll(999'999).feedback.empty());
    auto out = s.poll(1'000'000);
    ASSERT_EQ(out.feedback.size(), 1u);
    EXPECT_EQ(out.feedback[0].kind, FeedbackKind::Report);
    EXPECT_FALSE(block_of(parsed(out.feedback[0])));  // nothing heard yet

    const std::int64_t wall = 1'800'000'000'000'000;
    const std::uint64_t ntp = ntp_from_us(wall);
    RtcpSdes note{{RtcpSdesChunk{kSsrc, {RtcpSdesItem{kSdesPriv, "fps=30", "pattern"}}}}};
    out = s.rtcp(compound({RtcpSenderReport{kSsrc, ntp, 3000u * 10, 0, 0, {}}, note}), 1'100'000);
    EXPECT_EQ(out.sender_report, kSsrc);
    EXPECT_EQ(s.note(), "fps=30");
    for (std::uint16_t n : {10, 11, 13}) s.rtp(media(n), 1'200'000 + n);
    EXPECT_TRUE(s.poll(1'300'000).feedback.empty());  // the gap given up, no report due yet

    const std::int64_t due = s.next_deadline_us();
    EXPECT_GE(due, 1'500'000);
    EXPECT_LE(due, 2'500'000);
    out = s.poll(due);
    ASSERT_EQ(out.feedback.size(), 1u);
    const auto block = block_of(parsed(out.feedback[0]));
    ASSERT_TRUE(block);
    EXPECT_EQ(block->ssrc, kSsrc);
    EXPECT_EQ(block->extended_highest_seq, 13u);
    EXPECT_EQ(block->cumulative_lost, 1);
    EXPECT_EQ(block->fraction_lost, 64);  // 1 of 4
    EXPECT_EQ(block->lsr, compact_ntp(ntp));
    EXPECT_EQ(block->dlsr, compact_from_us(due - 1'100'000));
    EXPECT_EQ(s.jitter_us(), std::int64_t{block->jitter} * 1'000'000 / 90'000);
    EXPECT_EQ(s.counts().sender_reports, 1u);

    const auto later = s.capture_time(3000u * 10 + 90'000, 0, 0);
    EXPECT_TRUE(later.exact);
    EXPECT_EQ(later.t_us, wall + 1'000'000);
    EXPECT_EQ(s.capture_time(3000u * 10 - 1, 0, 0).t_us, wall - 12);  // rounded down
}

// A PLI when asked (none before the stream is known), and one for each new stream: after the
// old one's silence, or at once after its BYE. What was learnt of the old stream goes.
TEST(RtpReceiveSession, PictureLossAndNewStreams) {
    RtpReceiveSession s(config(), 0);
    EXPECT_FALSE(s.picture_loss(0));
    s.rtp(media(1), 10'000);
    auto pli = s.picture_loss(20'000);
    ASSERT_TRUE(pli);
    auto packets = parsed(*pli);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(std::get<RtcpPli>(packets[2]), (RtcpPli{kOurs, kSsrc}));
    // Before any sender report: stamped from the first unit's arrival on the wall clock.
    const CaptureTime first = s.capture_time(3000, 10'000, 5'000'000);
    EXPECT_FALSE(first.exact);
    EXPECT_EQ(first.t_us, 5'010'000);
    EXPECT_EQ(s.capture_time(3000 + 90'000, 50'000, 5'000'000).t_us, 6'010'000);

    EXPECT_FALSE(s.rtp(media(2, 0x5555), 400'000).new_stream);  // the old one is alive
    auto out = s.rtp(media(2, 0x5555), 600'000);
    EXPECT_TRUE(out.new_stream);
    ASSERT_EQ(out.feedback.size(), 1u);
    EXPECT_EQ(out.feedback[0].kind, FeedbackKind::Pli);
    packets = parsed(out.feedback[0]);
    EXPECT_EQ(block_of(packets)->ssrc, 0x5555u);
    EXPECT_EQ(std::get<RtcpPli>(packets.at(2)).media_ssrc, 0x5555u);
    EXPECT_EQ(s.media_ssrc(), 0x5555u);
    EXPECT_EQ(s.capture_time(3000, 600'000, 0).t_us, 600'000);  // a new provisional stamp

    s.rtcp(compound({RtcpBye{{0x5555}, std::nullopt}}), 610'000);
    EXPECT_TRUE(s.bye());
    out = s.rtp(media(9, 0x7777), 620'000);
    EXPECT_TRUE(out.new_stream);
    EXPECT_FALSE(s.bye());
    EXPECT_EQ(s.counts().new_streams, 2u);
    EXPECT_EQ(s.depacketizer().stats().restarts, 2u);
}
