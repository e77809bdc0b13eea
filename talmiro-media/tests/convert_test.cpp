// Tests of filling an encoder frame from a picture: every path honours strides, NV12 round trips,
// the packed-RGB scaler is reused, and nothing is read past a buffer.
#include "talmiro_media/convert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "talmiro_media/internal/test_access.hpp"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

using namespace talmiro_media;

namespace {

constexpr std::uint8_t kPad = 0xEE;    // bytes between source rows
constexpr std::uint8_t kFrame = 0x55;  // what the frame held before filling

// Sample k of row r of plane i: Y, U and V of the 4:2:0 formats, R, G and B of the RGB family.
// A smooth ramp (no wrap below 64x64), so that differently rounding converters stay close.
std::uint8_t sample(int i, std::size_t r, std::size_t k) {
    return static_cast<std::uint8_t>(20 + 40 * i + r + k);
}

// A picture in its own buffers, every row followed by `pad` bytes of kPad.
struct Source {
    std::array<std::vector<std::uint8_t>, 3> bytes;
    RawImage raw;
};

Source make_source(PictureFormat f, std::uint32_t w, std::uint32_t h, std::size_t pad) {
    Source s;
    s.raw.width = w;
    s.raw.height = h;
    s.raw.format = f;
    const bool bgr = f == PictureFormat::BGR24 || f == PictureFormat::BGRA;
    for (int i = 0; i < 3; ++i) {
        const std::size_t rows = f.plane_rows(i, h), row_bytes = f.plane_row_bytes(i, w);
        if (rows == 0) continue;
        s.bytes[i].assign(rows * (row_bytes + pad), kPad);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < row_bytes; ++c) {
                std::uint8_t& out = s.bytes[i][r * (row_bytes + pad) + c];
                if (f == PictureFormat::NV12 && i == 1) out = sample(1 + c % 2, r, c / 2);
                else if (f.is_yuv420()) out = sample(i, r, c);
                else if (const std::size_t k = c % f.bytes_per_pixel(); k == 3)
                    out = static_cast<std::uint8_t>(c * r);  // alpha, to be ignored
                else out = sample(static_cast<int>(bgr ? 2 - k : k), r, c / f.bytes_per_pixel());
            }
        s.raw.planes[i] = s.bytes[i];
        s.raw.strides[i] = row_bytes + pad;
    }
    return s;
}

FramePtr make_frame(PictureFormat codec, std::uint32_t w, std::uint32_t h) {
    auto frame = alloc_input_frame(codec, w, h);
    EXPECT_TRUE(frame.has_value());
    for (int i = 0; i < 3 && (*frame)->data[i]; ++i)
        std::memset((*frame)->data[i], kFrame,
                    static_cast<std::size_t>((*frame)->linesize[i]) * (i ? chroma_dim(h) : h));
    return std::move(*frame);
}

// The frame's planes at its line sizes, whole rows (padding included).
std::vector<std::vector<std::uint8_t>> frame_rows(const AVFrame& f) {
    std::vector<std::vector<std::uint8_t>> rows;
    for (int i = 0; i < 3 && f.data[i]; ++i)
        for (int r = 0; r < (i ? static_cast<int>(chroma_dim(f.height)) : f.height); ++r)
            rows.emplace_back(f.data[i] + r * f.linesize[i], f.data[i] + (r + 1) * f.linesize[i]);
    return rows;
}

// What a frame of `codec` must hold for a planar source made by make_source.
std::vector<std::vector<std::uint8_t>> expected_rows(const AVFrame& f, PictureFormat codec) {
    auto rows = frame_rows(f);
    for (auto& row : rows) std::fill(row.begin(), row.end(), kFrame);
    std::size_t k = 0;
    const std::size_t w = f.width, cw = chroma_dim(f.width), ch = chroma_dim(f.height);
    for (std::size_t r = 0; r < static_cast<std::size_t>(f.height); ++r, ++k)
        for (std::size_t c = 0; c < w; ++c) rows[k][c] = sample(0, r, c);
    for (int i = 1; i <= (codec == PictureFormat::NV12 ? 1 : 2); ++i)
        for (std::size_t r = 0; r < ch; ++r, ++k)
            for (std::size_t c = 0; c < cw; ++c)
                if (codec == PictureFormat::NV12) {
                    rows[k][2 * c] = sample(1, r, c);
                    rows[k][2 * c + 1] = sample(2, r, c);
                } else {
                    rows[k][c] = sample(i, r, c);
                }
    return rows;
}

}  // namespace

using FillCase =
    std::tuple<PictureFormat::Value, PictureFormat::Value, std::uint32_t, std::uint32_t>;
