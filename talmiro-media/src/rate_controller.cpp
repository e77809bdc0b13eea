// The target bitrate from transport-wide feedback, receiver reports and REMB.
#include "talmiro_media/rate_controller.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

namespace {
constexpr std::int64_t kMaxRttUs = 10'000'000;
constexpr std::int64_t kMaxBps = 10'000'000'000;
}  // namespace

RateController::RateController(const Config& config) noexcept
    : config_(config),
      groups_(config.groups),
      trendline_(config.trendline),
      detector_(config.detector),
      queue_(config.queue),
      delivered_(config.delivered),
      aimd_(config.start_bps, config.min_bps, config.max_bps, config.aimd),
      loss_based_(config.start_bps, config.min_bps, config.max_bps, config.loss),
      target_bps_(aimd_.bitrate_bps()) {
    config_.min_bps = std::max<std::int64_t>(config_.min_bps, 1);
    config_.max_bps = std::max(config_.min_bps, config_.max_bps);
    config_.loss_window_packets = std::max<std::uint32_t>(config_.loss_window_packets, 1);
}

BandwidthUsage RateController::read_packets(std::span<const PacketFeedback> packets,
                                            MessageLoss& loss,
                                            std::optional<std::int64_t>& newest_send_us) {
    bool overused = false;
    for (const PacketFeedback& p : packets) {
        ++loss.expected;
        if (!p.arrival_us) {
            ++loss.lost;
            ++counts_.packets_lost;
            continue;
        }
        ++counts_.packets_acked;
        newest_send_us = std::max(newest_send_us.value_or(p.send_us), p.send_us);
        delivered_.add(*p.arrival_us, std::min(p.bytes, config_.max_packet_bytes));
        queue_.add(p.send_us, *p.arrival_us);
        const auto delta = groups_.add(p.send_us, *p.arrival_us);
        if (!delta) continue;
        const double trend = trendline_.update(*delta);
        const double send_delta_ms = static_cast<double>(delta->send_delta_us) / 1000.0;
        overused |= detector_.detect(trend, send_delta_ms, delta->arrival_us) ==
                    BandwidthUsage::overusing;
    }
    queue_.end_message();
    return overused ? BandwidthUsage::overusing : detector_.usage();
}

void RateController::on_transport_feedback(std::span<const PacketFeedback> packets,
                                           std::int64_t now_us) {
    ++counts_.feedback_messages;
    if (packets.size() > config_.max_feedback_packets) {
        counts_.refused += packets.size() - config_.max_feedback_packets;
        packets = packets.first(config_.max_feedback_packets);
    }
    last_feedback_us_ = now_us;
    MessageLoss loss{0, 0};
    std::optional<std::int64_t> newest_send;
    const BandwidthUsage usage =
        with_standing_queue(read_packets(packets, loss, newest_send), now_us);
    if (newest_send) note_feedback_rtt(*newest_send, now_us);
    judge_feedback_loss(loss, now_us);
    aimd_.update({usage, delivered_.bps(), queue_.current_us()}, now_us);
    update_target(now_us);
}

BandwidthUsage RateController::with_standing_queue(BandwidthUsage usage,
                                                   std::int64_t now_us) const noexcept {
    if (usage != BandwidthUsage::normal || queue_.current_us() <= config_.max_queue_delay_us) {
        return usage;
    }
    const auto last_cut = aimd_.last_cut_us();
    if (last_cut && saturating_sub(now_us, *last_cut) < config_.standing_queue_patience_us) {
        return usage;
    }
    return BandwidthUsage::overusing;
}

