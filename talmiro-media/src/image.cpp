// Picture formats and the owned, packed and borrowed picture types.
#include "talmiro_media/image.hpp"

#include <algorithm>
#include <array>

#include "ascii.hpp"

namespace talmiro_media {

namespace {

constexpr std::array<std::string_view, 6> kFormatNames{"i420", "nv12",  "rgb24",
                                                       "bgr24", "rgba", "bgra"};

// The one layout of a tightly packed picture, over writable or read-only bytes.
template <typename Byte>
PackedPlanes<Byte> cut_planes(std::span<Byte> bytes, PictureFormat format, std::uint32_t width,
                              std::uint32_t height) noexcept {
    PackedPlanes<Byte> out;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const int plane = static_cast<int>(i);
        const std::size_t row_bytes = format.plane_row_bytes(plane, width);
        const std::size_t size = format.plane_rows(plane, height) * row_bytes;
        if (size == 0) continue;
        out.planes[i] = bytes.subspan(offset, size);
        out.strides[i] = row_bytes;
        offset += size;
    }
    return out;
}

}  // namespace

std::optional<PictureFormat> PictureFormat::parse(std::string_view text) noexcept {
    if (equals_ignoring_case(text, "yuv420p")) return PictureFormat(I420);
    for (std::size_t i = 0; i < kFormatNames.size(); ++i)
        if (equals_ignoring_case(text, kFormatNames[i]))
            return PictureFormat(static_cast<Value>(i));
    return std::nullopt;
}

std::span<const std::string_view> PictureFormat::names() noexcept { return kFormatNames; }

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

std::uint64_t plane_extent(std::uint64_t rows, std::uint64_t stride,
                           std::uint64_t row_bytes) noexcept {
    if (rows == 0 || row_bytes == 0) return 0;
    std::uint64_t extent = 0;
    if (__builtin_mul_overflow(rows - 1, stride, &extent) ||
        __builtin_add_overflow(extent, row_bytes, &extent))
        return UINT64_MAX;
    return extent;
}

PackedPlanes<const std::uint8_t> packed_planes(std::span<const std::uint8_t> bytes,
                                               PictureFormat format, std::uint32_t width,
                                               std::uint32_t height) noexcept {
    return cut_planes(bytes, format, width, height);
}

PackedPlanes<std::uint8_t> packed_planes(std::span<std::uint8_t> bytes, PictureFormat format,
                                         std::uint32_t width, std::uint32_t height) noexcept {
    return cut_planes(bytes, format, width, height);
}

void split_uv(std::span<const std::uint8_t> uv, std::span<std::uint8_t> u,
              std::span<std::uint8_t> v) noexcept {
    // A plain loop over non-aliasing rows, so that the compiler turns it into vector shuffles.
    const std::uint8_t* __restrict src = uv.data();
    std::uint8_t* __restrict du = u.data();
    std::uint8_t* __restrict dv = v.data();
    const std::size_t n = u.size();
    for (std::size_t k = 0; k < n; ++k) {
        du[k] = src[2 * k];
        dv[k] = src[2 * k + 1];
    }
}

bool RawImage::fits() const noexcept {
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t rows = format.plane_rows(i, height);
        const std::uint64_t row_bytes = format.plane_row_bytes(i, width);
        if (rows == 0 || row_bytes == 0) continue;
        const std::size_t k = static_cast<std::size_t>(i);
        if (strides[k] < row_bytes || planes[k].size() < plane_extent(rows, strides[k], row_bytes))
            return false;
    }
    return true;
}

PackedImage PackedImage::new_black(std::uint32_t width, std::uint32_t height,
                                   PictureFormat format, std::int64_t t_us) {
    PackedImage img;
    // A size that saturated cannot be allocated: assign() throws instead of under-allocating.
    img.data.assign(static_cast<std::size_t>(format.packed_size(width, height)), 128);
    img.t_us = t_us;
    img.width = width;
    img.height = height;
    img.format = format;
    std::ranges::fill(img.plane_mut(0), std::uint8_t{16});
    return img;
}

std::span<std::uint8_t> PackedImage::plane_mut(int i) noexcept {
    if (i < 0 || i > 2) return {};
    return packed_planes(std::span<std::uint8_t>(data), format, width, height)
        .planes[static_cast<std::size_t>(i)];
}

std::span<const std::uint8_t> PackedImage::plane(int i) const noexcept {
    return const_cast<PackedImage*>(this)->plane_mut(i);
}

std::size_t ImageBuilder::size_of(std::uint32_t width, std::uint32_t height) noexcept {
    return static_cast<std::size_t>(PictureFormat(PictureFormat::I420).packed_size(width, height));
}

ImageBuilder ImageBuilder::over(std::shared_ptr<const void> owner, std::span<std::uint8_t> bytes,
                                std::uint32_t width, std::uint32_t height) noexcept {
    ImageBuilder b;
    b.owner = std::move(owner);
    b.planes = packed_planes(bytes, PictureFormat::I420, width, height).planes;
    b.width = width;
    b.height = height;
    return b;
}

ImageBuilder ImageBuilder::allocate(std::uint32_t width, std::uint32_t height) {
    const std::size_t size = size_of(width, height);
    auto storage = std::make_shared_for_overwrite<std::uint8_t[]>(size);
    const std::span<std::uint8_t> bytes(storage.get(), size);
    return over(std::move(storage), bytes, width, height);
}

Image ImageBuilder::finish(std::int64_t t_us, bool recovering) && {
    Image img = Image::over(std::move(owner), {planes[0], planes[1], planes[2]}, width, height);
    img.t_us = t_us;
    img.recovering = recovering;
    planes = {};
    return img;
}

Image Image::over(std::shared_ptr<const void> owner,
                  const std::array<std::span<const std::uint8_t>, 3>& planes,
                  std::uint32_t width, std::uint32_t height) noexcept {
    Image img;
    img.width = width;
    img.height = height;
    img.planes_ = planes;
    img.owner_ = std::move(owner);
    return img;
}

Image Image::from_packed(PackedImage&& src) {
    if (src.format == PictureFormat::NV12) {
        ImageBuilder out = ImageBuilder::allocate(src.width, src.height);
        const auto y = src.plane(0);
        std::copy(y.begin(), y.end(), out.planes[0].begin());
        split_uv(src.plane(1), out.planes[1], out.planes[2]);
        src.data = {};
        return std::move(out).finish(src.t_us, false);
    }
    // The canvas's own buffer is the image's storage: nothing is copied.
    const std::array<std::span<const std::uint8_t>, 3> planes{src.plane(0), src.plane(1),
                                                              src.plane(2)};
    auto storage = std::make_shared<const std::vector<std::uint8_t>>(std::move(src.data));
    src.data = {};
    Image img = over(std::move(storage), planes, src.width, src.height);
    img.t_us = src.t_us;
    return img;
}

std::span<const std::uint8_t> Image::plane(int i) const noexcept {
    return i >= 0 && i < 3 ? planes_[static_cast<std::size_t>(i)] : std::span<const std::uint8_t>{};
}

std::size_t Image::nbytes() const noexcept {
    return planes_[0].size() + planes_[1].size() + planes_[2].size();
}

RawImage Image::as_raw(std::int64_t stamp) const noexcept {
    RawImage raw;
    raw.planes = planes_;
    raw.strides = {width, cw(), cw()};
    raw.t_us = stamp;
    raw.width = width;
    raw.height = height;
    raw.format = PictureFormat::I420;
    raw.owner = owner_;
    return raw;
}

}  // namespace talmiro_media
