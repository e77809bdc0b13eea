// The NAL unit types that exist only in H.264's RTP payload: aggregation (STAP, MTAP) and
// fragmentation (FU) packets. The packetizer sends STAP-A and FU-A; the depacketizer takes
// those and refuses the others.
#pragma once

#include <cstdint>

namespace talmiro_media {

constexpr std::uint8_t kStapA = 24;
constexpr std::uint8_t kStapB = 25;
constexpr std::uint8_t kMtap16 = 26;
constexpr std::uint8_t kMtap24 = 27;
constexpr std::uint8_t kFuA = 28;
constexpr std::uint8_t kFuB = 29;

}  // namespace talmiro_media
