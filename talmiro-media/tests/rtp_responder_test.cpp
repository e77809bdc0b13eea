// Tests of the sender's feedback answers: IDR requests coalesce, resends are limited and paced.
#include "talmiro_media/rtp_responder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace talmiro_media;

// Requests coalesce while the IDR picture asked for is unsent (up to the pending limit) and
// for one round trip after an IDR picture went out; the measured round trip replaces the
// default one.
TEST(RtpResponder, IdrRequestsCoalesce) {
    RtpResponder r;  // default round trip 100 ms, pending limit 1 s
    struct Step {
        std::int64_t now;
        char what;  // R: request, S: an IDR picture sent
        std::optional<std::int64_t> rtt;
        bool asks;
    };
    const std::vector<Step> steps{
        {0, 'R', {}, true},              // the first asks
        {5'000, 'R', {}, false},         // pending
        {40'000, 'S', {}, false},        // sent
        {139'999, 'R', {}, false},       // within the default round trip of it
        {140'000, 'R', {}, true},        // after it
        {1'139'999, 'R', {}, false},     // still pending, unanswered
        {1'140'000, 'R', {}, true},      // given up on: asks again
        {1'200'000, 'S', {}, false},
        {1'210'000, 'R', 20'000, false},  // within the measured round trip
        {1'220'000, 'R', 20'000, true},
    };
    std::string got, want;
    for (const Step& s : steps) {
        if (s.what == 'S') {
            r.idr_sent(s.now);
            continue;
        }
        got += r.request_idr(s.now, s.rtt) ? 'A' : '.';
        want += s.asks ? 'A' : '.';
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(r.stats().idr_requests, 8u);

    // The stream's first picture holds no request back; any other IDR picture does.
    for (const bool first : {true, false}) {
        RtpResponder s;
        s.idr_sent(0, first);
        EXPECT_EQ(s.request_idr(1'000, {}), first);
    }
    EXPECT_EQ(r.stats().idr_requests_coalesced, 4u);
    EXPECT_TRUE(r.idr_pending(1'220'001));
}

// Each packet is resent at most max_resends times per receiver; the budget starts full, is spent
// by what was resent, and refills at twice the media rate of the last second (at least the
// minimum rate), never above the burst.
TEST(RtpResponder, ResendsAreLimitedAndPaced) {
    RtpResponderConfig c;
    c.max_resends = 2;
    c.resend_min_rate = 10'000;
    c.resend_burst = 3'000;
    RtpResponder r(c);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(r.may_resend(1, 7, 0), ResendVerdict::Resend);
        r.resent(1, 7, 100);
    }
    EXPECT_EQ(r.may_resend(1, 7, 0), ResendVerdict::Limited);
    EXPECT_EQ(r.may_resend(2, 7, 0), ResendVerdict::Resend);  // another receiver
    EXPECT_EQ(r.may_resend(1, 8, 0), ResendVerdict::Resend);
    r.resent(1, 8, 2'900);
    EXPECT_EQ(r.may_resend(1, 9, 0), ResendVerdict::OverBudget);
    // 100 bytes in debt; 10 ms at the minimum rate of 10 kB/s bring 100 bytes back: not yet.
    EXPECT_EQ(r.may_resend(1, 9, 10'000), ResendVerdict::OverBudget);
    EXPECT_EQ(r.may_resend(1, 9, 20'000), ResendVerdict::Resend);
    EXPECT_DOUBLE_EQ(r.budget(), 100.0);
    // 50 kB of media in the last second: 100 kB/s, so 10 ms brings 1,000 bytes.
    r.media_sent(20'000, 50'000);
    EXPECT_EQ(r.may_resend(1, 9, 30'000), ResendVerdict::Resend);
    EXPECT_DOUBLE_EQ(r.budget(), 1'100.0);
    // More than a second later that media no longer counts; the burst caps the budget.
    EXPECT_EQ(r.may_resend(1, 9, 2'000'000), ResendVerdict::Resend);
    r.media_sent(2'000'000, 10);
    EXPECT_DOUBLE_EQ(r.budget(), 3'000.0);
    EXPECT_EQ(r.stats().resends, 3u);
    EXPECT_EQ(r.stats().resend_limited, 1u);
    EXPECT_EQ(r.stats().resend_over_budget, 2u);

    // The counts are bounded: the oldest go first.
    c.max_resend_entries = 8;
    c.resend_burst = 1e9;
    RtpResponder small(c);
    for (std::uint16_t seq = 0; seq < 9; ++seq) {
        small.resent(1, seq, 1);
        small.resent(1, seq, 1);
    }
    EXPECT_EQ(small.may_resend(1, 0, 0), ResendVerdict::Resend);  // forgotten
    EXPECT_EQ(small.may_resend(1, 8, 0), ResendVerdict::Limited);
}
