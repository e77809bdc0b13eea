// Tests of the picture types: format names and sizes, packed and owned images, `RawImage::fits`.
#include "talmiro_media/image.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

using namespace talmiro_media;

namespace {

std::vector<std::uint8_t> bytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(PictureFormat, ParseAcceptsNamesInAnyCase) {
    EXPECT_EQ(PictureFormat::parse("YUV420P"), PictureFormat::I420);
    EXPECT_EQ(PictureFormat::parse("I420"), PictureFormat::I420);
    EXPECT_EQ(PictureFormat::parse("Nv12"), PictureFormat::NV12);
    EXPECT_EQ(PictureFormat::parse("BGRA"), PictureFormat::BGRA);
    for (const char* bad : {"rgb", "yuv420", "", "i420 ", "nv21"})
        EXPECT_FALSE(PictureFormat::parse(bad).has_value()) << bad;
    ASSERT_EQ(PictureFormat::names().size(), 6u);
    for (std::size_t v = 0; v < PictureFormat::names().size(); ++v) {
        const PictureFormat f(static_cast<PictureFormat::Value>(v));
        EXPECT_EQ(PictureFormat::parse(PictureFormat::names()[v]), f);
        EXPECT_EQ(f.name(), PictureFormat::names()[v]);
    }
}

TEST(PictureFormat, PackedSize) {
    EXPECT_EQ(PictureFormat(PictureFormat::I420).packed_size(1, 1), 3u);
    EXPECT_EQ(PictureFormat(PictureFormat::I420).packed_size(3, 3), 17u);
    EXPECT_EQ(PictureFormat(PictureFormat::NV12).packed_size(640, 480), 460800u);
    EXPECT_EQ(PictureFormat(PictureFormat::RGB24).packed_size(640, 480), 921600u);
    EXPECT_EQ(PictureFormat(PictureFormat::BGRA).packed_size(640, 480), 1228800u);
    // No 32-bit wrap; a size beyond 64 bits saturates instead of wrapping to a small one.
    EXPECT_EQ(PictureFormat(PictureFormat::RGB24).packed_size(0xFFFFFFFFu, 2), 6 * 0xFFFFFFFFull);
    EXPECT_EQ(PictureFormat(PictureFormat::RGBA).packed_size(0xFFFFFFFFu, 0xFFFFFFFFu), UINT64_MAX);
    EXPECT_EQ(PictureFormat(PictureFormat::I420).packed_size(0xFFFFFFFFu, 0xFFFFFFFFu), UINT64_MAX);
    EXPECT_EQ(PictureFormat(PictureFormat::NV12).packed_size(0xFFFFFFFFu, 1),
              0xFFFFFFFFull + 2 * 0x80000000ull);
}

TEST(PackedImage, NewBlackAndPlanes) {
    EXPECT_EQ(PackedImage::new_black(2, 2, PictureFormat::NV12, 0).data,
              (std::vector<std::uint8_t>{16, 16, 16, 16, 128, 128}));
    EXPECT_EQ(PackedImage::new_black(1, 1, PictureFormat::I420, 0).data,
              (std::vector<std::uint8_t>{16, 128, 128}));
    auto i420 = PackedImage::new_black(3, 3, PictureFormat::I420, 7);
    EXPECT_EQ(i420.t_us, 7);
    EXPECT_EQ(i420.plane(0).size(), 9u);
    EXPECT_EQ(i420.plane(1).data(), i420.data.data() + 9);
    EXPECT_EQ(i420.plane(2).data(), i420.data.data() + 13);
    EXPECT_EQ(i420.plane(2).size(), 4u);
    auto nv12 = PackedImage::new_black(3, 3, PictureFormat::NV12, 0);
    EXPECT_EQ(nv12.plane(1).size(), 8u);
    EXPECT_TRUE(nv12.plane(2).empty());
}

TEST(Image, FromPackedSplitsNv12Chroma) {
    auto nv12 = PackedImage::new_black(2, 4, PictureFormat::NV12, 42);
    const std::vector<std::uint8_t> uv{10, 20, 11, 21};
    std::copy(uv.begin(), uv.end(), nv12.plane_mut(1).begin());
    const Image img = Image::from_packed(std::move(nv12));
    EXPECT_EQ(bytes(img.u()), (std::vector<std::uint8_t>{10, 11}));
    EXPECT_EQ(bytes(img.v()), (std::vector<std::uint8_t>{20, 21}));
    EXPECT_EQ(bytes(img.y()), std::vector<std::uint8_t>(8, 16));
    EXPECT_EQ(img.t_us, 42);
    EXPECT_FALSE(img.recovering);
}

TEST(Image, AsRawIsATightI420View) {
    auto packed = PackedImage::new_black(5, 3, PictureFormat::I420, 0);
    const Image img = Image::from_packed(std::move(packed));
    const RawImage raw = img.as_raw(99);
    EXPECT_EQ(raw.t_us, 99);
    EXPECT_EQ(raw.format, PictureFormat::I420);
    EXPECT_EQ(raw.strides, (std::array<std::size_t, 3>{5, 3, 3}));
    EXPECT_EQ(raw.planes[1].data(), img.u().data());
    EXPECT_EQ(raw.planes[2].data(), img.v().data());
    EXPECT_EQ(raw.owner, img.owner());
    EXPECT_TRUE(raw.fits());
}

struct FitsCase {
    const char* what;
    PictureFormat format;
    std::uint32_t width, height;
    std::array<std::size_t, 3> lens, strides;
    bool fits;
};

class RawImageFits : public testing::TestWithParam<FitsCase> {};

TEST_P(RawImageFits, Case) {
    const FitsCase& c = GetParam();
    static const std::vector<std::uint8_t> backing(1 << 16);
    RawImage raw;
    for (int i = 0; i < 3; ++i) {
        raw.planes[i] = std::span<const std::uint8_t>(backing.data(), c.lens[i]);
        raw.strides[i] = c.strides[i];
    }
    raw.width = c.width;
    raw.height = c.height;
    raw.format = c.format;
    EXPECT_EQ(raw.fits(), c.fits) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RawImageFits,
    testing::Values(
        FitsCase{"tight i420", PictureFormat::I420, 4, 4, {16, 4, 4}, {4, 2, 2}, true},
        FitsCase{"y stride below width", PictureFormat::I420, 4, 4, {100, 4, 4}, {3, 2, 2}, false},
        FitsCase{"last row short of stride", PictureFormat::I420, 4, 2, {14, 2, 2}, {10, 2, 2}, true},
        FitsCase{"last row short of width", PictureFormat::I420, 4, 2, {13, 2, 2}, {10, 2, 2}, false},
        FitsCase{"v plane short", PictureFormat::I420, 4, 4, {16, 4, 3}, {4, 2, 2}, false},
        FitsCase{"nv12 ignores plane 2", PictureFormat::NV12, 3, 3, {9, 8, 0}, {3, 4, 0}, true},
        FitsCase{"nv12 uv short", PictureFormat::NV12, 3, 3, {9, 7, 0}, {3, 4, 0}, false},
        FitsCase{"rgb24 strided", PictureFormat::RGB24, 2, 2, {14, 0, 0}, {8, 0, 0}, true},
        FitsCase{"rgba stride below row", PictureFormat::RGBA, 2, 2, {16, 0, 0}, {7, 0, 0}, false},
        FitsCase{"height 0 always fits", PictureFormat::I420, 4, 0, {0, 0, 0}, {0, 0, 0}, true},
        FitsCase{"huge stride does not wrap", PictureFormat::I420, 2, 3, {8, 2, 2},
                 {std::size_t{1} << 63, 1, 1}, false}),
    [](const testing::TestParamInfo<FitsCase>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });
