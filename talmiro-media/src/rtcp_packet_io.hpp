// The RTCP packet kinds read and written in files of their own, as parse_rtcp and append_rtcp
// call them: each reader takes one packet (header included, padding removed) and gives its
// cause of refusal or none, with the value appended to `out` when it read one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "talmiro_media/rtcp.hpp"

namespace talmiro_media::rtcp_io {

using Refusal = std::uint64_t RtcpCounts::*;

// Transport-wide feedback (RTPFB, format 15). `room`: the statuses the datagram may still give.
Refusal read_transport_feedback(std::span<const std::uint8_t> p, std::vector<RtcpPacket>& out,
                                RtcpCounts& counts, std::size_t& room);
Result<void> write_transport_feedback(std::vector<std::uint8_t>& out,
                                      const RtcpTransportFeedback& feedback);

// Application-layer feedback (PSFB, format 15): REMB is read, any other kind counted unknown.
Refusal read_application(std::span<const std::uint8_t> p, std::vector<RtcpPacket>& out,
                         RtcpCounts& counts);
Result<void> write_remb(std::vector<std::uint8_t>& out, const RtcpRemb& remb);

}  // namespace talmiro_media::rtcp_io
