// Tests of the test pattern: its samples, counter, formats, motion and what it refuses to draw.
#include "talmiro_media/capture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

using namespace talmiro_media;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Image draw(std::uint32_t w, std::uint32_t h, std::uint32_t speed, std::uint64_t n,
           PictureFormat f = PictureFormat::I420) {
    auto canvas = TestPattern(w, h, f, speed).frame(n, 0);
    EXPECT_TRUE(canvas.has_value());
    return Image::from_packed(std::move(*canvas));
}

std::vector<std::uint8_t> row(const Image& img, std::uint32_t y) {
    const auto luma = img.y().subspan(std::size_t{y} * img.width, img.width);
    return {luma.begin(), luma.end()};
}

// Bars Y/U/V: white 235/128/128, yellow 210/16/146, cyan 170/166/16, green 145/54/34,
// magenta 106, red 81, blue 41/240/110, black 16/128/128. Chroma x, y are chroma coordinates.
TEST(TestPattern, Samples) {
    struct Case {
        const char* what;
        std::uint32_t w, h, speed;
        std::uint64_t n;
        char plane;  // 'y', 'u' or 'v'
        std::uint32_t x, y;
        int value;
    };
    const Case cases[] = {
        {"stripe rows 0-1", 64, 48, 4, 0, 'y', 63, 1, 235},
        {"chroma row 0 neutral", 64, 48, 4, 0, 'u', 20, 0, 128},
        {"bar 1", 64, 48, 4, 0, 'y', 8, 20, 210},
        {"bar 7", 64, 48, 4, 0, 'y', 63, 20, 16},
        {"bar 1 v", 64, 48, 4, 0, 'v', 7, 1, 146},
        {"right of box", 64, 48, 4, 0, 'y', 7, 5, 235},
        {"below box", 64, 48, 4, 0, 'y', 4, 9, 235},
        {"n=1 offset 4", 64, 48, 4, 1, 'y', 4, 20, 210},
        {"n=1 wraps right", 64, 48, 4, 1, 'y', 60, 20, 235},
        {"n=1 chroma offset", 64, 48, 4, 1, 'u', 2, 10, 16},
        {"n=2 row 0 bars", 64, 48, 4, 2, 'y', 0, 0, 210},
        {"n=2 odd stripe start", 64, 48, 4, 2, 'y', 0, 1, 235},
        {"odd start keeps bar chroma", 64, 48, 4, 2, 'u', 0, 0, 16},
        {"even end neutral chroma", 64, 48, 4, 2, 'v', 5, 1, 128},
        {"bar luma over it", 64, 48, 4, 2, 'y', 10, 3, 170},
        {"stripe height 120/24", 64, 120, 0, 0, 'y', 40, 4, 235},
        {"below it", 64, 120, 0, 0, 'y', 40, 5, 81},
        {"2x2 all stripe", 2, 2, 1, 31, 'y', 1, 0, 235},
        {"2x2 n=33 bar 2", 2, 2, 1, 33, 'y', 1, 0, 170},
        {"2x2 n=33 chroma", 2, 2, 1, 33, 'u', 0, 0, 16},
        {"33x17 last chroma column", 33, 17, 0, 0, 'u', 16, 8, 240},
        {"stripe cut at bottom", 33, 17, 0, 61, 'v', 16, 8, 128},
        {"no wrap to top", 33, 17, 0, 61, 'y', 5, 1, 210},
        {"seam", 33, 17, 1, 32, 'y', 7, 12, 16},
        {"seam, bar 0 again", 33, 17, 1, 32, 'y', 8, 12, 235},
        {"jump back", 33, 17, 1, 33, 'y', 5, 12, 210},
        {"box keeps chroma", 16, 16, 0, 999, 'v', 3, 2, 34},
        // speed x n and n x H wrap modulo 2^64: offset 32, stripe top 0.
        {"max index stripe", 83, 59, 4, kMax, 'y', 82, 1, 235},
        {"max index bars", 83, 59, 4, kMax, 'y', 1, 10, 145},
    };
    for (const Case& c : cases) {
        for (PictureFormat f : {PictureFormat::I420, PictureFormat::NV12}) {
            const Image img = draw(c.w, c.h, c.speed, c.n, f);
            const auto plane = c.plane == 'y' ? img.y() : c.plane == 'u' ? img.u() : img.v();
            const std::uint32_t stride = c.plane == 'y' ? img.width : img.cw();
            EXPECT_EQ(plane[c.y * stride + c.x], c.value) << c.what << " " << f.name();
        }
    }
}

// Glyph rows top to bottom, three columns each.
constexpr std::array<const char*, 10> kGlyphs{
    "####.##.##.####", ".#.##..#..#.###", "###..#####..###", "###..####..####",
    "#.##.####..#..#", "####..###..####", "####..####.####", "###..#..#..#..#",
    "####.#####.####", "####.####..####"};

