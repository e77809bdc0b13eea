// Tests of the decoder sync policy: states, signals and their cadence, start points with their
// parameter sets, resets, and losses seen in frame_num, stamps, incomplete units and concealment.
#include "talmiro_media/sync.hpp"

#include <gtest/gtest.h>

#include "h264_bits.hpp"
#include "talmiro_media/internal/saturating_increment.hpp"

#include <algorithm>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace talmiro_media;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSets{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0x80, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr{0, 0, 0, 1, 0x65, 0x88, 0x84};
const Bytes kSlice{0, 0, 0, 1, 0x41, 0x9A};
const Bytes kRecovery{0, 0, 1, 0x06, 0x06, 0x01, 0x84, 0x80, 0, 0, 1, 0x41, 0x9A};
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

AccessUnit au(const Bytes& data, bool key = false, bool recovery = false, bool config = false) {
    AccessUnit a;
    a.data = SharedBytes(data);
    a.key = key;
    a.recovery = recovery;
    a.config = config;
    return a;
}
AccessUnit idr() { return au(cat(kSets, kIdr), true); }
AccessUnit p_frame() { return au(kSlice); }
AccessUnit bare_recovery() { return au(kRecovery, false, true); }

Bytes bytes_of(const SharedBytes& b) { return {b.bytes().begin(), b.bytes().end()}; }

using Schedule = std::vector<std::pair<int, SyncSignal>>;

// Pushes `first`, then P-frames up to `count` access units without any picture; returns the
// 1-based positions of the signals.
Schedule signals(DecoderSync& sync, const AccessUnit& first, int count) {
    Schedule out;
    for (int i = 1; i <= count; ++i)
        if (const SyncVerdict v = sync.push(i == 1 ? first : p_frame()); v.signal)
            out.emplace_back(i, *v.signal);
    return out;
}

Schedule requests(int from, int step, int to, Schedule tail = {}) {
    Schedule out;
    for (int i = from; i <= to; i += step) out.emplace_back(i, SyncSignal::RequestIdr);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

const Schedule kReset150{{150, SyncSignal::Reset}};

}  // namespace

namespace talmiro_media {
void PrintTo(SyncSignal s, std::ostream* os) { *os << sync_signal_name(s); }
}  // namespace talmiro_media

TEST(DecoderSync, NamesAndDefaults) {
    EXPECT_EQ(sync_state_name(SyncState::Waiting), "waiting");
    EXPECT_EQ(sync_state_name(SyncState::Primed), "primed");
    EXPECT_EQ(sync_state_name(SyncState::Streaming), "streaming");
    EXPECT_EQ(sync_signal_name(SyncSignal::RequestIdr), "request_idr");
    EXPECT_EQ(sync_signal_name(SyncSignal::Reset), "reset");
    const SyncConfig c;
    EXPECT_EQ(std::make_tuple(c.stuck_frames, c.wedged_frames, c.recovery_silence_frames,
                              c.start_at_recovery),
              std::make_tuple(10u, 150u, 60u, true));
}

TEST(DecoderSync, SignalCadenceWithoutPictures) {
    enum Start { Idr, Recovery, KeyAndRecovery };
    struct Case {
        const char* what;
        SyncConfig config;
        Start start;
        int count;
        Schedule expected;
    };
    const std::vector<Case> cases{
        // After the reset the drops count afresh.
        {"idr start", {}, Idr, 160,
         requests(10, 10, 140, {{150, SyncSignal::Reset}, {160, SyncSignal::RequestIdr}})},
        {"recovery start", {}, Recovery, 150, requests(60, 10, 140, kReset150)},
        {"key and recovery", {}, KeyAndRecovery, 20, requests(10, 10, 20)},
        {"stuck 0", {0, 150, 60, true}, Idr, 150, requests(1, 1, 149, kReset150)},
        {"stuck 1", {1, 150, 60, true}, Idr, 150, requests(1, 1, 149, kReset150)},
        {"wedged 0", {10, 0, 60, true}, Idr, 11,
         {{1, SyncSignal::Reset}, {11, SyncSignal::RequestIdr}}},
        {"wedged 1", {10, 1, 60, true}, Idr, 2, {{1, SyncSignal::Reset}}},
        {"recovery silence 0", {10, 150, 0, true}, Recovery, 31, requests(1, 10, 31)},
        {"recovery silence 1", {10, 150, 1, true}, Recovery, 31, requests(1, 10, 31)},
        {"recovery silence 200", {10, 150, 200, true}, Recovery, 150, kReset150},
        {"stuck max", {kMax, 150, 60, true}, Idr, 150, kReset150},
        {"wedged max", {10, kMax, 60, true}, Idr, 300, requests(10, 10, 300)},
    };
    for (const Case& c : cases) {
        DecoderSync sync(c.config);
        // A dropped access unit caches the sets a bare recovery point then starts with; the
        // picture takes the drop out of the counts.
        if (c.start == Recovery) {
            sync.push(au(kSets));
            sync.picture_out();
        }
        const AccessUnit first = c.start == Recovery ? bare_recovery()
                                 : c.start == Idr    ? idr()
                                                     : au(cat(kSets, kIdr), true, true);
        EXPECT_EQ(signals(sync, first, c.count), c.expected) << c.what;
        EXPECT_EQ(sync.counters().starts, 1u) << c.what;
        EXPECT_EQ(sync.counters().starts_at_recovery, c.start == Recovery ? 1u : 0u) << c.what;
    }
}

