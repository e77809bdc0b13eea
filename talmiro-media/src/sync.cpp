#include "talmiro_media/sync.hpp"

#include <limits>

namespace talmiro_media {

namespace {

void saturating_increment(std::uint32_t& count) noexcept {
    if (count != std::numeric_limits<std::uint32_t>::max()) ++count;
}

}  // namespace

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

SyncVerdict DecoderSync::push(const AccessUnit& au) {
    ++counters_.frames;
    // SPS/PPS are cached from every access unit, also one about to be dropped, so a later bare
    // recovery point can be primed with them.
    std::optional<std::vector<std::uint8_t>> found = extract_param_sets(au.bytes());
    const bool had_sets = found.has_value();
    if (had_sets) param_sets_ = std::move(found);

    if (state_ != SyncState::Waiting) return pass_on(au.data, au.key, false);

    if (au.key) {
        recovery_start_ = false;
        start();
        return pass_on(au.data, true, true);
    }
    if (config_.start_at_recovery && au.recovery) {
        std::optional<SharedBytes> bytes =
            had_sets ? std::optional<SharedBytes>(au.data)
                     : prime_with_param_sets(param_sets_, au.data);
        if (bytes) {
            recovery_start_ = true;
            ++counters_.starts_at_recovery;
            start();
            return pass_on(std::move(*bytes), true, true);
        }
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
}

void DecoderSync::reset() noexcept {
    clear_counts();
    recovery_start_ = false;
    state_ = SyncState::Waiting;
    ++counters_.resets;
}

SyncVerdict DecoderSync::pass_on(SharedBytes bytes, bool key, bool starting) {
    saturating_increment(fed_since_output_);
    saturating_increment(silence_);
    ++counters_.fed;
    SyncVerdict verdict{std::move(bytes), std::nullopt, key, starting};
    // The wedged check comes first, so a push that resets never also requests.
    if (fed_since_output_ >= config_.wedged_frames) {
        reset();
        verdict.signal = SyncSignal::Reset;
        return verdict;
    }
    const std::uint32_t threshold =
        recovery_start_ ? config_.recovery_silence_frames : config_.stuck_frames;
    if (silence_ >= threshold) {
        silence_ = 0;
        recovery_start_ = false;
        ++counters_.idr_requests;
        verdict.signal = SyncSignal::RequestIdr;
    }
    return verdict;
}

SyncVerdict DecoderSync::drop() noexcept {
    ++counters_.dropped;
    saturating_increment(fed_since_output_);
    saturating_increment(silence_);
    SyncVerdict verdict;
    if (silence_ >= config_.stuck_frames) {
        silence_ = 0;
        ++counters_.idr_requests;
        verdict.signal = SyncSignal::RequestIdr;
    }
    return verdict;
}

void DecoderSync::clear_counts() noexcept {
    fed_since_output_ = 0;
    silence_ = 0;
}

}  // namespace talmiro_media
