// The sender's target bitrate, from what the receiver says of the packets: delay-based when
// transport-wide feedback comes (the trend of the one-way delay says whether the path's queue
// fills, the rate follows it), loss-based always (from the feedback's losses, or from the loss
// fraction of receiver reports for a peer that sends no transport-wide feedback), capped by
// the receiver's REMB, and kept between `min_bps` and `max_bps` (the encoder's bitrate).
// Pure arithmetic; every time is passed in (µs: `now_us` and send times on the sender's
// monotonic clock, arrival times on the receiver's, whose origin does not matter).
//
// The pieces, each a unit of its own: ArrivalGroups and TrendlineEstimator make the delay
// trend, OveruseDetector judges it, QueueingDelay says how long the queue is, AckedRate what
// the path delivered, AimdRateControl moves the delay-based rate, LossBasedControl the
// loss-based one. A queue that stays over `max_queue_delay_us` without draining for
// `standing_queue_patience_us` after the last cut counts as over-use, even if its delay no
// longer grows (what a trend cannot see). The round trip is the latest given (on_rtt, a
// receiver report's); until one is, the time from sending the newest packet a feedback
// message acknowledges to that message's arrival stands for it.
//
// Everything here comes from the network: a feedback message is read up to
// `max_feedback_packets`, sizes above `max_packet_bytes` are taken as that, rates and round
// trips out of range are refused and counted. Memory is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "talmiro_media/acked_rate.hpp"
#include "talmiro_media/aimd_rate_control.hpp"
#include "talmiro_media/arrival_groups.hpp"
#include "talmiro_media/bandwidth_usage.hpp"
#include "talmiro_media/loss_based_control.hpp"
#include "talmiro_media/overuse_detector.hpp"
#include "talmiro_media/packet_feedback.hpp"
#include "talmiro_media/queueing_delay.hpp"
#include "talmiro_media/rate_control_state.hpp"
#include "talmiro_media/trendline_estimator.hpp"

namespace talmiro_media {

class RateController {
public:
    struct Config {
        std::int64_t start_bps = 300'000;
        std::int64_t min_bps = 100'000;
        std::int64_t max_bps = 2'000'000;
        std::int64_t max_queue_delay_us = 60'000;
        std::int64_t standing_queue_patience_us = 1'000'000;
        // Losses in transport-wide feedback are judged at each message over the latest
        // messages that hold at least this many packets.
        std::uint32_t loss_window_packets = 100;
        // A sparse stream's window is judged before it is full, once its messages span
        // `loss_window_us` and hold `loss_window_min_packets`. A cut for loss starts the window
        // afresh: the loss it answered is not judged again.
        std::int64_t loss_window_us = 1'000'000;
        std::uint32_t loss_window_min_packets = 20;
        std::size_t max_feedback_packets = 4096;
        std::size_t max_packet_bytes = 65'535;
        // Receiver reports' loss is left to transport-wide feedback while it keeps coming.
        std::int64_t feedback_timeout_us = 3'000'000;
        ArrivalGroups::Config groups;
        TrendlineEstimator::Config trendline;
        OveruseDetector::Config detector;
        QueueingDelay::Config queue;
        AckedRate::Config delivered;
        AimdRateControl::Tuning aimd;
        LossBasedControl::Tuning loss;
    };

    struct Stats {
        std::int64_t target_bps = 0;
        RateControlState state = RateControlState::hold;
        BandwidthUsage usage = BandwidthUsage::normal;
        std::int64_t delay_based_bps = 0;
        std::int64_t loss_based_bps = 0;
        std::optional<std::int64_t> remb_bps;
        // The scaled delay trend and the threshold it is judged against (ms).
        double trend_ms = 0.0;
        double threshold_ms = 0.0;
        std::int64_t queue_delay_us = 0;
        // The latest loss fraction judged (0..1).
        double loss = 0.0;
        std::optional<std::int64_t> acked_bps;
        std::optional<std::int64_t> rtt_us;
        std::uint64_t feedback_messages = 0;
        std::uint64_t packets_acked = 0;
        std::uint64_t packets_lost = 0;
        std::uint64_t receiver_reports = 0;
        // Packets beyond a message's bound, rates and round trips out of range.
        std::uint64_t refused = 0;
    };

    RateController() noexcept : RateController(Config{}) {}
    explicit RateController(const Config& config) noexcept;

    // One transport-wide feedback message, in the order the packets were sent, arrived at
    // `now_us`.
    void on_transport_feedback(std::span<const PacketFeedback> packets, std::int64_t now_us);
    // A receiver report's fraction lost (the wire's n/256) and its round trip if known.
    void on_receiver_report(std::uint8_t fraction_lost, std::optional<std::int64_t> rtt_us,
                            std::int64_t now_us) noexcept;
    // The receiver's estimate (REMB): a cap on the target until the next one.
    void on_remb(std::int64_t bps, std::int64_t now_us) noexcept;
    void on_rtt(std::int64_t rtt_us, std::int64_t now_us) noexcept;

    std::int64_t target_bps() const noexcept { return target_bps_; }
    Stats stats() const noexcept;
    const Config& config() const noexcept { return config_; }

private:
    struct MessageLoss {
        std::uint32_t expected;
        std::uint32_t lost;
        std::int64_t at_us = 0;
    };

    // The packets of one feedback message through the estimators: the delay signal, the
    // message's loss, and the send time of the newest packet it acknowledges.
    BandwidthUsage read_packets(std::span<const PacketFeedback> packets, MessageLoss& loss,
                                std::optional<std::int64_t>& newest_send_us);
    BandwidthUsage with_standing_queue(BandwidthUsage usage, std::int64_t now_us) const noexcept;
    void judge_feedback_loss(MessageLoss message, std::int64_t now_us);
    void note_feedback_rtt(std::int64_t newest_send_us, std::int64_t now_us) noexcept;
    void set_rtt(std::int64_t rtt_us) noexcept;
    bool delay_based(std::int64_t now_us) const noexcept;
    void update_target(std::int64_t now_us) noexcept;

    Config config_;
    ArrivalGroups groups_;
    TrendlineEstimator trendline_;
    OveruseDetector detector_;
    QueueingDelay queue_;
    AckedRate delivered_;
    AimdRateControl aimd_;
    LossBasedControl loss_based_;
    std::optional<std::int64_t> remb_bps_;
    std::optional<std::int64_t> rtt_us_;
    bool rtt_given_ = false;
    std::optional<std::int64_t> last_feedback_us_;
    // The latest messages' counts, oldest first: no more than make the window.
    std::deque<MessageLoss> loss_window_;
    std::uint32_t window_expected_ = 0;
    std::uint32_t window_lost_ = 0;
    double loss_ = 0.0;
    std::int64_t target_bps_;
    Stats counts_;
};

}  // namespace talmiro_media