TEST(TestPattern, Counter) {
    struct Case {
        std::uint32_t w, h;
        std::uint64_t n;
        std::uint32_t s;  // 0: no counter
    };
    const Case cases[] = {{64, 48, 1234567890, 1}, {16, 16, 999, 1},   {16, 16, 1000, 0},
                          {64, 120, 2468, 2},      {64, 119, 2468, 1}, {65, 180, 13579, 3},
                          {64, 180, 13579, 0},     {7, 9, 8, 1},       {7, 8, 8, 0},
                          {6, 9, 8, 0},            {83, 59, kMax, 1},  {82, 59, kMax, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " n=" + std::to_string(c.n));
        const Image img = draw(c.w, c.h, 0, c.n);
        if (c.s == 0) {  // every row is then the stripe or the bars of the last row
            const std::vector<std::uint8_t> white(c.w, 235);
            for (std::uint32_t y = 0; y < c.h; ++y)
                EXPECT_TRUE(row(img, y) == white || row(img, y) == row(img, c.h - 1)) << y;
            continue;
        }
        const std::string digits = std::to_string(c.n);
        for (std::uint32_t y = 2; y < 2 + 7 * c.s; ++y) {
            for (std::uint32_t x = 2; x < 2 + c.s * (4 * digits.size() + 1); ++x) {
                // Glyph cell coordinates; the margins wrap below 0 and stay dark.
                const std::uint32_t cx = (x - 2) / c.s - 1, cy = (y - 2) / c.s - 1;
                const bool lit = cx % 4 < 3 && cy < 5 &&
                                 kGlyphs[digits[cx / 4] - '0'][3 * cy + cx % 4] == '#';
                ASSERT_EQ(img.y()[y * c.w + x], lit ? 235 : 16) << x << "," << y;
            }
        }
    }
}

// NV12 carries the I420 samples; frames n and n + 64 differ only inside the counter's box
// (the cases move the bars by a multiple of the width in 64 frames).
TEST(TestPattern, FormatsAgreeAndStripeRepeatsEvery64Frames) {
    struct Case {
        std::uint32_t w, h, speed;
    };
    for (const Case c : {Case{2, 2, 1}, Case{3, 5, 0}, Case{33, 17, 0}, Case{64, 48, 4},
                         Case{100, 120, 25}}) {
        const std::uint32_t s = std::max(1u, c.h / 60);
        const std::uint32_t box_right = 2 + 17 * s, box_bottom = 2 + 7 * s;  // up to 4 digits
        for (std::uint64_t n : {std::uint64_t{3}, std::uint64_t{1000}, kMax - 64}) {
            SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " n=" +
                         std::to_string(n));
            const Image a = draw(c.w, c.h, c.speed, n);
            const Image nv12 = draw(c.w, c.h, c.speed, n, PictureFormat::NV12);
            for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::ranges::equal(a.plane(i), nv12.plane(i)));
            const Image b = draw(c.w, c.h, c.speed, n + 64);
            EXPECT_TRUE(std::ranges::equal(a.u(), b.u()) && std::ranges::equal(a.v(), b.v()));
            for (std::uint32_t y = 0; y < c.h; ++y)
                for (std::uint32_t x = (y < box_bottom ? box_right : 0); x < c.w; ++x)
                    ASSERT_EQ(a.y()[y * c.w + x], b.y()[y * c.w + x]) << x << "," << y;
        }
    }
}

TEST(TestPattern, SpeedZeroHoldsTheBars) {
    const auto bars = row(draw(64, 48, 0, 0), 20);
    EXPECT_EQ(row(draw(64, 48, 0, 40), 20), bars);  // the stripe is at rows 30-31 now
    EXPECT_EQ(row(draw(64, 48, 0, 40), 30), std::vector<std::uint8_t>(64, 235));
    EXPECT_NE(row(draw(64, 48, 4, 1), 20), bars);
}

TEST(TestPattern, NextDrawsPositionAndAdvances) {
    TestPattern p(64, 48, PictureFormat::NV12, 4);
    ASSERT_TRUE(p.frame(10, 0).has_value());
    EXPECT_EQ(p.position(), 0u);
    for (std::uint64_t n = 0; n < 3; ++n) {
        auto next = p.next(-5);
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->data, p.frame(n, 0)->data);
        EXPECT_EQ(next->t_us, -5);
        EXPECT_EQ(next->data.size(), PictureFormat(PictureFormat::NV12).packed_size(64, 48));
        EXPECT_EQ(p.position(), n + 1);
    }
}

TEST(TestPattern, RefusesWhatItCannotDraw) {
    struct Case {
        std::uint32_t w, h;
        PictureFormat f;
        const char* display;
    };
    const Case cases[] = {
        {0xFFFFFFFF, 0xFFFFFFFF, PictureFormat::I420,
         "unsupported: pattern: 4294967295x4294967295 canvas does not fit in memory"},
        {1, 5, PictureFormat::NV12, "unsupported: pattern needs at least 2x2"},
        {4, 4, PictureFormat::RGBA, "unsupported: pattern: draws i420 or nv12, got rgba"}};
    for (const Case& c : cases) {
        TestPattern p(c.w, c.h, c.f, 4);
        const auto canvas = p.next(0);
        ASSERT_FALSE(canvas.has_value());
        EXPECT_EQ(canvas.error().display(), c.display);
        EXPECT_EQ(p.position(), 0u);
    }
}

}  // namespace
