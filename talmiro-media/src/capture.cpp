// The deterministic test pattern, drawn row by row into a new 4:2:0 canvas per frame.
#include "talmiro_media/capture.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace talmiro_media {

namespace {

using Bytes = std::vector<std::uint8_t>;

struct BarColour {
    std::uint8_t y, u, v;
};

// BT.601 limited-range colour bars, left to right at offset 0.
constexpr std::array<BarColour, 8> kBars{{
    {235, 128, 128},  // white
    {210, 16, 146},   // yellow
    {170, 166, 16},   // cyan
    {145, 54, 34},    // green
    {106, 202, 222},  // magenta
    {81, 90, 240},    // red
    {41, 240, 110},   // blue
    {16, 128, 128},   // black
}};

// Digits of 5 rows by 3 columns, top row first; in each row mask 4 lights the left column,
// 2 the middle one and 1 the right one.
constexpr std::array<std::array<std::uint8_t, 5>, 10> kDigitFont{{
    {7, 5, 5, 5, 7},  // 0
    {2, 6, 2, 2, 7},  // 1
    {7, 1, 7, 4, 7},  // 2
    {7, 1, 7, 1, 7},  // 3
    {5, 5, 7, 1, 1},  // 4
    {7, 4, 7, 1, 7},  // 5
    {7, 4, 7, 5, 7},  // 6
    {7, 1, 1, 1, 1},  // 7
    {7, 5, 7, 5, 7},  // 8
    {7, 5, 7, 1, 7},  // 9
}};

constexpr std::uint8_t kWhiteY = kBars[0].y;
constexpr std::uint8_t kBlackY = kBars[7].y;
constexpr std::uint8_t kNeutralChroma = 128;
// Top-left corner of the counter's box, in luma pixels on both axes.
constexpr std::uint64_t kCounterOrigin = 2;

// Where the bars and the stripe are in one frame. All arithmetic is unsigned 64-bit and wraps.
struct Layout {
    std::uint64_t width, bar_w, x_off, stripe_y, stripe_h;

    Layout(std::uint64_t n, std::uint64_t w, std::uint64_t h, std::uint64_t speed) noexcept
        : width(w),
          bar_w((w + 7) / 8),
          x_off(speed * n % w),
          stripe_y(n * h / 64 % h),
          stripe_h(std::max<std::uint64_t>(2, h / 24)) {}

    // The stripe is cut short at the bottom and never wraps to the top.
    bool stripe_row(std::uint64_t y) const noexcept {
        return y >= stripe_y && y - stripe_y < stripe_h;
    }

    // Calls emit(colour, count) for the runs of equal bar colour over the columns with index
    // first .. last-1, column i lying on luma column step * i.
    template <typename Emit>
    void for_each_bar_run(std::uint64_t first, std::uint64_t last, std::uint64_t step,
                          Emit&& emit) const {
        std::uint64_t i = first;
        while (i < last) {
            const std::uint64_t bar = (step * i + x_off) / bar_w;
            const std::uint64_t next_bar_at = (bar + 1) * bar_w;
            const std::uint64_t end = std::min(last, (next_bar_at - x_off + step - 1) / step);
            emit(kBars[bar % kBars.size()], end - i);
            i = end;
        }
    }
};

// The frame number in block digits at scale s, over a black box with a margin of s.
struct Counter {
    std::uint64_t scale = 1;
    std::array<char, 20> digits{};  // the largest 64-bit value has 20 decimal digits
    std::uint64_t count = 0;
    std::uint64_t box_w = 0, box_h = 0;
    bool shown = false;

    Counter(std::uint64_t n, std::uint64_t w, std::uint64_t h) noexcept
        : scale(std::max<std::uint64_t>(1, h / 60)) {
        count = static_cast<std::uint64_t>(
            std::to_chars(digits.data(), digits.data() + digits.size(), n).ptr - digits.data());
        box_w = scale * (4 * count + 1);
        box_h = 7 * scale;
        shown = h >= box_h + 2 && w >= box_w + 2;
    }

    bool covers_row(std::uint64_t y) const noexcept {
        return shown && y >= kCounterOrigin && y - kCounterOrigin < box_h;
    }

    // Appends the box_w luma samples of row y of the box: margin, then per digit three glyph
    // columns and a gap of s (the last gap is the right margin).
    void append_row(Bytes& out, std::uint64_t y) const {
        const std::uint64_t cell_row = (y - kCounterOrigin) / scale;
        const bool glyph_row = cell_row >= 1 && cell_row <= 5;
        out.insert(out.end(), scale, kBlackY);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t mask =
                glyph_row ? kDigitFont[static_cast<std::size_t>(digits[i] - '0')][cell_row - 1] : 0;
            for (unsigned bit = 4; bit != 0; bit >>= 1)
                out.insert(out.end(), scale, (mask & bit) ? kWhiteY : kBlackY);
            out.insert(out.end(), scale, kBlackY);
        }
    }
};

