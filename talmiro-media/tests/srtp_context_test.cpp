#include "talmiro_media/srtp_context.hpp"

#include <gtest/gtest.h>
#include <srtp2/srtp.h>

#include <cstdint>
#include <numeric>
#include <vector>

using namespace talmiro_media;

namespace {

using Vec = std::vector<std::uint8_t>;
using Dir = SrtpContext::Direction;

Vec key_for(SrtpSuite suite, std::uint8_t seed) {
    Vec k(srtp_key_salt_size(suite));
    std::iota(k.begin(), k.end(), seed);
    return k;
}

// An RTP packet of `ssrc` and `seq` with 40 payload bytes.
Vec rtp_packet(std::uint32_t ssrc, std::uint16_t seq) {
    Vec p{0x80, 96, static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq), 0, 0, 0,
          1};
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<std::uint8_t>(ssrc >> s));
    for (int i = 0; i < 40; ++i) p.push_back(static_cast<std::uint8_t>(i * 7));
    return p;
}

// A PLI from 0x1111 about 0x2222.
const Vec kPli{0x81, 206, 0, 2, 0x00, 0x00, 0x11, 0x11, 0x00, 0x00, 0x22, 0x22};

struct Pair {
    SrtpContext out, in;
};

Pair pair_for(SrtpSuite suite) {
    auto out = SrtpContext::create(suite, key_for(suite, 1), Dir::Outbound);
    auto in = SrtpContext::create(suite, key_for(suite, 1), Dir::Inbound);
    EXPECT_TRUE(out && in);
    return {std::move(*out), std::move(*in)};
}

// The bytes `in` gives back for `wire`, or the refusal.
std::expected<Vec, SrtpRefusal> open(SrtpContext& in, Vec wire, bool rtcp) {
    auto n = in.unprotect(wire, rtcp);
    if (!n) return std::unexpected(n.error());
    wire.resize(*n);
    return wire;
}

class EverySuite : public ::testing::TestWithParam<SrtpSuite> {};

TEST_P(EverySuite, RoundTripsRtpAndRtcpAndRefusesTamperingAndReplays) {
    Pair p = pair_for(GetParam());
    Vec wire;
    const Vec media = rtp_packet(0xABCD, 7);
    ASSERT_TRUE(p.out.protect(media, false, wire));
    EXPECT_GT(wire.size(), media.size());
    EXPECT_LE(wire.size(), media.size() + SrtpContext::kMaxOverhead);
    EXPECT_NE(Vec(wire.begin() + 12, wire.begin() + 52), Vec(media.begin() + 12, media.end()));
    Vec tampered = wire;
    tampered[20] ^= 0x04;
    EXPECT_EQ(open(p.in, tampered, false), std::unexpected(SrtpRefusal::Auth));
    EXPECT_EQ(open(p.in, wire, false), media);
    EXPECT_EQ(open(p.in, wire, false), std::unexpected(SrtpRefusal::Replay));

    Vec report;
    ASSERT_TRUE(p.out.protect(kPli, true, report));
    EXPECT_EQ(open(p.in, Vec(report.begin(), report.end() - 1), true),
              std::unexpected(SrtpRefusal::Auth));  // a truncated tag
    EXPECT_EQ(open(p.in, report, true), kPli);
    EXPECT_EQ(open(p.in, report, true), std::unexpected(SrtpRefusal::Replay));
}

INSTANTIATE_TEST_SUITE_P(Suites, EverySuite,
                         ::testing::Values(SrtpSuite::AesCm128HmacSha1_80,
                                           SrtpSuite::AesCm128HmacSha1_32,
                                           SrtpSuite::AeadAes128Gcm, SrtpSuite::AeadAes256Gcm));

TEST(SrtpContext, RefusesPlainPacketsAnotherKeyAndRubbish) {
    const SrtpSuite s = SrtpSuite::AesCm128HmacSha1_80;
    Pair p = pair_for(s);
    auto stranger = SrtpContext::create(s, key_for(s, 9), Dir::Outbound);
    ASSERT_TRUE(stranger);
    Vec wire;
    ASSERT_TRUE(stranger->protect(rtp_packet(0xABCD, 1), false, wire));
    EXPECT_EQ(open(p.in, wire, false), std::unexpected(SrtpRefusal::Auth));
    EXPECT_EQ(open(p.in, rtp_packet(0xABCD, 2), false), std::unexpected(SrtpRefusal::Auth));
    EXPECT_EQ(open(p.in, kPli, true), std::unexpected(SrtpRefusal::Malformed));  // no index
    EXPECT_EQ(open(p.in, Vec(30, 0x80), true), std::unexpected(SrtpRefusal::Auth));
    EXPECT_EQ(open(p.in, Vec(5, 0x80), false), std::unexpected(SrtpRefusal::Malformed));
    EXPECT_EQ(open(p.in, Vec(60, 0x40), false), std::unexpected(SrtpRefusal::Malformed));
    // A forged packet of a new SSRC leaves no state behind: the real one still opens.
    ASSERT_TRUE(p.out.protect(rtp_packet(0x5555, 1), false, wire));
    EXPECT_EQ(open(p.in, wire, false), rtp_packet(0x5555, 1));
}

