// The sync policy's running counts: one more, stopping at the largest 32-bit value instead of
// wrapping to 0 (which would read as a fresh count).
#pragma once

#include <cstdint>
#include <limits>

namespace talmiro_media {

inline void saturating_increment(std::uint32_t& count) noexcept {
    if (count != std::numeric_limits<std::uint32_t>::max()) ++count;
}

}  // namespace talmiro_media