void append_luma_row(Bytes& out, const Layout& layout, const Counter& counter, std::uint64_t y) {
    const bool stripe = layout.stripe_row(y);
    const auto background = [&](std::uint64_t from, std::uint64_t to) {
        if (stripe) {
            out.insert(out.end(), to - from, kWhiteY);
            return;
        }
        layout.for_each_bar_run(from, to, 1, [&](const BarColour& c, std::uint64_t len) {
            out.insert(out.end(), len, c.y);
        });
    };
    if (!counter.covers_row(y)) {
        background(0, layout.width);
        return;
    }
    background(0, kCounterOrigin);
    counter.append_row(out, y);
    background(kCounterOrigin + counter.box_w, layout.width);
}

// Chroma row j takes its colour from luma row 2j and chroma column k from luma column 2k.
void append_chroma_row(Bytes& out, const Layout& layout, std::uint64_t cw, std::uint64_t j,
                       std::uint8_t BarColour::*sample) {
    if (layout.stripe_row(2 * j)) {
        out.insert(out.end(), cw, kNeutralChroma);
        return;
    }
    layout.for_each_bar_run(0, cw, 2, [&](const BarColour& c, std::uint64_t len) {
        out.insert(out.end(), len, c.*sample);
    });
}

// As append_chroma_row, with U and V interleaved in pairs, U first.
void append_interleaved_chroma_row(Bytes& out, const Layout& layout, std::uint64_t cw,
                                   std::uint64_t j) {
    if (layout.stripe_row(2 * j)) {
        out.insert(out.end(), 2 * cw, kNeutralChroma);
        return;
    }
    layout.for_each_bar_run(0, cw, 2, [&](const BarColour& c, std::uint64_t len) {
        // Appended in chunks of up to 32 pairs rather than byte by byte.
        std::array<std::uint8_t, 64> pairs;
        for (std::size_t i = 0; i < pairs.size(); i += 2) {
            pairs[i] = c.u;
            pairs[i + 1] = c.v;
        }
        for (std::uint64_t left = 2 * len; left > 0;) {
            const std::uint64_t m = std::min<std::uint64_t>(left, pairs.size());
            out.insert(out.end(), pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(m));
            left -= m;
        }
    });
}

// Bytes of the canvas, or none when they exceed what a byte vector can hold (a size beyond 64
// bits saturates, and so exceeds it too).
std::optional<std::size_t> canvas_size(std::uint32_t w, std::uint32_t h, PictureFormat format) {
    const std::uint64_t size = format.packed_size(w, h);
    if (size > Bytes().max_size()) return std::nullopt;
    return static_cast<std::size_t>(size);
}

MediaError canvas_too_large(std::uint32_t w, std::uint32_t h) {
    return MediaError::unsupported("pattern: " + std::to_string(w) + "x" + std::to_string(h) +
                                   " canvas does not fit in memory");
}

}  // namespace

TestPattern::TestPattern(std::uint32_t width, std::uint32_t height, PictureFormat format,
                         std::uint32_t speed) noexcept
    : width_(width), height_(height), speed_(speed), format_(format) {}

std::optional<MediaError> TestPattern::size_error(std::uint32_t width, std::uint32_t height) {
    if (width >= 2 && height >= 2) return std::nullopt;
    return MediaError::unsupported("pattern needs at least 2x2");
}

Result<PackedImage> TestPattern::frame(std::uint64_t n, std::int64_t t_us) const {
    // Refused rather than drawn: a size below 2x2 would divide by zero, an RGB format has no
    // chroma planes to draw into.
    if (auto small = size_error(width_, height_)) return std::unexpected(std::move(*small));
    if (!draws(format_))
        return std::unexpected(MediaError::unsupported(
            "pattern: draws i420 or nv12, got " + std::string(format_.name())));
    const auto size = canvas_size(width_, height_, format_);
    if (!size) return std::unexpected(canvas_too_large(width_, height_));
    // The canvas is written front to back by appending, so every byte is stored exactly once.
    Bytes data;
    try {
        data.reserve(*size);
    } catch (const std::bad_alloc&) {
        return std::unexpected(canvas_too_large(width_, height_));
    }

    const Layout layout(n, width_, height_, speed_);
    const Counter counter(n, width_, height_);
    for (std::uint64_t y = 0; y < height_; ++y) append_luma_row(data, layout, counter, y);

    const std::uint64_t cw = chroma_dim(width_), ch = chroma_dim(height_);
    if (format_ == PictureFormat::NV12) {
        for (std::uint64_t j = 0; j < ch; ++j) append_interleaved_chroma_row(data, layout, cw, j);
    } else {
        for (std::uint64_t j = 0; j < ch; ++j)
            append_chroma_row(data, layout, cw, j, &BarColour::u);
        for (std::uint64_t j = 0; j < ch; ++j)
            append_chroma_row(data, layout, cw, j, &BarColour::v);
    }

    PackedImage canvas;
    canvas.data = std::move(data);
    canvas.t_us = t_us;
    canvas.width = width_;
    canvas.height = height_;
    canvas.format = format_;
    return canvas;
}

Result<PackedImage> TestPattern::next(std::int64_t t_us) {
    auto canvas = frame(position_, t_us);
    if (canvas) ++position_;
    return canvas;
}

}  // namespace talmiro_media
