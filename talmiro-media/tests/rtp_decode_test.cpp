// The encoder's stream through packetizer, a lossy network, depacketizer and decoder, beside a
// lossless decode of the same stream: what the loss of one packet does to the pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "talmiro_media/decode.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"
#include "talmiro_media/rtp_packetizer.hpp"

using namespace talmiro_media;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kWidth = 160, kHeight = 128;
constexpr std::int64_t kInterval = 33'333;
// Unit 3 is a P picture and unit 6 an IDR picture with its parameter sets (a STAP-A); unit 10
// is the IDR picture that ends the damage.
constexpr std::size_t kP = 3, kLostIdr = 6, kRecovery = 10, kCount = 14;

// Fine moving texture: costly to code, so that every picture spans several packets.
Image detailed_picture(std::uint32_t n) {
    ImageBuilder img = ImageBuilder::allocate(kWidth, kHeight);
    for (std::uint32_t r = 0; r < kHeight; ++r)
        for (std::uint32_t c = 0; c < kWidth; ++c) {
            const std::uint32_t x = c + 3 * n, v = (x * 2654435761u) ^ (r * 40503u);
            img.planes[0][std::size_t{r} * kWidth + c] = static_cast<std::uint8_t>(v >> 11);
        }
    for (std::size_t i = 0; i < img.planes[1].size(); ++i) {
        img.planes[1][i] = static_cast<std::uint8_t>(i * 7 + n);
        img.planes[2][i] = static_cast<std::uint8_t>(i * 13 - n);
    }
    return std::move(img).finish(0, false);
}

struct Stream {
    std::vector<AccessUnit> units;  // as encoded, stamped n * kInterval
    std::vector<Bytes> packets;
    std::vector<std::size_t> owner;  // the unit of each packet
    std::vector<std::uint32_t> rtp_ts;
};

Stream make_stream() {
    EncoderConfig config;
    config.width = kWidth;
    config.height = kHeight;
    config.backend = EncoderBackend::X264;
    config.keyframe_interval = 1000;
    config.bitrate_kbps = 3000;
    auto encoder = H264Encoder::open(config, nullptr);
    EXPECT_TRUE(encoder.has_value());
    RtpPacketizerConfig pc;
    pc.mtu = 200;
    auto packetizer = RtpPacketizer::create(pc);
    EXPECT_TRUE(packetizer.has_value());
    Stream s;
    if (!encoder || !packetizer) return s;
    for (std::uint32_t n = 0; n < kCount; ++n) {
        const std::int64_t t = n * kInterval;
        auto out = encoder->encode(detailed_picture(n).as_raw(t), n == kLostIdr || n == kRecovery);
        EXPECT_TRUE(out && out->size() == 1u) << n;
        if (!out || out->size() != 1u) return s;
        AccessUnit au = (*out)[0];
        au.encoded_us.reset();
        for (const SharedBytes& p : packetizer->packetize(au.bytes(), t)) {
            s.packets.emplace_back(p.bytes().begin(), p.bytes().end());
            s.owner.push_back(n);
        }
        s.rtp_ts.push_back(packetizer->timestamp_of(t));
        s.units.push_back(std::move(au));
    }
    return s;
}

std::uint8_t nal_type_of(const Bytes& packet) { return packet[12] & 0x1F; }

}  // namespace

