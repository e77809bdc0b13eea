// Tests of the image pool: storage is recycled only once its last image is gone.
#include "talmiro_media/image_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "talmiro_media/internal/test_access.hpp"

using namespace talmiro_media;

namespace {

TEST(ImagePool, RecyclesStorageOnlyOnceTheLastImageIsGone) {
    ImagePool pool;
    auto first = pool.take(17, 9);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->planes[0].size(), 17u * 9u);
    EXPECT_EQ(first->planes[1].size(), 9u * 5u);
    EXPECT_EQ(first->planes[2].data(), first->planes[1].data() + 45);
    const std::uint8_t* storage = first->planes[0].data();
    std::optional<Image> held = std::move(*first).finish(5, true);
    const Image copy = *held;
    held.reset();
    // `copy` still holds the storage, so it is not handed out again.
    auto second = pool.take(17, 9);
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(second->planes[0].data(), storage);
    EXPECT_EQ(copy.t_us, 5);
    EXPECT_TRUE(copy.recovering);
    EXPECT_EQ(copy.y().data(), storage);
}

TEST(ImagePool, BuffersGoBackAndImagesOutliveThePool) {
    std::optional<ImagePool> pool(std::in_place);
    const std::uint8_t* storage = nullptr;
    {
        auto b = pool->take(32, 8);
        ASSERT_TRUE(b.has_value());
        storage = b->planes[0].data();
    }
    auto again = pool->take(32, 8);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->planes[0].data(), storage);
    std::ranges::fill(again->planes[2], 7);
    const Image img = std::move(*again).finish(0, false);
    // Another size replaces the buffers; the old pool's image stays readable.
    auto other = pool->take(64, 4);
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(TestAccess::buffer_size(*pool), ImageBuilder::size_of(64, 4));
    pool.reset();
    EXPECT_TRUE(std::ranges::all_of(img.v(), [](std::uint8_t b) { return b == 7; }));
}

}  // namespace
