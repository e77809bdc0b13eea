// Transport-wide feedback (RTCP RTPFB, format 15): the receiver's report of which packets of
// the transport-wide sequence (the header extension every packet carries) arrived, and when,
// for the sender's congestion control. The packet's value; rtcp.hpp reads and writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace talmiro_media {

inline constexpr std::uint8_t kRtcpFmtTransportFeedback = 15;
// The units of the reference time and of the receive deltas.
inline constexpr std::int64_t kTransportFeedbackReferenceUs = 64'000;
inline constexpr std::int64_t kTransportFeedbackDeltaUs = 250;
// The packet status count is 16 bits.
inline constexpr std::size_t kTransportFeedbackMaxStatuses = 0xFFFF;
// The statuses read from one datagram, in all its feedback packets together: one full packet's
// worth (24 bytes each in memory, 1.5 MiB at most). The rest are not read (counted).
inline constexpr std::size_t kRtcpMaxFeedbackStatuses = 65'536;

// One packet of the sequence: its transport-wide sequence number and its arrival in µs after
// the feedback's reference time, or none when it has not arrived.
struct TransportFeedbackStatus {
    std::uint16_t seq = 0;
    std::optional<std::int64_t> arrival_us;

    bool operator==(const TransportFeedbackStatus&) const = default;
};

struct RtcpTransportFeedback {
    std::uint32_t sender_ssrc = 0;
    std::uint32_t media_ssrc = 0;
    std::uint16_t base_seq = 0;
    // The receiver's clock at its reference instant in units of 64 ms, modulo 2^24 (0 ..
    // 2^24-1): the arrival times of one feedback are relative to it, and those of two are
    // compared through the difference of theirs, taken modulo 2^24.
    std::uint32_t reference_time = 0;
    // Counts the feedback packets the receiver sent, modulo 256.
    std::uint8_t feedback_count = 0;
    // At least one and at most kTransportFeedbackMaxStatuses, sequence numbers base_seq,
    // base_seq+1, ... in order. Arrival times are written in units of 250 µs (rounded down);
    // each one's step from the one received before it (the first's from the reference time)
    // must be within -8,192 ms .. 8,191.75 ms.
    std::vector<TransportFeedbackStatus> statuses;

    // The reference time in µs on the receiver's clock, modulo 2^24 units.
    std::int64_t reference_us() const noexcept {
        return std::int64_t{reference_time} * kTransportFeedbackReferenceUs;
    }
    bool operator==(const RtcpTransportFeedback&) const = default;
};

}  // namespace talmiro_media
