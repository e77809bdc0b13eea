// What the RTP receiver counted of one stream's datagrams, losses, units and NACKs.
#pragma once

#include <array>
#include <cstdint>

#include "talmiro_media/rtp_refusal.hpp"

namespace talmiro_media {

struct RtpDepacketizerStats {
    // Datagrams of the stream taken (media and RTX, duplicates and late ones included), and
    // their bytes.
    std::uint64_t packets_received = 0;
    std::uint64_t bytes_received = 0;
    // Sequence numbers given up on (never arrived in time).
    std::uint64_t packets_lost = 0;
    std::uint64_t packets_duplicated = 0;
    // Arrived after a later sequence number.
    std::uint64_t packets_reordered = 0;
    // Arrived after their place had been given up on, or for a unit passed on incomplete.
    std::uint64_t packets_late = 0;
    // Arrived after being asked for again (counted once each).
    std::uint64_t packets_recovered = 0;
    std::uint64_t rtx_received = 0;
    std::uint64_t packets_refused = 0;
    std::array<std::uint64_t, kRtpRefusalCount> refused{};
    std::uint64_t units_complete = 0;
    std::uint64_t units_incomplete = 0;
    // NAL units left out: a fragment missing, or past the unit cap.
    std::uint64_t nals_dropped = 0;
    // Units cut short by `max_unit_bytes`.
    std::uint64_t units_oversized = 0;
    // Sequence numbers asked for, repeats included.
    std::uint64_t nacks = 0;
    // Of those, asked for because a unit's packets stopped before its marker packet.
    std::uint64_t tail_nacks = 0;
    // A new SSRC after silence, or a confirmed sequence jump: the stream starts over.
    std::uint64_t restarts = 0;
    // Gaps given up before their deadline because the window or its byte cap was full.
    std::uint64_t forced = 0;
    // For receiver reports: the media SSRC (0 before any), the first and highest extended
    // sequence numbers (highest < first before any), and the interarrival jitter in 90 kHz
    // units.
    std::uint32_t ssrc = 0;
    std::int64_t first_seq = 0;
    std::int64_t highest_seq = -1;
    double jitter = 0;
};

}  // namespace talmiro_media
