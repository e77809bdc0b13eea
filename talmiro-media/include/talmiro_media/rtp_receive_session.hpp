// The receiving end of one RTP/RTCP session: the datagrams from the sender in (media,
// retransmissions and RTCP, each with its arrival time), the access units to decode and the RTCP
// datagrams to send back out. It owns every fact learnt of the stream:
//
// - the depacketizer (order, loss, NACK timing, H.264 assembly);
// - the reception statistics of the stream, made when its first packet is taken (the one count
//   of sequence numbers and jitter the reports are made of);
// - the round trip from NACKs to their retransmissions;
// - the sender reports' mapping of NTP time to RTP timestamps, which stamps each unit with its
//   capture time on the sender's clock;
// - the feedback: NACKs when the depacketizer asks, a PLI when asked or when a new stream
//   starts, receiver reports on a timer; each a compound with a receiver report and our SDES;
// - with a transport-wide sequence number configured, the transport-wide feedback on its own
//   timer and within a share of the media's bytes (a receiver report without a block and our
//   SDES in front, so that the reports' loss intervals stay on the report timer).
//
// A new SSRC that the depacketizer takes (after the old one's silence, or its BYE) starts a new
// stream: the old one's statistics, sender reports and round trip go, and a PLI asks for an IDR
// picture. Where the datagrams go is the caller's: the session neither knows nor reads
// addresses. No sockets, no clocks: every call takes the time (µs on one monotonic clock).
// Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "talmiro_media/nack_rtt.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"
#include "talmiro_media/rtp_reception_stats.hpp"
#include "talmiro_media/transport_feedback_builder.hpp"

namespace talmiro_media {

struct RtpReceiveSessionConfig {
    RtpDepacketizerConfig depacketizer;
    // Our SSRC and SDES CNAME, in every compound sent.
    std::uint32_t ssrc = 1;
    std::string cname = "talmiro";
    // Receiver reports go this often on average (each spacing drawn from half to one and a half
    // of it, so that receivers started together do not report together); the first goes one
    // interval after the start.
    std::int64_t report_interval_us = 1'000'000;
    std::uint64_t report_seed = 1;
    // How long a NACK sent waits for the retransmission that measures the round trip.
    std::int64_t nack_rtt_age_us = 5'000'000;
    // The SDES PRIV prefix whose value is kept (`note`): the sender's notes about its stream.
    std::string note_prefix;
    // Annex-B parameter sets (from a description of the stream) put in front of the first unit.
    std::vector<std::uint8_t> param_sets;
    // The header extension id (1..14) of the transport-wide sequence number: the packets of the
    // stream (media and retransmissions) carrying it are reported in transport-wide feedback.
    // Absent: no feedback (nor is any sent for packets without it).
    std::optional<std::uint8_t> transport_cc_extension_id;
    // The feedback goes at most this often, and only while its bytes stay within
    // `transport_feedback_percent` of the bytes of the datagrams it reports (sparse media
    // stretch the spacing: at 50 ms, about 180 kbit/s of media pays for every slot).
    std::int64_t transport_feedback_interval_us = 50'000;
    std::uint32_t transport_feedback_percent = 5;
};

// What an RTCP datagram sent back is for; the caller counts those that went.
enum class FeedbackKind : std::uint8_t { Report, Nack, Pli, Bye, TransportFeedback };

struct FeedbackDatagram {
    FeedbackKind kind = FeedbackKind::Report;
    // NACK packets in it (a long list is split over datagrams).
    std::uint32_t nack_packets = 0;
    std::vector<std::uint8_t> bytes;
};

struct RtpSessionOutput {
    // In decode order; the first after the start holds the description's parameter sets.
    std::vector<RtpAccessUnit> units;
    // In the order they are to go: a NACK before anything that follows it.
    std::vector<FeedbackDatagram> feedback;
    // The datagram came from a media SSRC that replaced the stream followed until then.
    bool new_stream = false;
    // The SSRC of the last sender report in an RTCP datagram (its source address is where the
    // sender's RTCP comes from).
    std::optional<std::uint32_t> sender_report;
};

// A unit's capture time on the sender's clock (µs since 1970), and whether a sender report
// said it (else the arrival of the stream's first unit stands in for its capture).
struct CaptureTime {
    std::int64_t t_us = 0;
    bool exact = false;
};

struct RtpReceiveSessionCounts {
    std::uint64_t rtcp_datagrams = 0;
    // RTCP packets the parser refused.
    std::uint64_t rtcp_refused = 0;
    std::uint64_t sender_reports = 0;
    // Round trips measured.
    std::uint64_t rtt_samples = 0;
    // New streams that replaced one.
    std::uint64_t new_streams = 0;
    // The transport-wide feedback's, over every stream (each stream has its own sequence).
    TransportFeedbackBuilder::Counts transport_feedback;
};

class RtpReceiveSession {
public:
    RtpReceiveSession(RtpReceiveSessionConfig config, std::int64_t start_us);