TEST(DecoderSync, WaitingDropsAndRequestsEveryStuckFrames) {
    DecoderSync sync;
    for (int i = 1; i <= 35; ++i) {
        const SyncVerdict v = sync.push(p_frame());
        EXPECT_TRUE(!v.au && !v.key && !v.start);
        EXPECT_EQ(v.signal == SyncSignal::RequestIdr, i % 10 == 0) << i;
    }
    EXPECT_EQ(sync.state(), SyncState::Waiting);
    EXPECT_EQ(sync.fed_since_output(), 35u);
    EXPECT_EQ(sync.counters(), (SyncCounters{35, 35, 0, 0, 0, 0, 0, 3}));
    // A picture while waiting clears the counts but starts nothing.
    sync.picture_out();
    EXPECT_EQ(sync.state(), SyncState::Waiting);
    EXPECT_EQ(signals(sync, p_frame(), 10), requests(10, 1, 10));
}

// Before any start point, an incomplete unit (a start point that lost its head, or the unit a
// receiver joined in the middle of) asks at once, a slice left in it or not; requests keep
// their spacing, and a complete unit waits the stuck frames as ever.
TEST(DecoderSync, AnIncompleteUnitWhileWaitingAsksAtOnce) {
    struct Case {
        const char* what;
        AccessUnit first;
        bool request_idr_on_loss;
        Schedule expected;
    };
    AccessUnit headless = au({});  // every NAL unit lost
    headless.complete = false;
    AccessUnit part = p_frame();
    part.complete = false;
    for (const Case& c : {Case{"no slice left", headless, true, requests(1, 10, 21)},
                          Case{"a slice left", part, true, requests(1, 10, 21)},
                          Case{"switched off", part, false, requests(10, 10, 21)},
                          Case{"complete", p_frame(), true, requests(10, 10, 21)}}) {
        DecoderSync sync(SyncConfig{10, 1000, 60, true, c.request_idr_on_loss});
        EXPECT_EQ(signals(sync, c.first, 21), c.expected) << c.what;
        EXPECT_EQ(sync.state(), SyncState::Waiting) << c.what;
    }
    // Spaced: a second incomplete unit right after the first does not ask again.
    DecoderSync sync;
    EXPECT_EQ(sync.push(part).signal, SyncSignal::RequestIdr);
    EXPECT_FALSE(sync.push(part).signal);
    EXPECT_FALSE(sync.push(headless).signal);
}

TEST(DecoderSync, IdrStartSharesTheBufferAndStreamsOnPictures) {
    DecoderSync sync;
    const AccessUnit start = idr();
    SyncVerdict v = sync.push(start);
    EXPECT_TRUE(v.au && v.au->shares(start.data) && v.key && v.start && !v.signal);
    EXPECT_EQ(sync.state(), SyncState::Primed);
    EXPECT_EQ(sync.fed_since_output(), 1u);
    EXPECT_EQ(sync.param_sets(), kSets);

    v = sync.push(p_frame());
    EXPECT_TRUE(v.au && !v.key && !v.start);
    sync.picture_out();
    EXPECT_EQ(sync.state(), SyncState::Streaming);
    // An IDR while started is passed as a key packet but is no new start.
    v = sync.push(idr());
    EXPECT_TRUE(v.key && !v.start);
    sync.push(idr());
    EXPECT_EQ(sync.fed_since_output(), 2u);
    // The tenth access unit after the last picture requests when none released one.
    EXPECT_EQ(signals(sync, p_frame(), 8), requests(8, 1, 8));
    EXPECT_EQ(sync.counters(), (SyncCounters{12, 0, 12, 1, 1, 0, 0, 1}));

    // With a request threshold of 1 every push requests: a picture clears the count only
    // after the push that produced it.
    DecoderSync eager(SyncConfig{1, 150, 60, true});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(eager.push(i == 0 ? idr() : p_frame()).signal, SyncSignal::RequestIdr);
        eager.picture_out();
    }
}

