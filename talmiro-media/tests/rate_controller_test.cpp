// The rate controller driven through a simulated bottleneck (minutes of simulated time): the
// steady cap below the stream, the RFC 8867 capacity steps, no cap, random loss that is not
// congestion, a peer with receiver reports only, REMB; and what it does with feedback that
// makes no sense. Each scenario prints its figures and asserts only its bounds.
#include "talmiro_media/rate_controller.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "simulated_bottleneck.hpp"

using namespace talmiro_media;
using bottleneck_sim::Config;
using bottleneck_sim::SimulatedBottleneck;
using bottleneck_sim::Trace;

namespace {

constexpr std::int64_t kS = 1'000'000;

RateController::Config bounds(std::int64_t start, std::int64_t max) {
    RateController::Config c;
    c.start_bps = start;
    c.min_bps = 100'000;
    c.max_bps = max;
    return c;
}

Trace run(const Config& path, RateController& controller, std::int64_t duration_us) {
    return SimulatedBottleneck(path).run(controller, duration_us);
}

// The lowest and highest of the one-second sending rates in [from, to).
std::pair<double, double> sent_range(const Trace& trace, std::int64_t from, std::int64_t to) {
    double low = std::numeric_limits<double>::max();
    double high = 0;
    for (std::int64_t t = from; t < to; t += kS) {
        low = std::min(low, trace.sent_bps(t, t + kS));
        high = std::max(high, trace.sent_bps(t, t + kS));
    }
    return {low, high};
}

}  // namespace

