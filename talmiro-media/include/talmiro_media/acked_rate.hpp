// The rate the path delivered: the bytes of acknowledged packets that arrived within the last
// `window_us` of arrival time (the receiver's clock), over the time between the first and the
// last of them. Absent until the packets span `min_span_us`. At most `max_packets` are kept;
// beyond that the window is shorter, never the memory larger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace talmiro_media {

class AckedRate {
public:
    struct Config {
        std::int64_t window_us = 350'000;
        std::int64_t min_span_us = 50'000;
        std::size_t max_packets = 4096;
    };

    AckedRate() noexcept : AckedRate(Config{}) {}
    explicit AckedRate(Config config) noexcept;

    void add(std::int64_t arrival_us, std::size_t bytes);
    std::optional<std::int64_t> bps() const noexcept;

private:
    struct Packet {
        std::int64_t arrival_us;
        std::size_t bytes;
    };

    Config config_;
    // In the order acknowledged.
    std::deque<Packet> packets_;
    std::uint64_t bytes_ = 0;
    std::optional<std::int64_t> newest_us_;
};

}  // namespace talmiro_media