TEST(DecoderSync, RecoveryPointStartsWithSetsInItOrCached) {
    DecoderSync sync;
    // Nothing cached: dropped, whatever its `config` flag says.
    EXPECT_FALSE(sync.push(au(kRecovery, false, true, true)).au.has_value());
    EXPECT_FALSE(sync.param_sets().has_value());
    // Sets from a dropped access unit without the flag prime the next recovery point.
    EXPECT_FALSE(sync.push(au(cat(kSets, kSlice))).au.has_value());
    const SyncVerdict v = sync.push(bare_recovery());
    ASSERT_TRUE(v.au.has_value());
    EXPECT_EQ(bytes_of(*v.au), cat(kSets, kRecovery));
    EXPECT_TRUE(v.key && v.start);
    EXPECT_EQ(sync.state(), SyncState::Primed);
    EXPECT_EQ(sync.counters().starts, 1u);

    // One that carries its own sets passes its own buffer.
    DecoderSync fresh;
    const AccessUnit own = au(cat(kSets, kRecovery), false, true);
    const SyncVerdict w = fresh.push(own);
    EXPECT_TRUE(w.au && w.au->shares(own.data));

    // Not admitted as a start point: dropped like a P-frame, with or without sets.
    DecoderSync strict(SyncConfig{10, 150, 60, false});
    EXPECT_FALSE(strict.push(au(cat(kSets, kRecovery), false, true)).au.has_value());
    EXPECT_FALSE(strict.push(bare_recovery()).au.has_value());
    EXPECT_TRUE(strict.push(idr()).start);
    EXPECT_EQ(strict.counters().starts_at_recovery, 0u);
}

TEST(DecoderSync, ResetsGoBackToWaitingAndKeepTheSets) {
    DecoderSync sync;
    sync.push(idr());
    sync.decoder_failed();
    EXPECT_EQ(sync.state(), SyncState::Waiting);
    EXPECT_EQ(sync.fed_since_output(), 0u);
    EXPECT_FALSE(sync.push(p_frame()).au.has_value());
    EXPECT_TRUE(sync.push(idr()).start);
    EXPECT_EQ(sync.counters().starts, 2u);
    sync.decoder_failed();
    EXPECT_EQ(sync.counters().resets, 2u);
    const SyncVerdict v = sync.push(bare_recovery());
    EXPECT_TRUE(v.au && bytes_of(*v.au) == cat(kSets, kRecovery));

    // A wedged reset at the start point still passes its bytes as a start.
    DecoderSync wedged(SyncConfig{10, 0, 60, true});
    const SyncVerdict w = wedged.push(idr());
    EXPECT_TRUE(w.signal == SyncSignal::Reset && w.au && w.start && w.key);
    EXPECT_EQ(wedged.state(), SyncState::Waiting);
    EXPECT_EQ(wedged.counters().resets, 1u);
}

// The running counts stop at the largest value instead of wrapping to 0.
TEST(SaturatingIncrement, StopsAtTheLargestValue) {
    for (const auto& [from, to] : {std::pair{0u, 1u}, {kMax - 1, kMax}, {kMax, kMax}}) {
        std::uint32_t count = from;
        saturating_increment(count);
        EXPECT_EQ(count, to) << from;
    }
}

