// Big-endian integers, as RTP and RTCP lay them out: read from a byte run (the caller has
// checked its length) and appended to a packet being built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace talmiro_media {

inline std::uint16_t be16(std::span<const std::uint8_t> d, std::size_t at) noexcept {
    return static_cast<std::uint16_t>(d[at] << 8 | d[at + 1]);
}

inline std::uint32_t be32(std::span<const std::uint8_t> d, std::size_t at) noexcept {
    return std::uint32_t{be16(d, at)} << 16 | be16(d, at + 2);
}

inline std::uint64_t be64(std::span<const std::uint8_t> d, std::size_t at) noexcept {
    return std::uint64_t{be32(d, at)} << 32 | be32(d, at + 4);
}

// The low 8, 16 or 32 bits of `v`, most significant byte first.
inline void put8(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
}

inline void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put8(out, v >> 8);
    put8(out, v);
}

inline void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v >> 16);
    put16(out, v);
}

}  // namespace talmiro_media
