// Transport-wide feedback read back into send times, sizes and arrivals.
#include "talmiro_media/sent_packet_log.hpp"

#include <gtest/gtest.h>

using namespace talmiro_media;

namespace {

TransportFeedbackStatus got(std::uint16_t seq, std::int64_t after_us) { return {seq, after_us}; }
TransportFeedbackStatus lost(std::uint16_t seq) { return {seq, std::nullopt}; }

}  // namespace

TEST(SentPacketLog, ReadsFeedbackInSendOrderAndLeavesOutWhatItNeverSentOrLongForgot) {
    SentPacketLog log(1'000'000);
    log.sent(65534, 1200, 10'000);
    log.sent(0, 300, 5'000);       // a repair stamped later, sent first
    log.sent(65535, 900, 11'000);
    log.sent(2, 100, 0);            // too old by the time feedback names it
    RtcpTransportFeedback fb;
    fb.reference_time = 3;
    fb.statuses = {got(65534, 500), lost(65535), got(0, 250), lost(1), got(2, 0)};
    std::vector<PacketFeedback> out;
    log.feedback_of(fb, 1'000'001, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].send_us, 5'000);
    EXPECT_EQ(out[0].arrival_us, 3 * 64'000 + 250);
    EXPECT_EQ(out[1].bytes, 1200u);
    EXPECT_FALSE(out[2].arrival_us.has_value());
    EXPECT_EQ(log.counts(), (SentPacketLog::Counts{4, 5, 2}));
}

TEST(SentPacketLog, ReferenceTimesStayOnOneLineAcrossTheWireWrap) {
    SentPacketLog log;
    log.sent(7, 100, 0);
    std::vector<PacketFeedback> out;
    std::vector<std::int64_t> arrivals;
    // The newest, a wrap forward, then a late message from before the wrap.
    for (std::uint32_t ref : {0xFFFFFEu, 0x000001u, 0xFFFFFFu}) {
        RtcpTransportFeedback fb;
        fb.reference_time = ref;
        fb.statuses = {got(7, 0)};
        log.feedback_of(fb, 1, out);
        arrivals.push_back(*out.at(0).arrival_us);
    }
    EXPECT_EQ(arrivals[1] - arrivals[0], 3 * 64'000);
    EXPECT_EQ(arrivals[2] - arrivals[0], 64'000);
}
