// DecoderSync on arbitrary sequences of access units and decoder notifications, under arbitrary
// thresholds. A plain model of the policy runs beside it and every verdict, state and counter
// is compared after every step; the invariants that hold whatever the model says (counters
// add up, only the transitions of the state table, one signal per push at most) are checked
// on their own as well.
//
// Input: four bytes of configuration, then one byte per step (its low two bits choose push,
// picture out or decoder failure; a push's other bits choose the flags and the bytes). One
// shape of access unit is a picture of a real stream (SPS/PPS of MaxFrameNum 16, a slice
// header with frame_num, a recovery point) whose fields come from the input, so the model's
// frame_num tracking, damage and loss requests are compared too.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/annexb.hpp"
#include "talmiro_media/sync.hpp"
#include "talmiro_media/internal/test_access.hpp"

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

// Baseline SPS 0 with log2_max_frame_num 4, POC type 2, one reference frame and the gap flag
// `gaps`; PPS 0 on it.
Vec stream_sets(bool gaps) {
    return {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xDA, static_cast<std::uint8_t>(gaps ? 0xE0 : 0x60),
            0, 0, 0, 1, 0x68, 0xD0};
}

// A picture of that stream from two input bytes: x bits 0-3 frame_num, bit 4 reference,
// bit 5 IDR, bit 6 SPS/PPS in front (bit 7 their gap flag); y bit 7 a recovery point in front
// with recovery_frame_cnt y & 3, y bit 6 first_mb_in_slice 1 instead of 0.
Vec stream_picture(FuzzInput& in) {
    const std::uint8_t x = in.take<std::uint8_t>();
    const std::uint8_t y = in.take<std::uint8_t>();
    Vec out = (x & 64) ? stream_sets(x & 128) : Vec{};
    if (y & 128) {
        // recovery_frame_cnt ue(0..3) then the flag bits and the stop bit, in one byte.
        static constexpr std::uint8_t kCount[] = {0xC0, 0x50, 0x70, 0x24};
        out.insert(out.end(), {0, 0, 1, 0x06, 0x06, 0x01, kCount[y & 3], 0x80});
    }
    const auto header = static_cast<std::uint8_t>((x & 32 ? 5 : 1) | (x & 16 ? 0x40 : 0));
    const std::uint8_t fn = x & 15;
    if (y & 64) {
        // first_mb ue(1), slice_type ue(5), pps ue(0): 010 00110, then 1 ffff and a stop bit.
        out.insert(out.end(), {0, 0, 1, header, 0x46, static_cast<std::uint8_t>(0x84 | fn << 3)});
    } else {
        // first_mb ue(0), slice_type ue(5), pps ue(0): 1 00110 1, then ffff and a stop bit.
        out.insert(out.end(), {0, 0, 1, header, 0x9A, static_cast<std::uint8_t>(fn << 4 | 8)});
    }
    return out;
}

Vec access_unit_bytes(unsigned shape, FuzzInput& in) {
    const Vec s = sps(in.take<std::uint8_t>());
    switch (shape) {
        case 0: return kSlice;
        case 1: return kIdr;
        case 2: return cat({&s, &kPps, &kIdr});
        case 3: return cat({&kSeiRecovery, &kSlice});
        case 4: return cat({&s, &kPps});
        case 5: return cat({&s, &kPps, &kSeiRecovery, &kSlice});
        case 6: return stream_picture(in);
        default: return in.take_vector(in.take<std::uint8_t>());
    }
}

// The policy as plain arithmetic, 64-bit counts capped at the 32-bit maximum.
struct Model {
    static constexpr std::uint64_t kCap = std::numeric_limits<std::uint32_t>::max();

    SyncConfig config;
    SyncCounters c;
    std::optional<Vec> sets;
    std::uint64_t fed_since_output = 0;
    std::uint64_t silence = 0;
    bool recovery_start = false;
    SyncState state = SyncState::Waiting;
    ParamSetFacts facts;
    std::uint64_t since_request = kCap;
    std::optional<std::uint32_t> prev_ref;
    bool damaged = false;
    std::optional<std::uint32_t> countdown;

    struct Verdict {
        std::optional<Vec> bytes;
        std::optional<SyncSignal> signal;
        bool key = false;
        bool start = false;
        bool damaged = false;
    };