// Random access units and decoder notifications under random thresholds, checked against the
// properties every verdict and count keeps.
TEST(DecoderSyncRobustness, RandomSequences) {
    std::mt19937 rng(1208);
    const std::uint32_t kThresholds[] = {0, 1, 2, 3, 10, 60, 150, kMax};
    for (int round = 0; round < 300; ++round) {
        const SyncConfig config{kThresholds[rng() % 8], kThresholds[rng() % 8],
                                kThresholds[rng() % 8], rng() % 2 == 0};
        DecoderSync sync(config);
        for (int step = 0; step < 400; ++step) {
            if (const unsigned pick = rng() % 16; pick < 4) {
                const SyncState before = sync.state();
                pick == 0 ? sync.decoder_failed() : sync.picture_out();
                ASSERT_EQ(sync.fed_since_output(), 0u);
                ASSERT_EQ(sync.state(), pick == 0                     ? SyncState::Waiting
                                        : before == SyncState::Primed ? SyncState::Streaming
                                                                      : before);
                continue;
            }
            Bytes data = rng() % 3 == 0 ? kSets : Bytes{};
            for (std::size_t i = rng() % 12; i > 0; --i)
                data.push_back(static_cast<std::uint8_t>(rng() % 3 ? rng() % 2 : rng()));
            const AccessUnit a = au(data, rng() % 4 == 0, rng() % 4 == 0, rng() % 2 == 0);
            const SyncCounters c0 = sync.counters();
            const bool was_waiting = sync.state() == SyncState::Waiting;
            const std::uint32_t fed0 = sync.fed_since_output();

            const SyncVerdict v = sync.push(a);
            const SyncCounters& c = sync.counters();
            ASSERT_EQ(c.frames, c.dropped + c.fed);
            ASSERT_LE(c.starts_at_recovery, c.starts);
            ASSERT_EQ(v.au.has_value(), c.fed == c0.fed + 1);
            ASSERT_EQ(v.start, was_waiting && v.au.has_value());
            ASSERT_EQ(c.starts, c0.starts + v.start);
            ASSERT_TRUE(!v.start || v.key);
            ASSERT_TRUE(was_waiting || !v.au || v.key == a.key);
            // A buffer of its own has the cached sets in front.
            if (v.au && !v.au->shares(a.data)) {
                ASSERT_EQ(bytes_of(*v.au), cat(*sync.param_sets(), data));
            }
            ASSERT_EQ(c.resets, c0.resets + (v.signal == SyncSignal::Reset));
            ASSERT_EQ(c.idr_requests, c0.idr_requests + (v.signal == SyncSignal::RequestIdr));
            if (v.signal == SyncSignal::Reset) {
                ASSERT_EQ(sync.state(), SyncState::Waiting);
                ASSERT_EQ(sync.fed_since_output(), 0u);
            } else {
                // Sets on their own are no picture: they count nothing towards a request.
                const bool sets_only =
                    extract_param_sets(data) &&
                    std::ranges::none_of(list_nal_units(data), [](const NalUnit& n) {
                        return n.type >= 1 && n.type <= 5;
                    });
                ASSERT_EQ(sync.fed_since_output(), v.start ? 1u : fed0 + !sets_only);
            }
        }
    }
}

