// DecoderSync on arbitrary sequences of access units and decoder notifications, under arbitrary
// thresholds. A plain model of the policy runs beside it and every verdict, state and counter
// is compared after every step; the invariants that hold whatever the model says (counters
// add up, only the transitions of the state table, one signal per push at most) are checked
// on their own as well.
//
// Input: four bytes of configuration, then one byte per step (its low two bits choose push,
// picture out or a decoder notification: failure, flush or a concealed reference picture; a
// push's other bits choose the flags and the bytes, and a byte after the bytes chooses whether
// the unit arrived complete and how far its capture stamp moves). One shape of access unit is
// a picture of a real stream (SPS/PPS of MaxFrameNum 16, a slice header with frame_num and
// field flags, a recovery point) whose fields come from the input, so the model's frame_num,
// field and stamp tracking, damage and loss requests are compared too; another is parameter
// sets on their own (one SPS, one PPS, or both).

#include <algorithm>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
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

// A picture of that stream from two input bytes: x bits 0-3 frame_num, bit 4 reference,
// bit 5 IDR, bit 6 SPS/PPS in front (bit 7 their gap flag); y bit 7 a recovery point in front
// with recovery_frame_cnt y & 3, y bit 6 first_mb_in_slice 1 instead of 0, y bits 2-3 a top
// field (1), a bottom field (2) or a frame.
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
    const unsigned field = (y >> 2) & 3;
    Bits bits;
    bits.ue(y & 64 ? 1 : 0);  // first_mb_in_slice
    bits.ue(5);               // slice_type
    bits.ue(0);               // pic_parameter_set_id
    bits.put(x & 15, 4);      // frame_num
    bits.put(field == 1 || field == 2, 1);
    if (field == 1 || field == 2) bits.put(field == 2, 1);
    out.insert(out.end(), {0, 0, 1, header});
    const Vec body = bits.finish();
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Vec access_unit_bytes(unsigned shape, FuzzInput& in) {
    const Vec s = sps(in.take<std::uint8_t>());
    switch (shape) {
        case 0: return kSlice;
        case 1: return kIdr;
        case 2: return cat({&s, &kPps, &kIdr});
        case 3: return cat({&kSeiRecovery, &kSlice});
        case 4: {
            // Parameter sets on their own: an SPS, a PPS, or both.
            const unsigned which = in.take<std::uint8_t>() % 3;
            return which == 0 ? s : which == 1 ? kPps : cat({&s, &kPps});
        }
        case 5: return cat({&s, &kPps, &kSeiRecovery, &kSlice});
        case 6: return stream_picture(in);
        default: return in.take_vector(in.take<std::uint8_t>());
    }
}

// The policy as plain arithmetic, 64-bit counts capped at the 32-bit maximum.
struct Model {
    static constexpr std::uint64_t kCap = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::size_t kMaxSetBytes = 4096;

    SyncConfig config;
    SyncCounters c;
    // Parameter sets by id, without start codes, and their concatenation.
    std::map<std::uint32_t, Vec> sps, pps;
    std::optional<Vec> sets;
    ParamSetFacts facts;
    bool unfed = false;
    std::uint64_t fed_since_output = 0;
    std::uint64_t silence = 0;
    bool recovery_start = false;
    SyncState state = SyncState::Waiting;
    std::uint64_t since_request = kCap;
    std::optional<std::uint32_t> prev_ref;
    std::optional<std::pair<std::uint32_t, bool>> open_field;
    bool damaged = false;
    std::optional<std::uint32_t> target;
    std::optional<std::int64_t> last_t;
    std::int64_t interval = 0;
    std::uint64_t steady = 0;

    struct Verdict {
        std::optional<Vec> bytes;
        std::optional<SyncSignal> signal;
        bool key = false;
        bool start = false;
        bool damaged = false;
        bool reference = false;
        bool idr = false;
        bool first_field = false;
        bool prefixed = false;
    };