    bool spaced() const { return !config.request_idr_on_loss || since_request >= config.stuck_frames; }
    void request(Verdict& v) {
        silence = since_request = 0;
        recovery_start = false;
        ++c.idr_requests;
        v.signal = SyncSignal::RequestIdr;
    }
    void forget() {
        prev_ref.reset();
        damaged = false;
        countdown.reset();
    }
    // The frame_num rule over the first slices of the pictures of one access unit passed on.
    void track(const Vec& data) {
        bool idr = false, gap = false;
        std::optional<std::uint32_t> count;
        for (const NalUnit& u : nal_units(data)) {
            const std::span<const std::uint8_t> nal(data.data() + u.begin, u.end - u.begin);
            if (u.type == kNalSei && !count) count = recovery_frame_cnt(nal);
            const std::optional<SliceFacts> s = parse_slice(nal, facts);
            if (!s) continue;
            const bool ref = s->nal_ref_idc != 0;
            if (!s->first_mb_in_slice) {
                if (ref) prev_ref.reset();
                continue;
            }
            if (*s->first_mb_in_slice != 0 || (s->colour_plane_id && *s->colour_plane_id != 0))
                continue;
            if (s->idr) {
                idr = true;
            } else if (s->frame_num && prev_ref && !s->frame_num_gaps_allowed &&
                       *s->frame_num != (*prev_ref + 1) % s->max_frame_num &&
                       *s->frame_num != *prev_ref) {
                gap = true;
                ++c.losses;
                if (!ref) prev_ref = (*s->frame_num + s->max_frame_num - 1) % s->max_frame_num;
            }
            if (ref) prev_ref = s->frame_num;
        }
        if (idr) {
            damaged = false;
            countdown.reset();
        }
        if (gap) {
            damaged = true;
            countdown.reset();
        } else if (countdown && *countdown > 0) {
            --*countdown;
        }
        if (damaged && !countdown && count) countdown = count;
        if (countdown && *countdown == 0) {
            damaged = false;
            countdown.reset();
        }
    }

    void bump() {
        fed_since_output = std::min(fed_since_output + 1, kCap);
        silence = std::min(silence + 1, kCap);
    }
    void clear() { fed_since_output = silence = 0; }

    Verdict push(const Vec& data, bool key, bool recovery) {
        ++c.frames;
        const std::optional<Vec> found = extract_param_sets(data);
        if (found) {
            sets = found;
            facts.learn_all(*found);
        }
        since_request = std::min(since_request + 1, kCap);
        bool starting = false;
        std::optional<Vec> bytes;
        if (state != SyncState::Waiting) {
            bytes = data;
        } else if (key) {
            recovery_start = false;
            bytes = data;
            starting = true;
        } else if (config.start_at_recovery && recovery && (found || sets)) {
            bytes = found ? data : cat({&*sets, &data});
            recovery_start = true;
            ++c.starts_at_recovery;
            starting = true;
        }
        Verdict v;
        if (!bytes) {
            ++c.dropped;
            bump();
            if (silence >= config.stuck_frames && spaced()) request(v);
            return v;
        }
        if (starting) {
            state = SyncState::Primed;
            ++c.starts;
            clear();
            forget();
        }
        bump();
        ++c.fed;
        track(*bytes);
        v.damaged = damaged;
        v.bytes = std::move(bytes);
        v.key = key || starting;
        v.start = starting;
        if (fed_since_output >= config.wedged_frames) {
            reset();
            v.signal = SyncSignal::Reset;
        } else if ((silence >= (recovery_start ? config.recovery_silence_frames
                                               : config.stuck_frames) ||
                    (config.request_idr_on_loss && damaged)) &&
                   spaced()) {
            request(v);
        }
        return v;
    }
    void picture_out() {
        recovery_start = false;
        clear();
        ++c.output;
        if (state == SyncState::Primed) state = SyncState::Streaming;
    }
    void reset() {
        clear();
        forget();
        recovery_start = false;
        state = SyncState::Waiting;
        ++c.resets;
    }
};

// A threshold from one byte: mostly small (where the edge cases are), sometimes huge.
std::uint32_t threshold(std::uint8_t b) {
    if (b >= 0xF8) return std::numeric_limits<std::uint32_t>::max() - (b & 7u);
    return b % 40u;
}

