#include "talmiro_media/convert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

using namespace talmiro_media;

namespace {

constexpr std::uint8_t kPad = 0xEE;    // bytes between source rows
constexpr std::uint8_t kFrame = 0x55;  // what the frame held before filling

// The picture's content, independent of layout.
std::uint8_t luma(std::uint32_t r, std::uint32_t c) { return static_cast<std::uint8_t>(3 * r + 5 * c + 1); }
std::uint8_t cb(std::uint32_t r, std::uint32_t c) { return static_cast<std::uint8_t>(40 + 7 * r + 11 * c); }
std::uint8_t cr(std::uint32_t r, std::uint32_t c) { return static_cast<std::uint8_t>(200 - 9 * r + 3 * c); }
std::array<std::uint8_t, 3> rgb(std::uint32_t r, std::uint32_t c) {
    return {static_cast<std::uint8_t>(8 * c), static_cast<std::uint8_t>(6 * r),
            static_cast<std::uint8_t>(255 - 4 * (r + c))};
}

// A picture in its own buffers, each row followed by `pad` bytes of kPad.
struct Source {
    std::array<std::vector<std::uint8_t>, 3> bytes;
    RawImage raw;
};

Source make_source(PictureFormat format, std::uint32_t w, std::uint32_t h, std::size_t pad) {
    Source s;
    s.raw.width = w;
    s.raw.height = h;
    s.raw.format = format;
    s.raw.t_us = 7;
    for (int i = 0; i < 3; ++i) {
        const std::size_t rows = format.plane_rows(i, h), row_bytes = format.plane_row_bytes(i, w);
        if (rows == 0) continue;
        const std::size_t stride = row_bytes + pad;
        s.bytes[i].assign(rows * stride, kPad);
        for (std::size_t r = 0; r < rows; ++r) {
            std::uint8_t* row = s.bytes[i].data() + r * stride;
            for (std::size_t c = 0; c < row_bytes; ++c) {
                const auto rr = static_cast<std::uint32_t>(r), cc = static_cast<std::uint32_t>(c);
                if (i == 0 && format.is_yuv420()) row[c] = luma(rr, cc);
                else if (format == PictureFormat::I420) row[c] = i == 1 ? cb(rr, cc) : cr(rr, cc);
                else if (format == PictureFormat::NV12) row[c] = c % 2 ? cr(rr, cc / 2) : cb(rr, cc / 2);
                else {
                    const std::uint32_t bpp = format.bytes_per_pixel(), px = cc / bpp, k = cc % bpp;
                    const auto v = rgb(rr, px);
                    const bool bgr = format == PictureFormat::BGR24 || format == PictureFormat::BGRA;
                    // Alpha varies so that a converter reading it would show.
                    row[c] = k == 3 ? static_cast<std::uint8_t>(px * 37 + rr) : v[bgr ? 2 - k : k];
                }
            }
        }
        s.raw.planes[i] = s.bytes[i];
        s.raw.strides[i] = stride;
    }
    return s;
}

FramePtr make_frame(PictureFormat codec, std::uint32_t w, std::uint32_t h) {
    auto frame = alloc_input_frame(codec, w, h);
    EXPECT_TRUE(frame.has_value());
    AVFrame& f = **frame;
    for (int i = 0; i < 3 && f.data[i]; ++i) {
        const int rows = i == 0 ? f.height : static_cast<int>(chroma_dim(h));
        std::memset(f.data[i], kFrame, static_cast<std::size_t>(f.linesize[i]) * rows);
    }
    return std::move(*frame);
}

// The bytes of one frame plane row, and the untouched tail past the picture's width.
std::vector<std::uint8_t> frame_row(const AVFrame& f, int plane, int r, std::size_t n) {
    const std::uint8_t* p = f.data[plane] + static_cast<std::size_t>(r) * f.linesize[plane];
    return {p, p + n};
}
bool tail_untouched(const AVFrame& f, int plane, int r, std::size_t n) {
    const std::uint8_t* p = f.data[plane] + static_cast<std::size_t>(r) * f.linesize[plane];
    for (std::size_t c = n; c < static_cast<std::size_t>(f.linesize[plane]); ++c)
        if (p[c] != kFrame) return false;
    return true;
}

// Whole picture area of a frame, plane by plane, as tightly packed bytes.
std::vector<std::uint8_t> picture_bytes(const AVFrame& f) {
    const std::uint32_t w = static_cast<std::uint32_t>(f.width), h = static_cast<std::uint32_t>(f.height);
    const std::uint32_t cw = chroma_dim(w), ch = chroma_dim(h);
    std::vector<std::uint8_t> out;
    const auto add = [&](int plane, std::uint32_t rows, std::size_t n) {
        for (std::uint32_t r = 0; r < rows; ++r) {
            const auto row = frame_row(f, plane, static_cast<int>(r), n);
            out.insert(out.end(), row.begin(), row.end());
        }
    };
    add(0, h, w);
    if (f.format == AV_PIX_FMT_NV12) add(1, ch, 2 * cw);
    else {
        add(1, ch, cw);
        add(2, ch, cw);
    }
    return out;
}

}  // namespace

