// The spacing and longest pause of packets within a unit, for the tail wait.
#include "talmiro_media/internal/packet_spacing.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

// What the tail wait estimates: how long after a unit's last packet heard its next one may
// still come, so that a unit whose packets stopped before its marker packet has its tail asked
// for soon after it was really lost, instead of a frame interval later when the next unit shows
// the gap. Made of the mean spacing of consecutive packets within a unit, and the peak of the
// longest pause within a unit. The pause is the time between two packets of one unit arriving
// next in sequence; a unit's longest is taken only when the unit came out complete (an
// incomplete unit's pauses are losses and answers to NACKs, not spread), and the peak follows a
// longer one at once and fades by 1/256 per complete unit (to half in about 177 units, 6 s at
// 30 a second). A peak and not a mean: a jittery path or a pacing sender pauses long in one
// unit of many, and a tail asked for too soon costs a NACK, a resend and a duplicate each time,
// while one asked for late costs only that much wait on a tail really lost (bounded by the tail
// wait's cap). The wait is 1.5 times the peak: the longest pause of a jittery path is reached
// seldom, so the peak learnt sits below it. A tail asked for whose original then came (RTX on)
// is one of those pauses and is learnt too, or the wait would never learn past its own NACKs.
void PacketSpacing::add(std::uint32_t ts, std::int64_t arrival_us) noexcept {
    if (!pause_ts_ || *pause_ts_ != ts) {
        pause_ts_ = ts;
        unit_pause_us_ = 0;
    }
    if (last_ts_ && *last_ts_ == ts) {
        // Mean with gain 1/8, each sample held to a second (any time is allowed).
        const std::int64_t sample =
            std::clamp<std::int64_t>(saturating_sub(arrival_us, last_arrival_us_), 0, 1'000'000);
        mean_us_ = learnt_ ? mean_us_ + (sample - mean_us_) / 8 : sample;
        learnt_ = true;
        unit_pause_us_ = std::max(unit_pause_us_, sample);
    }
    last_ts_ = ts;
    last_arrival_us_ = arrival_us;
}

void PacketSpacing::unit_done(std::uint32_t ts, bool complete) noexcept {
    if (!complete || !pause_ts_ || *pause_ts_ != ts) return;
    peak_us_ = std::max(unit_pause_us_, peak_us_ - peak_us_ / 256);
    pause_ts_.reset();
}

std::int64_t PacketSpacing::wait_us(std::int64_t jitter_us) const noexcept {
    return std::max(2 * mean_us_ + 3 * jitter_us, peak_us_ + peak_us_ / 2);
}

}  // namespace talmiro_media
