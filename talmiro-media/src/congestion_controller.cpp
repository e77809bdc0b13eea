// A sender's congestion control: pacer, sent-packet log and a rate controller per receiver.
#include "talmiro_media/congestion_controller.hpp"

#include <algorithm>
#include <string>
#include <cstdint>
#include <variant>

namespace talmiro_media {

namespace {

constexpr std::size_t kMaxReceivers = 256;

}  // namespace

Result<CongestionController> CongestionController::create(
    const CongestionControllerConfig& config) {
    if (config.receivers == 0 || config.receivers > kMaxReceivers)
        return std::unexpected(MediaError::unsupported(
            "congestion control takes 1.." + std::to_string(kMaxReceivers) +
            " receivers, got " + std::to_string(config.receivers)));
    const auto& r = config.rate;
    if (r.min_bps <= 0 || r.min_bps > r.start_bps || r.start_bps > r.max_bps)
        return std::unexpected(MediaError::unsupported(
            "the rates must be 0 < minimum <= start <= maximum"));
    return CongestionController(config);
}

CongestionController::CongestionController(const CongestionControllerConfig& config)
    : pacer_([&] {
          PacerConfig p = config.pacer;
          p.start_target_bps = static_cast<std::uint64_t>(config.rate.start_bps);
          return p;
      }()),
      log_(config.log_max_age_us),
      target_bps_(config.rate.start_bps) {
    receivers_.reserve(config.receivers);
    for (std::size_t i = 0; i < config.receivers; ++i)
        receivers_.push_back(Receiver{RateController(config.rate), false});
}

std::optional<CongestionController::Handle> CongestionController::push(
    Handle handle, std::uint32_t bytes, PacketKind kind, std::int64_t now_us) {
    return pacer_.push(handle, bytes, kind, now_us);
}

void CongestionController::sent(std::optional<std::uint16_t> transport_seq, std::size_t bytes,
                                std::int64_t now_us) {
    if (transport_seq) log_.sent(*transport_seq, bytes, now_us);
}

CongestionController::Receiver* CongestionController::receiver_at(std::size_t i) noexcept {
    if (i < receivers_.size()) return &receivers_[i];
    counts_.refused += 1;
    return nullptr;
}

void CongestionController::on_rtcp(std::size_t receiver, const RtcpPacket& packet,
                                   std::int64_t now_us) {
    const auto* feedback = std::get_if<RtcpTransportFeedback>(&packet);
    const auto* remb = std::get_if<RtcpRemb>(&packet);
    if (!feedback && !remb) return;
    Receiver* r = receiver_at(receiver);
    if (!r) return;
    r->heard = true;
    if (feedback) {
        counts_.transport_feedback += 1;
        log_.feedback_of(*feedback, now_us, scratch_);
        r->rate.on_transport_feedback(scratch_, now_us);
    } else {
        counts_.rembs += 1;
        r->rate.on_remb(static_cast<std::int64_t>(
                            std::min<std::uint64_t>(remb->bitrate_bps, INT64_MAX)),
                        now_us);
    }
    update_target(now_us);
}

bool CongestionController::only_feedback(const RtcpParsed& parsed) noexcept {
    if (parsed.counts.refused() != 0) return false;
    bool feedback = false;
    for (const RtcpPacket& p : parsed.packets) {
        if (std::holds_alternative<RtcpTransportFeedback>(p) ||
            std::holds_alternative<RtcpRemb>(p)) {
            feedback = true;
        } else if (const auto* rr = std::get_if<RtcpReceiverReport>(&p)) {
            if (!rr->reports.empty()) return false;
        } else if (!std::holds_alternative<RtcpSdes>(p)) {
            return false;
        }
    }
    return feedback;
}

void CongestionController::on_receiver_report(std::size_t receiver,
                                              std::uint8_t fraction_lost,
                                              std::optional<std::int64_t> rtt_us,
                                              std::int64_t now_us) {
    Receiver* r = receiver_at(receiver);
    if (!r) return;
    r->heard = true;
    counts_.receiver_reports += 1;
    r->rate.on_receiver_report(fraction_lost, rtt_us, now_us);
    update_target(now_us);
}

void CongestionController::update_target(std::int64_t now_us) {
    std::optional<std::int64_t> lowest;
    for (const Receiver& r : receivers_)
        if (r.heard) lowest = std::min(lowest.value_or(r.rate.target_bps()), r.rate.target_bps());
    const std::int64_t target = lowest.value_or(target_bps_);
    if (target == target_bps_) return;
    target_bps_ = target;
    counts_.target_changes += 1;
    pacer_.set_rate(static_cast<std::uint64_t>(target), now_us);
}

}  // namespace talmiro_media