void RateController::judge_feedback_loss(MessageLoss message, std::int64_t now_us) {
    if (message.expected == 0) return;
    message.at_us = now_us;
    loss_window_.push_back(message);
    window_expected_ += message.expected;
    window_lost_ += message.lost;
    while (window_expected_ - loss_window_.front().expected >= config_.loss_window_packets) {
        window_expected_ -= loss_window_.front().expected;
        window_lost_ -= loss_window_.front().lost;
        loss_window_.pop_front();
    }
    const bool spans =
        saturating_sub(now_us, loss_window_.front().at_us) >= config_.loss_window_us &&
        window_expected_ >= config_.loss_window_min_packets;
    if (window_expected_ < config_.loss_window_packets && !spans) return;
    loss_ = static_cast<double>(window_lost_) / static_cast<double>(window_expected_);
    const std::int64_t before = loss_based_.bitrate_bps();
    if (loss_based_.update(loss_, target_bps_, rtt_us_.value_or(0), now_us) < before &&
        loss_ > config_.loss.high) {
        // The loss this cut answered is not judged again.
        loss_window_.clear();
        window_expected_ = window_lost_ = 0;
    }
}

void RateController::note_feedback_rtt(std::int64_t newest_send_us, std::int64_t now_us) noexcept {
    // The time from sending the newest packet acknowledged to hearing of it: a round trip
    // plus the receiver's wait before its feedback. Used only when no round trip is given.
    if (rtt_given_) return;
    const std::int64_t sample = saturating_sub(now_us, newest_send_us);
    if (sample < 0 || sample > kMaxRttUs) return;
    set_rtt(rtt_us_ ? *rtt_us_ + (sample - *rtt_us_) / 8 : sample);
}

void RateController::set_rtt(std::int64_t rtt_us) noexcept {
    rtt_us_ = rtt_us;
    aimd_.set_rtt(rtt_us);
}

void RateController::on_receiver_report(std::uint8_t fraction_lost,
                                        std::optional<std::int64_t> rtt_us,
                                        std::int64_t now_us) noexcept {
    ++counts_.receiver_reports;
    if (rtt_us) on_rtt(*rtt_us, now_us);
    if (delay_based(now_us)) return;
    loss_ = static_cast<double>(fraction_lost) / 256.0;
    loss_based_.update(loss_, target_bps_, rtt_us_.value_or(0), now_us);
    update_target(now_us);
}

void RateController::on_remb(std::int64_t bps, std::int64_t now_us) noexcept {
    if (bps < 0 || bps > kMaxBps) {
        ++counts_.refused;
        return;
    }
    remb_bps_ = bps;
    update_target(now_us);
}

void RateController::on_rtt(std::int64_t rtt_us, std::int64_t /*now_us*/) noexcept {
    if (rtt_us < 0 || rtt_us > kMaxRttUs) {
        ++counts_.refused;
        return;
    }
    rtt_given_ = true;
    set_rtt(rtt_us);
}

bool RateController::delay_based(std::int64_t now_us) const noexcept {
    return last_feedback_us_ &&
           saturating_sub(now_us, *last_feedback_us_) <= config_.feedback_timeout_us;
}

void RateController::update_target(std::int64_t now_us) noexcept {
    // With transport-wide feedback the loss-based rate counts once the window first filled.
    std::int64_t target = loss_based_.bitrate_bps();
    if (delay_based(now_us)) {
        target = loss_based_.judged() ? std::min(target, aimd_.bitrate_bps()) : aimd_.bitrate_bps();
    }
    if (remb_bps_) target = std::min(target, *remb_bps_);
    target_bps_ = std::clamp(target, config_.min_bps, config_.max_bps);
}

RateController::Stats RateController::stats() const noexcept {
    Stats s = counts_;
    s.target_bps = target_bps_;
    s.state = aimd_.state();
    s.usage = detector_.usage();
    s.delay_based_bps = aimd_.bitrate_bps();
    s.loss_based_bps = loss_based_.bitrate_bps();
    s.remb_bps = remb_bps_;
    s.trend_ms = trendline_.scaled_trend_ms();
    s.threshold_ms = detector_.threshold_ms();
    s.queue_delay_us = queue_.current_us();
    s.loss = loss_;
    s.acked_bps = delivered_.bps();
    s.rtt_us = rtt_us_;
    return s;
}

}  // namespace talmiro_media
