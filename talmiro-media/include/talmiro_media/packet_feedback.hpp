// What transport-wide feedback says of one packet the sender sent: when it left (the sender's
// clock), when it arrived (the receiver's clock, which has its own origin) or that it was
// reported lost, and its size on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace talmiro_media {

struct PacketFeedback {
    std::int64_t send_us = 0;
    // Absent when the receiver reported the packet lost.
    std::optional<std::int64_t> arrival_us;
    std::size_t bytes = 0;
};

}  // namespace talmiro_media