    static Vec with_start_code(const Vec& nal) {
        Vec out{0, 0, 0, 1};
        out.insert(out.end(), nal.begin(), nal.end());
        return out;
    }
    // Keeps the sets of `data`; whether it had any, and whether a kept one changed.
    std::pair<bool, bool> take(const Vec& data) {
        bool found = false, changed = false;
        for (const NalUnit& u : nal_units(data)) {
            if (u.type != kNalSps && u.type != kNalPps) continue;
            found = true;
            const Vec nal(data.begin() + static_cast<std::ptrdiff_t>(u.begin),
                          data.begin() + static_cast<std::ptrdiff_t>(u.end));
            if (nal.size() > kMaxSetBytes) continue;
            std::map<std::uint32_t, Vec>* table = nullptr;
            std::uint32_t id = 0;
            if (u.type == kNalSps) {
                const auto f = parse_sps(nal);
                if (!f) continue;
                table = &sps;
                id = f->id;
            } else {
                const auto f = parse_pps(nal);
                if (!f) continue;
                table = &pps;
                id = f->id;
            }
            if (table->contains(id) && (*table)[id] == nal) continue;
            (*table)[id] = nal;
            facts.learn(nal);
            changed = true;
        }
        if (changed) {
            Vec all;
            for (const auto* table : {&sps, &pps})
                for (const auto& [id, nal] : *table) {
                    const Vec one = with_start_code(nal);
                    all.insert(all.end(), one.begin(), one.end());
                }
            sets = all;
        }
        return {found, changed};
    }
    std::optional<Vec> for_pps(std::uint32_t id) const {
        if (!pps.contains(id)) return std::nullopt;
        Vec out;
        if (const auto f = facts.pps(id); f && sps.contains(f->sps_id))
            out = with_start_code(sps.at(f->sps_id));
        const Vec p = with_start_code(pps.at(id));
        out.insert(out.end(), p.begin(), p.end());
        return out;
    }

    bool spaced() const {
        return !config.request_idr_on_loss || since_request >= config.stuck_frames;
    }
    SyncSignal request() {
        silence = since_request = 0;
        recovery_start = false;
        ++c.idr_requests;
        return SyncSignal::RequestIdr;
    }
    void damage() {
        damaged = true;
        target.reset();
        ++c.losses;
    }
    void forget() {
        prev_ref.reset();
        open_field.reset();
        damaged = false;
        target.reset();
        last_t.reset();
        interval = 0;
        steady = 0;
    }
    std::int64_t stamp_jump(std::int64_t t) {
        std::int64_t jump = 0;
        if (last_t) {
            const __int128 delta = static_cast<__int128>(t) - *last_t;
            const __int128 slack = interval / 4;
            if (interval > 0 && delta >= interval - slack && delta <= interval + slack) {
                steady = std::min(steady + 1, kCap);
                interval += static_cast<std::int64_t>((delta - interval) / 8);
            } else {
                if (steady >= 8 && delta > interval)
                    jump = static_cast<std::int64_t>(std::min<__int128>(
                        delta / interval, std::numeric_limits<std::int64_t>::max()));
                steady = 0;
                interval = delta > 0 && delta <= std::numeric_limits<std::int64_t>::max()
                               ? static_cast<std::int64_t>(delta)
                               : 0;
            }
        }
        last_t = t;
        return jump;
    }
    bool follow(const SliceFacts& s, std::int64_t jump, bool& first_field) {
        const bool ref = s.nal_ref_idc != 0;
        if (s.field == true && s.frame_num) {
            const bool second = open_field && open_field->first == *s.frame_num &&
                                open_field->second != s.bottom_field;
            if (second) open_field.reset();
            else open_field = std::pair{*s.frame_num, s.bottom_field};
            first_field = !second;
        } else {
            open_field.reset();
        }
        bool gap = false;
        if (!s.idr && s.frame_num && prev_ref && !s.frame_num_gaps_allowed) {
            const std::uint32_t fn = *s.frame_num, max = s.max_frame_num;
            const bool wrapped = jump >= std::int64_t{max} - 1;
            if (fn == (*prev_ref + 1) % max) gap = wrapped;
            else if (fn == *prev_ref) gap = s.field == false || wrapped;
            else gap = true;
            if (gap && fn == 1 % max) since_request = kCap;
            if (gap && !ref) prev_ref = (fn + max - 1) % max;
        }
        if (ref) prev_ref = s.frame_num;
        return gap;
    }
    void track(const Vec& data, std::int64_t t, bool complete, Verdict& v) {
        const std::int64_t jump = stamp_jump(t);
        bool idr = false, gap = false, reference = false;
        std::optional<std::uint32_t> count;
        std::optional<SliceFacts> picture, stand_in;
        for (const NalUnit& u : nal_units(data)) {
            const std::span<const std::uint8_t> nal(data.data() + u.begin, u.end - u.begin);
            if (u.type == kNalSei) {
                if (!count) count = recovery_frame_cnt(nal);
                continue;
            }
            if (u.type != kNalSlice && u.type != kNalIdrSlice) continue;
            const std::optional<SliceFacts> s = parse_slice(nal, facts);
            if (!s) continue;
            reference = reference || s->nal_ref_idc != 0;
            if (!s->first_mb_in_slice) {
                if (s->nal_ref_idc != 0) prev_ref.reset();
                continue;
            }
            if (*s->first_mb_in_slice != 0 || (s->colour_plane_id && *s->colour_plane_id != 0)) {
                if (!complete && !stand_in && s->frame_num) stand_in = s;
                continue;
            }
            idr = idr || s->idr;
            gap = follow(*s, jump, v.first_field) || gap;
            picture = s;
        }
        if (!picture && stand_in) {
            idr = stand_in->idr;
            gap = follow(*stand_in, jump, v.first_field);
            picture = stand_in;
        }
        if (idr) {
            damaged = false;
            target.reset();
            since_request = kCap;
        }
        if (gap) damage();
        if (damaged && !target && count && picture && picture->frame_num)
            target = (*picture->frame_num + *count) % picture->max_frame_num;
        if (target && picture && picture->nal_ref_idc != 0 && picture->frame_num == target) {
            damaged = false;
            target.reset();
        }
        if (!complete && (reference || !picture)) damage();
        v.damaged = damaged || !complete;
        v.reference = reference;
        v.idr = idr;
    }