using FillCase = std::tuple<PictureFormat::Value, PictureFormat::Value, std::uint32_t, std::uint32_t>;

class FillFrame : public testing::TestWithParam<FillCase> {};

// Every path honours the source strides (pad bytes never reach the frame), writes rows at the
// frame's line sizes and leaves the frame bytes past the picture's width alone.
TEST_P(FillFrame, HonoursStridesOnEveryPath) {
    const auto [src_v, codec_v, w, h] = GetParam();
    const PictureFormat src(src_v), codec(codec_v);
    const std::uint32_t cw = chroma_dim(w), ch = chroma_dim(h);
    const Source source = make_source(src, w, h, 13);
    ASSERT_TRUE(source.raw.fits());
    FramePtr frame = make_frame(codec, w, h);
    PackedScaler scaler;
    const auto converted = fill_frame(*frame, scaler, source.raw);
    ASSERT_TRUE(converted.has_value()) << converted.error().display();
    EXPECT_EQ(*converted, src != codec);

    const AVFrame& f = *frame;
    if (!src.is_yuv420()) {
        // The same picture tightly packed converts to the same frame. (libswscale may write
        // into the line padding, so only the picture area is compared.)
        const Source tight = make_source(src, w, h, 0);
        FramePtr reference = make_frame(codec, w, h);
        PackedScaler other;
        ASSERT_TRUE(fill_frame(*reference, other, tight.raw).has_value());
        EXPECT_EQ(picture_bytes(f), picture_bytes(*reference));
        return;
    }
    const int planes = codec == PictureFormat::NV12 ? 2 : 3;
    for (int i = 0; i < planes; ++i) {
        const std::uint32_t rows = i == 0 ? h : ch;
        const std::size_t n = i == 0 ? w : codec == PictureFormat::NV12 ? 2 * cw : cw;
        for (std::uint32_t r = 0; r < rows; ++r)
            ASSERT_TRUE(tail_untouched(f, i, static_cast<int>(r), n)) << "plane " << i << " row " << r;
    }
    for (std::uint32_t r = 0; r < h; ++r)
        for (std::uint32_t c = 0; c < w; ++c)
            ASSERT_EQ(f.data[0][r * f.linesize[0] + c], luma(r, c)) << r << "," << c;
    for (std::uint32_t r = 0; r < ch; ++r)
        for (std::uint32_t c = 0; c < cw; ++c) {
            if (codec == PictureFormat::NV12) {
                ASSERT_EQ(f.data[1][r * f.linesize[1] + 2 * c], cb(r, c));
                ASSERT_EQ(f.data[1][r * f.linesize[1] + 2 * c + 1], cr(r, c));
            } else {
                ASSERT_EQ(f.data[1][r * f.linesize[1] + c], cb(r, c));
                ASSERT_EQ(f.data[2][r * f.linesize[2] + c], cr(r, c));
            }
        }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FillFrame,
    testing::Combine(testing::Values(PictureFormat::I420, PictureFormat::NV12, PictureFormat::RGB24,
                                     PictureFormat::BGR24, PictureFormat::RGBA, PictureFormat::BGRA),
                     testing::Values(PictureFormat::I420, PictureFormat::NV12),
                     testing::Values(64u), testing::Values(48u)));
