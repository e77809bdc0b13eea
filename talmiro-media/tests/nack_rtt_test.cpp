// Tests of the NACK round trip: samples, smoothing, and requests forgotten by count and age.
#include "talmiro_media/nack_rtt.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace talmiro_media;

TEST(NackRtt, SamplesAndSmoothing) {
    NackRtt rtt;
    EXPECT_EQ(rtt.rtt_us(), std::nullopt);
    rtt.nack_sent(std::vector<std::uint16_t>{10, 11, 65535}, 1'000);
    EXPECT_EQ(rtt.retransmission(65535, 41'000), 40'000);
    EXPECT_EQ(rtt.retransmission(10, 81'000), 80'000);
    // 40000 + (80000 - 40000) / 8.
    EXPECT_EQ(rtt.rtt_us(), 45'000);
    EXPECT_EQ(rtt.latest_us(), 80'000);
    // Answered once: a second copy matches nothing.
    EXPECT_EQ(rtt.retransmission(10, 90'000), std::nullopt);
    // Asked twice: no sample, whichever request it answers.
    rtt.nack_sent(std::vector<std::uint16_t>{11}, 50'000);
    EXPECT_EQ(rtt.retransmission(11, 95'000), std::nullopt);
    EXPECT_EQ(rtt.counts(), (NackRtt::Counts{2, 1, 1}));
    EXPECT_EQ(rtt.rtt_us(), 45'000);

    // A copy within the window is timed from the first request; a repeat beyond it is not.
    NackRtt copies(NackRtt::Config{.copy_window_us = 5'000});
    copies.nack_sent(std::vector<std::uint16_t>{7, 8}, 0);
    copies.nack_sent(std::vector<std::uint16_t>{7, 8}, 5'000);
    copies.nack_sent(std::vector<std::uint16_t>{8}, 5'001);
    EXPECT_EQ(copies.retransmission(7, 30'000), 30'000);
    EXPECT_EQ(copies.retransmission(8, 30'000), std::nullopt);
}

TEST(NackRtt, RequestsAreForgottenByCountAndAge) {
    NackRtt rtt(NackRtt::Config{2, 1'000'000});
    rtt.nack_sent(std::vector<std::uint16_t>{1, 2, 3}, 0);
    EXPECT_EQ(rtt.retransmission(1, 10), std::nullopt);
    EXPECT_EQ(rtt.retransmission(2, 20), 20);
    // The same number after the wrap, long after it was asked for.
    EXPECT_EQ(rtt.retransmission(3, 1'000'001), std::nullopt);
    EXPECT_EQ(rtt.counts(), (NackRtt::Counts{1, 0, 2}));
}