bool bytes_equal(const SharedBytes& a, const Vec& b) {
    return std::equal(a.bytes().begin(), a.bytes().end(), b.begin(), b.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    SyncConfig config;
    config.stuck_frames = threshold(in.take<std::uint8_t>());
    config.wedged_frames = threshold(in.take<std::uint8_t>());
    config.recovery_silence_frames = threshold(in.take<std::uint8_t>());
    const std::uint8_t switches = in.take<std::uint8_t>();
    config.start_at_recovery = switches & 1;
    config.request_idr_on_loss = (switches & 2) == 0;

    DecoderSync sync(config);
    Model model;
    model.config = config;

    while (!in.empty()) {
        const std::uint8_t op = in.take<std::uint8_t>();
        const SyncState before = sync.state();
        const SyncCounters c0 = sync.counters();
        if ((op & 3) <= 1) {
            AccessUnit au;
            au.key = op & 4;
            au.recovery = op & 8;
            au.config = op & 16;
            au.t_us = static_cast<std::int64_t>(op) << 40;
            const Vec bytes = access_unit_bytes(op >> 5, in);
            au.data = SharedBytes(bytes);

            const SyncVerdict v = sync.push(au);
            const Model::Verdict m = model.push(bytes, au.key, au.recovery);
            FUZZ_CHECK(v.au.has_value() == m.bytes.has_value());
            if (v.au) FUZZ_CHECK(bytes_equal(*v.au, *m.bytes));
            // Unchanged bytes travel shared, not copied.
            if (v.au && !(v.start && !au.key && !extract_param_sets(bytes)))
                FUZZ_CHECK(v.au->shares(au.data));
            FUZZ_CHECK(v.signal == m.signal && v.key == m.key && v.start == m.start);
            FUZZ_CHECK(v.damaged == m.damaged);
            FUZZ_CHECK(!v.damaged || v.au);

            const SyncCounters& c1 = sync.counters();
            FUZZ_CHECK(c1.frames == c0.frames + 1);
            FUZZ_CHECK(c1.dropped + c1.fed == c0.dropped + c0.fed + 1);
            FUZZ_CHECK(v.au.has_value() == (c1.fed == c0.fed + 1));
            // One signal at most: a push that resets does not also request.
            FUZZ_CHECK((c1.resets - c0.resets) + (c1.idr_requests - c0.idr_requests) <= 1);
            FUZZ_CHECK((c1.resets != c0.resets) == (v.signal == SyncSignal::Reset));
            FUZZ_CHECK((c1.idr_requests != c0.idr_requests) == (v.signal == SyncSignal::RequestIdr));
            FUZZ_CHECK(c1.output == c0.output);
            FUZZ_CHECK(c1.losses == c0.losses || v.au);
            FUZZ_CHECK(v.start == (c1.starts == c0.starts + 1));
            if (v.start) FUZZ_CHECK(v.key && v.au);
            // Transitions of a push: a drop only while waiting; a start leaves Waiting; any
            // other change is a wedged reset.
            if (!v.au) FUZZ_CHECK(before == SyncState::Waiting && sync.state() == SyncState::Waiting);
            if (v.start) FUZZ_CHECK(before == SyncState::Waiting);
            if (v.signal == SyncSignal::Reset) FUZZ_CHECK(sync.state() == SyncState::Waiting);
            else if (v.start) FUZZ_CHECK(sync.state() == SyncState::Primed);
            else FUZZ_CHECK(sync.state() == before);
        } else if ((op & 3) == 2) {
            sync.picture_out();
            model.picture_out();
            const SyncState expected = before == SyncState::Primed ? SyncState::Streaming : before;
            FUZZ_CHECK(sync.state() == expected && sync.fed_since_output() == 0);
            FUZZ_CHECK(sync.counters().output == c0.output + 1);
        } else {
            sync.decoder_failed();
            model.reset();
            FUZZ_CHECK(sync.state() == SyncState::Waiting && sync.fed_since_output() == 0);
            FUZZ_CHECK(sync.counters().resets == c0.resets + 1);
        }

        const SyncCounters& c = sync.counters();
        FUZZ_CHECK(c == model.c);
        FUZZ_CHECK(c.frames == c.dropped + c.fed);
        FUZZ_CHECK(c.starts_at_recovery <= c.starts && c.starts <= c.fed);
        FUZZ_CHECK(sync.state() == model.state);
        FUZZ_CHECK(sync.fed_since_output() == model.fed_since_output);
        FUZZ_CHECK(sync.param_sets() == model.sets);
        FUZZ_CHECK(TestAccess::damaged(sync) == model.damaged);
    }
    return 0;
}
