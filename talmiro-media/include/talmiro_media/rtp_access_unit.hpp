// An access unit as the RTP receiver passes it on: its bytes and what is known of its packets.
#pragma once

#include <cstdint>

#include "talmiro_media/annexb.hpp"

namespace talmiro_media {

// One access unit as it came out.
struct RtpAccessUnit {
    // Annex-B with start codes (four bytes for the first NAL unit and parameter sets, three
    // for the others), and the key/config/recovery facts of the NAL units it holds; `t_us` is
    // the arrival time of its last packet. Empty when every NAL unit of it was lost: it still
    // says that a unit was lost there.
    AccessUnit unit;
    std::uint32_t rtp_timestamp = 0;
    std::uint32_t ssrc = 0;
    // Arrival times of its first and last packet.
    std::int64_t first_arrival_us = 0;
    std::int64_t last_arrival_us = 0;
    // Every sequence number from its first packet to its marker packet arrived and every
    // fragmented NAL unit ran from start to end.
    bool complete = false;
    // Some of its packets arrived after being asked for again.
    bool recovered = false;
};

}  // namespace talmiro_media