    // The PPS a slice names and its SPS were seen (or the slice does not say which).
    bool sets_seen(const Vec& data, const NalUnit& slice) const {
        const std::span<const std::uint8_t> nal(data.data() + slice.begin, slice.end - slice.begin);
        const std::optional<SliceFacts> f = parse_slice(nal, facts);
        if (!f || !f->pic_parameter_set_id) return true;
        const std::optional<PpsFacts> pps = facts.pps(*f->pic_parameter_set_id);
        return pps && facts.sps(pps->sps_id);
    }
    void bump() {
        fed_since_output = std::min(fed_since_output + 1, kCap);
        silence = std::min(silence + 1, kCap);
    }
    void clear() { fed_since_output = silence = 0; }

    Verdict pass(const Vec& data, std::int64_t t, bool complete, std::optional<Vec> prefix,
                 bool key, bool starting) {
        bump();
        ++c.fed;
        if (unfed) {
            prefix = sets;
            unfed = false;
        }
        Verdict v;
        v.prefixed = prefix.has_value();
        v.bytes = prefix ? cat({&*prefix, &data}) : data;
        v.key = key;
        v.start = starting;
        track(data, t, complete, v);
        if (fed_since_output >= config.wedged_frames) {
            reset();
            v.signal = SyncSignal::Reset;
        } else if ((silence >= (recovery_start ? config.recovery_silence_frames
                                               : config.stuck_frames) ||
                    (config.request_idr_on_loss && damaged)) &&
                   spaced()) {
            v.signal = request();
        }
        return v;
    }

