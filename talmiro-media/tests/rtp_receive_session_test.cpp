// Tests of the receive session on a simulated clock: a loss asked for at once and again, its
// retransmission timing the round trip; the receiver report on its timer; capture times from the
// sender report; PLIs on request and for a new stream after silence or a BYE; transport-wide
// feedback on its timer and within its share of the media's bytes.
#include "talmiro_media/rtp_receive_session.hpp"

#include <gtest/gtest.h>

#include <map>

#include "talmiro_media/rtp_header_extension.hpp"

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

constexpr std::uint8_t kTransportId = 3;

// `packet` with the transport-wide sequence number `tseq` and `pad` more payload bytes.
Bytes stamped(Bytes packet, std::uint16_t tseq, std::size_t pad = 0) {
    Bytes ext;
    append_transport_seq_extension(ext, kTransportId, tseq);
    packet[0] |= 0x10;
    packet.insert(packet.begin() + 12, ext.begin(), ext.end());
    packet.insert(packet.end(), pad, 0x55);
    return packet;
}

// The transport-wide feedback a session sent, with when.
struct SentFeedback {
    std::int64_t at_us = 0;
    std::size_t bytes = 0;
    RtcpTransportFeedback packet;
};

// Polls `s` at each deadline from `now_us` (one passed: then) to before `until_us`; keeps the
// transport-wide feedback.
void poll_until(RtpReceiveSession& s, std::int64_t now_us, std::int64_t until_us,
                std::vector<SentFeedback>& sent) {
    for (int i = 0; i < 10'000 && s.next_deadline_us() < until_us; ++i) {
        const std::int64_t at = std::max(s.next_deadline_us(), now_us);
        for (const FeedbackDatagram& d : s.poll(at).feedback) {
            if (d.kind != FeedbackKind::TransportFeedback) continue;
            const auto packets = parsed(d);
            EXPECT_EQ(packets.size(), 3u);
            EXPECT_EQ(std::get<RtcpReceiverReport>(packets.at(0)), (RtcpReceiverReport{kOurs, {}}));
            EXPECT_EQ(std::get<RtcpSdes>(packets.at(1)).chunks.at(0).ssrc, kOurs);
            sent.push_back({at, d.bytes.size(), std::get<RtcpTransportFeedback>(packets.at(2))});
        }
    }
}

// Each transport-wide sequence number reported, with its arrival (-1: reported lost).
std::map<std::uint16_t, std::int64_t> reported(const std::vector<SentFeedback>& sent) {
    std::map<std::uint16_t, std::int64_t> out;
    for (const SentFeedback& f : sent)
        for (const TransportFeedbackStatus& st : f.packet.statuses)
            out[st.seq] = st.arrival_us ? f.packet.reference_us() + *st.arrival_us : -1;
    return out;
}

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

// Packets of the stream carrying the extension, media and RTX alike, are reported with their
// arrival, the one lost as lost, across the sequence's wrap; the feedback keeps its spacing,
// names our SSRC and the stream's, and starts over with a new stream. Packets without the
// extension, or a session without it configured, bring none.
TEST(RtpReceiveSession, TransportFeedbackReportsTheStream) {
    RtpReceiveSessionConfig c = config();
    RtpReceiveSession plain(c, 0);
    c.transport_cc_extension_id = kTransportId;
    RtpReceiveSession s(c, 0);
    std::vector<SentFeedback> sent;
    for (std::uint16_t n : {1, 2, 3}) {
        s.rtp(media(n), 10'000 * n);
        plain.rtp(stamped(media(n), n), 10'000 * n);
    }
    poll_until(s, 30'000, 300'000, sent);
    poll_until(plain, 30'000, 300'000, sent);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(plain.counts().transport_feedback.arrivals, 0u);

    // Media 4..13 every 10 ms from 300 ms (1 kB each: they pay for the feedback),
    // transport-wide 65533.. (media 8, number 1, lost); the RTX of media 8 comes with number 7.
    std::map<std::uint16_t, std::int64_t> arrivals;
    for (std::uint16_t i = 0; i < 10; ++i) {
        const std::int64_t at = 300'000 + 10'000 * i;
        poll_until(s, at - 10'000, at, sent);
        if (i == 4) continue;
        const auto tseq = static_cast<std::uint16_t>(65533 + i);
        s.rtp(stamped(media(static_cast<std::uint16_t>(4 + i)), tseq, 1'000), at);
        arrivals[tseq] = at;
    }
    s.rtp(stamped(rtp(1, 3000u * 8, kRtxSsrc, 8), 7), 392'000);
    arrivals[7] = 392'000;
    arrivals[1] = -1;
    poll_until(s, 392'000, 1'000'000, sent);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(reported(sent), arrivals);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].packet.sender_ssrc, kOurs);
        EXPECT_EQ(sent[i].packet.media_ssrc, kSsrc);
        if (i > 0) {
            EXPECT_GE(sent[i].at_us - sent[i - 1].at_us, 50'000);
        }
    }
    EXPECT_EQ(s.counts().transport_feedback.arrivals, 10u);
    EXPECT_EQ(s.counts().transport_feedback.feedback_packets, sent.size());

    sent.clear();
    s.rtp(stamped(media(50, 0x5555), 900, 1'000), 1'500'000);  // after the old one's silence
    poll_until(s, 1'500'000, 2'000'000, sent);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].packet.media_ssrc, 0x5555u);
    EXPECT_EQ(reported(sent), (std::map<std::uint16_t, std::int64_t>{{900, 1'500'000}}));
    EXPECT_EQ(s.counts().transport_feedback.arrivals, 11u);
}

// Dense media get feedback at every interval; sparse media stretch the spacing so that the
// feedback's bytes stay within their share of the media's (one datagram of overdraft at most),
// and every packet is still reported.
TEST(RtpReceiveSession, TransportFeedbackKeepsItsShare) {
    struct Case {
        std::int64_t period_us;
        std::size_t pad;
        std::int64_t duration_us;
    };
    for (const Case k : {Case{5'000, 1'150, 2'000'000}, Case{20'000, 60, 20'000'000}}) {
        RtpReceiveSessionConfig c = config();
        c.depacketizer.nack = false;
        c.transport_cc_extension_id = kTransportId;
        RtpReceiveSession s(c, 0);
        std::vector<SentFeedback> sent;
        std::size_t media_bytes = 0;
        std::uint16_t n = 0;
        for (std::int64_t at = k.period_us; at <= k.duration_us; at += k.period_us, ++n) {
            poll_until(s, at - k.period_us, at, sent);
            const Bytes p = stamped(media(n), n, k.pad);
            media_bytes += p.size();
            s.rtp(p, at);
        }
        ASSERT_FALSE(sent.empty());
        std::size_t feedback_bytes = 0, largest = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            feedback_bytes += sent[i].bytes;
            largest = std::max(largest, sent[i].bytes);
            if (i > 0) {
                EXPECT_GE(sent[i].at_us - sent[i - 1].at_us, 50'000);
            }
        }
        EXPECT_LE(feedback_bytes, media_bytes * 5 / 100 + largest);
        const auto seqs = reported(sent);
        EXPECT_EQ(seqs.begin()->first, 0u);
        EXPECT_EQ(seqs.size(), std::size_t{seqs.rbegin()->first} + 1);
        EXPECT_GE(seqs.size() + 50, n);  // the last few wait for their share
        if (k.period_us == 5'000) {
            EXPECT_GE(sent.size(), 38u);  // every 50 ms
        } else {
            EXPECT_LT(sent.size(), 20'000'000 / 100'000);  // less often than every 100 ms
        }
    }
}
