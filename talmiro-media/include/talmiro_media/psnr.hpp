// Peak signal-to-noise ratio between two 8-bit sample sequences.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace talmiro_media {

// PSNR in dB over every byte of `a` against `b` (peak 255): positive infinity when the two are
// identical, none when their lengths differ or both are empty. One pass, no allocation.
std::optional<double> psnr(std::span<const std::uint8_t> a,
                           std::span<const std::uint8_t> b) noexcept;

}  // namespace talmiro_media