TEST(SrtpContext, ResendsAndRetransmissionsPassLateOriginalsWithinTheWindow) {
    Pair p = pair_for(SrtpSuite::AesCm128HmacSha1_80);
    std::vector<Vec> sent(200);
    for (std::uint16_t i = 0; i < sent.size(); ++i)
        ASSERT_TRUE(p.out.protect(rtp_packet(0xABCD, 65500 + i), false, sent[i]));
    Vec again;  // a plain resend is the same packet protected again
    ASSERT_TRUE(p.out.protect(rtp_packet(0xABCD, 65500 + 3), false, again));
    EXPECT_EQ(again, sent[3]);
    for (std::size_t i = 0; i < sent.size(); ++i) {  // across the wrap, all but the 4th
        if (i != 3) {
            EXPECT_TRUE(open(p.in, sent[i], false)) << i;
        }
    }
    EXPECT_EQ(open(p.in, again, false), rtp_packet(0xABCD, 65500 + 3));  // 196 late
    EXPECT_EQ(open(p.in, sent[3], false), std::unexpected(SrtpRefusal::Replay));
}

// A peer that reads AES_CM_128_HMAC_SHA1_32 as a 32-bit tag on SRTCP too.
Vec short_tag_rtcp(const Vec& key, const Vec& compound) {
    srtp_policy_t policy{};
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtcp);
    policy.ssrc.type = ssrc_any_outbound;
    Vec k = key;
    policy.key = k.data();
    srtp_t ctx = nullptr;
    EXPECT_EQ(srtp_create(&ctx, &policy), srtp_err_status_ok);
    Vec out = compound;
    out.resize(compound.size() + SRTP_MAX_TRAILER_LEN + 4);
    int length = static_cast<int>(compound.size());
    EXPECT_EQ(srtp_protect_rtcp(ctx, out.data(), &length), srtp_err_status_ok);
    srtp_dealloc(ctx);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

TEST(SrtpContext, ShortSuiteTakesSrtcpWithEitherTag) {
    const SrtpSuite s = SrtpSuite::AesCm128HmacSha1_32;
    Pair p = pair_for(s);
    const Vec wire = short_tag_rtcp(key_for(s, 1), kPli);
    EXPECT_EQ(wire.size(), kPli.size() + 4 + 4);
    EXPECT_EQ(open(p.in, wire, true), kPli);
    EXPECT_EQ(open(p.in, wire, true), std::unexpected(SrtpRefusal::Replay));
    Vec ours;  // and ours, with the 80-bit tag
    ASSERT_TRUE(p.out.protect(kPli, true, ours));
    EXPECT_EQ(ours.size(), kPli.size() + 4 + 10);
    EXPECT_EQ(open(p.in, ours, true), kPli);
    Vec other = kPli;  // from another SSRC, so that its index is new
    other[7] = 0x12;
    Vec tampered = short_tag_rtcp(key_for(s, 1), other);
    tampered[9] ^= 1;
    EXPECT_EQ(open(p.in, tampered, true), std::unexpected(SrtpRefusal::Auth));
}

TEST(SrtpContext, NamesKeysAndDirections) {
    EXPECT_EQ(srtp_suite_named("AEAD_AES_256_GCM"), SrtpSuite::AeadAes256Gcm);
    EXPECT_EQ(srtp_suite_named("aes_cm_128_hmac_sha1_80"), std::nullopt);
    EXPECT_EQ(srtp_key_salt_size(SrtpSuite::AeadAes128Gcm), 28u);
    EXPECT_FALSE(SrtpContext::create(SrtpSuite::AesCm128HmacSha1_80, Vec(29), Dir::Inbound));
    auto in = SrtpContext::create(SrtpSuite::AesCm128HmacSha1_80, Vec(30), Dir::Inbound);
    Vec out;
    EXPECT_FALSE(in->protect(rtp_packet(1, 1), false, out));
}

}  // namespace
