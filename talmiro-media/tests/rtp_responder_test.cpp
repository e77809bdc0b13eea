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

// Whatever the round trip, requests reach the encoder at most once per minimum interval after
// an IDR picture (the longer of the two holds); the stream's first picture holds none back.
TEST(RtpResponder, IdrPicturesFromRequestsKeepTheMinimumInterval) {
    RtpResponderConfig c;
    c.min_idr_interval_us = 300'000;
    for (const std::int64_t rtt : {500, 450'000}) {
        RtpResponder r(c);
        r.idr_sent(0, true);
        // 200 requests a second for two seconds; the encoder answers 33 ms after it is asked.
        std::vector<std::int64_t> idr_at;
        std::optional<std::int64_t> asked;
        for (std::int64_t now = 1'000; now < 2'000'000; now += 5'000) {
            if (asked && now - *asked >= 33'000) {
                r.idr_sent(now);
                idr_at.push_back(now);
                asked.reset();
            }
            if (r.request_idr(now, rtt)) asked = now;
        }
        const std::int64_t hold = std::max<std::int64_t>(rtt, 300'000);
        ASSERT_FALSE(idr_at.empty());
        EXPECT_LT(idr_at.front(), 40'000) << rtt;  // the first request after the first picture
        for (std::size_t i = 1; i < idr_at.size(); ++i)
            EXPECT_GE(idr_at[i] - idr_at[i - 1], hold) << rtt;
        EXPECT_EQ(r.stats().idr_requests - r.stats().idr_requests_coalesced,
                  idr_at.size() + (asked ? 1 : 0));
        EXPECT_LE(idr_at.size(), static_cast<std::size_t>(2'000'000 / hold + 1)) << rtt;
    }
}

namespace {

// The pairs naming every sequence number, from `start` on.
std::vector<NackPair> every_number(std::uint16_t start = 0) {
    std::vector<NackPair> pairs;
    for (std::uint32_t n = 0; n < 65536; n += 17)
        pairs.push_back({static_cast<std::uint16_t>(start + n), 0xFFFF});
    return pairs;
}

// Answers with packets of `bytes` bytes, noting which were resent.
struct Resender {
    std::vector<std::uint16_t> seqs;
    std::size_t bytes = 100;
    ResendPacket fn() {
        return [this](std::uint16_t seq) {
            seqs.push_back(seq);
            return bytes;
        };
    }
};

}  // namespace

// A NACK naming every number (or more pairs than are read) costs what the history holds, no
// more: the packets held are resent in sequence order across the wrap, the rest are counted.
TEST(RtpResponder, NackIsClippedToTheHistory) {
    RtpResponderConfig c;
    c.max_nack_pairs = 4096;
    c.nack_min_rate = 1e6;
    c.resend_burst = 1e9;
    RtpResponder r(c);
    Resender out;
    const NackAnswer a = r.answer_nack(1, every_number(5), {65500, 100}, 0, out.fn());
    EXPECT_EQ(a, (NackAnswer{.named = 65536, .not_held = 65436, .resent = 100}));
    ASSERT_EQ(out.seqs.size(), 100u);
    for (std::size_t i = 0; i < out.seqs.size(); ++i)
        EXPECT_EQ(out.seqs[i], static_cast<std::uint16_t>(65500 + i));
    // Pairs past the limit are not read; a number named twice counts once.
    RtpResponderConfig d = c;
    d.max_nack_pairs = 2;
    RtpResponder small(d);
    const std::vector<NackPair> pairs{{10, 0x0001}, {11, 0}, {12, 0}};
    Resender few;
    EXPECT_EQ(small.answer_nack(1, pairs, {0, 100}, 0, few.fn()),
              (NackAnswer{.named = 2, .resent = 2, .pairs_dropped = 1}));
    EXPECT_EQ(few.seqs, (std::vector<std::uint16_t>{10, 11}));
    // Nothing held: nothing to do.
    EXPECT_EQ(r.answer_nack(1, pairs, {0, 0}, 0, out.fn()).not_held, 3u);
}

// Each receiver handles at most its feedback budget of NACKed packets a second (the newest
// first), whether they are resent or found limited; the rest are counted, not looked at.
TEST(RtpResponder, NackWorkIsBudgetedPerReceiver) {
    RtpResponderConfig c;
    c.nack_min_rate = 50;
    c.max_nack_pairs = 4096;
    c.max_resends = 1;
    c.resend_burst = 1e9;
    RtpResponder r(c);
    const SeqWindow held{1000, 100};
    const std::vector<NackPair> all = every_number();
    struct Step {
        std::uint32_t receiver;
        std::int64_t now;
        NackAnswer want;
        std::uint16_t first_resent;
    };
    const std::vector<Step> steps{
        {1, 0, {.resent = 50, .nack_over_budget = 50}, 1050},     // the budget starts full
        {1, 1'000, {.nack_over_budget = 100}, 0},                 // spent
        {2, 1'000, {.resent = 50, .nack_over_budget = 50}, 1050},  // another receiver's own
        {1, 501'000, {.limited = 25, .nack_over_budget = 75}, 0},  // half refilled, spent on
                                                                    // packets resent already
    };
    for (const Step& s : steps) {
        Resender out;
        NackAnswer got = r.answer_nack(s.receiver, all, held, s.now, out.fn());
        got.named = got.not_held = 0;
        EXPECT_EQ(got, s.want) << s.now;
        if (!out.seqs.empty()) {
            EXPECT_EQ(out.seqs.front(), s.first_resent) << s.now;
        }
    }
    EXPECT_EQ(r.stats().nack_over_budget, 275u);
    EXPECT_EQ(r.stats().resend_limited, 25u);
    // Media packets sent raise the budget to twice those of the last second.
    r.media_sent(600'000, 100'000, 400);
    Resender out;
    EXPECT_EQ(r.answer_nack(3, all, {0, 1000}, 600'000, out.fn()).resent, 800u);
    // The budget of bytes still stops resends, counted as before.
    RtpResponderConfig tight = c;
    tight.resend_burst = 250;
    RtpResponder b(tight);
    EXPECT_EQ(b.answer_nack(1, all, held, 0, out.fn()),
              (NackAnswer{.named = 65536, .not_held = 65436, .resent = 3, .over_budget = 47,
                          .nack_over_budget = 50}));
}
