// Sums and differences of µs times held at the ends of the 64-bit range: the times come from
// callers (and from the network's clocks), so any value is allowed and none may overflow.
#pragma once

#include <cstdint>
#include <limits>

namespace talmiro_media {

inline std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t r = 0;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    using Limits = std::numeric_limits<std::int64_t>;
    return b > 0 ? Limits::max() : Limits::min();
}

inline std::int64_t saturating_sub(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t r = 0;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    using Limits = std::numeric_limits<std::int64_t>;
    return b < 0 ? Limits::max() : Limits::min();
}

}  // namespace talmiro_media
