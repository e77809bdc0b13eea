// Peak signal-to-noise ratio between two 8-bit sample sequences.
#include "talmiro_media/psnr.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace talmiro_media {

std::optional<double> psnr(std::span<const std::uint8_t> a,
                           std::span<const std::uint8_t> b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size() || n == 0) return std::nullopt;
    // Squared differences are integers, so an integer sum is exact and equals the sum taken in
    // double precision while that stays below 2^53 (inputs below 138 GB); it also vectorises,
    // where an ordered double sum cannot.
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int d = int{a[i]} - int{b[i]};
        sum += static_cast<std::uint32_t>(d * d);
    }
    const double mse = static_cast<double>(sum) / static_cast<double>(n);
    if (mse == 0.0) return std::numeric_limits<double>::infinity();
    constexpr double kPeakSquared = 255.0 * 255.0;
    return 10.0 * std::log10(kPeakSquared / mse);
}

}  // namespace talmiro_media
