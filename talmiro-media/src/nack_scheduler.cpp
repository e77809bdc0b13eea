// Which missing packets to ask for when, and how long a gap is waited for.
#include "talmiro_media/internal/nack_scheduler.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

NackScheduler::NackScheduler(const RtpDepacketizerConfig& config, std::size_t window_packets)
    : nack_(config.nack),
      delay_us_(config.nack_delay_us),
      copy_us_(config.nack_copy_us),
      interval_us_(config.nack_interval_us),
      max_wait_us_(config.max_wait_us),
      min_wait_us_(config.min_wait_us),
      max_delay_us_(config.max_delay_us),
      tail_min_us_(config.tail_wait_min_us),
      tail_max_us_(config.tail_wait_max_us),
      max_nacks_(std::min<std::uint32_t>(config.max_nacks, 255)),
      max_run_(config.max_nack_run),
      entries_(window_packets) {}

void NackScheduler::set_timing(std::int64_t max_wait_us, std::int64_t interval_us) noexcept {
    max_wait_us_ = max_wait_us;
    interval_us_ = interval_us;
}

// What the wait and the NACK spacing estimate: how long the answer to a NACK takes, so that a
// repeat is sent only once the first one's answer is overdue (sooner costs a duplicate
// retransmission, later a round trip of waiting for a NACK or resend that was lost), and how
// long a gap is worth waiting for before its unit goes on incomplete. Both follow the round trip
// NACK to retransmission, with the interarrival jitter as the margin: the repeat interval is
// 1.25 round trips plus two jitters; the first answer is due a round trip plus four jitters (or
// half a round trip if more) after the gap, and the wait lasts until a repeat's answer is due
// too, unless that cannot come before the cap on delay. Before a round trip is known the wait
// is the whole cap with one repeat half-way; without NACKs it is what reordering needs.
void NackScheduler::set_round_trip(std::optional<std::int64_t> rtt_us,
                                   std::int64_t jitter_us) noexcept {
    // Each held to a day, so that nothing overflows (any value is allowed). In integers: the
    // fuzzing build traces no floating-point comparisons.
    constexpr std::int64_t kDay = 86'400'000'000;
    const std::int64_t jitter = std::clamp<std::int64_t>(jitter_us, 0, kDay);
    std::int64_t wait = 0, interval = 0;
    if (nack_ && rtt_us) {
        const std::int64_t rtt = std::clamp<std::int64_t>(*rtt_us, 0, kDay);
        interval = std::max<std::int64_t>(5'000, rtt * 5 / 4 + 2 * jitter);
        const std::int64_t first = rtt + std::max(4 * jitter, rtt / 2);
        wait = first + interval <= max_delay_us_ ? first + interval : first;
    } else if (nack_) {
        // An answer to the first NACK that comes before the repeat still measures the round trip.
        wait = max_delay_us_;
        interval = std::max<std::int64_t>(5'000, max_delay_us_ / 2);
    } else {
        wait = 4 * jitter;
        interval = min_wait_us_;
    }
    set_timing(std::min(std::max(wait, min_wait_us_), max_delay_us_), interval);
}

std::optional<std::int64_t> NackScheduler::again(std::uint32_t count,
                                                 std::int64_t last_us) const noexcept {
    if (count >= max_nacks_) return std::nullopt;
    // The first NACK's copy, then the repeats.
    if (count == 1 && copy_us_ > 0) return saturating_add(last_us, copy_us_);
    if (interval_us_ <= 0) return std::nullopt;
    return saturating_add(last_us, interval_us_);
}

std::optional<std::int64_t> NackScheduler::due(const Entry& e) const noexcept {
    if (e.count >= max_nacks_) return std::nullopt;
    if (e.count == 0) return saturating_add(e.since_us, delay_us_);
    return again(e.count, e.last_us);
}

void NackScheduler::ask(Entry& e, std::int64_t seq, std::int64_t now_us,
                        std::vector<std::uint16_t>& nacks) {
    if (const auto t = due(e); t && now_us >= *t) {
        e.asked = true;
        e.count += 1;
        e.last_us = now_us;
        nacks.push_back(static_cast<std::uint16_t>(seq));
    }
    if (const auto t = due(e)) {
        if (!pending_ || *t < due_us_) due_us_ = *t;
        pending_ = true;
    }
}

void NackScheduler::open(std::int64_t first, std::int64_t end, std::int64_t now_us,
                         std::vector<std::uint16_t>& nacks) {
    const bool askable = end - first <= static_cast<std::int64_t>(max_run_);
    for (std::int64_t g = first; g < end; ++g) {
        Entry& e = entry(g);
        e = Entry{now_us, 0, askable ? std::uint8_t{0} : std::uint8_t{255}, false};
        if (tail_asked(g) && askable) {
            // Asked for already, as the tail of the unit before.
            e.asked = true;
            e.count = tail_count_;
            e.last_us = tail_asked_us_;
        }
        if (nack_) ask(e, g, now_us, nacks);
    }
}

std::int64_t NackScheduler::give_up_at(std::int64_t ext) const noexcept {
    return saturating_add(entry(ext).since_us, max_wait_us_);
}

void NackScheduler::repeat(std::int64_t now_us, const RtpReorderWindow& window,
                           std::vector<std::uint16_t>& nacks) {
    if (!nack_ || !pending_ || now_us < due_us_) return;
    pending_ = false;
    for (std::int64_t g = window.next(); g <= window.highest(); ++g)
        if (window.place(g) == RtpReorderWindow::Place::Missing) ask(entry(g), g, now_us, nacks);
}

NackScheduler::Asked NackScheduler::ask_due(std::int64_t now_us, const RtpReorderWindow& window,
                                            const std::optional<Stall>& stall,
                                            std::vector<std::uint16_t>& nacks) {
    Asked asked;
    asked.tail = ask_tail(now_us, stall, nacks);
    const std::size_t before = nacks.size();
    repeat(now_us, window, nacks);
    asked.gaps = nacks.size() - before;
    return asked;
}

std::optional<std::int64_t> NackScheduler::next_repeat_us() const noexcept {
    if (!nack_ || !pending_) return std::nullopt;
    return due_us_;
}

std::int64_t NackScheduler::tail_wait_us(std::int64_t estimate_us) const noexcept {
    // Below half the wait for a gap too: a tail asked for must have time to come.
    const std::int64_t upper = std::max(tail_min_us_, std::min(tail_max_us_, max_wait_us_ / 2));
    return std::clamp(estimate_us, tail_min_us_, upper);
}

std::optional<std::int64_t> NackScheduler::tail_due(
    const std::optional<Stall>& stall) const noexcept {
    const std::uint32_t unit_asks = stall && stall->unit == tail_unit_ ? tail_unit_asks_ : 0;
    if (!nack_ || !stall || unit_asks >= max_nacks_) return std::nullopt;
    if (!tail_seq_ || *tail_seq_ != stall->next_seq)
        return saturating_add(stall->last_arrival_us, tail_wait_us(stall->wait_us));
    // Asked for already in this stall: again as a gap's first NACK would be.
    return again(tail_count_, tail_asked_us_);
}

bool NackScheduler::ask_tail(std::int64_t now_us, const std::optional<Stall>& stall,
                             std::vector<std::uint16_t>& nacks) {
    const auto t = tail_due(stall);
    if (!t || now_us < *t) return false;
    if (tail_asked(stall->next_seq)) {
        tail_count_ += 1;
    } else {
        tail_seq_ = stall->next_seq;
        tail_count_ = 1;
    }
    tail_asked_us_ = now_us;
    if (tail_unit_ != stall->unit) tail_unit_asks_ = 0;
    tail_unit_ = stall->unit;
    tail_unit_asks_ += 1;
    nacks.push_back(static_cast<std::uint16_t>(*tail_seq_));
    return true;
}

bool NackScheduler::end_tail(std::int64_t ext, bool rtx, bool rtx_on) noexcept {
    if (!tail_seq_ || ext < *tail_seq_) return false;
    const bool answered = ext == *tail_seq_ && (rtx || !rtx_on);
    tail_seq_.reset();
    return answered;
}

}  // namespace talmiro_media
