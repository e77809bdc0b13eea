// Tests of PSNR: values, identical and mismatched inputs.
#include "talmiro_media/psnr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace talmiro_media;

TEST(Psnr, Values) {
    using Bytes = std::vector<std::uint8_t>;
    Bytes ramp(4096), ramp_plus_one(4096), last_off(1000, 7);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<std::uint8_t>(i % 255);
        ramp_plus_one[i] = static_cast<std::uint8_t>(ramp[i] + 1);
    }
    last_off.back() = 7 + 51;  // every byte counts: mse = 51 x 51 / 1000
    struct Case {
        const char* what;
        Bytes a, b;
        std::optional<double> db;
    };
    const Case cases[] = {
        {"0 against 255", {0}, {255}, 0.0},
        {"off by one everywhere", ramp, ramp_plus_one, 48.1308036},
        {"off by one in half", {10, 20, 30, 40}, {11, 20, 31, 40}, 51.1411036},
        {"last byte differs", Bytes(1000, 7), last_off, 10 * std::log10(65025 / 2.601)},
        {"identical", ramp, ramp, HUGE_VAL},
        {"both empty", {}, {}, std::nullopt},
        {"lengths 10 and 11", Bytes(10), Bytes(11), std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = psnr(c.a, c.b);
        ASSERT_EQ(got.has_value(), c.db.has_value()) << c.what;
        if (!got) continue;
        if (std::isinf(*c.db)) EXPECT_EQ(*got, HUGE_VAL) << c.what;
        else EXPECT_NEAR(*got, *c.db, 5e-8) << c.what;
        EXPECT_EQ(psnr(c.b, c.a), got) << c.what;
    }
}
