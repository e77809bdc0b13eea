#include "talmiro_media/image.hpp"

#include <algorithm>
#include <array>

namespace talmiro_media {

namespace {

constexpr std::array<std::string_view, 6> kFormatNames{"i420", "nv12",  "rgb24",
                                                       "bgr24", "rgba", "bgra"};

char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equals_lowered(std::string_view text, std::string_view lower) noexcept {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(),
                      [](char a, char b) { return ascii_lower(a) == b; });
}

}  // namespace

std::optional<PictureFormat> PictureFormat::parse(std::string_view text) noexcept {
    if (equals_lowered(text, "yuv420p")) return PictureFormat(I420);
    for (std::size_t i = 0; i < kFormatNames.size(); ++i)
        if (equals_lowered(text, kFormatNames[i])) return PictureFormat(static_cast<Value>(i));
    return std::nullopt;
}

std::string_view PictureFormat::name() const noexcept { return kFormatNames[value_]; }

std::uint64_t PictureFormat::packed_size(std::uint32_t width, std::uint32_t height) const noexcept {
    // w*h and cw*ch each fit in 64 bits; their sums and the RGB multiples may not, and a size
    // that wrapped would describe a buffer smaller than the picture, so they saturate.
    const std::uint64_t area = std::uint64_t{width} * height;
    std::uint64_t total = 0;
    if (is_yuv420()) {
        const std::uint64_t chroma = std::uint64_t{chroma_dim(width)} * chroma_dim(height);
        if (__builtin_add_overflow(area, chroma, &total) ||
            __builtin_add_overflow(total, chroma, &total))
            return UINT64_MAX;
        return total;
    }
    if (__builtin_mul_overflow(area, std::uint64_t{bytes_per_pixel()}, &total)) return UINT64_MAX;
    return total;
}

std::uint64_t PictureFormat::plane_rows(int i, std::uint32_t height) const noexcept {
    switch (value_) {
        case I420: return i == 0 ? height : chroma_dim(height);
        case NV12: return i == 0 ? height : i == 1 ? chroma_dim(height) : 0;
        default: return i == 0 ? height : 0;
    }
}

std::uint64_t PictureFormat::plane_row_bytes(int i, std::uint32_t width) const noexcept {
    switch (value_) {
        case I420: return i == 0 ? width : chroma_dim(width);
        case NV12: return i == 0 ? width : i == 1 ? 2 * std::uint64_t{chroma_dim(width)} : 0;
        default: return i == 0 ? std::uint64_t{bytes_per_pixel()} * width : 0;
    }
}

bool RawImage::fits() const noexcept {
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t rows = format.plane_rows(i, height);
        const std::uint64_t row_bytes = format.plane_row_bytes(i, width);
        if (rows == 0 || row_bytes == 0) continue;
        const std::uint64_t stride = strides[i];
        if (stride < row_bytes) return false;
        // (rows - 1) * stride + row_bytes, refusing what does not fit in 64 bits.
        const std::uint64_t len = planes[i].size();
        if (len < row_bytes) return false;
        if (rows > 1 && (len - row_bytes) / stride < rows - 1) return false;
    }
    return true;
}

PackedImage PackedImage::new_black(std::uint32_t width, std::uint32_t height,
                                   PictureFormat format, std::int64_t t_us) {
    const std::size_t ysize = std::size_t{width} * height;
    PackedImage img;
    // A size that saturated cannot be allocated: assign() throws instead of under-allocating.
    img.data.assign(static_cast<std::size_t>(format.packed_size(width, height)), 128);
    std::fill_n(img.data.begin(), ysize, std::uint8_t{16});
    img.t_us = t_us;
    img.width = width;
    img.height = height;
    img.format = format;
    return img;
}

std::span<std::uint8_t> PackedImage::plane_mut(int i) noexcept {
    const std::size_t ysize = std::size_t{width} * height;
    const std::size_t csize = std::size_t{chroma_dim(width)} * chroma_dim(height);
    std::span<std::uint8_t> all(data);
    switch (i) {
        case 0: return all.subspan(0, ysize);
        case 1: return all.subspan(ysize, format == PictureFormat::NV12 ? 2 * csize : csize);
        case 2: return format == PictureFormat::I420 ? all.subspan(ysize + csize, csize)
                                                     : std::span<std::uint8_t>{};
        default: return {};
    }
}

std::span<const std::uint8_t> PackedImage::plane(int i) const noexcept {
    return const_cast<PackedImage*>(this)->plane_mut(i);
}

Image Image::from_packed(PackedImage&& src) {
    Image img;
    img.t_us = src.t_us;
    img.width = src.width;
    img.height = src.height;
    const auto y = src.plane(0);
    img.y.assign(y.begin(), y.end());
    if (src.format == PictureFormat::NV12) {
        const auto uv = src.plane(1);
        const std::size_t csize = uv.size() / 2;
        img.u.resize(csize);
        img.v.resize(csize);
        for (std::size_t k = 0; k < csize; ++k) {
            img.u[k] = uv[2 * k];
            img.v[k] = uv[2 * k + 1];
        }
    } else {
        const auto u = src.plane(1), v = src.plane(2);
        img.u.assign(u.begin(), u.end());
        img.v.assign(v.begin(), v.end());
    }
    src.data = {};
    return img;
}

std::span<const std::uint8_t> Image::plane(int i) const noexcept {
    switch (i) {
        case 0: return y;
        case 1: return u;
        case 2: return v;
        default: return {};
    }
}

RawImage Image::as_raw(std::int64_t stamp) const noexcept {
    RawImage raw;
    raw.planes = {std::span<const std::uint8_t>(y), std::span<const std::uint8_t>(u),
                  std::span<const std::uint8_t>(v)};
    raw.strides = {width, cw(), cw()};
    raw.t_us = stamp;
    raw.width = width;
    raw.height = height;
    raw.format = PictureFormat::I420;
    return raw;
}

}  // namespace talmiro_media