    Verdict push(const Vec& data, std::int64_t t, bool key, bool recovery, bool complete) {
        ++c.frames;
        const auto [found, changed] = take(data);
        std::optional<NalUnit> slice;
        for (const NalUnit& u : nal_units(data))
            if (u.type >= 1 && u.type <= 5) {
                slice = u;
                break;
            }
        if (!slice && (found || !complete)) {
            if (changed) unfed = true;
            ++c.dropped;
            Verdict v;
            if (!complete && state != SyncState::Waiting) {
                damage();
                if (config.request_idr_on_loss && spaced()) v.signal = request();
            }
            return v;
        }
        since_request = std::min(since_request + 1, kCap);
        if (key && !sets_seen(data, *slice)) {
            // An IDR picture whose PPS or SPS never came: dropped, a loss, asked for at once.
            if (changed) unfed = true;
            ++c.dropped;
            bump();
            Verdict v;
            if (silence >= config.stuck_frames && spaced()) v.signal = request();
            if (state == SyncState::Waiting) ++c.losses;
            else damage();
            if (!v.signal && config.request_idr_on_loss && spaced()) v.signal = request();
            return v;
        }
        if (state != SyncState::Waiting) return pass(data, t, complete, std::nullopt, key, false);
        if (key) {
            recovery_start = false;
            start();
            return pass(data, t, complete, std::nullopt, true, true);
        }
        if (config.start_at_recovery && recovery && (found || sets)) {
            std::optional<Vec> prefix;
            bool decodable = true;
            if (!found) {
                const std::span<const std::uint8_t> nal(data.data() + slice->begin,
                                                        slice->end - slice->begin);
                const std::optional<SliceFacts> f = parse_slice(nal, facts);
                if (f && f->pic_parameter_set_id) {
                    prefix = for_pps(*f->pic_parameter_set_id);
                    decodable = prefix.has_value();
                } else {
                    prefix = sets;
                }
            }
            if (decodable) {
                recovery_start = true;
                ++c.starts_at_recovery;
                start();
                return pass(data, t, complete, std::move(prefix), true, true);
            }
        }
        if (changed) unfed = true;
        ++c.dropped;
        bump();
        Verdict v;
        if (silence >= config.stuck_frames && spaced()) v.signal = request();
        return v;
    }
    void start() {
        state = SyncState::Primed;
        ++c.starts;
        clear();
        forget();
    }
    void picture_out() {
        recovery_start = false;
        clear();
        ++c.output;
        if (state == SyncState::Primed) state = SyncState::Streaming;
    }
    void reset() {
        restart();
        ++c.resets;
    }
    void restart() {
        clear();
        forget();
        recovery_start = false;
        state = SyncState::Waiting;
    }
    std::optional<SyncSignal> reference_concealed() {
        if (state == SyncState::Waiting || damaged) return std::nullopt;
        damage();
        if (config.request_idr_on_loss && spaced()) return request();
        return std::nullopt;
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

    // Capture stamps move by a frame interval, a duplicate, a jitter or a jump.
    static constexpr std::int64_t kSteps[] = {33'333, 33'333, 33'333, 0, -20'000, 41'000,
                                              16 * 33'333, 17 * 33'333};
    std::int64_t t_us = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.take<std::uint8_t>();
        const SyncState before = sync.state();
        const SyncCounters c0 = sync.counters();
        if ((op & 3) <= 1) {
            AccessUnit au;
            au.key = op & 4;
            au.recovery = op & 8;
            au.config = op & 16;
            const Vec bytes = access_unit_bytes(op >> 5, in);
            const std::uint8_t extra = in.take<std::uint8_t>();
            au.complete = (extra & 1) == 0;
            t_us += kSteps[(extra >> 1) & 7];
            au.t_us = t_us;
            au.data = SharedBytes(bytes);

            const SyncVerdict v = sync.push(au);
            const Model::Verdict m = model.push(bytes, t_us, au.key, au.recovery, au.complete);
            FUZZ_CHECK(v.au.has_value() == m.bytes.has_value());
            if (v.au) FUZZ_CHECK(bytes_equal(*v.au, *m.bytes));
            // Bytes with nothing put in front travel shared, not copied.
            if (v.au) FUZZ_CHECK(v.au->shares(au.data) == !m.prefixed);
            FUZZ_CHECK(v.signal == m.signal && v.key == m.key && v.start == m.start);
            FUZZ_CHECK(v.damaged == m.damaged && v.reference == m.reference && v.idr == m.idr &&
                       v.first_field == m.first_field);
            FUZZ_CHECK(!(v.damaged || v.first_field || v.idr || v.reference) || v.au);
            // An incomplete unit passed on is always marked damaged.
            if (v.au && !au.complete) FUZZ_CHECK(v.damaged);

            const SyncCounters& c1 = sync.counters();
            FUZZ_CHECK(c1.frames == c0.frames + 1);
            FUZZ_CHECK(c1.dropped + c1.fed == c0.dropped + c0.fed + 1);
            FUZZ_CHECK(v.au.has_value() == (c1.fed == c0.fed + 1));
            // One signal at most: a push that resets does not also request.
            FUZZ_CHECK((c1.resets - c0.resets) + (c1.idr_requests - c0.idr_requests) <= 1);
            FUZZ_CHECK((c1.resets != c0.resets) == (v.signal == SyncSignal::Reset));
            FUZZ_CHECK((c1.idr_requests != c0.idr_requests) == (v.signal == SyncSignal::RequestIdr));
            FUZZ_CHECK(c1.output == c0.output);
            FUZZ_CHECK(v.start == (c1.starts == c0.starts + 1));
            if (v.start) FUZZ_CHECK(v.key && v.au);
            // Transitions of a push: a drop leaves the state (only units without a slice, and
            // IDR pictures naming sets never seen, are dropped once started); a start leaves
            // Waiting; any other change is a wedged reset.
            if (!v.au) FUZZ_CHECK(sync.state() == before);
            if (!v.au && before != SyncState::Waiting && !au.key)
                FUZZ_CHECK(std::ranges::none_of(nal_units(bytes), [](const NalUnit& u) {
                    return u.type >= 1 && u.type <= 5;
                }));
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
        } else if ((op & 12) == 8) {
            sync.restart();
            model.restart();
            FUZZ_CHECK(sync.state() == SyncState::Waiting && sync.fed_since_output() == 0);
            FUZZ_CHECK(sync.counters().resets == c0.resets);
        } else if ((op & 12) == 12) {
            const std::optional<SyncSignal> signal = sync.reference_concealed();
            FUZZ_CHECK(signal == model.reference_concealed());
            FUZZ_CHECK(!signal || TestAccess::damaged(sync));
            FUZZ_CHECK(sync.state() == before);
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
