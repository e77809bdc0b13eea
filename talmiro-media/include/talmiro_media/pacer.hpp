// When each outgoing packet may leave, so that a whole access unit (an IDR picture is 50-120
// packets) goes out spread at a paced rate instead of at once into a shallow queue. Only the
// schedule: the caller keeps the packets, hands in an opaque handle with each one's size, and
// sends the handles `pop_due` gives back. Every call takes the time (µs on one monotonic clock;
// a time before the latest one seen is taken as the latest).
//
// - A leaky bucket: the pacing rate is `rate_multiplier` times the target bitrate. The credit
//   grows at the pacing rate and a packet may leave while it is not negative, taking its size
//   from it; it is held at `burst_us` worth of the rate at most, so that after a pause a
//   little more than that (at least one packet) leaves at once, and never more.
// - Retransmissions spend the same credit (repair can never add more than the path carries)
//   and leave before queued media, repair first; one that has waited longer than
//   `max_retransmission_wait_us` is dropped, counted, since repair that late is useless. Media
//   is not starved by a flood of repair: once the oldest media packet has waited that long too,
//   it leaves first.
// - The queue is bounded in time by raising the rate, not by dropping media: while packets
//   wait, the rate is at least what sends every queued byte before the oldest media packet has
//   waited `queue_time_limit_us` (a dropped media packet costs a NACK, a resend and a broken
//   picture; a late one only its lateness, which the stats show).
//   The queue is bounded in packets too: beyond `max_packets` the oldest media packet (or,
//   with none, the oldest retransmission) is dropped, counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace talmiro_media {

enum class PacketKind : std::uint8_t { media, retransmission };

struct PacerConfig {
    // The target bitrate until the first `set_rate`.
    std::uint64_t start_target_bps = 1'000'000;
    double rate_multiplier = 2.5;
    // The credit held at most, in time at the pacing rate.
    std::int64_t burst_us = 5'000;
    std::int64_t max_retransmission_wait_us = 100'000;
    std::int64_t queue_time_limit_us = 500'000;
    std::size_t max_packets = 1024;
};

// What the pacer holds and has done. Waits are from `push` to the `pop_due` that gave the
// packet out.
struct PacerStats {
    std::size_t queued_packets = 0;
    std::uint64_t queued_bytes = 0;
    // How long the oldest queued packet has waited (0 when empty).
    std::int64_t oldest_wait_us = 0;
    std::uint64_t sent_packets = 0;
    std::uint64_t sent_bytes = 0;
    std::uint64_t sent_retransmissions = 0;
    // Packets sent while the rate was raised to keep the queue within its time limit.
    std::uint64_t sent_draining = 0;
    std::uint64_t dropped_stale_retransmissions = 0;
    // Dropped because the queue held `max_packets`.
    std::uint64_t dropped_overflow = 0;
    std::int64_t max_wait_us = 0;
    std::uint64_t target_bps = 0;
    std::uint64_t pacing_bps = 0;

    bool operator==(const PacerStats&) const = default;
};

class Pacer {
public:
    using Handle = std::uint64_t;

    Pacer() noexcept : Pacer(PacerConfig{}) {}
    explicit Pacer(PacerConfig config) noexcept;

    // Queues a packet of `bytes` (held at 65,535 for the budget: no datagram is larger). The
    // handle dropped to make room, if the queue was full.
    std::optional<Handle> push(Handle handle, std::uint32_t bytes, PacketKind kind,
                               std::int64_t now_us);
    // When the next packet may leave (it may be now or past); absent when nothing is queued.
    std::optional<std::int64_t> next_send_us() const noexcept;
    // Appends to `out`, in order, the handles that may leave at `now_us`; and to `dropped`, if
    // given, the retransmissions dropped as stale.
    void pop_due(std::int64_t now_us, std::vector<Handle>& out,
                 std::vector<Handle>* dropped = nullptr);
    // The target bitrate from `now_us` on (the credit up to then is earned at the old rate).
    void set_rate(std::uint64_t target_bps, std::int64_t now_us);

    PacerStats stats(std::int64_t now_us) const noexcept;
    const PacerConfig& config() const noexcept { return config_; }

private:
    struct Entry {
        Handle handle;
        std::uint32_t bytes;
        std::int64_t queued_us;
    };
    void set_target(std::uint64_t target_bps) noexcept;
    void advance(std::int64_t now_us) noexcept;
    void update_rate(std::int64_t now_us) noexcept;
    void drop_stale(std::int64_t now_us, std::vector<Handle>* dropped);
    std::deque<Entry>& next_queue(std::int64_t now_us) noexcept;
    Handle drop_oldest();

    PacerConfig config_;
    std::uint64_t target_bps_ = 0;
    // Both in bit/s; `rate_bps_` is the pacing rate or the raised one that drains the queue.
    std::int64_t pacing_bps_ = 0;
    std::int64_t rate_bps_ = 0;
    // In bit·µs/s (bits × 10⁶), so that the rate times µs adds up exactly.
    std::int64_t credit_ = 0;
    std::int64_t last_us_ = 0;
    bool started_ = false;
    std::deque<Entry> media_;
    std::deque<Entry> repair_;
    std::uint64_t queued_bytes_ = 0;
    PacerStats counts_;
};

}  // namespace talmiro_media
