// The decoder sync policy: what reaches the decoder, priming recovery points, requests, resets.
#include "talmiro_media/sync.hpp"

#include <algorithm>
#include <limits>

#include "talmiro_media/internal/saturating_increment.hpp"

namespace talmiro_media {

std::string_view sync_state_name(SyncState state) noexcept {
    switch (state) {
        case SyncState::Waiting: return "waiting";
        case SyncState::Primed: return "primed";
        case SyncState::Streaming: return "streaming";
    }
    return "waiting";
}

std::string_view sync_signal_name(SyncSignal signal) noexcept {
    return signal == SyncSignal::Reset ? "reset" : "request_idr";
}

DecoderSync::DecoderSync(DecoderSync&&) noexcept = default;
DecoderSync& DecoderSync::operator=(DecoderSync&&) noexcept = default;

namespace {

constexpr std::uint32_t kNever = std::numeric_limits<std::uint32_t>::max();
// Stamp intervals in a row within a quarter of the learnt one before the stamps are believed.
constexpr std::uint32_t kSteadyIntervals = 8;

bool is_slice(const NalUnit& nal) noexcept {
    return nal.type == kNalSlice || nal.type == kNalIdrSlice;
}

// The first slice NAL unit of the units, if any.
const NalUnit* first_slice(std::span<const NalUnit> units) noexcept {
    for (const NalUnit& nal : units)
        if (nal.type >= kNalSlice && nal.type <= kNalIdrSlice) return &nal;
    return nullptr;
}

std::span<const std::uint8_t> bytes_of(std::span<const std::uint8_t> data,
                                       const NalUnit& nal) noexcept {
    return data.subspan(nal.begin, nal.end - nal.begin);
}

std::uint32_t next_frame_num(std::uint32_t frame_num, std::uint32_t max_frame_num) noexcept {
    return static_cast<std::uint32_t>((std::uint64_t{frame_num} + 1) % max_frame_num);
}

}  // namespace

SyncVerdict DecoderSync::no_picture(const AccessUnit& au, bool changed) {
    // Parameter sets on their own (from a session description, or sent apart from the
    // pictures), or a unit whose every slice was lost: libavcodec makes no picture of it and
    // would answer with an error. A lost picture damages a started stream.
    if (changed) unfed_ = true;
    ++counters_.dropped;
    SyncVerdict verdict;
    if (!au.complete && state_ != SyncState::Waiting) {
        damage();
        if (config_.request_idr_on_loss && request_spaced()) verdict.signal = request();
    } else if (!au.complete && start_lost()) {
        verdict.signal = request();
    }
    return verdict;
}

SyncVerdict DecoderSync::sets_missing(bool changed) {
    // Lost with the packet that carried them: libavcodec could only refuse the picture. It is
    // a lost picture, asked for again at once.
    if (changed) unfed_ = true;
    SyncVerdict verdict = drop();
    if (state_ == SyncState::Waiting) ++counters_.losses;
    else damage();
    if (!verdict.signal && config_.request_idr_on_loss && request_spaced())
        verdict.signal = request();
    return verdict;
}

std::optional<std::optional<std::vector<std::uint8_t>>> DecoderSync::recovery_start(
    const AccessUnit& au, const NalUnit* slice, bool carries_sets) {
    if (!config_.start_at_recovery || !au.recovery || !(carries_sets || sets_.all()))
        return std::nullopt;
    // A bare recovery point takes the sets its slices name; when they name none that can be
    // read, all of them.
    if (carries_sets) return std::optional<std::vector<std::uint8_t>>{};
    const std::span<const std::uint8_t> data = au.bytes();
    const std::optional<SliceFacts> facts =
        slice ? parse_slice(bytes_of(data, *slice), sets_.facts()) : std::nullopt;
    if (!facts || !facts->pic_parameter_set_id) return sets_.all();
    std::optional<std::vector<std::uint8_t>> prefix = sets_.for_pps(*facts->pic_parameter_set_id);
    if (!prefix) return std::nullopt;
    return prefix;
}

SyncVerdict DecoderSync::push(const AccessUnit& au) {
    ++counters_.frames;
    // One walk of the bytes serves the cache and the tracking. SPS/PPS are kept from every
    // access unit, also one about to be dropped, so a later picture can be primed with them.
    const std::span<const std::uint8_t> data = au.bytes();
    const std::vector<NalUnit> units = list_nal_units(data);
    bool changed = false;
    const bool carries_sets = sets_.take(data, units, changed);
    const NalUnit* slice = first_slice(units);
    if (!slice && (carries_sets || !au.complete)) return no_picture(au, changed);
    saturating_increment(since_request_);
    if (au.key && slice && !sets_known(bytes_of(data, *slice))) return sets_missing(changed);

    if (state_ != SyncState::Waiting) return pass_on(au, units, std::nullopt, au.key, false);

    if (au.key) {
        recovery_start_ = false;
        start();
        return pass_on(au, units, std::nullopt, true, true);
    }
    if (auto prefix = recovery_start(au, slice, carries_sets)) {
        recovery_start_ = true;
        ++counters_.starts_at_recovery;
        start();
        return pass_on(au, units, std::move(*prefix), true, true);
    }
    if (changed) unfed_ = true;
    SyncVerdict verdict = drop();
    if (!verdict.signal && !au.complete && start_lost()) verdict.signal = request();
    return verdict;
}

void DecoderSync::picture_out() noexcept {
    recovery_start_ = false;
    clear_counts();
    ++counters_.output;
    if (state_ == SyncState::Primed) state_ = SyncState::Streaming;
}

void DecoderSync::decoder_failed() noexcept { reset(); }

void DecoderSync::restart() noexcept {
    clear_counts();
    forget_stream();
    recovery_start_ = false;
    state_ = SyncState::Waiting;
}

std::optional<SyncSignal> DecoderSync::reference_concealed() noexcept {
    // Damage already known (or no stream) has its own requests.
    if (state_ == SyncState::Waiting || damaged_) return std::nullopt;
    damage();
    if (config_.request_idr_on_loss && request_spaced()) return request();
    return std::nullopt;
}

void DecoderSync::start() noexcept {
    state_ = SyncState::Primed;
    ++counters_.starts;
    clear_counts();
    forget_stream();
}

void DecoderSync::reset() noexcept {
    clear_counts();
    forget_stream();
    recovery_start_ = false;
    state_ = SyncState::Waiting;
    ++counters_.resets;
}

SyncVerdict DecoderSync::pass_on(const AccessUnit& au, std::span<const NalUnit> units,
                                 std::optional<std::vector<std::uint8_t>> prefix, bool key,
                                 bool starting) {
    saturating_increment(fed_since_output_);
    saturating_increment(silence_);
    ++counters_.fed;
    // Sets the decoder has not had go in front, all of them: one new buffer, only after a
    // unit of sets on its own or a dropped unit that changed them.
    if (unfed_) {
        prefix = sets_.all();
        unfed_ = false;
    }
    SyncVerdict verdict;
    verdict.au = prefix ? SharedBytes(concat_bytes(*prefix, au.bytes())) : au.data;
    verdict.key = key;
    verdict.start = starting;
    track(au, units, verdict);
    // The wedged check comes first, so a push that resets never also requests.
    if (fed_since_output_ >= config_.wedged_frames) {
        reset();
        verdict.signal = SyncSignal::Reset;
        return verdict;
    }
    const bool loss_due = config_.request_idr_on_loss && damaged_;
    if ((silence_ >= silence_threshold() || loss_due) && request_spaced())
        verdict.signal = request();
    return verdict;
}

SyncVerdict DecoderSync::drop() noexcept {
    ++counters_.dropped;
    saturating_increment(fed_since_output_);
    saturating_increment(silence_);
    SyncVerdict verdict;
    if (silence_ >= silence_threshold() && request_spaced()) verdict.signal = request();
    return verdict;
}

std::uint32_t DecoderSync::silence_threshold() const noexcept {
    return recovery_start_ ? config_.recovery_silence_frames : config_.stuck_frames;
}

bool DecoderSync::sets_known(std::span<const std::uint8_t> slice) const noexcept {
    const std::optional<SliceFacts> facts = parse_slice(slice, sets_.facts());
    // A header that does not say which PPS it names is left to the decoder.
    if (!facts || !facts->pic_parameter_set_id) return true;
    const std::optional<PpsFacts> pps = sets_.facts().pps(*facts->pic_parameter_set_id);
    return pps && sets_.facts().sps(pps->sps_id);
}

bool DecoderSync::request_spaced() const noexcept {
    return !config_.request_idr_on_loss || since_request_ >= config_.stuck_frames;
}

bool DecoderSync::start_lost() const noexcept {
    return config_.request_idr_on_loss && state_ == SyncState::Waiting && request_spaced();
}

SyncSignal DecoderSync::request() noexcept {
    silence_ = 0;
    since_request_ = 0;
    recovery_start_ = false;
    ++counters_.idr_requests;
    return SyncSignal::RequestIdr;
}

void DecoderSync::forget_stream() noexcept {
    prev_ref_frame_num_.reset();
    open_field_.reset();
    damaged_ = false;
    recovery_target_.reset();
    last_t_us_.reset();
    interval_us_ = 0;
    steady_ = 0;
}

void DecoderSync::damage() noexcept {
    damaged_ = true;
    recovery_target_.reset();
    ++counters_.losses;
}

std::int64_t DecoderSync::stamp_jump(std::int64_t t_us) noexcept {
    std::int64_t jump = 0;
    if (last_t_us_) {
        const __int128 delta = static_cast<__int128>(t_us) - *last_t_us_;
        const __int128 interval = interval_us_;
        const __int128 slack = interval / 4;
        if (interval > 0 && delta >= interval - slack && delta <= interval + slack) {
            saturating_increment(steady_);
            // Follows a slowly drifting rate.
            interval_us_ += static_cast<std::int64_t>((delta - interval) / 8);
        } else {
            if (steady_ >= kSteadyIntervals && delta > interval)
                jump = static_cast<std::int64_t>(
                    std::min<__int128>(delta / interval, std::numeric_limits<std::int64_t>::max()));
            // Anything off the beat starts the learning over from this interval.
            steady_ = 0;
            interval_us_ = delta > 0 && delta <= std::numeric_limits<std::int64_t>::max()
                               ? static_cast<std::int64_t>(delta)
                               : 0;
        }
    }
    last_t_us_ = t_us;
    return jump;
}

bool DecoderSync::follow(const SliceFacts& slice, std::int64_t jump, bool& first_field) noexcept {
    const bool reference = slice.nal_ref_idc != 0;
    // Fields pair when the second follows the first at once, with the same frame_num and the
    // other parity.
    bool second_field = false;
    if (slice.field == true && slice.frame_num) {
        second_field = open_field_ && open_field_->frame_num == *slice.frame_num &&
                       open_field_->bottom != slice.bottom_field;
        if (second_field) open_field_.reset();
        else open_field_ = OpenField{*slice.frame_num, slice.bottom_field};
        first_field = !second_field;
    } else {
        open_field_.reset();
    }
    bool gap = false;
    if (!slice.idr && slice.frame_num && prev_ref_frame_num_ && !slice.frame_num_gaps_allowed) {
        const std::uint32_t prev = *prev_ref_frame_num_;
        const std::uint32_t fn = *slice.frame_num;
        if (fn == next_frame_num(prev, slice.max_frame_num)) {
            // A burst of MaxFrameNum lost units brings frame_num round to the expected value.
            gap = jump >= std::int64_t{slice.max_frame_num} - 1;
        } else if (fn == prev) {
            // The same frame_num again is the second field of a pair; for a frame it is a burst
            // of MaxFrameNum - 1 lost units.
            gap = slice.field == false || jump >= std::int64_t{slice.max_frame_num} - 1;
        } else {
            gap = true;
        }
        // A gap onto frame_num 1 is most likely a lost IDR picture (frame_num 0): perhaps the
        // very answer to the last request, which must not wait out the spacing then.
        if (gap && fn == next_frame_num(0, slice.max_frame_num)) since_request_ = kNever;
        // The lost reference picture just before this one had the frame_num below it, so the
        // next reference picture reveals no second loss for the same gap.
        if (gap && !reference)
            prev_ref_frame_num_ = static_cast<std::uint32_t>(
                (std::uint64_t{fn} + slice.max_frame_num - 1) % slice.max_frame_num);
    }
    if (reference) prev_ref_frame_num_ = slice.frame_num;
    return gap;
}

void DecoderSync::follow_recovery(const std::optional<SliceFacts>& picture,
                                  std::optional<std::uint32_t> recovery_count) noexcept {
    // The recovery point is the reference picture whose frame_num is the SEI's picture's plus
    // recovery_frame_cnt; it and what follows it are whole.
    if (damaged_ && !recovery_target_ && recovery_count && picture && picture->frame_num)
        recovery_target_ = static_cast<std::uint32_t>(
            (std::uint64_t{*picture->frame_num} + *recovery_count) % picture->max_frame_num);
    if (recovery_target_ && picture && picture->nal_ref_idc != 0 &&
        picture->frame_num == recovery_target_) {
        damaged_ = false;
        recovery_target_.reset();
    }
}

void DecoderSync::track(const AccessUnit& au, std::span<const NalUnit> units,
                        SyncVerdict& verdict) noexcept {
    const std::span<const std::uint8_t> data = au.bytes();
    const std::int64_t jump = stamp_jump(au.t_us);
    bool idr = false;
    bool gap = false;
    bool reference = false;
    std::optional<std::uint32_t> recovery_count;
    // The frame_num of the reference picture of this unit, for the recovery point.
    std::optional<SliceFacts> picture;
    // An incomplete unit may have lost its first slice: any slice speaks for the picture then.
    std::optional<SliceFacts> stand_in;
    for (const NalUnit& nal : units) {
        const std::span<const std::uint8_t> unit = bytes_of(data, nal);
        if (nal.type == kNalSei) {
            if (!recovery_count) recovery_count = recovery_frame_cnt(unit);
            continue;
        }
        if (!is_slice(nal)) continue;
        const std::optional<SliceFacts> slice = parse_slice(unit, sets_.facts());
        if (!slice) continue;
        reference = reference || slice->nal_ref_idc != 0;
        // Only the first slice of a picture (of its first colour plane) speaks for it. A slice
        // that cannot tell where it stands leaves the history unknown.
        if (!slice->first_mb_in_slice) {
            if (slice->nal_ref_idc != 0) prev_ref_frame_num_.reset();
            continue;
        }
        if (*slice->first_mb_in_slice != 0 || slice->colour_plane_id.value_or(0) != 0) {
            if (!au.complete && !stand_in && slice->frame_num) stand_in = slice;
            continue;
        }
        idr = idr || slice->idr;
        gap = follow(*slice, jump, verdict.first_field) || gap;
        picture = slice;
    }
    if (!picture && stand_in) {
        idr = stand_in->idr;
        gap = follow(*stand_in, jump, verdict.first_field);
        picture = stand_in;
    }
    if (idr) {
        damaged_ = false;
        recovery_target_.reset();
        // The IDR picture answered every request before it: a new loss asks at once.
        since_request_ = kNever;
    }
    if (gap) damage();
    follow_recovery(picture, recovery_count);
    // A unit that lost part of itself on the way: its own picture is damaged, and when others
    // refer to it (or it cannot say), so is the stream.
    const bool incomplete = !au.complete;
    if (incomplete && (reference || !picture)) damage();
    verdict.damaged = damaged_ || incomplete;
    verdict.reference = reference;
    verdict.idr = idr;
}

void DecoderSync::clear_counts() noexcept {
    fed_since_output_ = 0;
    silence_ = 0;
}

}  // namespace talmiro_media
