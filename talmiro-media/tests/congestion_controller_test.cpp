// The stream's target from several receivers, and feedback found back through the log.
#include "talmiro_media/congestion_controller.hpp"

#include <gtest/gtest.h>

#include "talmiro_media/transport_feedback_builder.hpp"

using namespace talmiro_media;

namespace {

CongestionController make(std::size_t receivers) {
    CongestionControllerConfig c;
    c.receivers = receivers;
    c.rate.start_bps = 1'000'000;
    c.rate.min_bps = 100'000;
    c.rate.max_bps = 2'000'000;
    auto made = CongestionController::create(c);
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
}

}  // namespace

TEST(CongestionController, RefusesWhatCannotControl) {
    CongestionControllerConfig c;
    c.receivers = 0;
    EXPECT_FALSE(CongestionController::create(c).has_value());
    c.receivers = 1;
    c.rate.min_bps = c.rate.start_bps + 1;
    EXPECT_FALSE(CongestionController::create(c).has_value());
}

TEST(CongestionController, TheLossiestReceiverHeardSetsTheTargetAndThePacerFollows) {
    CongestionController cc = make(3);
    std::int64_t now = 0;
    for (int i = 0; i < 5; ++i, now += 1'000'000) {
        cc.on_receiver_report(1, 128, 40'000, now);  // half lost
        cc.on_receiver_report(2, 0, 40'000, now);
    }
    cc.on_receiver_report(9, 0, std::nullopt, now);  // no such receiver
    EXPECT_LT(cc.target_bps(), 600'000);
    EXPECT_EQ(cc.target_bps(), cc.receiver(1).target_bps());
    EXPECT_GT(cc.receiver(2).target_bps(), cc.target_bps());
    EXPECT_EQ(cc.pacer_stats(now).target_bps, static_cast<std::uint64_t>(cc.target_bps()));
    EXPECT_EQ(cc.counts().refused, 1u);
}

TEST(CongestionController, TransportFeedbackFindsThePacketsThatLeft) {
    CongestionController cc = make(1);
    auto builder = TransportFeedbackBuilder::create({.sender_ssrc = 1, .media_ssrc = 2});
    ASSERT_TRUE(builder.has_value());
    std::vector<CongestionController::Handle> due;
    for (std::uint16_t seq = 100; seq < 120; ++seq) {
        const std::int64_t now = seq * 10'000;
        cc.push(seq, 1000, PacketKind::media, now);
        due.clear();
        cc.pop_due(now, due);
        ASSERT_EQ(due, std::vector<CongestionController::Handle>{seq});
        cc.sent(seq, 1000, now);
        if (seq != 110) builder->packet_arrived(seq, now + 30'000);
    }
    for (const RtcpTransportFeedback& fb : builder->build()) cc.on_rtcp(0, fb, 1'300'000);
    cc.on_rtcp(0, RtcpPli{}, 1'300'000);  // not for congestion control
    const RateController::Stats s = cc.receiver(0).stats();
    EXPECT_EQ(s.packets_acked + s.packets_lost, 20u);
    EXPECT_EQ(s.packets_lost, 1u);
    EXPECT_EQ(cc.counts().transport_feedback, 1u);
    EXPECT_EQ(cc.log_counts().unknown, 0u);
}
