// The sender's record of the packets that carried a transport-wide sequence number: when each
// left and its size on the wire, so that transport-wide feedback, which names packets by that
// number alone, becomes the PacketFeedback the rate controller reads.
//
// One entry per sequence number (65,536, 16 bytes each): a number sent again (a plain resend)
// keeps its latest send. An entry older than `max_age_us` when a feedback message names it is
// taken as unknown: the number has come round, or was never sent (a packet the pacer dropped),
// and the message's word about it is left out, counted. The receiver's reference time, modulo
// 2^24 units of 64 ms on the wire, is unwrapped against the newest one seen, so that the
// arrival times of every message are on one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "talmiro_media/packet_feedback.hpp"
#include "talmiro_media/rtcp_transport_feedback.hpp"

namespace talmiro_media {

class SentPacketLog {
public:
    struct Counts {
        std::uint64_t recorded = 0;
        // Statuses read from feedback, and those naming no packet the log holds.
        std::uint64_t reported = 0;
        std::uint64_t unknown = 0;

        bool operator==(const Counts&) const = default;
    };

    explicit SentPacketLog(std::int64_t max_age_us = 2'000'000);

    // The packet with transport-wide sequence number `seq` left at `send_us`.
    void sent(std::uint16_t seq, std::size_t bytes, std::int64_t send_us);
    // The packets one feedback message arrived at `now_us` reports, in the order they were
    // sent (the controller's order; a repair leaves before media stamped earlier), into `out`
    // (cleared first).
    void feedback_of(const RtcpTransportFeedback& feedback, std::int64_t now_us,
                     std::vector<PacketFeedback>& out);

    const Counts& counts() const noexcept { return counts_; }

private:
    struct Entry {
        std::int64_t send_us = 0;
        std::uint32_t bytes = 0;
        bool used = false;
    };
    // The message's reference time in µs on one unwrapped line.
    std::int64_t reference_us(std::uint32_t reference_time) noexcept;

    std::int64_t max_age_us_;
    std::vector<Entry> entries_;
    std::optional<std::int64_t> reference_;  // newest reference time seen, unwrapped units
    Counts counts_;
};

}  // namespace talmiro_media