// Each packet of a P unit and of an IDR unit lost in turn (the first, a STAP-A, an FU-A start,
// middle and end, the marker packet): the incomplete unit is released at its deadline and
// decoded as incomplete. Every picture that differs from the lossless decode is flagged, and
// from the next IDR picture on every picture is bit-exact and unflagged.
TEST(RtpDecode, EachLostPacketIsFlaggedUntilTheNextIdr) {
    const Stream s = make_stream();
    ASSERT_EQ(s.units.size(), kCount);
    ASSERT_TRUE(s.units[kLostIdr].key && s.units[kRecovery].key);
    std::map<std::int64_t, Image> want;
    {
        auto lossless = H264Decoder::open({}, true);
        ASSERT_TRUE(lossless);
        auto keep = [&](Result<std::vector<Image>> pictures) {
            ASSERT_TRUE(pictures.has_value());
            for (Image& img : *pictures) want.emplace(img.t_us, std::move(img));
        };
        for (const AccessUnit& au : s.units) keep(lossless->decode(au));
        keep(lossless->flush());
        ASSERT_EQ(want.size(), kCount);
    }
    std::vector<std::size_t> drops;
    for (std::size_t i = 0; i < s.packets.size(); ++i)
        if (s.owner[i] == kP || s.owner[i] == kLostIdr) drops.push_back(i);
    // The units lost from are big enough for every kind of packet named above.
    auto kinds = [&](std::size_t unit) {
        std::size_t fu = 0, stap = 0;
        for (std::size_t i : drops) {
            if (s.owner[i] != unit) continue;
            fu += nal_type_of(s.packets[i]) == 28;
            stap += nal_type_of(s.packets[i]) == 24;
        }
        return std::pair(fu, stap);
    };
    ASSERT_GE(kinds(kP).first, 3u);
    ASSERT_GE(kinds(kLostIdr).first, 3u);
    ASSERT_EQ(kinds(kLostIdr).second, 1u);

    for (const std::size_t drop : drops) {
        SCOPED_TRACE(testing::Message() << "unit " << s.owner[drop] << " packet " << drop
                                        << " type " << int{nal_type_of(s.packets[drop])});
        RtpDepacketizer d;
        auto decoder = H264Decoder::open({}, true);
        ASSERT_TRUE(decoder);
        std::size_t differing = 0, incomplete = 0;
        auto decode = [&](RtpOutput&& out) {
            for (RtpAccessUnit& u : out.units) {
                const auto n = std::ranges::find(s.rtp_ts, u.rtp_timestamp) - s.rtp_ts.begin();
                ASSERT_LT(static_cast<std::size_t>(n), kCount);
                u.unit.t_us = n * kInterval;
                u.unit.complete = u.complete;
                incomplete += !u.complete;
                auto pictures = decoder->decode(u.unit);
                ASSERT_TRUE(pictures.has_value());
                for (const Image& img : *pictures) {
                    const Image& w = want.at(img.t_us);
                    const bool same = std::ranges::equal(img.y(), w.y()) &&
                                      std::ranges::equal(img.u(), w.u()) &&
                                      std::ranges::equal(img.v(), w.v());
                    differing += !same;
                    EXPECT_TRUE(same || img.recovering) << "picture " << img.t_us / kInterval;
                    if (img.t_us >= static_cast<std::int64_t>(kRecovery) * kInterval) {
                        EXPECT_TRUE(same) << "picture " << img.t_us / kInterval;
                        EXPECT_FALSE(img.recovering) << "picture " << img.t_us / kInterval;
                    }
                }
            }
        };
        for (std::size_t i = 0; i < s.packets.size(); ++i) {
            const std::int64_t arrival =
                static_cast<std::int64_t>(s.owner[i]) * kInterval + static_cast<std::int64_t>(i);
            // The receiver's timer: what waits is released at its deadline.
            for (auto due = d.next_deadline_us(); due && *due <= arrival;
                 due = d.next_deadline_us())
                decode(d.poll(*due));
            if (i != drop) decode(d.push(s.packets[i], arrival));
        }
        for (auto due = d.next_deadline_us(); due; due = d.next_deadline_us()) decode(d.poll(*due));
        EXPECT_EQ(incomplete, 1u);
        EXPECT_EQ(d.stats().packets_lost, 1u);
        // The loss shows in the pictures unless it took nothing the picture needs.
        EXPECT_GE(decoder->sync().counters().losses + differing, 1u);
    }
}
