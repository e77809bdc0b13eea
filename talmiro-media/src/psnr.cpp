#include "talmiro_media/psnr.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace talmiro_media {

std::optional<double> psnr(std::span<const std::uint8_t> a,
                           std::span<const std::uint8_t> b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size() || n == 0) return std::nullopt;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(n);
    if (mse == 0.0) return std::numeric_limits<double>::infinity();
    constexpr double kPeakSquared = 255.0 * 255.0;
    return 10.0 * std::log10(kPeakSquared / mse);
}

}  // namespace talmiro_media
