// Picture formats and the owned, packed and borrowed picture types.
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

std::size_t ImageBuilder::size_of(std::uint32_t width, std::uint32_t height) noexcept {
    return std::size_t{width} * height + 2 * (std::size_t{chroma_dim(width)} * chroma_dim(height));
}

ImageBuilder ImageBuilder::over(std::shared_ptr<const void> owner, std::span<std::uint8_t> bytes,
                                std::uint32_t width, std::uint32_t height) noexcept {
    const std::size_t ysize = std::size_t{width} * height;
    const std::size_t csize = std::size_t{chroma_dim(width)} * chroma_dim(height);
    ImageBuilder b;
    b.owner = std::move(owner);
    b.planes = {bytes.subspan(0, ysize), bytes.subspan(ysize, csize),
                bytes.subspan(ysize + csize, csize)};
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
        const auto uv = src.plane(1);
        const std::size_t csize = uv.size() / 2;
        for (std::size_t k = 0; k < csize; ++k) {
            out.planes[1][k] = uv[2 * k];
            out.planes[2][k] = uv[2 * k + 1];
        }
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