class FillFrame : public testing::TestWithParam<FillCase> {};

// Every path honours the source strides (padding never reaches the frame) and writes at the
// frame's line sizes. The planar paths leave the frame's own padding alone; a packed picture
// converts exactly as its tightly packed copy does, its byte order read per format.
TEST_P(FillFrame, HonoursStridesOnEveryPath) {
    const auto [src_v, codec_v, w, h] = GetParam();
    const PictureFormat src(src_v), codec(codec_v);
    const Source source = make_source(src, w, h, 13);
    ASSERT_TRUE(source.raw.fits());
    FramePtr frame = make_frame(codec, w, h);
    PackedScaler scaler;
    const auto converted = fill_frame(*frame, scaler, source.raw);
    ASSERT_TRUE(converted.has_value()) << converted.error().display();
    EXPECT_EQ(*converted, src != codec);
    if (src.is_yuv420()) {
        EXPECT_EQ(frame_rows(*frame), expected_rows(*frame, codec));
        return;
    }
    FramePtr tight = make_frame(codec, w, h), rgb = make_frame(codec, w, h);
    PackedScaler other;
    ASSERT_TRUE(fill_frame(*tight, other, make_source(src, w, h, 0).raw));
    ASSERT_TRUE(fill_frame(*rgb, other, make_source(PictureFormat::RGB24, w, h, 0).raw));
    const auto got = frame_rows(*frame), want = frame_rows(*tight), base = frame_rows(*rgb);
    const std::size_t cw = chroma_dim(w);
    const std::size_t bytes[3] = {w, codec == PictureFormat::NV12 ? 2 * cw : cw, cw};
    for (std::size_t k = 0; k < got.size(); ++k) {
        const std::size_t n = bytes[k < h ? 0 : k < h + chroma_dim(h) ? 1 : 2];
        ASSERT_TRUE(std::equal(got[k].begin(), got[k].begin() + n, want[k].begin())) << k;
        // The same colours in another byte order; libswscale's fast paths round differently.
        for (std::size_t c = 0; c < n; ++c) ASSERT_LE(std::abs(got[k][c] - base[k][c]), 2) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FillFrame,
    testing::Combine(testing::Values(PictureFormat::I420, PictureFormat::NV12,
                                     PictureFormat::RGB24, PictureFormat::BGR24,
                                     PictureFormat::RGBA, PictureFormat::BGRA),
                     testing::Values(PictureFormat::I420, PictureFormat::NV12),
                     testing::Values(64u, 21u), testing::Values(48u, 5u)));

TEST(FillFrame, Nv12SplitAndInterleavedBackIsLossless) {
    const Source nv12 = make_source(PictureFormat::NV12, 22, 10, 5);
    FramePtr i420 = make_frame(PictureFormat::I420, 22, 10);
    FramePtr again = make_frame(PictureFormat::NV12, 22, 10);
    PackedScaler scaler;
    ASSERT_EQ(fill_frame(*i420, scaler, nv12.raw), true);
    RawImage back{.width = 22, .height = 10, .format = PictureFormat::I420};
    for (int i = 0; i < 3; ++i) {
        back.strides[i] = static_cast<std::size_t>(i420->linesize[i]);
        back.planes[i] = {i420->data[i], back.strides[i] * (i ? 5 : 10)};
    }
    ASSERT_EQ(fill_frame(*again, scaler, back), true);
    for (std::size_t r = 0; r < 5; ++r) {
        const auto uv = nv12.raw.planes[1].subspan(r * nv12.raw.strides[1], 22);
        EXPECT_TRUE(std::equal(uv.begin(), uv.end(), again->data[1] + r * again->linesize[1]));
    }
}

// Created on the first packed picture, kept across planar ones, replaced only when the packed
// format changes. A replacement exists before the old context is freed, so it never has the
// old one's address.
TEST(PackedScaler, RecreatedOnlyWhenThePackedFormatChanges) {
    const Source rgb = make_source(PictureFormat::RGB24, 32, 16, 0);
    const Source bgra = make_source(PictureFormat::BGRA, 32, 16, 0);
    const Source i420 = make_source(PictureFormat::I420, 32, 16, 0);
    FramePtr frame = make_frame(PictureFormat::I420, 32, 16);
    PackedScaler scaler;
    ASSERT_TRUE(fill_frame(*frame, scaler, i420.raw));
    EXPECT_EQ(TestAccess::context(scaler), nullptr);
    ASSERT_TRUE(fill_frame(*frame, scaler, rgb.raw));
    const SwsContext* first = TestAccess::context(scaler);
    for (const Source* s : {&i420, &rgb, &i420, &rgb}) {
        ASSERT_TRUE(fill_frame(*frame, scaler, s->raw));
        EXPECT_EQ(TestAccess::context(scaler), first);
    }
    for (const Source* s : {&bgra, &rgb, &bgra}) {
        const SwsContext* previous = TestAccess::context(scaler);
        ASSERT_TRUE(fill_frame(*frame, scaler, s->raw));
        EXPECT_NE(TestAccess::context(scaler), previous);
        EXPECT_EQ(TestAccess::format(scaler), s->raw.format);
    }
    // A context that cannot be made (no packed source format) fails and keeps the old one.
    const SwsContext* kept = TestAccess::context(scaler);
    const auto failed = scaler.get(PictureFormat::NV12, 32, 16, PictureFormat::I420);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().code(), AVERROR_INVALIDDATA);
    EXPECT_EQ(TestAccess::context(scaler), kept);
    EXPECT_EQ(TestAccess::format(scaler), PictureFormat::BGRA);
}

