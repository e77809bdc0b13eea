// Picture types of the media core: formats, owned I420 images, packed 4:2:0 canvases and
// borrowed pictures in somebody else's buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace talmiro_media {

// Chroma size of a 4:2:0 picture: ceil(n / 2).
constexpr std::uint32_t chroma_dim(std::uint32_t n) noexcept { return n - n / 2; }

class PictureFormat {
public:
    enum Value : std::uint8_t { I420 = 0, NV12 = 1, RGB24 = 2, BGR24 = 3, RGBA = 4, BGRA = 5 };

    constexpr PictureFormat(Value v = I420) noexcept : value_(v) {}
    constexpr operator Value() const noexcept { return value_; }

    // "i420"/"yuv420p", "nv12", "rgb24", "bgr24", "rgba", "bgra", ignoring ASCII case.
    static std::optional<PictureFormat> parse(std::string_view text) noexcept;
    std::string_view name() const noexcept;
    constexpr bool is_yuv420() const noexcept { return value_ < RGB24; }
    // 3 for RGB24/BGR24, 4 for RGBA/BGRA (and 0 for the 4:2:0 formats).
    constexpr std::uint32_t bytes_per_pixel() const noexcept {
        switch (value_) {
            case RGB24:
            case BGR24: return 3;
            case RGBA:
            case BGRA: return 4;
            default: return 0;
        }
    }
    // Bytes of one tightly packed picture of this format.
    std::uint64_t packed_size(std::uint32_t width, std::uint32_t height) const noexcept;
    // Rows and row bytes of plane i (0 and 0 for a plane the format does not use).
    std::uint64_t plane_rows(int i, std::uint32_t height) const noexcept;
    std::uint64_t plane_row_bytes(int i, std::uint32_t width) const noexcept;

private:
    Value value_;
};

struct Image;
using SharedImage = std::shared_ptr<const Image>;

// A picture in somebody else's buffers; must not outlive them.
struct RawImage {
    std::array<std::span<const std::uint8_t>, 3> planes{};
    std::array<std::size_t, 3> strides{};
    std::int64_t t_us = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    PictureFormat format = PictureFormat::I420;

    // Every plane the format uses holds its rows at its stride.
    bool fits() const noexcept;
};

// An owned 4:2:0 picture in one contiguous buffer (plane 0, plane 1, then plane 2 for I420).
struct PackedImage {
    std::vector<std::uint8_t> data;
    std::int64_t t_us = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    PictureFormat format = PictureFormat::I420;

    // A black picture: Y 16, chroma 128. `format` must be I420 or NV12.
    static PackedImage new_black(std::uint32_t width, std::uint32_t height, PictureFormat format,
                                 std::int64_t t_us);
    std::span<const std::uint8_t> plane(int i) const noexcept;
    std::span<std::uint8_t> plane_mut(int i) noexcept;
};

// An owned, immutable I420 picture in three tightly packed planes.
struct Image {
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> u;
    std::vector<std::uint8_t> v;
    std::int64_t t_us = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool recovering = false;

    std::uint32_t cw() const noexcept { return chroma_dim(width); }
    std::uint32_t ch() const noexcept { return chroma_dim(height); }

    // The I420 picture of an I420 or NV12 canvas (NV12 chroma split into U and V).
    static Image from_packed(PackedImage&& src);
    std::span<const std::uint8_t> plane(int i) const noexcept;
    // A view of the three planes, stamped `t_us`.
    RawImage as_raw(std::int64_t t_us) const noexcept;
};

}  // namespace talmiro_media