INSTANTIATE_TEST_SUITE_P(
    OddSizes, FillFrame,
    testing::Combine(testing::Values(PictureFormat::I420, PictureFormat::NV12, PictureFormat::RGB24,
                                     PictureFormat::BGRA),
                     testing::Values(PictureFormat::I420, PictureFormat::NV12),
                     testing::Values(21u, 22u), testing::Values(5u)));

// The four packed formats are read with their own byte order: the same colours in each give
// the same frame (up to rounding), and a mid grey lands near mid grey.
TEST(FillFrame, PackedFormatsReadTheirByteOrder) {
    for (const PictureFormat codec : {PictureFormat::I420, PictureFormat::NV12}) {
        std::vector<std::uint8_t> first;
        for (const PictureFormat src : {PictureFormat::RGB24, PictureFormat::BGR24,
                                        PictureFormat::RGBA, PictureFormat::BGRA}) {
            const Source s = make_source(src, 32, 16, 3);
            FramePtr frame = make_frame(codec, 32, 16);
            PackedScaler scaler;
            ASSERT_TRUE(fill_frame(*frame, scaler, s.raw).has_value());
            const auto bytes = picture_bytes(*frame);
            if (first.empty()) first = bytes;
            ASSERT_EQ(bytes.size(), first.size());
            int worst = 0;
            for (std::size_t k = 0; k < bytes.size(); ++k)
                worst = std::max(worst, std::abs(int{bytes[k]} - int{first[k]}));
            // libswscale has a fast path of its own for some pairs, rounding differently.
            EXPECT_LE(worst, 2) << src.name() << " into " << codec.name();
        }
    }
    std::vector<std::uint8_t> grey(16 * 16 * 3, 128);
    RawImage raw;
    raw.planes[0] = grey;
    raw.strides[0] = 16 * 3;
    raw.width = raw.height = 16;
    raw.format = PictureFormat::RGB24;
    FramePtr frame = make_frame(PictureFormat::I420, 16, 16);
    PackedScaler scaler;
    ASSERT_TRUE(fill_frame(*frame, scaler, raw).has_value());
    EXPECT_NEAR(frame->data[0][0], 126, 2);
    EXPECT_NEAR(frame->data[1][0], 128, 2);
    EXPECT_NEAR(frame->data[2][0], 128, 2);
}

TEST(FillFrame, Nv12SplitAndInterleavedBackIsLossless) {
    const std::uint32_t w = 22, h = 10;
    const Source nv12 = make_source(PictureFormat::NV12, w, h, 5);
    FramePtr i420 = make_frame(PictureFormat::I420, w, h);
    PackedScaler scaler;
    ASSERT_EQ(fill_frame(*i420, scaler, nv12.raw), true);

    RawImage back;
    back.width = w;
    back.height = h;
    back.format = PictureFormat::I420;
    const std::size_t ch = chroma_dim(h);
    for (int i = 0; i < 3; ++i) {
        const std::size_t rows = i == 0 ? h : ch;
        back.strides[i] = static_cast<std::size_t>(i420->linesize[i]);
        back.planes[i] = {i420->data[i], rows * back.strides[i]};
    }
    FramePtr again = make_frame(PictureFormat::NV12, w, h);
    ASSERT_EQ(fill_frame(*again, scaler, back), true);
    for (std::size_t r = 0; r < ch; ++r) {
        const auto row = frame_row(*again, 1, static_cast<int>(r), 2 * chroma_dim(w));
        const std::uint8_t* src = nv12.raw.planes[1].data() + r * nv12.raw.strides[1];
        EXPECT_EQ(row, std::vector<std::uint8_t>(src, src + row.size())) << "uv row " << r;
    }
    EXPECT_EQ(scaler.context(), nullptr);  // planar paths never need libswscale
}

