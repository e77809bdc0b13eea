// Sequence order, duplicates and restarts of one RTP stream.
#include "talmiro_media/internal/rtp_reorder_window.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

RtpReorderWindow::RtpReorderWindow(std::size_t packets)
    : slots_(packets), released_arrived_(packets, false), released_us_(packets, 0) {}

void RtpReorderWindow::start(std::int64_t first, std::int64_t now_us) {
    next_ = first;
    highest_ = first - 1;
    std::fill(released_us_.begin(), released_us_.end(), now_us);
}

void RtpReorderWindow::restart() noexcept {
    probation_.reset();
    std::fill(released_arrived_.begin(), released_arrived_.end(), false);
}

std::int64_t RtpReorderWindow::extend_seq(std::uint16_t seq) const noexcept {
    return highest_ + static_cast<std::int16_t>(seq - static_cast<std::uint16_t>(highest_));
}

// Sequence validation in the manner of RFC 3550 (A.1): a packet far from the stream is on
// probation, and the next packet of the media stream continuing from it (its sequence number
// plus one) confirms a new base. Far is more than `max_dropout` ahead, or behind the window, or
// behind the release point at a place passed longer ago than anything still worth waiting for
// can come (`horizon_us`: an answer to a NACK comes within a round trip of the wait for a gap,
// a late packet within the wait, and a quiet stream is taken to be gone after its silence).
// Closer behind, a packet is late or a duplicate whatever follows it: two consecutive resends
// of an older pair come well within that time. A retransmission in RTX form carries an old
// sequence number by design: it never confirms.
RtpReorderWindow::SeqCheck RtpReorderWindow::check(std::uint16_t seq, std::int64_t ext, bool rtx,
                                                   std::int64_t arrival_us,
                                                   std::int64_t horizon_us,
                                                   std::uint32_t max_dropout) noexcept {
    const std::int64_t delta = ext - highest_;
    const bool far = delta > static_cast<std::int64_t>(max_dropout) || ext < next_ - size();
    const bool stale =
        !far && ext < next_ && saturating_sub(arrival_us, released_us_[index(ext)]) > horizon_us;
    if (!far && !stale) {
        if (!rtx) probation_.reset();
        return SeqCheck::InStream;
    }
    if (rtx) return far ? SeqCheck::Refused : SeqCheck::InStream;
    if (probation_ && seq == *probation_) return SeqCheck::NewBase;
    probation_ = static_cast<std::uint16_t>(seq + 1);
    return far ? SeqCheck::Refused : SeqCheck::InStream;
}

RtpReorderWindow::Place RtpReorderWindow::place(std::int64_t ext) const noexcept {
    if (ext < next_) return Place::Behind;
    if (ext > highest_) return Place::Ahead;
    return slots_[index(ext)].state == State::Held ? Place::Held : Place::Missing;
}

bool RtpReorderWindow::arrive_behind(std::int64_t ext) noexcept {
    const bool arrived = released_arrived_[index(ext)];
    released_arrived_[index(ext)] = true;
    return arrived;
}

std::int64_t RtpReorderWindow::extend(std::int64_t ext) noexcept {
    const std::int64_t first_gap = std::max(highest_ + 1, next_);
    for (std::int64_t g = first_gap; g < ext; ++g) slots_[index(g)] = Slot{State::Missing, {}};
    highest_ = ext;
    return first_gap;
}

void RtpReorderWindow::hold(std::int64_t ext, Held packet) {
    buffered_bytes_ += packet.payload.size();
    slots_[index(ext)] = Slot{State::Held, std::move(packet)};
}

void RtpReorderWindow::released(std::int64_t ext, bool arrived, std::int64_t now_us) noexcept {
    released_arrived_[index(ext)] = arrived;
    released_us_[index(ext)] = now_us;
}

void RtpReorderWindow::release_arrived(std::int64_t now_us) noexcept {
    slots_[index(next_)] = Slot{};
    released(next_, true, now_us);
    next_ += 1;
}

RtpReorderWindow::Held RtpReorderWindow::release_held(std::int64_t now_us) noexcept {
    Slot& s = slots_[index(next_)];
    Held packet = std::move(s.packet);
    buffered_bytes_ -= packet.payload.size();
    s = Slot{};
    released(next_, true, now_us);
    next_ += 1;
    return packet;
}

void RtpReorderWindow::release_missing(std::int64_t now_us) noexcept {
    slots_[index(next_)] = Slot{};
    released(next_, false, now_us);
    next_ += 1;
}

std::uint64_t RtpReorderWindow::skip_to(std::int64_t until, std::int64_t now_us) noexcept {
    const std::int64_t n = until - next_;
    for (std::int64_t g = std::max(next_, until - size()); g < until; ++g)
        released(g, false, now_us);
    next_ = until;
    highest_ = std::max(highest_, next_ - 1);
    return static_cast<std::uint64_t>(n);
}

std::optional<std::uint32_t> RtpReorderWindow::held_ts(std::int64_t ext) const noexcept {
    const Slot& s = slots_[index(ext)];
    if (s.state != State::Held) return std::nullopt;
    return s.packet.ts;
}

}  // namespace talmiro_media