TEST(RateControllerScenario, SteadyCapBelowTheStream) {
    Config path;
    path.capacity = {{0, 1'000'000}};
    RateController controller(bounds(300'000, 2'000'000));
    const Trace trace = run(path, controller, 60 * kS);
    const double share = trace.sent_bps(5 * kS, 60 * kS) / 1e6;
    const auto [low, high] = sent_range(trace, 5 * kS, 60 * kS);
    const std::int64_t p95 = trace.queue_quantile_us(5 * kS, 60 * kS, 0.95);
    std::printf("steady 1000k: sending %.1f %% of the cap from 5 s (1-s windows %.0f..%.0f "
                "kbit/s), queue p95 %.1f ms, loss %.2f %%\n",
                share * 100, low / 1e3, high / 1e3, p95 / 1e3,
                trace.lost_share(5 * kS, 60 * kS) * 100);
    EXPECT_GE(share, 0.80);
    EXPECT_LE(share, 1.00);
    EXPECT_LE(p95, 50'000);
    // What the controller says of the path agrees with it.
    const RateController::Stats s = controller.stats();
    ASSERT_TRUE(s.acked_bps);
    EXPECT_NEAR(static_cast<double>(*s.acked_bps), 1e6, 1.5e5);
    EXPECT_LT(s.queue_delay_us, 60'000);
    EXPECT_LT(s.loss, 0.02);
    EXPECT_EQ(s.target_bps, std::min(s.delay_based_bps, s.loss_based_bps));
    ASSERT_TRUE(s.rtt_us);
    EXPECT_GT(*s.rtt_us, 100'000);
    EXPECT_LT(*s.rtt_us, 250'000);
}

TEST(RateControllerScenario, CapacitySteps) {
    Config path;
    path.capacity = {
        {0, 1'000'000}, {40 * kS, 2'500'000}, {60 * kS, 600'000}, {80 * kS, 1'000'000}};
    RateController controller(bounds(300'000, 3'000'000));
    const Trace trace = run(path, controller, 100 * kS);
    const std::int64_t steps[] = {0, 40 * kS, 60 * kS, 80 * kS, 100 * kS};
    const double caps[] = {1e6, 2.5e6, 0.6e6, 1e6};
    for (int i = 0; i < 4; ++i) {
        const double used = trace.delivered_bps(steps[i] + 5 * kS, steps[i + 1]) / caps[i];
        std::printf("steps: %.1f Mbit/s from %lld s: utilisation %.1f %% after 5 s, "
                    "queue p95 %.1f ms\n",
                    caps[i] / 1e6, static_cast<long long>(steps[i] / kS), used * 100,
                    trace.queue_quantile_us(steps[i], steps[i + 1], 0.95) / 1e3);
        EXPECT_GE(used, 0.80) << "step " << i;
        EXPECT_LE(used, 1.00) << "step " << i;
    }
    const std::int64_t settled = trace.settled_after_us(60 * kS, 80 * kS, 100'000);
    const auto reached = trace.target_reached_us(40 * kS, 2'000'000);
    std::printf("steps: queue p95 over the run %.1f ms; after the drop to 0.6 the queue stays "
                "under 100 ms from %.2f s; after the rise to 2.5 the target is at 2.0 Mbit/s "
                "in %.2f s\n",
                trace.queue_quantile_us(0, 100 * kS, 0.95) / 1e3, settled / 1e6,
                reached ? (*reached - 40 * kS) / 1e6 : -1.0);
    EXPECT_LE(settled, 1 * kS);
    ASSERT_TRUE(reached);
    EXPECT_LE(*reached - 40 * kS, 5 * kS);
}

TEST(RateControllerScenario, NoCapReachesTheCeiling) {
    Config path;
    RateController controller(bounds(300'000, 2'000'000));
    const Trace trace = run(path, controller, 20 * kS);
    const auto reached = trace.target_reached_us(0, 2'000'000);
    std::printf("no cap: ceiling reached at %.2f s, then %lld..%lld kbit/s\n",
                reached ? *reached / 1e6 : -1.0,
                static_cast<long long>(trace.min_target_bps(5 * kS, 20 * kS) / 1000),
                static_cast<long long>(trace.max_target_bps(5 * kS, 20 * kS) / 1000));
    ASSERT_TRUE(reached);
    EXPECT_LE(*reached, 5 * kS);
    EXPECT_EQ(trace.min_target_bps(5 * kS, 20 * kS), 2'000'000);
}

TEST(RateControllerScenario, RandomLossIsNotCongestion) {
    Config path;
    path.random_loss = 0.02;
    path.seed = 3;
    RateController controller(bounds(300'000, 2'000'000));
    const Trace trace = run(path, controller, 60 * kS);
    const std::int64_t low = trace.min_target_bps(5 * kS, 60 * kS);
    std::printf("2 %% random loss, no cap: target from 5 s at least %lld kbit/s (%.1f %% of the "
                "ceiling), measured loss %.2f %%\n",
                static_cast<long long>(low / 1000), low / 2e4, trace.lost_share(0, 60 * kS) * 100);
    EXPECT_GE(low, 1'600'000);
}

TEST(RateControllerScenario, ReceiverReportsOnlyFollowTheCap) {
    Config path;
    path.capacity = {{0, 1'000'000}};
    path.transport_feedback = false;
    RateController controller(bounds(2'000'000, 2'000'000));
    const Trace trace = run(path, controller, 90 * kS);
    const std::int64_t low = trace.min_target_bps(20 * kS, 90 * kS);
    const std::int64_t high = trace.max_target_bps(20 * kS, 90 * kS);
    std::printf("receiver reports only, 1000k cap: target from 20 s %lld..%lld kbit/s, delivered "
                "%.0f kbit/s, loss %.1f %%, queue p95 %.0f ms\n",
                static_cast<long long>(low / 1000), static_cast<long long>(high / 1000),
                trace.delivered_bps(20 * kS, 90 * kS) / 1e3,
                trace.lost_share(20 * kS, 90 * kS) * 100,
                trace.queue_quantile_us(20 * kS, 90 * kS, 0.95) / 1e3);
    EXPECT_GE(low, 700'000);
    EXPECT_LE(high, 1'200'000);
}

TEST(RateControllerScenario, RembCapsTheTarget) {
    Config path;
    RateController controller(bounds(300'000, 2'000'000));
    controller.on_remb(800'000, 0);
    const Trace trace = run(path, controller, 20 * kS);
    std::printf("REMB 800k, no cap: target %lld..%lld kbit/s from 5 s\n",
                static_cast<long long>(trace.min_target_bps(5 * kS, 20 * kS) / 1000),
                static_cast<long long>(trace.max_target_bps(0, 20 * kS) / 1000));
    EXPECT_LE(trace.max_target_bps(0, 20 * kS), 800'000);
    EXPECT_EQ(trace.min_target_bps(5 * kS, 20 * kS), 800'000);
}

TEST(RateController, ReceiverReportsCountOnlyWithoutTransportFeedback) {
    RateController controller(bounds(1'000'000, 2'000'000));
    // A peer with receiver reports only: 30 % loss cuts the rate (x 0.85), a clean one grows it.
    controller.on_receiver_report(77, 100'000, 1 * kS);
    EXPECT_EQ(controller.target_bps(), 849'609);
    controller.on_receiver_report(0, std::nullopt, 2 * kS);
    EXPECT_EQ(controller.target_bps(), 893'089);
    // Once transport-wide feedback comes, reports' loss is left to it; their round trip is used.
    std::vector<PacketFeedback> packets;
    for (int i = 0; i < 20; ++i) packets.push_back({2 * kS + i * 5'000, 9 * kS + i * 5'000, 1200});
    controller.on_transport_feedback(packets, 2 * kS + 150'000);
    const std::int64_t before = controller.target_bps();
    controller.on_receiver_report(255, 120'000, 2 * kS + 200'000);
    EXPECT_EQ(controller.target_bps(), before);
    const RateController::Stats s = controller.stats();
    EXPECT_EQ(s.rtt_us, 120'000);
    EXPECT_EQ(s.receiver_reports, 3u);
    EXPECT_EQ(s.packets_acked, 20u);
}

TEST(RateController, NonsenseFromTheNetworkStaysInBounds) {
    RateController::Config config = bounds(500'000, 2'000'000);
    config.max_feedback_packets = 64;
    RateController controller(config);
    std::mt19937 rng(3);
    std::uniform_int_distribution<std::int64_t> any(INT64_MIN, INT64_MAX);
    std::vector<PacketFeedback> packets(100);
    for (int round = 0; round < 200; ++round) {
        for (PacketFeedback& p : packets) {
            p.send_us = round % 2 ? any(rng) : round * 10'000 + (any(rng) & 0xffff);
            p.arrival_us = any(rng) % 3 ? std::optional<std::int64_t>(any(rng)) : std::nullopt;
            p.bytes = static_cast<std::size_t>(any(rng));
        }
        controller.on_transport_feedback(packets, any(rng));
        controller.on_remb(any(rng), any(rng));
        controller.on_rtt(any(rng), any(rng));
        controller.on_receiver_report(static_cast<std::uint8_t>(any(rng)), any(rng), any(rng));
        ASSERT_GE(controller.target_bps(), 100'000);
        ASSERT_LE(controller.target_bps(), 2'000'000);
    }
    const RateController::Stats s = controller.stats();
    // 36 packets beyond the bound of each message, and most rates and round trips refused.
    EXPECT_GE(s.refused, 200u * 36);
    EXPECT_EQ(s.packets_acked + s.packets_lost, 200u * 64);
}

TEST(RateController, StandingQueueCountsAsOveruse) {
    // Feedback of a stream at 1 Mbit/s whose packets wait 100 ms more than the first ones did,
    // steadily: no trend, but a queue that does not drain.
    auto drive = [](std::int64_t max_queue_delay_us) {
        RateController::Config config = bounds(1'000'000, 2'000'000);
        config.max_queue_delay_us = max_queue_delay_us;
        RateController controller(config);
        std::vector<PacketFeedback> packets(10);
        for (int m = 0; m < 100; ++m) {
            const std::int64_t wait = m < 5 ? 0 : 100'000;
            for (int i = 0; i < 10; ++i) {
                const std::int64_t send = m * 100'000 + i * 10'000;
                packets[i] = {send, send + 50'000 + wait, 1250};
            }
            controller.on_transport_feedback(packets, m * 100'000 + 200'000);
        }
        return controller.stats();
    };
    const RateController::Stats standing = drive(60'000);
    const RateController::Stats ignored = drive(1'000'000);
    EXPECT_EQ(standing.queue_delay_us, 100'000);
    std::printf("standing queue of 100 ms for 9.5 s: target %lld kbit/s, %lld when ignored\n",
                static_cast<long long>(standing.target_bps / 1000),
                static_cast<long long>(ignored.target_bps / 1000));
    // Each cut drains it within half a second: 0.85 - 100/500 of the delivered 1 Mbit/s.
    EXPECT_LE(standing.target_bps, 700'000);
    EXPECT_GT(ignored.target_bps, 800'000);
}

TEST(RateController, ASparseStreamGrowsAgainSoonAfterALossCut) {
    // 20 packets a second: a burst of loss cuts the rate, then clean feedback must not wait
    // for 100 packets (5 s) of it before the rate grows again.
    RateController controller(bounds(1'000'000, 2'000'000));
    std::int64_t cut_at = 0, cut_bps = 0, grown_at = 0;
    for (int i = 0; i < 200 && !grown_at; ++i) {
        const std::int64_t sent = kS + i * 50'000;
        const bool lost = i >= 100 && i < 120 && i % 4 != 0;  // most of one second lost
        std::vector<PacketFeedback> one{{sent, lost ? std::nullopt : std::optional(sent + 20'000),
                                         1200}};
        controller.on_transport_feedback(one, sent + 40'000);
        if (!cut_at && i >= 100 && controller.stats().loss_based_bps < 900'000) {
            cut_at = sent;
            cut_bps = controller.stats().loss_based_bps;
        } else if (cut_at && controller.stats().loss_based_bps > cut_bps) {
            grown_at = sent;
        }
    }
    ASSERT_GT(cut_at, 0);
    ASSERT_GT(grown_at, 0);
    EXPECT_LT(grown_at - cut_at, 2 * kS);
}