// The context is made on the first packed picture, kept across planar pictures and replaced
// only when the packed format changes. A replacement is created before the old one is freed,
// so a new context never has the old one's address.
TEST(PackedScaler, RecreatedOnlyWhenThePackedFormatChanges) {
    const std::uint32_t w = 32, h = 16;
    const Source rgb = make_source(PictureFormat::RGB24, w, h, 0);
    const Source bgra = make_source(PictureFormat::BGRA, w, h, 0);
    const Source i420 = make_source(PictureFormat::I420, w, h, 0);
    FramePtr frame = make_frame(PictureFormat::I420, w, h);
    PackedScaler scaler;
    EXPECT_FALSE(scaler.format().has_value());

    ASSERT_TRUE(fill_frame(*frame, scaler, rgb.raw));
    const SwsContext* first = scaler.context();
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fill_frame(*frame, scaler, i420.raw));
        ASSERT_TRUE(fill_frame(*frame, scaler, rgb.raw));
        EXPECT_EQ(scaler.context(), first);
    }
    EXPECT_EQ(scaler.format(), PictureFormat::RGB24);

    const SwsContext* previous = first;
    for (int i = 0; i < 4; ++i) {
        const Source& next = i % 2 ? rgb : bgra;
        ASSERT_TRUE(fill_frame(*frame, scaler, next.raw));
        EXPECT_NE(scaler.context(), previous) << i;
        EXPECT_EQ(scaler.format(), next.raw.format);
        previous = scaler.context();
    }
}

// libswscale takes 32-bit strides; a wider one is refused, never truncated (2^32 + 48 would
// otherwise read as 48).
TEST(FillFrame, RefusesStrideBeyondLibswscale) {
    std::vector<std::uint8_t> row(16 * 3, 10);
    FramePtr frame = make_frame(PictureFormat::I420, 16, 1);
    for (const std::size_t stride : {std::size_t{0x80000000u}, (std::size_t{1} << 32) + 48}) {
        RawImage raw;
        raw.planes[0] = row;
        raw.strides[0] = stride;
        raw.width = 16;
        raw.height = 1;
        raw.format = PictureFormat::RGB24;
        ASSERT_TRUE(raw.fits());
        PackedScaler scaler;
        const auto result = fill_frame(*frame, scaler, raw);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind(), MediaError::Kind::BadImage);
        EXPECT_EQ(result.error().display(),
                  "bad image: rgb24 image: row stride " + std::to_string(stride) +
                      " too large for libswscale (at most 2147483647)");
        EXPECT_EQ(scaler.context(), nullptr);
    }
}

TEST(AllocInputFrame, LayoutAndFailure) {
    for (const PictureFormat codec : {PictureFormat::I420, PictureFormat::NV12}) {
        auto frame = alloc_input_frame(codec, 64, 48);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ((*frame)->format, codec == PictureFormat::NV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P);
        EXPECT_EQ((*frame)->width, 64);
        EXPECT_EQ((*frame)->height, 48);
        for (int i = 0; i < (codec == PictureFormat::NV12 ? 2 : 3); ++i) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>((*frame)->data[i]) % 32, 0u);
            EXPECT_EQ((*frame)->linesize[i] % 32, 0);
        }
    }
    // A size libavutil cannot allocate is its error, not a frame without buffers.
    const auto huge = alloc_input_frame(PictureFormat::I420, 1u << 30, 1u << 30);
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(huge.error().kind(), MediaError::Kind::Ffmpeg);
    EXPECT_LT(huge.error().code(), 0);
}
