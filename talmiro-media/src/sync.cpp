// The decoder sync policy: what reaches the decoder, priming recovery points, requests, resets.
#include "talmiro_media/sync.hpp"

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

SyncVerdict DecoderSync::push(const AccessUnit& au) {
    ++counters_.frames;
    // SPS/PPS are cached from every access unit, also one about to be dropped, so a later bare
    // recovery point can be primed with them.
    const bool may_prime = state_ == SyncState::Waiting && !au.key && config_.start_at_recovery &&
                           au.recovery;
    // One walk of the bytes serves the cache and the tracking.
    const std::vector<NalUnit> units = list_nal_units(au.bytes());
    AccessUnit taken = param_sets_.take(au, units, may_prime, &facts_);
    saturating_increment(since_request_);

    if (state_ != SyncState::Waiting) return pass_on(au.data, units, au.key, false);

    if (au.key) {
        recovery_start_ = false;
        start();
        return pass_on(au.data, units, true, true);
    }
    if (may_prime && taken.config) {
        recovery_start_ = true;
        ++counters_.starts_at_recovery;
        start();
        // Primed bytes are new: the sets stand in front of the units.
        const std::vector<NalUnit> primed = list_nal_units(taken.bytes());
        return pass_on(std::move(taken.data), primed, true, true);
    }
    return drop();
}

void DecoderSync::picture_out() noexcept {
    recovery_start_ = false;
    clear_counts();
    ++counters_.output;
    if (state_ == SyncState::Primed) state_ = SyncState::Streaming;
}

void DecoderSync::decoder_failed() noexcept { reset(); }

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

SyncVerdict DecoderSync::pass_on(SharedBytes bytes, std::span<const NalUnit> units, bool key,
                                 bool starting) {
    saturating_increment(fed_since_output_);
    saturating_increment(silence_);
    ++counters_.fed;
    track(bytes.bytes(), units);
    SyncVerdict verdict{std::move(bytes), std::nullopt, key, starting, damaged_};
    // The wedged check comes first, so a push that resets never also requests.
    if (fed_since_output_ >= config_.wedged_frames) {
        reset();
        verdict.signal = SyncSignal::Reset;
        return verdict;
    }
    const std::uint32_t threshold =
        recovery_start_ ? config_.recovery_silence_frames : config_.stuck_frames;
    const bool loss_due = config_.request_idr_on_loss && damaged_;
    if ((silence_ >= threshold || loss_due) && request_spaced()) request(verdict);
    return verdict;
}

SyncVerdict DecoderSync::drop() noexcept {
    ++counters_.dropped;
    saturating_increment(fed_since_output_);
    saturating_increment(silence_);
    SyncVerdict verdict;
    if (silence_ >= config_.stuck_frames && request_spaced()) request(verdict);
    return verdict;
}

bool DecoderSync::request_spaced() const noexcept {
    return !config_.request_idr_on_loss || since_request_ >= config_.stuck_frames;
}

void DecoderSync::request(SyncVerdict& verdict) noexcept {
    silence_ = 0;
    since_request_ = 0;
    recovery_start_ = false;
    ++counters_.idr_requests;
    verdict.signal = SyncSignal::RequestIdr;
}

void DecoderSync::forget_stream() noexcept {
    prev_ref_frame_num_.reset();
    damaged_ = false;
    recovery_countdown_.reset();
}

void DecoderSync::track(std::span<const std::uint8_t> data,
                        std::span<const NalUnit> units) noexcept {
    bool idr = false;
    bool gap = false;
    std::optional<std::uint32_t> recovery_count;
    for (const NalUnit& nal : units) {
        const std::span<const std::uint8_t> unit = data.subspan(nal.begin, nal.end - nal.begin);
        if (nal.type == kNalSei) {
            if (!recovery_count) recovery_count = recovery_frame_cnt(unit);
            continue;
        }
        const std::optional<SliceFacts> slice = parse_slice(unit, facts_);
        if (!slice) continue;
        const bool reference = slice->nal_ref_idc != 0;
        // Only the first slice of a picture (of its first colour plane) speaks for it. A slice
        // that cannot tell where it stands leaves the history unknown.
        if (!slice->first_mb_in_slice) {
            if (reference) prev_ref_frame_num_.reset();
            continue;
        }
        if (*slice->first_mb_in_slice != 0 || slice->colour_plane_id.value_or(0) != 0) continue;
        if (slice->idr) {
            idr = true;
        } else if (slice->frame_num && prev_ref_frame_num_ && !slice->frame_num_gaps_allowed) {
            const std::uint32_t prev = *prev_ref_frame_num_;
            const std::uint32_t next =
                static_cast<std::uint32_t>((std::uint64_t{prev} + 1) % slice->max_frame_num);
            // The same frame_num again is the second field of a pair.
            if (*slice->frame_num != next && *slice->frame_num != prev) {
                gap = true;
                ++counters_.losses;
                // The lost reference picture just before this one had the frame_num below
                // it, so the next reference picture reveals no second loss for the same gap.
                if (!reference)
                    prev_ref_frame_num_ = static_cast<std::uint32_t>(
                        (std::uint64_t{*slice->frame_num} + slice->max_frame_num - 1) %
                        slice->max_frame_num);
            }
        }
        if (reference) prev_ref_frame_num_ = slice->frame_num;
    }
    if (idr) {
        damaged_ = false;
        recovery_countdown_.reset();
    }
    if (gap) {
        damaged_ = true;
        recovery_countdown_.reset();
    } else if (recovery_countdown_ && *recovery_countdown_ > 0) {
        --*recovery_countdown_;
    }
    if (damaged_ && !recovery_countdown_ && recovery_count) recovery_countdown_ = recovery_count;
    if (recovery_countdown_ && *recovery_countdown_ == 0) {
        damaged_ = false;
        recovery_countdown_.reset();
    }
}

void DecoderSync::clear_counts() noexcept {
    fed_since_output_ = 0;
    silence_ = 0;
}

}  // namespace talmiro_media
