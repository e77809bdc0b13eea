// Tests of the H.264 payload parser on its own: each packetization read into views that stay
// inside the payload, and every structure that runs past its end refused by cause.
#include "talmiro_media/internal/h264_payload.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "byte_vectors.hpp"

using namespace talmiro_media;

namespace {

using talmiro_test::Bytes;
using Kind = H264Payload::Kind;

bool inside(std::span<const std::uint8_t> view, const Bytes& payload) {
    return view.empty() || (view.data() >= payload.data() &&
                            view.data() + view.size() <= payload.data() + payload.size());
}

TEST(H264Payload, ReadsEachPacketizationAsViews) {
    const Bytes single{0x65, 0x88, 0x00, 0x00};
    const auto s = parse_h264_payload(single);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->kind, Kind::Single);
    EXPECT_EQ(Bytes(s->nal.begin(), s->nal.end()), (Bytes{0x65, 0x88}));  // trailing zeros off
    const Bytes stap{0x18, 0, 2, 0x67, 0x42, 0, 3, 0x68, 0xCE, 0x00};
    const auto a = parse_h264_payload(stap);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, Kind::StapA);
    std::vector<Bytes> units;
    for (const auto nal : a->stap) {
        EXPECT_TRUE(inside(nal, stap));
        units.emplace_back(nal.begin(), nal.end());
    }
    EXPECT_EQ(units, (std::vector<Bytes>{{0x67, 0x42}, {0x68, 0xCE}}));
    const Bytes fu{0x7C, 0x85, 1, 2, 3};
    const auto f = parse_h264_payload(fu);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, Kind::FuA);
    EXPECT_TRUE(f->fu.start);
    EXPECT_FALSE(f->fu.end);
    EXPECT_EQ(f->fu.type, 5);
    EXPECT_EQ(f->fu.nal_header, 0x65);
    EXPECT_EQ(Bytes(f->fu.data.begin(), f->fu.data.end()), (Bytes{1, 2, 3}));
    const Bytes fu_end{0x5C, 0x41};
    EXPECT_TRUE(parse_h264_payload(fu_end)->fu.end);
    EXPECT_TRUE(parse_h264_payload(fu_end)->fu.data.empty());
    EXPECT_EQ(parse_h264_payload({})->kind, Kind::Empty);
}

TEST(H264Payload, RefusesWhatRunsPastItsEndOrIsNotTaken) {
    struct Case {
        Bytes payload;
        RtpRefusal cause;
    };
    const Case cases[] = {
        {{0x18}, RtpRefusal::BadStapA},                      // no unit
        {{0x18, 0}, RtpRefusal::BadStapA},                   // half a size
        {{0x18, 0, 3, 0x67, 0x42}, RtpRefusal::BadStapA},    // a unit past the end
        {{0x18, 0, 1, 0x67, 0, 0}, RtpRefusal::BadStapA},    // an empty unit
        {{0x18, 0, 1, 0x78}, RtpRefusal::BadStapA},          // an aggregate inside
        {{0x18, 0, 5, 0x41, 0, 0, 1, 9}, RtpRefusal::BadNal},
        {{0x41, 1, 0, 0, 2, 3}, RtpRefusal::BadNal},
        {{0x7C}, RtpRefusal::BadFuA},
        {{0x7C, 0x80}, RtpRefusal::BadFuA},                  // type 0 fragmented
        {{0x7C, 0x9C}, RtpRefusal::BadFuA},                  // an FU fragmented
        {{0x19, 0}, RtpRefusal::StapB},
        {{0x1A}, RtpRefusal::Mtap},
        {{0x1B}, RtpRefusal::Mtap},
        {{0x1D, 0x85}, RtpRefusal::FuB},
        {{0x00}, RtpRefusal::ReservedType},
        {{0x1E}, RtpRefusal::ReservedType},
        {{0x1F}, RtpRefusal::ReservedType},
    };
    for (const Case& c : cases) {
        const auto p = parse_h264_payload(c.payload);
        ASSERT_FALSE(p) << testing::PrintToString(c.payload);
        EXPECT_EQ(p.error(), c.cause) << testing::PrintToString(c.payload);
    }
}

}  // namespace
