// The order of one stream's packets: sequence numbers extended across the 16-bit wrap, packets
// ahead of the release point held until the gaps before them are filled or given up, and the
// last window's worth of released places remembered (whether each arrived, and when it was
// passed) to tell a duplicate from a late packet and a stale place from a restart. Jumps far
// from the stream are on probation until the next packet confirms them.
//
// It keeps no time of its own: when a gap is given up is the caller's decision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace talmiro_media {

class RtpReorderWindow {
public:
    // `packets`: a power of two.
    explicit RtpReorderWindow(std::size_t packets);

    // A packet held until the release point reaches it.
    struct Held {
        std::uint32_t ts = 0;
        bool marker = false;
        // It arrived after being asked for again.
        bool recovered = false;
        std::int64_t arrival_us = 0;
        std::vector<std::uint8_t> payload;
    };
    // Where an extended sequence number lies: behind the release point, on a held packet, on a
    // gap (at or beyond the release point), or beyond the highest.
    enum class Place : std::uint8_t { Behind, Held, Missing, Ahead };
    // What the sequence number of a packet of a running stream says.
    enum class SeqCheck : std::uint8_t { InStream, Refused, NewBase };

    // The stream starts at `first`: places before it count as passed at `now_us`.
    void start(std::int64_t first, std::int64_t now_us);
    // The stream ended: what arrived and the probation are forgotten.
    void restart() noexcept;

    // The extended sequence number nearest the highest.
    std::int64_t extend_seq(std::uint16_t seq) const noexcept;
    // Whether `ext` (`seq` extended) belongs to the stream; `horizon_us`: how long after its
    // place was passed a packet may still be late rather than of a new base (see the .cpp).
    SeqCheck check(std::uint16_t seq, std::int64_t ext, bool rtx, std::int64_t arrival_us,
                   std::int64_t horizon_us, std::uint32_t max_dropout) noexcept;
    Place place(std::int64_t ext) const noexcept;
    // A packet behind the release point: whether its place had been filled already (a
    // duplicate; else it is late). Its place counts as filled from now on.
    bool arrive_behind(std::int64_t ext) noexcept;
    // A packet beyond the highest: the places between become gaps, `ext` the highest. Returns
    // the first of those gaps (`ext` when there are none).
    std::int64_t extend(std::int64_t ext) noexcept;
    // Holds a packet of a gap or beyond the release point.
    void hold(std::int64_t ext, Held packet);

    // The release point moves past a packet that arrived now without being held.
    void release_arrived(std::int64_t now_us) noexcept;
    // The release point moves past the held packet on it, which is handed over.
    Held release_held(std::int64_t now_us) noexcept;
    // The release point moves past the gap on it: given up.
    void release_missing(std::int64_t now_us) noexcept;
    // The release point moves to `until`, beyond the highest: the places never seen are given
    // up. Returns how many.
    std::uint64_t skip_to(std::int64_t until, std::int64_t now_us) noexcept;

    std::int64_t next() const noexcept { return next_; }
    std::int64_t highest() const noexcept { return highest_; }
    // Nothing is held nor waited for.
    bool drained() const noexcept { return next_ > highest_; }
    std::int64_t size() const noexcept { return static_cast<std::int64_t>(slots_.size()); }
    std::size_t buffered_bytes() const noexcept { return buffered_bytes_; }
    // The timestamp of the packet held at `ext`, if one is.
    std::optional<std::uint32_t> held_ts(std::int64_t ext) const noexcept;

private:
    enum class State : std::uint8_t { Empty, Missing, Held };
    struct Slot {
        State state = State::Empty;
        Held packet;
    };
    std::size_t index(std::int64_t ext) const noexcept {
        return static_cast<std::uint64_t>(ext) & (slots_.size() - 1);
    }
    void released(std::int64_t ext, bool arrived, std::int64_t now_us) noexcept;

    std::vector<Slot> slots_;
    // Whether each of the last window's worth of released sequence numbers arrived, by the
    // same index as `slots_`, and when the release point passed it.
    std::vector<bool> released_arrived_;
    std::vector<std::int64_t> released_us_;
    // The release point and the highest extended sequence number seen.
    std::int64_t next_ = 0;
    std::int64_t highest_ = -1;
    std::size_t buffered_bytes_ = 0;
    // The sequence number that would confirm a jump on probation.
    std::optional<std::uint16_t> probation_;
};

}  // namespace talmiro_media
