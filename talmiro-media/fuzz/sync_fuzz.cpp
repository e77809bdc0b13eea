// DecoderSync on arbitrary sequences of access units and decoder notifications, under arbitrary
// thresholds, held after every step to what its rules promise whatever the input:
//  - counters add up and never go back; a reset or a request is always signalled and counted;
//    state and signal names are the documented ones; states change only as the state table says;
//  - what is passed on is the unit itself, behind SPS/PPS only: the sets kept from dropped units
//    go in front of the next unit passed on, cached sets in front of a bare recovery point;
//  - a whole IDR picture with its SPS/PPS flagged key always reaches the decoder, unflagged;
//  - after such a picture a well-formed stream is never flagged and counts no loss, and the first
//    frame_num gap in it is flagged and counted; an incomplete reference picture is a loss; after
//    a loss every unit passed on is flagged until an IDR picture or a recovery point;
//  - two requests are never closer than `stuck_frames` units unless an IDR picture came between
//    (or frame_num shows one lost); a request comes with every loss and after the silence
//    threshold (when spacing allows), and never without one of them or an incomplete unit
//    before any start point;
//  - a reset comes after `wedged_frames` units passed on without a picture, never sooner.
//
// Input: four bytes of configuration, then one byte per step (its low two bits choose push,
// picture out or a decoder notification: failure, flush or a concealed reference picture; a
// push's other bits choose the flags and the bytes, and a byte after the bytes chooses whether
// the unit arrived complete and how far its capture stamp moves). One shape of access unit is
// a picture of a real stream (SPS/PPS of MaxFrameNum 16, a slice header with frame_num and
// field flags, a recovery point) whose fields come from the input, so that runs of well-formed
// stream with and without gaps occur; another is parameter sets on their own (one SPS, one
// PPS, or both).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/annexb.hpp"
#include "talmiro_media/param_set_store.hpp"
#include "talmiro_media/sync.hpp"

using namespace talmiro_media;
using talmiro_fuzz::FuzzInput;