namespace {

namespace hb = h264_bits;

// One picture of a synthetic stream (MaxFrameNum 16): its frame_num, whether it is a reference
// picture or an IDR picture, and the recovery_frame_cnt of a recovery point in front of it.
struct Pic {
    Pic(std::uint32_t fn, bool reference = true, bool is_idr = false,
        std::optional<std::uint32_t> count = std::nullopt, std::optional<bool> field = {})
        : frame_num(fn), ref(reference), idr(is_idr), recovery(count), bottom(field) {}
    std::uint32_t frame_num;
    bool ref;
    bool idr;
    std::optional<std::uint32_t> recovery;
    std::optional<bool> bottom;  // a field of this parity
};
Pic I() { return {0, true, true, {}}; }
Pic F(std::uint32_t fn, bool bottom) { return {fn, true, false, {}, bottom}; }
Pic B(std::uint32_t fn) { return {fn, false, false, {}}; }
Pic R(std::uint32_t fn, std::uint32_t count) { return {fn, true, false, count}; }

hb::Sps stream_sps() {
    return {.profile_idc = 100, .scaling_lists = true, .frame_mbs_only = false};
}
Bytes stream_sets() { return hb::annexb({hb::sps(stream_sps()), hb::pps(0, 0)}); }

AccessUnit picture_au(const Pic& p, std::uint8_t pps_id = 0) {
    std::vector<Bytes> units;
    if (p.recovery) units.push_back(hb::recovery_sei(*p.recovery));
    hb::Slice slice;
    slice.nal_ref_idc = p.ref ? 2 : 0;
    slice.idr = p.idr;
    slice.frame_num = p.frame_num;
    slice.pps_id = pps_id;
    slice.fields = true;
    slice.bottom = p.bottom;
    units.push_back(hb::slice(slice));
    // A second slice of the same picture says nothing more.
    slice.first_mb = 40;
    units.push_back(hb::slice(slice));
    const Bytes body = hb::annexb(units);
    return au(p.idr ? cat(stream_sets(), body) : body, p.idr, p.recovery.has_value());
}

struct StreamRun {
    std::string damaged;  // one character per access unit: D damaged, . whole
    Schedule signals;
    std::uint64_t losses = 0;
};

// Pushes the pictures, each releasing its picture at once.
StreamRun run(DecoderSync& sync, const std::vector<Pic>& pics,
              const std::vector<std::int64_t>& stamps = {}) {
    StreamRun out;
    const std::uint64_t losses0 = sync.counters().losses;
    for (std::size_t i = 0; i < pics.size(); ++i) {
        AccessUnit a = picture_au(pics[i]);
        if (i < stamps.size()) a.t_us = stamps[i];
        const SyncVerdict v = sync.push(a);
        out.damaged += v.damaged ? 'D' : '.';
        if (v.signal) out.signals.emplace_back(static_cast<int>(i + 1), *v.signal);
        sync.picture_out();
    }
    out.losses = sync.counters().losses - losses0;
    return out;
}

std::vector<Pic> refs(std::uint32_t from, std::uint32_t count) {
    std::vector<Pic> out;
    for (std::uint32_t i = 0; i < count; ++i) out.emplace_back((from + i) % 16);
    return out;
}

std::vector<Pic> join(std::initializer_list<std::vector<Pic>> parts) {
    std::vector<Pic> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(DecoderSyncLoss, FrameNumSequences) {
    struct Case {
        const char* what;
        std::vector<Pic> pics;
        std::string damaged;
        std::uint64_t losses;
    };
    const std::vector<Case> cases{
        {"wraps at MaxFrameNum", join({{I()}, refs(1, 20)}), std::string(21, '.'), 0},
        {"gap across the wrap", join({{I()}, refs(1, 15), refs(1, 2)}),
         std::string(16, '.') + "DD", 1},
        {"field pairs repeat frame_num",
         {I(), F(1, false), F(1, true), F(2, true), F(2, false), F(4, false), F(4, true), {5}},
         "....." "DDD", 1},
        {"a frame repeating frame_num: MaxFrameNum - 1 lost", {I(), {1}, {2}, {2}, {3}}, "..." "DD",
         1},
        {"a field repeating the parity of its frame_num", {I(), F(1, false), F(1, false)}, "...", 0},
        {"non-reference pictures", {I(), {1}, B(2), B(2), {2}, B(3), {3}, B(4)}, std::string(8, '.'),
         0},
        {"a lost non-reference picture is no loss", {I(), {1}, B(2), {2}, {3}}, ".....", 0},
        {"a lost reference picture seen by a non-reference one", {I(), {1}, B(3), {3}}, "..DD", 1},
        {"non-reference pictures leave PrevRefFrameNum", {I(), {1}, B(2), B(3), {3}}, "...DD", 1},
        {"an IDR in the middle", {I(), {1}, {2}, I(), {1}, {3}, {4}, I(), {1}}, "." "...." "DD..",
         1},
        {"the countdown reaches 0 at the recovery-point count", {I(), {1}, {3}, {4}, R(5, 2), {6}, {7}, {8}},
         ".." "DDDD" "..", 1},
        {"a recovery point while whole starts nothing", {I(), R(1, 5), {2}, {4}, {5}},
         "..." "DD", 1},
        {"a gap during the countdown starts the damage again",
         {I(), {1}, {3}, R(4, 3), {6}, {7}, {8}, {9}, {10}}, ".." "DDDDDDD", 2},
        {"a recovery point with count 0 on the gap", {I(), {1}, R(3, 0), {4}}, "....", 1},
    };
    for (const Case& c : cases) {
        DecoderSync sync(SyncConfig{1000, 1000, 60, true, false});
        const StreamRun got = run(sync, c.pics);
        EXPECT_EQ(got.damaged, c.damaged) << c.what;
        EXPECT_EQ(got.losses, c.losses) << c.what;
        EXPECT_TRUE(got.signals.empty()) << c.what;
    }
}

TEST(DecoderSyncLoss, UnknownFactsNeverDeclareALoss) {
    // A PPS naming an SPS never seen, a slice naming a PPS never seen.
    for (const std::uint8_t pps_id : {std::uint8_t{0}, std::uint8_t{9}}) {
        DecoderSync sync;
        run(sync, {I()});
        sync.push(au(hb::annexb({hb::pps(0, 7)}), false, false, true));
        for (const std::uint32_t fn : {1u, 5u, 9u}) {
            const SyncVerdict v = sync.push(picture_au({fn}, pps_id));
            EXPECT_FALSE(v.damaged || v.signal);
        }
        EXPECT_EQ(sync.counters().losses, 0u);
    }
    // A start forgets the history: the first picture after it compares with nothing.
    DecoderSync sync;
    run(sync, {I(), {1}, {2}});
    sync.decoder_failed();
    sync.push(picture_au({7}));  // dropped while waiting
    const StreamRun again = run(sync, {R(9, 4), {10}, {11}});
    EXPECT_EQ(again.damaged, "...");
    EXPECT_EQ(again.losses, 0u);
}

TEST(DecoderSyncLoss, RequestsAndTheirSpacing) {
    const std::vector<Pic> damaged_long = join({{I()}, refs(1, 2), refs(4, 30)});  // gap at 4
    struct Case {
        const char* what;
        SyncConfig config;
        std::vector<Pic> pics;
        int silent;  // access units before the first picture comes out
        Schedule want;
    };
    const std::vector<Case> cases{
        // At once, then every stuck_frames while the damage lasts.
        {"on", {}, damaged_long, 0, requests(4, 10, 33)},
        {"off: pictures flow, no signal", {10, 150, 60, true, false}, damaged_long, 0, {}},
        {"stuck 3", {3, 150, 60, true, true}, damaged_long, 0, requests(4, 3, 33)},
        // A silence request at 10; the gap at 12 waits until 20, ten after it.
        {"shared spacing", {}, join({{I()}, refs(1, 10), refs(12, 15)}), 10,
         requests(10, 10, 26)},
        {"off: silence only", {10, 150, 60, true, false}, join({{I()}, refs(1, 10), refs(12, 15)}),
         10, requests(10, 1, 10)},
        // The wedged reset keeps its precedence.
        {"wedged", {10, 5, 60, true, true}, join({{I()}, refs(1, 1), refs(3, 5)}), 100,
         {{3, SyncSignal::RequestIdr}, {5, SyncSignal::Reset}}},
    };
    for (const Case& c : cases) {
        DecoderSync sync(c.config);
        Schedule got;
        for (std::size_t i = 0; i < c.pics.size(); ++i) {
            const SyncVerdict v = sync.push(picture_au(c.pics[i]));
            if (v.signal) got.emplace_back(static_cast<int>(i + 1), *v.signal);
            if (static_cast<int>(i) >= c.silent) sync.picture_out();
        }
        EXPECT_EQ(got, c.want) << c.what;
        EXPECT_EQ(sync.counters().idr_requests,
                  static_cast<std::uint64_t>(std::count_if(got.begin(), got.end(), [](auto& s) {
                      return s.second == SyncSignal::RequestIdr;
                  }))) << c.what;
    }
    // The requested IDR ends the damage and the requests.
    DecoderSync sync;
    const StreamRun got = run(sync, join({{I()}, refs(1, 2), refs(4, 5), {I()}, refs(1, 15)}));
    EXPECT_EQ(got.signals, requests(4, 1, 4));
    EXPECT_EQ(got.damaged, "..." + std::string(5, 'D') + std::string(16, '.'));
}

// A burst of lost units that brings frame_num round to a value that looks right shows in the
// capture stamps, once they kept a steady interval; irregular stamps, and short pauses while
// frame_num runs on, are never a loss.
TEST(DecoderSyncLoss, CaptureStampsWitnessWrappedBursts) {
    constexpr std::int64_t kFrame = 33'333;
    std::mt19937 rng(7);
    // Stamps of the pictures of `pics`, `lost` frames missing before picture `at`.
    const auto regular = [&](std::size_t count, std::size_t at, std::int64_t lost) {
        std::vector<std::int64_t> out;
        for (std::size_t i = 0; i < count; ++i)
            out.push_back(1'000 + kFrame * (static_cast<std::int64_t>(i) + (i >= at ? lost : 0)));
        return out;
    };
    const auto jittered = [&](std::size_t count, int percent) {
        std::vector<std::int64_t> out;
        for (std::size_t i = 0; i < count; ++i)
            out.push_back(kFrame * static_cast<std::int64_t>(i) +
                          static_cast<std::int64_t>(rng() % 200) * kFrame * percent / 10'000);
        return out;
    };
    struct Case {
        const char* what;
        std::vector<Pic> pics;
        std::vector<std::int64_t> stamps;
        std::uint64_t losses;
    };
    const std::vector<Case> cases{
        {"16 lost: frame_num runs on", join({{I()}, refs(1, 20), refs(37, 5)}), regular(26, 21, 16),
         1},
        {"15 lost: frame_num repeats on a frame", join({{I()}, refs(1, 20), refs(36, 5)}),
         regular(26, 21, 15), 1},
        {"32 lost", join({{I()}, refs(1, 20), refs(53, 5)}), regular(26, 21, 32), 1},
        {"a pause of 12 frames, nothing lost", join({{I()}, refs(1, 25)}), regular(26, 21, 12), 0},
        {"a long pause before the stamps settled", join({{I()}, refs(1, 6)}), regular(7, 4, 40),
         0},
        {"stamps jittering by up to 60 %", join({{I()}, refs(1, 60)}), jittered(61, 60), 0},
        {"stamps in decode order of a stream with reordering", join({{I()}, refs(1, 40)}),
         [&] {
             std::vector<std::int64_t> out{0};
             for (std::int64_t i = 1; i <= 40; ++i) out.push_back(kFrame * (i % 3 ? i + 1 : i - 2));
             return out;
         }(),
         0},
        {"every stamp 0", join({{I()}, refs(1, 40)}), std::vector<std::int64_t>(41, 0), 0},
    };
    for (const Case& c : cases) {
        DecoderSync sync(SyncConfig{1000, 1000, 60, true, false});
        EXPECT_EQ(run(sync, c.pics, c.stamps).losses, c.losses) << c.what;
    }
}

TEST(DecoderSyncLoss, AnIdrPictureRestartsTheRequestSpacing) {
    // A loss at 4 asks; the IDR picture asked for comes at 6; a loss at 9 asks at once. With no
    // answer, the second loss waits for the spacing.
    const std::vector<Pic> answered = join({{I()}, refs(1, 2), refs(4, 2), {I()}, refs(1, 2),
                                            refs(4, 8)});
    const std::vector<Pic> unanswered = join({{I()}, refs(1, 2), refs(4, 3), refs(8, 8)});
    DecoderSync a;
    EXPECT_EQ(run(a, answered).signals, requests(4, 5, 9));
    DecoderSync b;
    EXPECT_EQ(run(b, unanswered).signals, requests(4, 10, 14));
    // The answer itself lost: the gap onto frame_num 1 asks again at once.
    DecoderSync c;
    EXPECT_EQ(run(c, join({{I()}, refs(1, 2), refs(4, 2), refs(1, 3)})).signals,
              requests(4, 2, 6));
}

TEST(DecoderSync, SetsOnTheirOwnAreKeptByIdAndGoInFrontOfTheNextUnit) {
    const Bytes sps0 = hb::annexb({hb::sps({.id = 0})});
    const Bytes sps1 = hb::annexb({hb::sps({.id = 1, .log2_max_frame_num = 6})});
    const Bytes pps = hb::annexb({hb::pps(0, 1)});
    DecoderSync sync;
    sync.push(idr());
    for (const Bytes* sets : {&sps1, &pps, &sps0}) {
        const SyncVerdict v = sync.push(au(*sets, true, true, true));
        EXPECT_FALSE(v.au || v.signal || v.damaged);
    }
    EXPECT_EQ(sync.state(), SyncState::Primed);
    EXPECT_EQ(sync.fed_since_output(), 1u);
    // SPS by id, then PPS by id: the later SPS 0 replaced the one of the IDR unit.
    EXPECT_EQ(sync.param_sets(), cat(cat(sps0, sps1), pps));
    const SyncVerdict v = sync.push(p_frame());
    ASSERT_TRUE(v.au);
    EXPECT_EQ(bytes_of(*v.au), cat(*sync.param_sets(), kSlice));
    const AccessUnit plain = p_frame();
    EXPECT_TRUE(sync.push(plain).au->shares(plain.data));
    // The same sets again change nothing.
    sync.push(au(pps));
    EXPECT_TRUE(sync.push(plain).au->shares(plain.data));
    EXPECT_EQ(sync.counters().frames, sync.counters().dropped + sync.counters().fed);

    // A bare recovery point takes only the sets its slice names.
    DecoderSync joining;
    const Bytes named = hb::annexb({hb::sps(stream_sps()), hb::pps(0, 0)});
    joining.push(au(cat(sps1, named)));
    joining.push(picture_au(I()));
    joining.decoder_failed();
    const AccessUnit rp = picture_au(R(3, 2));
    const SyncVerdict start = joining.push(rp);
    ASSERT_TRUE(start.start);
    EXPECT_EQ(bytes_of(*start.au), cat(named, bytes_of(rp.data)));
    // Naming a PPS never seen, it cannot start.
    EXPECT_FALSE(DecoderSync().push(au(named)).au);
    DecoderSync unnamed;
    unnamed.push(au(named));
    EXPECT_FALSE(unnamed.push(picture_au(R(3, 2), 9)).au);
}

TEST(DecoderSyncLoss, IncompleteUnitsFieldsAndConcealment) {
    DecoderSync sync(SyncConfig{10, 1000, 60, true, true});
    const auto push = [&](Pic p, bool complete = true) {
        AccessUnit a = picture_au(p);
        a.complete = complete;
        const SyncVerdict v = sync.push(a);
        sync.picture_out();
        return v;
    };
    push(I());
    // A first field may still be written into; its pair closes it.
    EXPECT_TRUE(push(F(1, false)).first_field);
    EXPECT_FALSE(push(F(1, true)).first_field);
    EXPECT_TRUE(push(F(2, true)).first_field);
    EXPECT_FALSE(push({3}).first_field);
    // An incomplete non-reference picture is damaged alone.
    const SyncVerdict nonref = push(B(4), false);
    EXPECT_TRUE(nonref.damaged && !nonref.reference && !nonref.signal);
    EXPECT_FALSE(push({4}).damaged);
    EXPECT_EQ(sync.counters().losses, 0u);
    // An incomplete reference picture damages the stream, asks at once, until an IDR picture.
    const SyncVerdict ref = push({5}, false);
    EXPECT_TRUE(ref.damaged && ref.reference && ref.signal == SyncSignal::RequestIdr);
    EXPECT_TRUE(push({6}).damaged);
    EXPECT_FALSE(push(I()).damaged);
    EXPECT_EQ(sync.counters().losses, 1u);
    // A unit whose every slice was lost: nothing to decode, the stream is damaged.
    const SyncVerdict empty = sync.push(au(hb::annexb({hb::recovery_sei(0)})) /*complete*/);
    EXPECT_TRUE(empty.au.has_value());
    AccessUnit gone = au(hb::annexb({hb::recovery_sei(0)}));
    gone.complete = false;
    const SyncVerdict lost = sync.push(gone);
    EXPECT_TRUE(!lost.au && lost.signal == SyncSignal::RequestIdr);
    EXPECT_TRUE(push({1}).damaged);
    EXPECT_EQ(sync.counters().losses, 2u);
    // A concealed reference picture damages a whole stream once; the IDR answers it.
    push(I());
    EXPECT_EQ(sync.reference_concealed(), SyncSignal::RequestIdr);
    EXPECT_EQ(sync.reference_concealed(), std::nullopt);
    EXPECT_TRUE(push({1}).damaged);
    EXPECT_EQ(sync.counters().losses, 3u);
    // A flush starts over without counting a reset.
    sync.restart();
    EXPECT_EQ(sync.state(), SyncState::Waiting);
    EXPECT_FALSE(sync.push(picture_au({2})).au);
    EXPECT_EQ(sync.counters().resets, 0u);
}

namespace {
Bytes idr_slice(std::uint32_t pps_id) {
    hb::Slice slice;
    slice.idr = true;
    slice.pps_id = pps_id;
    return hb::slice(slice);
}
}  // namespace

// An IDR picture whose parameter sets never arrived (the packet carrying them was lost) is not
// fed: it counts as a loss and asks for an IDR picture at once, within the request spacing; the
// sets it carries itself are kept. While streaming, it damages the stream.
TEST(DecoderSyncLoss, StartPointsWithoutTheirSetsAsk) {
    const Bytes sps_only = hb::annexb({hb::sps(stream_sps())});
    const Bytes pps_naming_sps7 = hb::annexb({hb::pps(3, 7)});
    struct Case {
        const char* what;
        Bytes unit;  // a key unit: sets, then an IDR slice naming PPS 3
    };
    for (const Case& c : {Case{"nothing", {}}, Case{"an SPS only", sps_only},
                          Case{"a PPS whose SPS is unknown", pps_naming_sps7}}) {
        for (const bool on_loss : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (on_loss ? "" : ", no request on loss"));
            SyncConfig config;
            config.request_idr_on_loss = on_loss;
            DecoderSync sync(config);
            const AccessUnit start =
                au(cat(c.unit, hb::annexb({idr_slice(3)})), true);
            Schedule got;
            for (int i = 1; i <= 12; ++i)
                if (const SyncVerdict v = sync.push(i <= 2 ? start : p_frame()); v.signal) {
                    EXPECT_FALSE(v.au);
                    got.emplace_back(i, *v.signal);
                }
            EXPECT_EQ(got, on_loss ? requests(1, 10, 11) : requests(10, 10, 10));
            EXPECT_EQ(sync.counters().losses, 2u);
            EXPECT_EQ(sync.counters().fed, 0u);
            EXPECT_EQ(sync.state(), SyncState::Waiting);
            EXPECT_EQ(sync.param_sets().has_value(), !c.unit.empty());
            const SyncVerdict v = sync.push(idr());
            EXPECT_TRUE(v.au && v.start);
        }
    }
    // Streaming: the IDR picture naming an unknown PPS is lost; what follows is damaged.
    DecoderSync sync;
    ASSERT_TRUE(sync.push(idr()).au);
    sync.picture_out();
    const SyncVerdict lost = sync.push(au(hb::annexb({idr_slice(9)}), true));
    EXPECT_FALSE(lost.au);
    EXPECT_EQ(lost.signal, SyncSignal::RequestIdr);
    EXPECT_TRUE(sync.push(p_frame()).damaged);
    EXPECT_EQ(sync.counters().losses, 1u);
}

// After a start at a recovery point the first request waits out the recovery silence, also when
// the units without a picture are start points dropped for want of their sets.
TEST(DecoderSyncLoss, DroppedStartPointsKeepTheRecoverySilence) {
    SyncConfig config;
    config.request_idr_on_loss = false;
    DecoderSync sync(config);
    sync.push(au(kSets));
    sync.picture_out();
    ASSERT_TRUE(sync.push(bare_recovery()).start);
    Schedule got;
    for (int i = 2; i <= 70; ++i)
        if (const SyncVerdict v = sync.push(au(hb::annexb({idr_slice(9)}), true)); v.signal)
            got.emplace_back(i, *v.signal);
    EXPECT_EQ(got, requests(60, 10, 70));
}
