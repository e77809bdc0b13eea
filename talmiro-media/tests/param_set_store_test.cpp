// Tests of the receiver's parameter-set store: sets kept by id, within bounds.
#include "talmiro_media/param_set_store.hpp"

#include <gtest/gtest.h>

#include "byte_vectors.hpp"
#include "h264_bits.hpp"

using namespace talmiro_media;
namespace hb = h264_bits;

namespace {

using talmiro_test::Bytes;
using talmiro_test::cat;

// Takes `data` into `store`; (carried sets, changed).
std::pair<bool, bool> take(ParamSetStore& store, const Bytes& data) {
    bool changed = false;
    const bool found = store.take(data, list_nal_units(data), changed);
    return {found, changed};
}

}  // namespace

TEST(ParamSetStore, KeepsSetsByIdWithinBounds) {
    const Bytes sps0 = hb::annexb({hb::sps({.id = 0})});
    const Bytes sps0b = hb::annexb({hb::sps({.id = 0, .log2_max_frame_num = 9})});
    const Bytes sps3 = hb::annexb({hb::sps({.id = 3})});
    const Bytes pps5 = hb::annexb({hb::pps(5, 3)});
    const Bytes pps7 = hb::annexb({hb::pps(7, 1)});  // its SPS is never seen
    ParamSetStore store;
    EXPECT_FALSE(store.all().has_value());
    EXPECT_EQ(take(store, hb::annexb({hb::slice({})})), (std::pair{false, false}));
    EXPECT_EQ(take(store, cat({pps5, sps3})), (std::pair{true, true}));
    EXPECT_EQ(take(store, sps0), (std::pair{true, true}));
    EXPECT_EQ(take(store, sps0), (std::pair{true, false}));
    EXPECT_EQ(*store.all(), cat({sps0, sps3, pps5}));
    // A later set of the same id replaces the earlier, and its facts with it.
    EXPECT_EQ(take(store, sps0b), (std::pair{true, true}));
    EXPECT_EQ(*store.all(), cat({sps0b, sps3, pps5}));
    EXPECT_EQ(store.facts().sps(0)->log2_max_frame_num, 9);
    // A set whose id cannot be read, or one far larger than any real one, is not kept.
    Bytes huge = hb::sps({.id = 4});
    huge.resize(ParamSetStore::kMaxSetBytes + 1, 0x55);
    EXPECT_EQ(take(store, cat({Bytes{0, 0, 0, 1, 0x67, 0x42}, hb::annexb({huge})})),
              (std::pair{true, false}));
    EXPECT_FALSE(store.facts().sps(4).has_value());
    // What one picture needs: its PPS behind that PPS's SPS, when known.
    EXPECT_EQ(store.for_pps(5), cat({sps3, pps5}));
    EXPECT_EQ(store.for_pps(6), std::nullopt);
    take(store, pps7);
    EXPECT_EQ(store.for_pps(7), pps7);
}