namespace {

using Vec = std::vector<std::uint8_t>;

Vec cat(std::initializer_list<const Vec*> parts) {
    Vec out;
    for (const Vec* p : parts) out.insert(out.end(), p->begin(), p->end());
    return out;
}

// NAL units for building access units; the SPS carries a byte from the input so that cached
// parameter sets change over a run.
const Vec kPps{0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
const Vec kIdr{0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
const Vec kSlice{0, 0, 1, 0x41, 0x9A, 0x02};
const Vec kSeiRecovery{0, 0, 1, 0x06, 0x06, 0x01, 0x84, 0x80};
Vec sps(std::uint8_t id) { return {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, id}; }

// Baseline SPS 0 with log2_max_frame_num 4, POC type 2, one reference frame, the gap flag
// `gaps` and fields allowed (frame_mbs_only_flag 0); PPS 0 on it.
Vec stream_sets(bool gaps) {
    return {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xDA, static_cast<std::uint8_t>(gaps ? 0xE0 : 0x60),
            0, 0, 0, 1, 0x68, 0xD0};
}

// Bits most significant first, for slice headers.
class Bits {
public:
    void put(std::uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            cur_ = static_cast<std::uint8_t>(cur_ << 1 | ((value >> i) & 1));
            if (++used_ == 8) flush_byte();
        }
    }
    void ue(std::uint32_t value) {
        unsigned len = 0;
        while (((value + 1) >> len) > 1) ++len;
        put(0, len);
        put(value + 1, len + 1);
    }
    // With the stop bit and zero padding.
    Vec finish() {
        put(1, 1);
        while (used_ != 0) put(0, 1);
        return out_;
    }

private:
    void flush_byte() {
        out_.push_back(cur_);
        cur_ = 0;
        used_ = 0;
    }
    Vec out_;
    std::uint8_t cur_ = 0;
    unsigned used_ = 0;
};

// What the stream's picture was built as.
struct Picture {
    std::uint32_t frame_num = 0;
    bool reference = false;
    bool idr = false;
    bool sets = false;          // SPS/PPS in front
    bool gaps_allowed = false;  // the gap flag of that SPS
    bool frame = true;          // not a field
    bool first_slice = true;    // first_mb_in_slice 0
    // A whole IDR picture as an encoder sends it (a reference picture, one slice).
    bool whole_idr() const { return idr && reference && frame && first_slice; }
};

struct Unit {
    Vec bytes;
    std::optional<Picture> picture;  // for pictures of the stream
};

// A picture of that stream from two input bytes: x bits 0-3 frame_num, bit 4 reference,
// bit 5 IDR, bit 6 SPS/PPS in front (bit 7 their gap flag); y bit 7 a recovery point in front
// with recovery_frame_cnt y & 3, y bit 6 first_mb_in_slice 1 instead of 0, y bits 2-3 a top
// field (1), a bottom field (2) or a frame.
Unit stream_picture(FuzzInput& in) {
    const std::uint8_t x = in.take<std::uint8_t>();
    const std::uint8_t y = in.take<std::uint8_t>();
    const unsigned field = (y >> 2) & 3;
    const Picture p{x & 15u, (x & 16) != 0, (x & 32) != 0, (x & 64) != 0, (x & 128) != 0,
                    field != 1 && field != 2, (y & 64) == 0};
    Vec out = p.sets ? stream_sets(p.gaps_allowed) : Vec{};
    if (y & 128) {
        // recovery_frame_cnt ue(0..3) then the flag bits and the stop bit, in one byte.
        static constexpr std::uint8_t kCount[] = {0xC0, 0x50, 0x70, 0x24};
        out.insert(out.end(), {0, 0, 1, 0x06, 0x06, 0x01, kCount[y & 3], 0x80});
    }
    const auto header = static_cast<std::uint8_t>((p.idr ? 5 : 1) | (p.reference ? 0x40 : 0));
    Bits bits;
    bits.ue(p.first_slice ? 0 : 1);  // first_mb_in_slice
    bits.ue(5);                      // slice_type
    bits.ue(0);                      // pic_parameter_set_id
    bits.put(p.frame_num, 4);        // frame_num
    bits.put(!p.frame, 1);
    if (!p.frame) bits.put(field == 2, 1);
    out.insert(out.end(), {0, 0, 1, header});
    const Vec body = bits.finish();
    out.insert(out.end(), body.begin(), body.end());
    return {out, p};
}

Unit build_unit(unsigned shape, FuzzInput& in) {
    const Vec s = sps(in.take<std::uint8_t>());
    switch (shape) {
        case 0: return {kSlice, {}};
        case 1: return {kIdr, {}};
        case 2: return {cat({&s, &kPps, &kIdr}), {}};
        case 3: return {cat({&kSeiRecovery, &kSlice}), {}};
        case 4: {
            // Parameter sets on their own: an SPS, a PPS, or both.
            const unsigned which = in.take<std::uint8_t>() % 3;
            return {which == 0 ? s : which == 1 ? kPps : cat({&s, &kPps}), {}};
        }
        case 5: return {cat({&s, &kPps, &kSeiRecovery, &kSlice}), {}};
        case 6: return stream_picture(in);
        default: return {in.take_vector(in.take<std::uint8_t>()), {}};
    }
}

// What a unit holds, read as a receiver reads it, its slices under the SPS/PPS of every unit
// pushed so far (`store`).
struct Contents {
    bool slice = false;  // a slice NAL unit (types 1 to 5)
    bool sets = false;   // an SPS or PPS
    bool idr = false;    // a NAL unit of type 5
    bool sei = false;
    bool reference = false;  // a slice of type 1 or 5 with nal_ref_idc not 0
    // A non-IDR slice with frame_num 1: it may follow a lost IDR picture.
    bool frame_num_one = false;
};

Contents read_unit(const Vec& bytes, ParamSetStore& store) {
    const std::vector<NalUnit> units = list_nal_units(bytes);
    Contents c;
    bool changed = false;
    c.sets = store.take(bytes, units, changed);
    for (const NalUnit& u : units) {
        c.slice = c.slice || (u.type >= kNalSlice && u.type <= kNalIdrSlice);
        c.idr = c.idr || u.type == kNalIdrSlice;
        c.sei = c.sei || u.type == kNalSei;
        const bool coded = u.type == kNalSlice || u.type == kNalIdrSlice;
        if (coded && u.end > u.begin && (bytes[u.begin] & 0x60) != 0) c.reference = true;
        if (u.type != kNalSlice) continue;
        const std::span<const std::uint8_t> nal(bytes.data() + u.begin, u.end - u.begin);
        const std::optional<SliceFacts> f = parse_slice(nal, store.facts());
        if (f && f->frame_num && f->max_frame_num && *f->frame_num == 1 % f->max_frame_num)
            c.frame_num_one = true;
    }
    return c;
}

// The NAL units of `prefix` are all SPS or PPS.
bool only_sets(std::span<const std::uint8_t> prefix) {
    return std::ranges::all_of(nal_units(prefix), [](const NalUnit& u) {
        return u.type == kNalSps || u.type == kNalPps;
    });
}

// One push, as the properties see it.
struct Push {
    const Unit& unit;
    const Contents& says;
    const AccessUnit& au;
    const SyncVerdict& v;
    SyncState before;
    SyncCounters c0;  // the counters before
    bool sets_changed;
    bool jump;  // the stamp moved by many frame intervals
    const DecoderSync& sync;

    bool passed() const { return v.au.has_value(); }
    bool requested() const { return v.signal == SyncSignal::RequestIdr; }
    bool reset() const { return v.signal == SyncSignal::Reset; }
    bool lost() const { return sync.counters().losses > c0.losses; }
    SyncState after() const { return sync.state(); }
};

// Pushes since some event: all of them, and those carrying a slice (each of which the policy
// counts, where it may leave a unit of parameter sets alone uncounted).
struct Since {
    std::uint64_t all = 0;
    std::uint64_t slices = 0;
    void add(bool slice) {
        ++all;
        if (slice) ++slices;
    }
};

// A run of well-formed stream since a whole IDR picture with nothing lost: the frame_num of its
// last reference picture and whether its SPS allows gaps.
struct Clean {
    std::uint32_t last_ref = 0;
    bool gaps_allowed = false;
};

constexpr std::uint32_t kMaxFrameNum = 16;

// The properties, with what they need to remember between steps.
class Properties {
public:
    explicit Properties(const SyncConfig& config) noexcept : config_(config) {}

    void pushed(const Push& p) {
        check_counts(p);
        check_transition(p);
        check_bytes(p);
        count(p);
        check_requests(p);
        check_wedged(p);
        check_idr(p);
        follow_clean(p);
        follow_damage(p);
        if (p.requested()) note_request();
        if (p.reset()) note_reset();
    }

    void picture_out(const DecoderSync& sync, SyncState before) {
        FUZZ_CHECK(sync.state() == (before == SyncState::Primed ? SyncState::Streaming : before));
        FUZZ_CHECK(sync.fed_since_output() == 0);
        SyncCounters expected = last_;
        ++expected.output;
        FUZZ_CHECK(sync.counters() == expected);
        quiet_ = since_picture_ = {};
        passed_ = 0;
        recovery_start_ = false;
    }

    // After a flush (`counted` false) or a decoder failure.
    void waiting_again(const DecoderSync& sync, bool counted) {
        FUZZ_CHECK(sync.state() == SyncState::Waiting && sync.fed_since_output() == 0);
        SyncCounters expected = last_;
        if (counted) ++expected.resets;
        FUZZ_CHECK(sync.counters() == expected);
        note_reset();
    }

    void concealed(const DecoderSync& sync, SyncState before, std::optional<SyncSignal> signal) {
        const SyncCounters& c = sync.counters();
        SyncCounters expected = last_;
        expected.losses = c.losses;
        expected.idr_requests = c.idr_requests;
        FUZZ_CHECK(c == expected && sync.state() == before);
        FUZZ_CHECK(c.idr_requests == last_.idr_requests + (signal ? 1 : 0));
        const bool lost = c.losses == last_.losses + 1;
        FUZZ_CHECK(lost || c.losses == last_.losses);
        // The stream is damaged from here on: a loss where nothing was lost before, which asks
        // for an IDR picture when the spacing allows.
        if (clean_) FUZZ_CHECK(lost);
        if (lost && config_.request_idr_on_loss && spacing_sure()) FUZZ_CHECK(signal);
        if (signal) {
            FUZZ_CHECK(*signal == SyncSignal::RequestIdr);
            FUZZ_CHECK(sync_signal_name(*signal) == "request_idr");
            FUZZ_CHECK(lost && config_.request_idr_on_loss && spacing_allows());
            note_request();
        }
        if (lost && before != SyncState::Waiting) damage_ = true;
        clean_.reset();
    }

    // After every step.
    void settled(const DecoderSync& sync) {
        const SyncCounters& c = sync.counters();
        FUZZ_CHECK(c.frames == c.dropped + c.fed);
        FUZZ_CHECK(c.starts_at_recovery <= c.starts && c.starts <= c.fed);
        FUZZ_CHECK(c.losses >= last_.losses && c.resets >= last_.resets);
        FUZZ_CHECK(c.idr_requests >= last_.idr_requests && c.output >= last_.output);
        static constexpr std::string_view kNames[] = {"waiting", "primed", "streaming"};
        FUZZ_CHECK(std::ranges::count(kNames, sync_state_name(sync.state())) == 1);
        // The parameter sets kept are never cleared.
        FUZZ_CHECK(!had_sets_ || sync.param_sets());
        had_sets_ = sync.param_sets().has_value();
        FUZZ_CHECK(sync.fed_since_output() >= passed_);
        FUZZ_CHECK(sync.fed_since_output() <= since_picture_.all);
        last_ = c;
    }

private:
    void check_counts(const Push& p) const {
        const SyncCounters& c0 = p.c0;
        const SyncCounters& c1 = p.sync.counters();
        FUZZ_CHECK(c1.frames == c0.frames + 1 && c1.output == c0.output);
        FUZZ_CHECK(p.passed() ? c1.fed == c0.fed + 1 && c1.dropped == c0.dropped
                              : c1.dropped == c0.dropped + 1 && c1.fed == c0.fed);
        FUZZ_CHECK(c1.resets == c0.resets + (p.reset() ? 1 : 0));
        FUZZ_CHECK(c1.idr_requests == c0.idr_requests + (p.requested() ? 1 : 0));
        FUZZ_CHECK(c1.starts == c0.starts + (p.v.start ? 1 : 0));
        FUZZ_CHECK(c1.starts_at_recovery <= c0.starts_at_recovery + (p.v.start ? 1 : 0));
        if (p.v.signal)
            FUZZ_CHECK(sync_signal_name(*p.v.signal) == (p.reset() ? "reset" : "request_idr"));
        // Flags describe a unit passed on; one that arrived incomplete is always flagged.
        if (!p.passed())
            FUZZ_CHECK(!(p.v.damaged || p.v.first_field || p.v.idr || p.v.reference || p.v.key));
        if (p.passed() && !p.au.complete) FUZZ_CHECK(p.v.damaged);
        // A reference picture that arrived incomplete damages the stream: a loss.
        if (p.passed() && !p.au.complete && p.says.reference) FUZZ_CHECK(p.lost());
        if (p.v.start) FUZZ_CHECK(p.v.key && p.passed());
    }

    // The state table: a push leaves Waiting only as a start, and a started policy only by a
    // reset; once started, only units without a slice and key units naming sets never seen
    // are dropped.
    static void check_transition(const Push& p) {
        if (!p.passed()) FUZZ_CHECK(p.after() == p.before);
        if (!p.passed() && p.before != SyncState::Waiting && !p.au.key) FUZZ_CHECK(!p.says.slice);
        FUZZ_CHECK(p.v.start == (p.passed() && p.before == SyncState::Waiting));
        if (p.reset()) FUZZ_CHECK(p.after() == SyncState::Waiting);
        else if (p.v.start) FUZZ_CHECK(p.after() == SyncState::Primed);
        else FUZZ_CHECK(p.after() == p.before);
    }

    // The unit goes on as it came, behind SPS/PPS at most: the sets dropped units changed,
    // before the next unit passed on, or cached sets before a bare recovery point.
    void check_bytes(const Push& p) {
        if (!p.passed()) {
            unfed_ = unfed_ || p.sets_changed;
            dropped_sets_ = dropped_sets_ || p.says.sets;
            return;
        }
        const std::span<const std::uint8_t> out = p.v.au->bytes();
        const std::span<const std::uint8_t> unit = p.au.bytes();
        FUZZ_CHECK(out.size() >= unit.size() && std::ranges::equal(out.last(unit.size()), unit));
        const std::span<const std::uint8_t> prefix = out.first(out.size() - unit.size());
        // Bytes with nothing put in front travel shared, not copied.
        FUZZ_CHECK(p.v.au->shares(p.au.data) == prefix.empty());
        const bool bare_recovery = p.v.start && !p.says.sets &&
                                   p.sync.counters().starts_at_recovery > p.c0.starts_at_recovery;
        const std::optional<Vec>& sets = p.sync.param_sets();
        const bool all_sets = sets && std::ranges::equal(prefix, *sets);
        if (unfed_) FUZZ_CHECK(all_sets);
        else if (bare_recovery) FUZZ_CHECK(!prefix.empty() && only_sets(prefix));
        else FUZZ_CHECK(prefix.empty() || (dropped_sets_ && all_sets));
        unfed_ = dropped_sets_ = false;
    }

    void count(const Push& p) {
        if (p.v.start) {
            quiet_ = since_picture_ = {};
            passed_ = 0;
            recovery_start_ = p.sync.counters().starts_at_recovery > p.c0.starts_at_recovery;
        }
        quiet_.add(p.says.slice);
        since_picture_.add(p.says.slice);
        if (p.passed()) ++passed_;
        if (since_request_) ++*since_request_;
        if (since_request_slices_ && p.says.slice) ++*since_request_slices_;
        // An IDR picture answers the requests before it (a gap onto frame_num 1 may show one
        // that was lost).
        if (p.passed() && (p.says.idr || p.says.frame_num_one)) since_request_.reset();
        if (p.passed() && p.v.idr) since_request_slices_.reset();
    }

    void check_requests(const Push& p) const {
        if (p.requested()) {
            FUZZ_CHECK(spacing_allows());
            // Every request has its reason: a loss (when losses ask), an incomplete unit before
            // any start point (the start itself may be what was lost), or the silence threshold.
            const bool start_lost = p.before == SyncState::Waiting && !p.au.complete;
            const bool loss =
                config_.request_idr_on_loss && (p.lost() || p.v.damaged || start_lost);
            FUZZ_CHECK(loss || quiet_.all >= threshold());
        }
        const bool asks = p.v.signal.has_value();
        // A loss asks at once, unless a recovery point in the unit may mend it.
        const bool may_mend = p.passed() && p.says.sei;
        if (p.lost() && config_.request_idr_on_loss && spacing_sure() && !may_mend)
            FUZZ_CHECK(asks);
        // So does silence: the threshold's worth of units without a picture or a request (the
        // recovery silence after a start at a recovery point).
        if (p.says.slice && quiet_.slices >= threshold() && spacing_sure()) FUZZ_CHECK(asks);
    }

    void check_wedged(const Push& p) const {
        if (p.reset()) FUZZ_CHECK(since_picture_.all >= config_.wedged_frames);
        if (p.passed() && passed_ >= config_.wedged_frames) FUZZ_CHECK(p.reset());
    }

    // A whole IDR picture with its sets is a start point, and the stream is whole from it on.
    void check_idr(const Push& p) const {
        const std::optional<Picture>& pic = p.unit.picture;
        if (!pic || !pic->whole_idr() || !p.au.complete || !(pic->sets || clean_)) return;
        if (p.au.key) FUZZ_CHECK(p.passed());
        if (!p.passed()) return;
        FUZZ_CHECK(p.v.idr && p.v.reference && !p.v.damaged && !p.v.first_field && !p.lost());
        if (!p.reset()) FUZZ_CHECK(p.after() != SyncState::Waiting);
    }

    // Through a well-formed run after a whole IDR picture: no flag and no loss while frame_num
    // goes on as it should; the picture after a missing reference picture is flagged and counted.
    void follow_clean(const Push& p) {
        const std::optional<Picture>& pic = p.unit.picture;
        const bool well_formed = pic && p.au.complete && pic->frame && pic->first_slice &&
                                 p.passed() && !p.reset() && !(p.jump && !pic->idr);
        if (!well_formed || (pic->idr && !(pic->whole_idr() && (pic->sets || clean_)))) {
            clean_.reset();
            return;
        }
        if (pic->idr) {
            clean_ = Clean{pic->frame_num, pic->sets ? pic->gaps_allowed : clean_->gaps_allowed};
            return;
        }
        if (!clean_) return;
        if (pic->sets) clean_->gaps_allowed = pic->gaps_allowed;
        if (pic->frame_num != (clean_->last_ref + 1) % kMaxFrameNum && !clean_->gaps_allowed) {
            // A reference picture went missing: a loss, and this picture is flagged unless a
            // recovery point in front of it names this very picture.
            FUZZ_CHECK(p.lost() && (p.v.damaged || p.says.sei));
            clean_.reset();
            return;
        }
        FUZZ_CHECK(!p.v.damaged && !p.lost());
        if (pic->reference) clean_->last_ref = pic->frame_num;
    }

    // After a loss every unit passed on is flagged, until an IDR picture or a recovery point
    // may have made the stream whole, or a start or reset forgot it.
    void follow_damage(const Push& p) {
        const bool mends = p.passed() && (p.says.idr || p.says.sei);
        if (damage_ && p.passed() && !mends && !p.v.start) FUZZ_CHECK(p.v.damaged);
        if (mends || p.v.start || p.after() == SyncState::Waiting) damage_ = false;
        if (p.lost() && p.after() != SyncState::Waiting && !mends) damage_ = true;
    }

    std::uint64_t threshold() const noexcept {
        return recovery_start_ ? config_.recovery_silence_frames : config_.stuck_frames;
    }
    // The spacing lets a request out now (as far as the pushes tell), and surely does.
    bool spacing_allows() const noexcept {
        return !config_.request_idr_on_loss || !since_request_ ||
               *since_request_ >= config_.stuck_frames;
    }
    bool spacing_sure() const noexcept {
        return !config_.request_idr_on_loss || !since_request_slices_ ||
               *since_request_slices_ >= config_.stuck_frames;
    }
    void note_request() noexcept {
        quiet_ = {};
        since_request_ = since_request_slices_ = 0;
        recovery_start_ = false;
    }
    void note_reset() noexcept {
        quiet_ = since_picture_ = {};
        passed_ = 0;
        recovery_start_ = false;
        clean_.reset();
        damage_ = false;
    }

    SyncConfig config_;
    SyncCounters last_;
    bool had_sets_ = false;
    // Dropped units changed the kept sets since the last unit passed on; or carried sets at all
    // (which may be sent again, all of them).
    bool unfed_ = false;
    bool dropped_sets_ = false;
    // Pushes since the last picture, start, request or reset; since the last picture, start or
    // reset; and of those, the ones passed on.
    Since quiet_;
    Since since_picture_;
    std::uint64_t passed_ = 0;
    // Pushes (all, and those carrying a slice) since the last request; none while no request
    // came or an IDR picture came since.
    std::optional<std::uint64_t> since_request_;
    std::optional<std::uint64_t> since_request_slices_;
    // The current start was at a recovery point, and no picture or request came since.
    bool recovery_start_ = false;
    std::optional<Clean> clean_;
    // A loss damaged the stream and nothing may have mended it yet.
    bool damage_ = false;
};

// A threshold from one byte: mostly small (where the edge cases are), sometimes huge.
std::uint32_t threshold(std::uint8_t b) {
    if (b >= 0xF8) return std::numeric_limits<std::uint32_t>::max() - (b & 7u);
    return b % 40u;
}

SyncConfig read_config(FuzzInput& in) {
    SyncConfig config;
    config.stuck_frames = threshold(in.take<std::uint8_t>());
    config.wedged_frames = threshold(in.take<std::uint8_t>());
    config.recovery_silence_frames = threshold(in.take<std::uint8_t>());
    const std::uint8_t switches = in.take<std::uint8_t>();
    config.start_at_recovery = switches & 1;
    config.request_idr_on_loss = (switches & 2) == 0;
    return config;
}

// Capture stamps move by a frame interval, a duplicate, a jitter or a jump of 16 or 17 frame
// intervals (the last two, from kFirstJump on: as far as frame_num goes round).
constexpr std::int64_t kSteps[] = {33'333, 33'333, 33'333, 0, -20'000, 41'000,
                                   16 * 33'333, 17 * 33'333};
constexpr unsigned kFirstJump = 6;

// What the receiver side has seen: the capture clock and every SPS/PPS pushed.
struct Feed {
    std::int64_t t_us = 0;
    ParamSetStore store;
};

void push_step(std::uint8_t op, FuzzInput& in, DecoderSync& sync, Feed& feed, Properties& props) {
    AccessUnit au;
    au.key = op & 4;
    au.recovery = op & 8;
    au.config = op & 16;
    const Unit unit = build_unit(op >> 5, in);
    const std::uint8_t extra = in.take<std::uint8_t>();
    au.complete = (extra & 1) == 0;
    const unsigned step = (extra >> 1) & 7;
    feed.t_us += kSteps[step];
    au.t_us = feed.t_us;
    au.data = SharedBytes(unit.bytes);
    const Contents says = read_unit(unit.bytes, feed.store);

    const SyncState before = sync.state();
    const SyncCounters c0 = sync.counters();
    const std::optional<Vec> sets0 = sync.param_sets();
    const SyncVerdict v = sync.push(au);
    const bool sets_changed = sync.param_sets() != sets0;
    props.pushed({unit, says, au, v, before, c0, sets_changed, step >= kFirstJump, sync});
}

void notify(std::uint8_t op, DecoderSync& sync, Properties& props) {
    const SyncState before = sync.state();
    if ((op & 3) == 2) {
        sync.picture_out();
        props.picture_out(sync, before);
    } else if ((op & 12) == 8) {
        sync.restart();
        props.waiting_again(sync, false);
    } else if ((op & 12) == 12) {
        const std::optional<SyncSignal> signal = sync.reference_concealed();
        props.concealed(sync, before, signal);
    } else {
        sync.decoder_failed();
        props.waiting_again(sync, true);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const SyncConfig config = read_config(in);
    DecoderSync sync(config);
    Properties props(config);
    Feed feed;
    while (!in.empty()) {
        const std::uint8_t op = in.take<std::uint8_t>();
        if ((op & 3) <= 1) push_step(op, in, sync, feed, props);
        else notify(op, sync, props);
        props.settled(sync);
    }
    return 0;
}
