// The receive session on arbitrary sequences of RTP and RTCP datagrams, timer polls and PLI
// requests, on a clock that moves by the input's steps.
//
// Input: a configuration byte, then steps, each a control byte (what to do, and a time step)
// and for a datagram a length and that many bytes.
//
// Checked on every call: every datagram the session sends parses back whole as a receiver
// report of ours, our SDES and, for a NACK, a PLI or transport-wide feedback, that message about
// the stream followed; a NACK names at most 256 sequence numbers; the stream the reports are
// about is the one the depacketizer follows; the RTCP datagrams are all counted; the
// transport-wide feedback's bytes stay within 5 % of the RTP bytes pushed, but for one call's.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/rtp_receive_session.hpp"

using namespace talmiro_media;
using talmiro_fuzz::FuzzInput;

namespace {

constexpr std::uint32_t kOurs = 0x0A0B0C0D;

void check_feedback(const RtpReceiveSession& s, const FeedbackDatagram& d) {
    const RtcpParsed p = parse_rtcp(d.bytes);
    FUZZ_CHECK(p.counts.refused() == 0 && p.counts.unknown_type == 0);
    FUZZ_CHECK(p.packets.size() >= 2);
    const auto* rr = std::get_if<RtcpReceiverReport>(&p.packets[0]);
    FUZZ_CHECK(rr && rr->ssrc == kOurs && rr->reports.size() <= 1);
    FUZZ_CHECK(std::holds_alternative<RtcpSdes>(p.packets[1]));
    const auto media = s.media_ssrc();
    if (!rr->reports.empty()) FUZZ_CHECK(media && rr->reports[0].ssrc == *media);
    const std::size_t n = p.packets.size();
    switch (d.kind) {
        case FeedbackKind::Report: FUZZ_CHECK(n == 2); break;
        case FeedbackKind::Nack: {
            FUZZ_CHECK(n == 3 && d.nack_packets == 1);
            const auto* nack = std::get_if<RtcpNack>(&p.packets[2]);
            FUZZ_CHECK(nack && media && nack->media_ssrc == *media);
            // The writer splits a long list into packets of at most 256 pairs.
            FUZZ_CHECK(!nack->pairs.empty() && nack->pairs.size() <= 256);
            break;
        }
        case FeedbackKind::Pli: {
            const auto* pli = n == 3 ? std::get_if<RtcpPli>(&p.packets[2]) : nullptr;
            FUZZ_CHECK(pli && media && pli->media_ssrc == *media);
            break;
        }
        case FeedbackKind::Bye: FUZZ_CHECK(n == 3); break;
        case FeedbackKind::TransportFeedback: {
            const auto* fb = n == 3 ? std::get_if<RtcpTransportFeedback>(&p.packets[2]) : nullptr;
            FUZZ_CHECK(fb && rr->reports.empty() && media && fb->media_ssrc == *media);
            FUZZ_CHECK(fb->sender_ssrc == kOurs && !fb->statuses.empty() &&
                       fb->statuses.size() <= TransportFeedbackBuilderConfig{}.max_statuses);
            break;
        }
    }
}

// The transport-wide feedback's bytes so far, the RTP bytes pushed, the most one call sent.
struct FeedbackShare {
    std::uint64_t feedback = 0, rtp = 0, largest_call = 0;

    void add(const RtpSessionOutput& out) {
        std::uint64_t call = 0;
        for (const FeedbackDatagram& d : out.feedback)
            if (d.kind == FeedbackKind::TransportFeedback) call += d.bytes.size();
        feedback += call;
        largest_call = std::max(largest_call, call);
        FUZZ_CHECK(feedback * 100 <= rtp * 5 + largest_call * 100);
    }
};

void check(const RtpReceiveSession& s, const RtpSessionOutput& out) {
    for (const FeedbackDatagram& d : out.feedback) check_feedback(s, d);
    const auto media = s.media_ssrc();
    FUZZ_CHECK(!media || *media == s.depacketizer().stats().ssrc);
    if (out.new_stream) FUZZ_CHECK(media.has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    RtpReceiveSessionConfig c;
    const std::uint8_t flags = in.take<std::uint8_t>();
    c.ssrc = kOurs;
    c.note_prefix = "n";
    if (flags & 1) c.depacketizer.rtx_payload_type = 97;
    c.depacketizer.nack = (flags & 2) == 0;
    c.depacketizer.nack_copy_us = (flags & 4) ? 3'000 : 0;
    c.depacketizer.ssrc_silence_us = (flags & 8) ? 1'000 : 500'000;
    c.report_interval_us = 1'000 + (flags >> 4) * 10'000;
    // 1..14 (15 and 16: ids of the two-byte form only).
    c.transport_cc_extension_id = static_cast<std::uint8_t>(1 + (flags >> 4));
    std::int64_t now = 0;
    RtpReceiveSession s(c, now);
    std::uint64_t rtcp = 0;
    FeedbackShare share;
    for (int step = 0; step < 4096 && !in.empty(); ++step) {
        const std::uint8_t op = in.take<std::uint8_t>();
        now += std::int64_t{op >> 2} * 250;
        RtpSessionOutput out;
        if ((op & 3) == 0 || (op & 3) == 1) {
            const auto bytes = in.take_vector(in.take<std::uint16_t>() % 1500);
            out = (op & 3) == 0 ? s.rtp(bytes, now) : s.rtcp(bytes, now);
            if ((op & 3) == 0) share.rtp += bytes.size();
            rtcp += (op & 3) == 1;
        } else if ((op & 3) == 2) {
            out = s.poll(now);
        } else if (auto pli = s.picture_loss(now)) {
            out.feedback.push_back(std::move(*pli));
        }
        check(s, out);
        share.add(out);
        for (const RtpAccessUnit& u : out.units)
            (void)s.capture_time(u.rtp_timestamp, u.last_arrival_us,
                                 std::int64_t{in.take<std::uint32_t>()} * 1'000'000);
    }
    FUZZ_CHECK(s.counts().rtcp_datagrams == rtcp);
    check_feedback(s, s.goodbye(now));
    return 0;
}
