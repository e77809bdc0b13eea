// The pacer's leaky bucket, its two queues, and the rate that keeps the queue within its time.
#include "talmiro_media/pacer.hpp"

#include <algorithm>
#include <limits>

#include "saturating.hpp"

namespace talmiro_media {

namespace {

constexpr std::int64_t kMaxRateBps = 10'000'000'000;
constexpr std::int64_t kMinPacingBps = 10'000;
constexpr std::uint32_t kMaxPacketBytes = 65'535;
constexpr std::size_t kMaxPackets = 65'536;
// A pause longer than this earns no more credit (the burst caps it anyway); it keeps the rate
// times the pause within 64 bits.
constexpr std::int64_t kMaxElapsedUs = 10'000'000;
constexpr std::int64_t kMinTimeLeftUs = 1'000;

// A packet's cost in bit·µs/s: what the rate in bit/s earns in that many µs.
std::int64_t cost(std::uint32_t bytes) noexcept {
    return static_cast<std::int64_t>(bytes) * 8'000'000;
}

PacerConfig sane(PacerConfig c) noexcept {
    if (!(c.rate_multiplier >= 0.1)) c.rate_multiplier = 0.1;
    c.rate_multiplier = std::min(c.rate_multiplier, 100.0);
    c.burst_us = std::clamp<std::int64_t>(c.burst_us, 0, 1'000'000);
    c.max_retransmission_wait_us = std::max<std::int64_t>(c.max_retransmission_wait_us, 0);
    c.queue_time_limit_us = std::max(c.queue_time_limit_us, kMinTimeLeftUs);
    c.max_packets = std::clamp<std::size_t>(c.max_packets, 1, kMaxPackets);
    return c;
}

}  // namespace

Pacer::Pacer(PacerConfig config) noexcept : config_(sane(config)) {
    set_target(config_.start_target_bps);
    rate_bps_ = pacing_bps_;
}

void Pacer::set_target(std::uint64_t target_bps) noexcept {
    target_bps_ = std::min<std::uint64_t>(target_bps, kMaxRateBps);
    const double pacing = static_cast<double>(target_bps_) * config_.rate_multiplier;
    pacing_bps_ = pacing >= static_cast<double>(kMaxRateBps)
                      ? kMaxRateBps
                      : std::max(static_cast<std::int64_t>(pacing), kMinPacingBps);
}

void Pacer::set_rate(std::uint64_t target_bps, std::int64_t now_us) {
    advance(now_us);
    set_target(target_bps);
    credit_ = std::min(credit_, pacing_bps_ * config_.burst_us);
    update_rate(last_us_);
}

void Pacer::advance(std::int64_t now_us) noexcept {
    const std::int64_t burst = pacing_bps_ * config_.burst_us;
    if (!started_) {
        // Idle before the first packet: a full burst's credit.
        started_ = true;
        last_us_ = now_us;
        credit_ = burst;
        return;
    }
    if (now_us <= last_us_) return;
    const std::int64_t elapsed = std::min(saturating_sub(now_us, last_us_), kMaxElapsedUs);
    credit_ = std::min(credit_ + rate_bps_ * elapsed, burst);
    last_us_ = now_us;
}

// The pacing rate, raised while media waits to what sends every queued byte before the oldest
// media packet has waited the queue's time limit (at least 1 ms left, so that a queue already
// past its limit drains fast but at a finite rate).
void Pacer::update_rate(std::int64_t now_us) noexcept {
    rate_bps_ = pacing_bps_;
    if (media_.empty()) return;
    const std::int64_t waited = saturating_sub(now_us, media_.front().queued_us);
    const std::int64_t left =
        std::max(saturating_sub(config_.queue_time_limit_us, waited), kMinTimeLeftUs);
    // At most 65,536 packets of 65,535 bytes: the product fits in 64 bits.
    const std::int64_t needed = static_cast<std::int64_t>(queued_bytes_) * 8'000'000 / left;
    rate_bps_ = std::max(rate_bps_, std::min(needed, kMaxRateBps));
}

std::optional<Pacer::Handle> Pacer::push(Handle handle, std::uint32_t bytes, PacketKind kind,
                                         std::int64_t now_us) {
    advance(now_us);
    std::optional<Handle> dropped;
    if (media_.size() + repair_.size() >= config_.max_packets) dropped = drop_oldest();
    bytes = std::min(bytes, kMaxPacketBytes);
    auto& queue = kind == PacketKind::retransmission ? repair_ : media_;
    queue.push_back({handle, bytes, last_us_});
    queued_bytes_ += bytes;
    update_rate(last_us_);
    return dropped;
}

Pacer::Handle Pacer::drop_oldest() {
    auto& queue = media_.empty() ? repair_ : media_;
    const Entry entry = queue.front();
    queue.pop_front();
    queued_bytes_ -= entry.bytes;
    ++counts_.dropped_overflow;
    return entry.handle;
}

std::optional<std::int64_t> Pacer::next_send_us() const noexcept {
    if (media_.empty() && repair_.empty()) return std::nullopt;
    if (credit_ >= 0) return last_us_;
    return saturating_add(last_us_, (-credit_ + rate_bps_ - 1) / rate_bps_);
}

void Pacer::drop_stale(std::int64_t now_us, std::vector<Handle>* dropped) {
    while (!repair_.empty() &&
           saturating_sub(now_us, repair_.front().queued_us) > config_.max_retransmission_wait_us) {
        queued_bytes_ -= repair_.front().bytes;
        ++counts_.dropped_stale_retransmissions;
        if (dropped) dropped->push_back(repair_.front().handle);
        repair_.pop_front();
    }
}

// Repair first, unless the oldest media packet has waited as long as repair may (then every
// retransmission queued is younger than it, and it goes first).
std::deque<Pacer::Entry>& Pacer::next_queue(std::int64_t now_us) noexcept {
    if (repair_.empty()) return media_;
    if (media_.empty()) return repair_;
    const std::int64_t media_wait = saturating_sub(now_us, media_.front().queued_us);
    return media_wait > config_.max_retransmission_wait_us ? media_ : repair_;
}

void Pacer::pop_due(std::int64_t now_us, std::vector<Handle>& out, std::vector<Handle>* dropped) {
    advance(now_us);
    const std::int64_t now = last_us_;
    drop_stale(now, dropped);
    // Each turn takes one packet out: bounded by the queue's length.
    while (credit_ >= 0 && !(media_.empty() && repair_.empty())) {
        auto& queue = next_queue(now);
        const Entry entry = queue.front();
        queue.pop_front();
        queued_bytes_ -= entry.bytes;
        credit_ -= cost(entry.bytes);
        ++counts_.sent_packets;
        counts_.sent_bytes += entry.bytes;
        if (&queue == &repair_) ++counts_.sent_retransmissions;
        if (rate_bps_ > pacing_bps_) ++counts_.sent_draining;
        counts_.max_wait_us = std::max(counts_.max_wait_us, saturating_sub(now, entry.queued_us));
        out.push_back(entry.handle);
        update_rate(now);
        drop_stale(now, dropped);
    }
    update_rate(now);
}

PacerStats Pacer::stats(std::int64_t now_us) const noexcept {
    PacerStats s = counts_;
    s.queued_packets = media_.size() + repair_.size();
    s.queued_bytes = queued_bytes_;
    std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
    if (!media_.empty()) oldest = media_.front().queued_us;
    if (!repair_.empty()) oldest = std::min(oldest, repair_.front().queued_us);
    if (s.queued_packets > 0) {
        s.oldest_wait_us = std::max<std::int64_t>(saturating_sub(now_us, oldest), 0);
    }
    s.target_bps = target_bps_;
    s.pacing_bps = static_cast<std::uint64_t>(pacing_bps_);
    return s;
}

}  // namespace talmiro_media
