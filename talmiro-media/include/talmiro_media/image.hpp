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

    // Every format's name, in the order of `Value`: "i420", "nv12", "rgb24", "bgr24", "rgba",
    // "bgra". The one list messages and the module's format tuple are made from.
    static std::span<const std::string_view> names() noexcept;
    // A name of `names()` or "yuv420p" (I420), ignoring ASCII case.
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

// Bytes from the first byte of a plane's first row to the last byte of its last row:
// (rows - 1) x stride + row_bytes, 0 without rows or without bytes in a row. Saturates at the
// largest value rather than wrap, so a plane too large for memory never looks small.
std::uint64_t plane_extent(std::uint64_t rows, std::uint64_t stride,
                           std::uint64_t row_bytes) noexcept;

// The planes of one tightly packed picture and their row strides; a plane the format does not
// use is empty with stride 0.
template <typename Byte>
struct PackedPlanes {
    std::array<std::span<Byte>, 3> planes{};
    std::array<std::size_t, 3> strides{};
};

// The planes of a tightly packed `format` picture of width x height laid over `bytes`, which
// holds at least `format.packed_size(width, height)` bytes: plane 0, then plane 1, then plane
// 2, each right after the one before, each row right after the one before.
PackedPlanes<const std::uint8_t> packed_planes(std::span<const std::uint8_t> bytes,
                                               PictureFormat format, std::uint32_t width,
                                               std::uint32_t height) noexcept;
PackedPlanes<std::uint8_t> packed_planes(std::span<std::uint8_t> bytes, PictureFormat format,
                                         std::uint32_t width, std::uint32_t height) noexcept;

// NV12 chroma as I420 chroma: u[k] = uv[2k] and v[k] = uv[2k + 1] for every k of `u`; `v` is as
// long as `u` and `uv` twice as long.
void split_uv(std::span<const std::uint8_t> uv, std::span<std::uint8_t> u,
              std::span<std::uint8_t> v) noexcept;

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
    // Keeps the planes' memory valid past the call that reads them, when the caller can give
    // such a holder; empty when they are valid only during the call. A holder may be kept
    // (and dropped later) by the encoder while libavcodec still references the planes.
    std::shared_ptr<const void> owner{};

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

// An owned, immutable I420 picture in three tightly packed planes: `y` of `width` x `height`
// bytes, `u` and `v` of `cw` x `ch`, each row right after the one before. The planes are views
// into storage the image shares with its copies (a buffer of its own, recycled storage, or a
// frame of libavcodec's buffer pool); the storage lives until the last copy is gone.
struct Image {
    std::int64_t t_us = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool recovering = false;

    std::uint32_t cw() const noexcept { return chroma_dim(width); }
    std::uint32_t ch() const noexcept { return chroma_dim(height); }

    // The picture over `planes`, which must be the tightly packed planes of a width x height
    // picture, kept valid and unchanged for as long as `owner` lives.
    static Image over(std::shared_ptr<const void> owner,
                      const std::array<std::span<const std::uint8_t>, 3>& planes,
                      std::uint32_t width, std::uint32_t height) noexcept;
    // The I420 picture of an I420 or NV12 canvas: an I420 canvas's buffer becomes the image's
    // storage as it is, NV12 chroma is split into U and V.
    static Image from_packed(PackedImage&& src);

    std::span<const std::uint8_t> y() const noexcept { return planes_[0]; }
    std::span<const std::uint8_t> u() const noexcept { return planes_[1]; }
    std::span<const std::uint8_t> v() const noexcept { return planes_[2]; }
    std::span<const std::uint8_t> plane(int i) const noexcept;
    // Bytes of the three planes together.
    std::size_t nbytes() const noexcept;
    // What keeps the planes valid (shared by every copy of the image).
    const std::shared_ptr<const void>& owner() const noexcept { return owner_; }
    // A view of the three planes, stamped `t_us`, whose `owner` is the image's.
    RawImage as_raw(std::int64_t t_us) const noexcept;

private:
    std::array<std::span<const std::uint8_t>, 3> planes_{};
    std::shared_ptr<const void> owner_;
};

// Storage for one tightly packed I420 picture being written: the three planes back to back in
// one buffer that `owner` keeps alive. `finish` hands it over to the immutable Image.
struct ImageBuilder {
    std::shared_ptr<const void> owner{};
    std::array<std::span<std::uint8_t>, 3> planes{};
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    // Bytes of the I420 picture of that size.
    static std::size_t size_of(std::uint32_t width, std::uint32_t height) noexcept;
    // The planes laid out over `bytes` (at least `size_of` long), which `owner` keeps alive.
    static ImageBuilder over(std::shared_ptr<const void> owner, std::span<std::uint8_t> bytes,
                             std::uint32_t width, std::uint32_t height) noexcept;
    // Fresh storage of its own, not cleared.
    static ImageBuilder allocate(std::uint32_t width, std::uint32_t height);

    Image finish(std::int64_t t_us, bool recovering) &&;
};

}  // namespace talmiro_media
