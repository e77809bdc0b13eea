// How a sender and the path spread the packets of one picture, learnt from the packets that
// arrive next in sequence within a unit: what the tail wait of the RTP receiver is made of.
#pragma once

#include <cstdint>
#include <optional>

namespace talmiro_media {

class PacketSpacing {
public:
    // A new packet of timestamp `ts`, next in sequence after the last one given.
    void add(std::uint32_t ts, std::int64_t arrival_us) noexcept;
    // The sequence broke (a gap showed, or the packet may be an answer to a NACK): the next
    // packet given measures nothing.
    void interrupt() noexcept { last_ts_.reset(); }
    // A unit of timestamp `ts` came out, complete or not.
    void unit_done(std::uint32_t ts, bool complete) noexcept;
    // A new stream: its first packets measure nothing; what was learnt holds.
    void restart() noexcept {
        last_ts_.reset();
        pause_ts_.reset();
    }
    // How long the next packet of a unit may take without being lost: twice the spacing plus
    // three jitters (µs), or 1.5 times the peak pause if more.
    std::int64_t wait_us(std::int64_t jitter_us) const noexcept;

private:
    // The mean spacing of consecutive packets of one unit.
    std::int64_t mean_us_ = 0;
    bool learnt_ = false;
    // The longest pause within the complete units of late, fading with each, and the longest
    // within the unit arriving now (of timestamp `pause_ts_`).
    std::int64_t peak_us_ = 0;
    std::int64_t unit_pause_us_ = 0;
    std::optional<std::uint32_t> pause_ts_;
    // The last packet's timestamp and arrival.
    std::optional<std::uint32_t> last_ts_;
    std::int64_t last_arrival_us_ = 0;
};

}  // namespace talmiro_media
