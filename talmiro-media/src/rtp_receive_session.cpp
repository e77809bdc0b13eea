// The receiving end of one RTP/RTCP session: depacketizer, reception statistics, round trip,
// sender-report mapping and feedback.
#include "talmiro_media/rtp_receive_session.hpp"

#include <algorithm>
#include <utility>
#include <variant>

#include "talmiro_media/rtp_header_extension.hpp"

namespace talmiro_media {

namespace {

// SSRCs whose sender reports are kept at most (a restarting sender brings a new one each time).
constexpr std::size_t kReportsKept = 8;
// The RTP clock of H.264 video.
constexpr std::int64_t kTimestampRate = 90'000;
// What the transport-wide feedback may save up while the media pays more than it spends: one
// full feedback datagram, so that the share holds over any stretch but the one after a lull.
constexpr std::int64_t kFeedbackCreditCap = 1'500 * 100;

// splitmix64: the report spacing need not be unpredictable, only different between receivers.
std::uint64_t next_random(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Rounded down, also for the units before the mapping's timestamp.
std::int64_t floored_quotient(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

std::vector<std::uint8_t> sdes_of(std::uint32_t ssrc, const std::string& cname) {
    std::vector<std::uint8_t> out;
    RtcpSdesItem item{kSdesCname, cname.substr(0, kRtcpMaxText), {}};
    (void)append_rtcp(out, RtcpSdes{{RtcpSdesChunk{ssrc, {std::move(item)}}}});
    return out;
}

void put_in_front(AccessUnit& unit, std::span<const std::uint8_t> front) {
    std::vector<std::uint8_t> bytes(front.begin(), front.end());
    const auto rest = unit.bytes();
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    unit.data = SharedBytes(std::move(bytes));
    unit.config = true;
}

}  // namespace

RtpReceiveSession::RtpReceiveSession(RtpReceiveSessionConfig config, std::int64_t start_us)
    : config_(std::move(config)),
      depack_(config_.depacketizer),
      sdes_(sdes_of(config_.ssrc, config_.cname)),
      nack_rtt_(NackRtt::Config{.max_age_us = config_.nack_rtt_age_us,
                                .copy_window_us = 2 * config_.depacketizer.nack_copy_us}),
      next_report_us_(start_us + config_.report_interval_us),
      rng_(config_.report_seed),
      next_feedback_us_(start_us + config_.transport_feedback_interval_us) {
    update_waits();
}

std::optional<std::uint32_t> RtpReceiveSession::media_ssrc() const noexcept {
    if (!reception_) return std::nullopt;
    return reception_->ssrc();
}

RtpSessionOutput RtpReceiveSession::rtp(std::span<const std::uint8_t> datagram,
                                        std::int64_t arrival_us) {
    RtpSessionOutput out;
    RtpOutput taken = depack_.push(datagram, arrival_us);
    if (const auto& h = taken.header) {
        count_packet(*h, arrival_us, out);
        measure_round_trip(*h, arrival_us);
        transport_seq(datagram, taken, arrival_us);
    }
    pass_on(std::move(taken), arrival_us, out);
    return out;
}

// The reception statistics count the media packets of the stream the depacketizer follows;
// a packet of a new one starts them (a retransmission would count as a duplicate of the packet
// lost, so it goes to the round trip only).
void RtpReceiveSession::count_packet(const RtpHeaderFacts& h, std::int64_t arrival_us,
                                     RtpSessionOutput& out) {
    if (h.rtx) return;
    if (reception_ && reception_->ssrc() == h.ssrc) {
        reception_->packet(h.seq, h.ts, arrival_us);
        return;
    }
    if (h.ssrc != depack_.stats().ssrc) return;
    const bool replaces = reception_.has_value();
    start_stream(h.ssrc);
    reception_->packet(h.seq, h.ts, arrival_us);
    if (!replaces) return;
    // The new stream's decoding starts at an IDR picture: asked for at once.
    out.new_stream = true;
    if (auto pli = picture_loss(arrival_us)) out.feedback.push_back(std::move(*pli));
}

void RtpReceiveSession::start_stream(std::uint32_t ssrc) {
    if (reception_) {
        // What was learnt of the old stream goes; its round trip stays the best guess.
        std::erase_if(mappings_, [&](const auto& m) { return m.first != ssrc; });
        std::erase_if(heard_, [&](const auto& m) { return m.first != ssrc; });
        nack_rtt_ = NackRtt(nack_rtt_.config());
        nack_rtt_until_us_ = 0;
        bye_ = false;
        counts_.new_streams += 1;
    }
    reception_.emplace(ssrc);
    provisional_.reset();
    // A new sender counts its packets anew; what the old one's feedback still held is moot.
    if (config_.transport_cc_extension_id) {
        if (feedback_) feedback_before_ += feedback_->counts();
        feedback_ = *TransportFeedbackBuilder::create({.sender_ssrc = config_.ssrc,
                                                       .media_ssrc = ssrc});
    }
    // A sender report that came before the stream's first packet.
    if (const auto it = heard_.find(ssrc); it != heard_.end())
        reception_->sender_report(it->second.ntp, it->second.arrival_us);
}

void RtpReceiveSession::measure_round_trip(const RtpHeaderFacts& h, std::int64_t arrival_us) {
    // A plain resend reads as the packet itself: looked up only while a NACK may be answered.
    const bool plain_resends = !depack_.config().rtx_payload_type;
    if (!h.rtx && !(plain_resends && arrival_us < nack_rtt_until_us_)) return;
    if (!nack_rtt_.retransmission(h.seq, arrival_us)) return;
    counts_.rtt_samples += 1;
    rtt_us_ = nack_rtt_.rtt_us();
    update_waits();
}

// Every datagram of the stream followed crossed the path, whatever the depacketizer makes of
// it (a late or duplicate packet too): its transport-wide sequence number is recorded, and its
// bytes pay for the feedback's share.
void RtpReceiveSession::transport_seq(std::span<const std::uint8_t> datagram,
                                      const RtpOutput& taken, std::int64_t arrival_us) {
    if (!feedback_ || taken.refused == RtpRefusal::ForeignSsrc) return;
    const auto seq = read_transport_seq(datagram, *config_.transport_cc_extension_id);
    if (!seq) return;
    feedback_->packet_arrived(*seq, arrival_us);
    const auto paid = static_cast<std::int64_t>(datagram.size()) *
                      std::int64_t{config_.transport_feedback_percent};
    feedback_credit_ = std::min(feedback_credit_ + paid, kFeedbackCreditCap);
}

// Due one interval after the last, once something arrived and the share is not overspent (until
// then only arrivals can make it due).
std::optional<std::int64_t> RtpReceiveSession::transport_feedback_due() const noexcept {
    if (!feedback_ || !feedback_->pending() || feedback_credit_ < 0) return std::nullopt;
    return next_feedback_us_;
}

// One feedback packet per datagram, behind a receiver report without a block (the report's
// loss interval is the report timer's) and our SDES, as RFC 3550 wants a compound to start.
void RtpReceiveSession::transport_feedback(std::int64_t now_us, RtpSessionOutput& out) {
    for (const RtcpTransportFeedback& packet : feedback_->build()) {
        FeedbackDatagram d{FeedbackKind::TransportFeedback, 0, {}};
        (void)append_rtcp(d.bytes, RtcpReceiverReport{config_.ssrc, {}});
        d.bytes.insert(d.bytes.end(), sdes_.begin(), sdes_.end());
        (void)append_rtcp(d.bytes, packet);
        feedback_credit_ -= static_cast<std::int64_t>(d.bytes.size()) * 100;
        out.feedback.push_back(std::move(d));
    }
    next_feedback_us_ =
        now_us + std::max<std::int64_t>(1, config_.transport_feedback_interval_us);
}

RtpReceiveSessionCounts RtpReceiveSession::counts() const noexcept {
    RtpReceiveSessionCounts out = counts_;
    out.transport_feedback = feedback_before_;
    if (feedback_) out.transport_feedback += feedback_->counts();
    return out;
}

// The units go out with the description's parameter sets in front of the first; the NACKs the
// depacketizer asks for go at once.
void RtpReceiveSession::pass_on(RtpOutput&& from, std::int64_t now_us,
                                    RtpSessionOutput& out) {
    if (!from.nacks.empty()) nack(from.nacks, now_us, out);
    for (RtpAccessUnit& u : from.units) {
        if (!config_.param_sets.empty()) {
            put_in_front(u.unit, config_.param_sets);
            config_.param_sets.clear();
        }
        out.units.push_back(std::move(u));
    }
}

// One compound per datagram: a report, our SDES and a NACK packet (the writer splits a long
// list into packets of a bounded size).
void RtpReceiveSession::nack(std::span<const std::uint16_t> seqs, std::int64_t now_us,
                             RtpSessionOutput& out) {
    if (!reception_) return;
    nack_rtt_.nack_sent(seqs, now_us);
    nack_rtt_until_us_ = now_us + nack_rtt_.config().max_age_us;
    for (const auto& packet : write_nacks(config_.ssrc, reception_->ssrc(), seqs)) {
        FeedbackDatagram d{FeedbackKind::Nack, 1, report(now_us)};
        d.bytes.insert(d.bytes.end(), packet.begin(), packet.end());
        out.feedback.push_back(std::move(d));
    }
}

std::optional<FeedbackDatagram> RtpReceiveSession::picture_loss(std::int64_t now_us) {
    if (!reception_) return std::nullopt;
    FeedbackDatagram d{FeedbackKind::Pli, 0, report(now_us)};
    if (!append_rtcp(d.bytes, RtcpPli{config_.ssrc, reception_->ssrc()})) return std::nullopt;
    return d;
}

FeedbackDatagram RtpReceiveSession::goodbye(std::int64_t now_us) {
    FeedbackDatagram d{FeedbackKind::Bye, 0, report(now_us)};
    (void)append_rtcp(d.bytes, RtcpBye{{config_.ssrc}, std::nullopt});
    return d;
}

std::vector<std::uint8_t> RtpReceiveSession::report(std::int64_t now_us) {
    RtcpReceiverReport rr{config_.ssrc, {}};
    if (reception_) {
        if (const auto block = reception_->report(now_us)) {
            rr.reports.push_back(*block);
            jitter_us_ = static_cast<std::int64_t>(block->jitter) * 1'000'000 / kTimestampRate;
            update_waits();
        }
    }
    std::vector<std::uint8_t> out;
    (void)append_rtcp(out, rr);
    out.insert(out.end(), sdes_.begin(), sdes_.end());
    return out;
}

// The depacketizer makes the wait for a missing packet and the NACK repeat interval of the
// round trip measured and the jitter last reported.
void RtpReceiveSession::update_waits() noexcept { depack_.set_round_trip(rtt_us_, jitter_us_); }

RtpSessionOutput RtpReceiveSession::poll(std::int64_t now_us) {
    RtpSessionOutput out;
    if (const auto due = depack_.next_deadline_us(); due && now_us >= *due)
        pass_on(depack_.poll(now_us), now_us, out);
    if (now_us >= next_report_us_) {
        out.feedback.push_back({FeedbackKind::Report, 0, report(now_us)});
        next_report_us_ = now_us + next_report_spacing();
    }
    if (const auto due = transport_feedback_due(); due && now_us >= *due)
        transport_feedback(now_us, out);
    return out;
}

std::int64_t RtpReceiveSession::next_report_spacing() noexcept {
    // Half to one and a half intervals, in thousandths.
    const auto permille = static_cast<std::int64_t>(next_random(rng_) % 1001) + 500;
    return std::max<std::int64_t>(1, config_.report_interval_us / 1000 * permille);
}

std::int64_t RtpReceiveSession::next_deadline_us() const noexcept {
    std::int64_t next = next_report_us_;
    if (const auto due = depack_.next_deadline_us()) next = std::min(next, *due);
    if (const auto due = transport_feedback_due()) next = std::min(next, *due);
    return next;
}

RtpSessionOutput RtpReceiveSession::rtcp(std::span<const std::uint8_t> datagram,
                                         std::int64_t arrival_us) {
    RtpSessionOutput out;
    counts_.rtcp_datagrams += 1;
    const RtcpParsed parsed = parse_rtcp(datagram);
    counts_.rtcp_refused += parsed.counts.refused();
    for (const RtcpPacket& p : parsed.packets) {
        if (const auto* sr = std::get_if<RtcpSenderReport>(&p)) {
            sender_report(*sr, arrival_us);
            out.sender_report = sr->ssrc;
        } else if (const auto* s = std::get_if<RtcpSdes>(&p)) {
            sdes(*s);
        } else if (const auto* bye = std::get_if<RtcpBye>(&p)) {
            const auto ssrc = media_ssrc();
            if (ssrc && std::ranges::find(bye->ssrcs, *ssrc) != bye->ssrcs.end()) {
                bye_ = true;
                depack_.end_stream();  // a new SSRC need not wait for the silence
            }
        }
    }
    return out;
}

void RtpReceiveSession::sender_report(const RtcpSenderReport& sr, std::int64_t arrival_us) {
    if (mappings_.size() >= kReportsKept && !mappings_.contains(sr.ssrc)) mappings_.clear();
    mappings_[sr.ssrc] = Mapping{us_from_ntp(sr.ntp), sr.rtp_timestamp};
    if (heard_.size() >= kReportsKept && !heard_.contains(sr.ssrc)) heard_.clear();
    heard_[sr.ssrc] = HeardReport{sr.ntp, arrival_us};
    if (reception_ && reception_->ssrc() == sr.ssrc) reception_->sender_report(sr.ntp, arrival_us);
    counts_.sender_reports += 1;
}

void RtpReceiveSession::sdes(const RtcpSdes& sdes) {
    if (config_.note_prefix.empty()) return;
    for (const RtcpSdesChunk& chunk : sdes.chunks)
        for (const RtcpSdesItem& item : chunk.items)
            if (item.type == kSdesPriv && item.prefix == config_.note_prefix) note_ = item.value;
}

CaptureTime RtpReceiveSession::capture_time(std::uint32_t rtp_timestamp, std::int64_t arrival_us,
                                            std::int64_t wall_minus_monotonic_us) {
    const auto ssrc = media_ssrc();
    const auto it = ssrc ? mappings_.find(*ssrc) : mappings_.end();
    const bool exact = it != mappings_.end();
    if (!exact && !provisional_)
        provisional_ = Mapping{arrival_us + wall_minus_monotonic_us, rtp_timestamp};
    const Mapping& m = exact ? it->second : *provisional_;
    // Timestamps within half the 32-bit range either side of the mapping's.
    const auto ticks = static_cast<std::int32_t>(rtp_timestamp - m.rtp_ts);
    return {m.wall_us + floored_quotient(std::int64_t{ticks} * 1'000'000, kTimestampRate), exact};
}

}  // namespace talmiro_media
