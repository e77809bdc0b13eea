// When to ask for each missing packet of one stream again, and how long to wait for it: per
// missing sequence number, when its gap showed, when it was last asked for and how often; the
// wait and the repeat interval from the round trip; and the tail of a unit whose packets
// stopped before its marker packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "talmiro_media/internal/rtp_reorder_window.hpp"
#include "talmiro_media/rtp_depacketizer_config.hpp"

namespace talmiro_media {

class NackScheduler {
public:
    // Keeps the NACK and wait settings of `config` (its `max_nacks` at most 255) for a window of
    // `window_packets` (a power of two).
    NackScheduler(const RtpDepacketizerConfig& config, std::size_t window_packets);

    // The wait for a gap and the repeat interval, outright or from the round trip (see
    // `RtpDepacketizer::set_round_trip`).
    void set_timing(std::int64_t max_wait_us, std::int64_t interval_us) noexcept;
    void set_round_trip(std::optional<std::int64_t> rtt_us, std::int64_t jitter_us) noexcept;
    std::int64_t max_wait_us() const noexcept { return max_wait_us_; }
    std::int64_t interval_us() const noexcept { return interval_us_; }

    // The unit being assembled while its last packet heard is the stream's last (and the
    // stream has shown marker bits).
    struct Stall {
        // Tells the units apart (`H264UnitAssembler::unit_number`).
        std::uint64_t unit = 0;
        std::int64_t last_arrival_us = 0;
        // The sequence number after its last packet heard.
        std::int64_t next_seq = 0;
        // The tail wait before the bounds (`PacketSpacing::wait_us`).
        std::int64_t wait_us = 0;
    };
    // The gaps `first` up to `end` showed at `now_us`; those due are asked for now (appended to
    // `nacks`). A run longer than `max_nack_run` is never asked for.
    void open(std::int64_t first, std::int64_t end, std::int64_t now_us,
              std::vector<std::uint16_t>& nacks);
    // Whether the gap at `ext` was asked for.
    bool asked(std::int64_t ext) const noexcept { return entry(ext).asked; }
    // When the gap at `ext` is given up.
    std::int64_t give_up_at(std::int64_t ext) const noexcept;
    // What to ask for now: the tail of the stalled unit when due, then the gaps of `window`
    // whose repeat is due by `now_us` (appended to `nacks` in that order).
    struct Asked {
        std::size_t gaps = 0;
        bool tail = false;
    };
    Asked ask_due(std::int64_t now_us, const RtpReorderWindow& window,
                  const std::optional<Stall>& stall, std::vector<std::uint16_t>& nacks);
    // Asks again for the gaps of `window` that are due by `now_us`.
    void repeat(std::int64_t now_us, const RtpReorderWindow& window,
                std::vector<std::uint16_t>& nacks);
    // When `repeat` next has something to do.
    std::optional<std::int64_t> next_repeat_us() const noexcept;
    // Every gap was given up.
    void clear() noexcept { pending_ = false; }
    void restart() noexcept {
        pending_ = false;
        tail_seq_.reset();
    }

    // The tail wait held between its bounds and below half the wait for a gap.
    std::int64_t tail_wait_us(std::int64_t estimate_us) const noexcept;
    // When the tail of the stalled unit is to be asked for; absent when it is not.
    std::optional<std::int64_t> tail_due(const std::optional<Stall>& stall) const noexcept;
    // Asks for the tail if due by `now_us`; true when it did.
    bool ask_tail(std::int64_t now_us, const std::optional<Stall>& stall,
                  std::vector<std::uint16_t>& nacks);
    // Whether `ext` is the tail last asked for (its arrival may be the answer).
    bool tail_asked(std::int64_t ext) const noexcept { return tail_seq_ && ext == *tail_seq_; }
    // A packet beyond the highest arrived: the tail asked for, if any, is over. True when the
    // packet answers it (with RTX on, only a retransmission does).
    bool end_tail(std::int64_t ext, bool rtx, bool rtx_on) noexcept;

private:
    struct Entry {
        std::int64_t since_us = 0;    // when the gap showed
        std::int64_t last_us = 0;     // when it was last asked for
        std::uint8_t count = 0;       // how often (255: never to be)
        bool asked = false;
    };
    Entry& entry(std::int64_t ext) noexcept {
        return entries_[static_cast<std::uint64_t>(ext) & (entries_.size() - 1)];
    }
    const Entry& entry(std::int64_t ext) const noexcept {
        return entries_[static_cast<std::uint64_t>(ext) & (entries_.size() - 1)];
    }
    // When the gap of `e` is next to be asked for; absent when it is not.
    std::optional<std::int64_t> due(const Entry& e) const noexcept;
    // When something asked for `count` times, last at `last_us`, is asked for again.
    std::optional<std::int64_t> again(std::uint32_t count, std::int64_t last_us) const noexcept;
    // Asks for `seq` if it is due by `now_us`, and keeps the earliest next due time.
    void ask(Entry& e, std::int64_t seq, std::int64_t now_us, std::vector<std::uint16_t>& nacks);

    bool nack_;
    std::int64_t delay_us_, copy_us_, interval_us_, max_wait_us_;
    std::int64_t min_wait_us_, max_delay_us_, tail_min_us_, tail_max_us_;
    std::uint32_t max_nacks_, max_run_;
    std::vector<Entry> entries_;
    // The earliest time a repeat is due, while one is.
    std::int64_t due_us_ = 0;
    bool pending_ = false;
    // The last tail asked for: the sequence number (also in flight while the next unit shows
    // its gap, which then does not ask again at once), when, and how many times; and how many
    // times the tail of unit `tail_unit_` was asked for.
    std::optional<std::int64_t> tail_seq_;
    std::int64_t tail_asked_us_ = 0;
    std::uint8_t tail_count_ = 0;
    std::uint64_t tail_unit_ = 0;
    std::uint32_t tail_unit_asks_ = 0;
};

}  // namespace talmiro_media