// libswscale takes 32-bit strides: a wider one is refused, never truncated (2^32 + 48 would
// read as 48).
TEST(FillFrame, RefusesAStrideBeyondLibswscale) {
    std::vector<std::uint8_t> row(16 * 3);
    FramePtr frame = make_frame(PictureFormat::I420, 16, 1);
    for (const std::size_t stride : {std::size_t{0x80000000u}, (std::size_t{1} << 32) + 48}) {
        const RawImage raw{.planes = {row}, .strides = {stride}, .width = 16, .height = 1,
                           .format = PictureFormat::RGB24};
        ASSERT_TRUE(raw.fits());
        PackedScaler scaler;
        const auto result = fill_frame(*frame, scaler, raw);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().display(), "bad image: rgb24 image: row stride " +
                                                std::to_string(stride) +
                                                " too large for libswscale (at most 2147483647)");
    }
}

TEST(AllocInputFrame, FailureIsLibavsError) {
    const auto huge = alloc_input_frame(PictureFormat::I420, 1u << 30, 1u << 30);
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(huge.error().kind(), MediaError::Kind::Ffmpeg);
}

// A packed picture that ends right before an inaccessible page: libswscale's readers over-read
// a row's end, so the last rows must not be read in place, and converting them from a copy
// must give the same frame as converting a buffer with room to spare.
class GuardedPicture {
public:
    explicit GuardedPicture(std::span<const std::uint8_t> bytes) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t body = (bytes.size() + page - 1) / page * page;
        len_ = body + page;
        void* p = mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<std::uint8_t*>(p);
        mprotect(base_ + body, page, PROT_NONE);
        data_ = base_ + body - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    ~GuardedPicture() { munmap(base_, len_); }
    std::span<const std::uint8_t> span() const { return {data_, size_}; }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t len_ = 0, size_ = 0;
};

class PackedAtBufferEnd
    : public testing::TestWithParam<std::tuple<PictureFormat::Value, PictureFormat::Value>> {};

TEST_P(PackedAtBufferEnd, LastRowsAreNotReadPastTheBuffer) {
    const auto [format, codec] = GetParam();
    for (const auto& [w, h] : {std::pair{18u, 16u}, std::pair{30u, 5u}, std::pair{642u, 2u},
                              std::pair{7u, 1u}, std::pair{1u, 4u}, std::pair{3u, 9u}}) {
        const Source src = make_source(format, w, h, 0);
        const GuardedPicture guarded(src.bytes[0]);
        RawImage at_end = src.raw;
        at_end.planes[0] = guarded.span();
        PackedScaler scaler_a, scaler_b;
        FramePtr want = make_frame(codec, w, h), got = make_frame(codec, w, h);
        // The Source's own vector gets a copy with room behind it to read the expected frame.
        std::vector<std::uint8_t> roomy(src.bytes[0]);
        roomy.resize(roomy.size() + 256);
        RawImage padded = src.raw;
        padded.planes[0] = roomy;
        ASSERT_TRUE(fill_frame(*want, scaler_a, padded));
        ASSERT_TRUE(fill_frame(*got, scaler_b, at_end));
        EXPECT_EQ(frame_rows(*got), frame_rows(*want)) << w << "x" << h;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PackedAtBufferEnd,
                         testing::Combine(testing::Values(PictureFormat::RGB24,
                                                          PictureFormat::BGR24,
                                                          PictureFormat::RGBA,
                                                          PictureFormat::BGRA),
                                          testing::Values(PictureFormat::I420,
                                                          PictureFormat::NV12)));