    // An RTP datagram (media or retransmission) from the sender.
    RtpSessionOutput rtp(std::span<const std::uint8_t> datagram, std::int64_t arrival_us);
    // An RTCP datagram from the sender's host.
    RtpSessionOutput rtcp(std::span<const std::uint8_t> datagram, std::int64_t arrival_us);
    // The depacketizer's timers, the report timer and the feedback's, when due by `now_us`.
    RtpSessionOutput poll(std::int64_t now_us);
    // When `poll` next has something to do.
    std::int64_t next_deadline_us() const noexcept;
    // A PLI (the decoder lost its reference); none before the stream is known.
    std::optional<FeedbackDatagram> picture_loss(std::int64_t now_us);
    // The BYE that ends our part in the session, after a report.
    FeedbackDatagram goodbye(std::int64_t now_us);
    // The capture time of a unit with `rtp_timestamp` that arrived at `arrival_us`, where the
    // wall clock reads `wall_minus_monotonic_us` more than the monotonic one.
    CaptureTime capture_time(std::uint32_t rtp_timestamp, std::int64_t arrival_us,
                             std::int64_t wall_minus_monotonic_us);

    const RtpDepacketizer& depacketizer() const noexcept { return depack_; }
    RtpReceiveSessionCounts counts() const noexcept;
    // The media SSRC followed, absent before the first packet.
    std::optional<std::uint32_t> media_ssrc() const noexcept;
    // The smoothed round trip, absent before the first sample (kept across new streams).
    std::optional<std::int64_t> rtt_us() const noexcept { return rtt_us_; }
    // The jitter the last receiver report said, in µs.
    std::int64_t jitter_us() const noexcept { return jitter_us_; }
    // The stream's sender said BYE (until a new stream starts).
    bool bye() const noexcept { return bye_; }
    // The last value of an SDES PRIV item with the configured prefix, absent before any.
    const std::optional<std::string>& note() const noexcept { return note_; }

private:
    struct Mapping {
        std::int64_t wall_us = 0;
        std::uint32_t rtp_ts = 0;
    };
    struct HeardReport {
        std::uint64_t ntp = 0;
        std::int64_t arrival_us = 0;
    };

    void pass_on(RtpOutput&& from, std::int64_t now_us, RtpSessionOutput& out);
    void count_packet(const RtpHeaderFacts& h, std::int64_t arrival_us, RtpSessionOutput& out);
    void start_stream(std::uint32_t ssrc);
    // The transport-wide sequence number of a datagram of the stream followed, recorded.
    void transport_seq(std::span<const std::uint8_t> datagram, const RtpOutput& taken,
                       std::int64_t arrival_us);
    std::optional<std::int64_t> transport_feedback_due() const noexcept;
    void transport_feedback(std::int64_t now_us, RtpSessionOutput& out);
    void measure_round_trip(const RtpHeaderFacts& h, std::int64_t arrival_us);
    void sender_report(const RtcpSenderReport& sr, std::int64_t arrival_us);
    void sdes(const RtcpSdes& sdes);
    void nack(std::span<const std::uint16_t> seqs, std::int64_t now_us, RtpSessionOutput& out);
    // A receiver report (with the stream's block once it is known) and our SDES, to start a
    // compound; tells the depacketizer the jitter the block says.
    std::vector<std::uint8_t> report(std::int64_t now_us);
    void update_waits() noexcept;
    std::int64_t next_report_spacing() noexcept;

    RtpReceiveSessionConfig config_;
    RtpDepacketizer depack_;
    std::vector<std::uint8_t> sdes_;
    std::optional<RtpReceptionStats> reception_;
    NackRtt nack_rtt_;
    // Until then a plain packet may answer a NACK sent (only then is it looked up).
    std::int64_t nack_rtt_until_us_ = 0;
    std::optional<std::int64_t> rtt_us_;
    std::int64_t jitter_us_ = 0;
    // Per SSRC (a few at most): the sender reports' mapping, and the last one heard (for the
    // report block of a stream whose first packet comes after it).
    std::unordered_map<std::uint32_t, Mapping> mappings_;
    std::unordered_map<std::uint32_t, HeardReport> heard_;
    std::optional<Mapping> provisional_;
    std::int64_t next_report_us_ = 0;
    std::uint64_t rng_ = 0;
    bool bye_ = false;
    std::optional<std::string> note_;
    // The stream's transport-wide feedback (made with the stream), and what the builders of
    // the streams before it counted.
    std::optional<TransportFeedbackBuilder> feedback_;
    TransportFeedbackBuilder::Counts feedback_before_;
    std::int64_t next_feedback_us_ = 0;
    // What the feedback may still spend, in hundredths of a byte (negative: it overspent).
    std::int64_t feedback_credit_ = 0;
    RtpReceiveSessionCounts counts_;
};

}  // namespace talmiro_media
