// Receiver estimated maximum bitrate (REMB: RTCP PSFB, format 15, the "REMB" identifier): the
// rate a receiver estimates the path carries, for the streams it names. The packet's value;
// rtcp.hpp reads and writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talmiro_media {

// Payload-specific feedback format 15 is application-layer feedback; REMB is the kind whose
// FCI starts with these four bytes.
inline constexpr std::uint8_t kRtcpFmtApplication = 15;
inline constexpr std::uint32_t kRembIdentifier = 0x52454D42;  // "REMB"
// The SSRC count is 8 bits.
inline constexpr std::size_t kRembMaxSsrcs = 255;

struct RtcpRemb {
    std::uint32_t sender_ssrc = 0;
    // 0 by definition (the streams are in `ssrcs`); written and reported as it is.
    std::uint32_t media_ssrc = 0;
    // Written as an 18-bit mantissa times a power of two, rounded down to the nearest such
    // value (at most 2^18-1 times 2^63 would fit the field; values up to 2^64-1 are exact to
    // 18 significant bits).
    std::uint64_t bitrate_bps = 0;
    // At most kRembMaxSsrcs.
    std::vector<std::uint32_t> ssrcs;

    bool operator==(const RtcpRemb&) const = default;
};

}  // namespace talmiro_media
