// Deterministic synthetic pictures: moving colour bars, a white stripe sweeping down the
// picture and the frame number as a block-digit counter in the top-left corner.
#pragma once

#include <cstdint>
#include <optional>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

namespace talmiro_media {

// Frame n is a pure function of n, the size, the speed and the format, so a receiver can
// regenerate exactly what a sender drew. Not safe for concurrent use: `next` advances
// `position`; the owner serialises calls.
class TestPattern {
public:
    // `width` and `height` of at least 2 (`size_error`) and a format it `draws` are the
    // caller's to check. `speed` is the leftward motion of the bars in pixels per frame (0:
    // they stand still).
    TestPattern(std::uint32_t width, std::uint32_t height, PictureFormat format,
                std::uint32_t speed) noexcept;

    // `Unsupported` "pattern needs at least 2x2" for a size below 2x2, else none.
    static std::optional<MediaError> size_error(std::uint32_t width, std::uint32_t height);
    // I420 and NV12: the formats with chroma planes to draw into.
    static bool draws(PictureFormat format) noexcept { return format.is_yuv420(); }

    // Index of the frame `next` draws.
    std::uint64_t position() const noexcept { return position_; }
    std::uint32_t width() const noexcept { return width_; }
    std::uint32_t height() const noexcept { return height_; }
    PictureFormat format() const noexcept { return format_; }

    // Frame `n` in a new canvas stamped `t_us`; `position` is neither read nor changed. Fails
    // (Unsupported) when the canvas cannot be allocated, and for a broken precondition (a size
    // below 2x2, an RGB format) instead of dividing by zero or mislaying the planes.
    Result<PackedImage> frame(std::uint64_t n, std::int64_t t_us) const;
    // Frame `position`, then `position` + 1 (wrapping to 0 past the largest index). A failed
    // draw leaves `position` where it was.
    Result<PackedImage> next(std::int64_t t_us);

private:
    std::uint64_t position_ = 0;
    std::uint32_t width_;
    std::uint32_t height_;
    std::uint32_t speed_;
    PictureFormat format_;
};

}  // namespace talmiro_media
