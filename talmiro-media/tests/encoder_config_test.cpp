// Tests of the encoder configuration: its checks, the values derived from it, what x264 makes
// of it (read from the bitstream), what nvenc is given, and EncoderControl.
#include "talmiro_media/encoder_config.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/capture.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/internal/annexb_steps.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

using namespace talmiro_media;

namespace {

EncoderConfig config_of(std::uint32_t w, std::uint32_t h, std::uint32_t fps, std::uint32_t kbps,
                        PictureFormat format = PictureFormat::I420) {
    EncoderConfig c;
    c.width = w;
    c.height = h;
    c.fps = fps;
    c.bitrate_kbps = kbps;
    c.intra_refresh = false;
    c.pixel_format = format;
    return c;
}

// An option as av_opt_get prints it, private options reached through the context.
std::string option(AVCodecContext* ctx, const char* key) {
    std::uint8_t* out = nullptr;
    if (av_opt_get(ctx, key, AV_OPT_SEARCH_CHILDREN, &out) < 0) return "<absent>";
    std::string text(reinterpret_cast<char*>(out));
    av_free(out);
    return text;
}

// How av_opt_get prints the named constant `name` of option `key`.
std::string constant(AVCodecContext* ctx, const char* key, const char* name) {
    const AVOption* o = av_opt_find(ctx, key, nullptr, 0, AV_OPT_SEARCH_CHILDREN);
    const AVOption* c = o ? av_opt_find(ctx, name, o->unit, 0, AV_OPT_SEARCH_CHILDREN) : nullptr;
    return c ? std::to_string(c->default_val.i64) : "<no constant>";
}

// A context of `backend`'s encoder, configured; null when libavcodec lacks the encoder.
CodecContextPtr configured(const EncoderConfig& config, EncoderBackend backend) {
    ffmpeg_init();
    const AVCodec* codec = find_encoder(encoder_name(backend));
    if (!codec) return nullptr;
    auto ctx = alloc_codec_context(codec);
    if (!ctx) return nullptr;
    configure_codec_context(**ctx, config, backend);
    return std::move(*ctx);
}

// What one access unit's bitstream says about the stream's shape.
struct UnitShape {
    int slices = 0;
    bool b_slice = false;
    // SPS and PPS both come before the first slice.
    bool param_sets_first = false;
    std::optional<std::uint8_t> profile_idc;
    std::optional<std::uint8_t> constraint_flags;
};

// Exp-Golomb ue(v) at bit `pos` of `rbsp`; none when the bits run out.
std::optional<std::uint32_t> read_ue(const std::vector<std::uint8_t>& rbsp, std::size_t& pos) {
    const auto bit = [&]() -> std::optional<unsigned> {
        if (pos >= rbsp.size() * 8) return std::nullopt;
        const unsigned b = (rbsp[pos / 8] >> (7 - pos % 8)) & 1;
        ++pos;
        return b;
    };
    int zeros = 0;
    for (auto b = bit(); b != 1u; b = bit()) {
        if (!b || ++zeros > 31) return std::nullopt;
    }
    std::uint32_t value = 1;
    for (int i = 0; i < zeros; ++i) {
        const auto b = bit();
        if (!b) return std::nullopt;
        value = (value << 1) | *b;
    }
    return value - 1;
}

UnitShape shape_of(std::span<const std::uint8_t> au) {
    UnitShape shape;
    bool sps = false, pps = false;
    for (const NalUnit& nal : nal_units(au)) {
        const auto body = au.subspan(nal.begin + 1, nal.end - nal.begin - 1);
        if (nal.type == kNalSps) {
            sps = true;
            if (body.size() >= 2) {
                shape.profile_idc = body[0];
                shape.constraint_flags = body[1];
            }
        }
        pps = pps || nal.type == kNalPps;
        if (nal.type != kNalSlice && nal.type != kNalIdrSlice) continue;
        if (shape.slices++ == 0) shape.param_sets_first = sps && pps;
        const std::vector<std::uint8_t> rbsp =
            unescape_rbsp(body.first(std::min<std::size_t>(body.size(), 16)));
        std::size_t pos = 0;
        const auto first_mb = read_ue(rbsp, pos);
        const auto slice_type = read_ue(rbsp, pos);
        EXPECT_TRUE(first_mb && slice_type);
        if (slice_type && *slice_type % 5 == 1) shape.b_slice = true;
    }
    return shape;
}

RawImage raw_of(const PackedImage& p) {
    const auto packed = packed_planes(std::span<const std::uint8_t>(p.data), p.format, p.width,
                                      p.height);
    return RawImage{.planes = packed.planes, .strides = packed.strides, .t_us = p.t_us,
                    .width = p.width, .height = p.height, .format = p.format};
}

std::string format_refused(const char* name) {
    return std::string("unsupported: codec pixel format ") + name +
           " (the codec takes i420 or nv12; packed RGB is a picture format, pass it in the "
           "RawImage)";
}

}  // namespace

TEST(EncoderConfig, ChecksRunInOrder) {
    struct Case {
        EncoderConfig config;
        std::string error;  // empty: accepted
    };
    const std::string size = "unsupported: picture size ";
    const Case cases[] = {
        {config_of(16, 16, 30, 2000), ""},
        {config_of(16, 16, 30, 2000, PictureFormat::NV12), ""},
        {config_of(15, 16, 30, 2000), size + "15x16 (need even, >= 16)"},
        {config_of(16, 15, 30, 2000), size + "16x15 (need even, >= 16)"},
        {config_of(17, 16, 30, 2000), size + "17x16 (need even, >= 16)"},
        {config_of(14, 16, 30, 2000), size + "14x16 (need even, >= 16)"},
        {config_of(0, 0, 0, 0, PictureFormat::RGBA), size + "0x0 (need even, >= 16)"},
        {config_of(16, 16, 0, 0, PictureFormat::BGRA), "unsupported: fps 0"},
        {config_of(16, 16, 30, 0, PictureFormat::RGB24), "unsupported: bitrate 0"},
        {config_of(16, 16, 30, 1, PictureFormat::RGB24), format_refused("rgb24")},
        {config_of(16, 16, 30, 1, PictureFormat::BGR24), format_refused("bgr24")},
        {config_of(16, 16, 30, 1, PictureFormat::RGBA), format_refused("rgba")},
        {config_of(16, 16, 30, 1, PictureFormat::BGRA), format_refused("bgra")},
    };
    for (const Case& c : cases) {
        const auto refused = check_encoder_config(c.config);
        EXPECT_EQ(refused ? refused->display() : "", c.error);
        EXPECT_TRUE(!refused || refused->kind() == MediaError::Kind::Unsupported);
    }
}

TEST(EncoderConfig, GopAndRateValuesSaturateInsteadOfWrapping) {
    struct Gop {
        std::uint32_t keyframe_interval, fps, gop;
    };
    for (const Gop& g : {Gop{0, 30, 30}, Gop{90, 30, 90}, Gop{90, 0, 90}, Gop{0, 0, 1},
                         Gop{0xFFFFFFFFu, 30, INT_MAX}, Gop{0, 0xFFFFFFFFu, INT_MAX}}) {
        EncoderConfig c = config_of(64, 48, g.fps, 1);
        c.keyframe_interval = g.keyframe_interval;
        EXPECT_EQ(encoder_gop(c), g.gop) << g.keyframe_interval << " " << g.fps;
    }
    struct Buffer {
        EncoderBackend backend;
        std::uint32_t kbps, fps;
        std::int32_t bits;
    };
    for (const Buffer& b : {Buffer{EncoderBackend::Nvenc, 2000, 30, 133332},
                            Buffer{EncoderBackend::X264, 2000, 30, 2000000},
                            Buffer{EncoderBackend::Nvenc, 1000, 0, 2000000},  // fps 0 as 1
                            Buffer{EncoderBackend::X264, 2147483, 30, 2147483000},
                            Buffer{EncoderBackend::X264, 2147484, 30, INT_MAX},
                            Buffer{EncoderBackend::Nvenc, 0xFFFFFFFFu, 1, INT_MAX}})
        EXPECT_EQ(rc_buffer_bits(b.backend, b.kbps, b.fps), b.bits) << b.kbps << " " << b.fps;
    EXPECT_EQ(bit_rate_bps(0xFFFFFFFFu), 4294967295000LL);
}

// The fields of real libx264 and h264_nvenc contexts, and the options nvenc is given.
TEST(ConfigureCodecContext, FieldsAndOptionsPerBackend) {
    EncoderConfig config = config_of(64, 48, 30, 2000, PictureFormat::NV12);
    config.keyframe_interval = 90;
    auto x264 = configured(config, EncoderBackend::X264);
    ASSERT_TRUE(x264);
    config.intra_refresh = true;
    auto nvenc = configured(config, EncoderBackend::Nvenc);
    for (AVCodecContext* ctx : {x264.get(), nvenc.get()}) {
        if (!ctx) continue;  // libavcodec without h264_nvenc
        EXPECT_EQ(ctx->width, 64);
        EXPECT_EQ(ctx->height, 48);
        EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_NV12);
        EXPECT_EQ(av_cmp_q(ctx->time_base, AVRational{1, 30}), 0);
        EXPECT_EQ(av_cmp_q(ctx->framerate, AVRational{30, 1}), 0);
        EXPECT_EQ(ctx->bit_rate, 2000000);
        EXPECT_EQ(ctx->rc_max_rate, 2000000);
        EXPECT_EQ(ctx->gop_size, 90);
        EXPECT_EQ(ctx->max_b_frames, 0);
        EXPECT_EQ(ctx->flags, AV_CODEC_FLAG_LOW_DELAY);
        EXPECT_EQ(ctx->rc_buffer_size, ctx == x264.get() ? 2000000 : 133332);
    }
    // x264's own settings are checked by what it produces (X264StreamIsLowLatency); nvenc's,
    // without hardware to run them, as what its context is given.
    struct Expected {
        AVCodecContext* ctx;
        const char* key;
        std::string value;
    };
    auto fresh = alloc_codec_context(find_encoder("libx264"));
    ASSERT_TRUE(fresh);
    std::vector<Expected> expected;
    if (AVCodecContext* n = nvenc.get()) {
        for (Expected e : std::vector<Expected>{
                 {n, "forced-idr", "true"},
                 {n, "intra-refresh", "true"},
                 {n, "preset", constant(n, "preset", "p2")},
                 {n, "tune", constant(n, "tune", "ull")},
                 {n, "zerolatency", "true"},
                 {n, "delay", "1"},
                 {n, "bf", "0"},
                 {n, "b_ref_mode", constant(n, "b_ref_mode", "disabled")},
                 {n, "refs", "1"},
                 {n, "dpb_size", "1"},
                 {n, "profile", constant(n, "profile", "baseline")},
                 {n, "rc", constant(n, "rc", "cbr")},
                 {n, "maxrate", "2000000"},
                 {n, "bufsize", "133332"}})
            expected.push_back(e);
    }
    for (const Expected& e : expected) EXPECT_EQ(option(e.ctx, e.key), e.value) << e.key;

    // A given preset and tune are used; a text holding a NUL is not applied at all.
    config.preset = "veryfast";
    config.tune = std::string("film\0", 5);
    x264 = configured(config, EncoderBackend::X264);
    EXPECT_EQ(option(x264.get(), "preset"), "veryfast");
    EXPECT_EQ(option(x264.get(), "tune"), option(fresh->get(), "tune"));
}

// The low-latency shape of x264's stream in both refresh modes and both codec formats: one
// access unit per picture, out of the call that took it, with the picture's stamp; one slice,
// never a B slice; Constrained Baseline; SPS and PPS in band before every IDR picture; IDR
// pictures at the period in IDR mode, and with intra refresh only the first, then recovery
// points at the period.
TEST(ConfigureCodecContext, X264StreamIsLowLatency) {
    constexpr int kPeriod = 8;
    for (const bool intra_refresh : {false, true}) {
        for (const PictureFormat format : {PictureFormat::I420, PictureFormat::NV12}) {
            SCOPED_TRACE(std::string(intra_refresh ? "intra refresh " : "IDR ") +
                         std::string(format.name()));
            EncoderConfig config = config_of(64, 48, 30, 500, format);
            config.keyframe_interval = kPeriod;
            config.intra_refresh = intra_refresh;
            config.backend = EncoderBackend::X264;
            auto enc = H264Encoder::open(config, nullptr);
            ASSERT_TRUE(enc) << enc.error().display();
            TestPattern pattern(64, 48, format, 3);
            for (int n = 0; n < 3 * kPeriod; ++n) {
                const auto picture = pattern.next(1000 * n + 7);
                ASSERT_TRUE(picture);
                const auto units = enc->encode(raw_of(*picture), false);
                ASSERT_TRUE(units) << units.error().display();
                ASSERT_EQ(units->size(), 1u) << "picture " << n;
                const AccessUnit& au = units->front();
                const UnitShape shape = shape_of(au.bytes());
                EXPECT_EQ(au.t_us, 1000 * n + 7);
                EXPECT_EQ(shape.slices, 1) << "picture " << n;
                EXPECT_FALSE(shape.b_slice) << "picture " << n;
                EXPECT_EQ(au.key, intra_refresh ? n == 0 : n % kPeriod == 0) << "picture " << n;
                if (intra_refresh && n > 0) {
                    EXPECT_EQ(au.recovery, n % kPeriod == 0) << "picture " << n;
                }
                if (au.key) {
                    EXPECT_TRUE(shape.param_sets_first) << "picture " << n;
                    EXPECT_EQ(shape.profile_idc, 66);  // Baseline
                    EXPECT_TRUE(shape.constraint_flags.value_or(0) & 0x40);  // Constrained
                }
            }
        }
    }
}

TEST(ConfigureCodecContext, IntFieldsSaturateForHugeValues) {
    EncoderConfig config = config_of(64, 48, 0xFFFFFFFFu, 0xFFFFFFFFu);
    config.keyframe_interval = 0xFFFFFFFFu;
    const auto x264 = configured(config, EncoderBackend::X264);
    ASSERT_TRUE(x264);
    EXPECT_EQ(x264->rc_buffer_size, INT_MAX);
    EXPECT_EQ(x264->gop_size, INT_MAX);
    EXPECT_EQ(x264->time_base.den, INT_MAX);
    EXPECT_EQ(x264->framerate.num, INT_MAX);
    EXPECT_EQ(x264->bit_rate, 4294967295000LL);
    config.fps = 1;
    if (const auto nvenc = configured(config, EncoderBackend::Nvenc)) {
        EXPECT_EQ(nvenc->rc_buffer_size, INT_MAX);
        EXPECT_EQ(option(nvenc.get(), "bufsize"), std::to_string(INT_MAX));
        EXPECT_EQ(option(nvenc.get(), "maxrate"), "4294967295000");
    }
}

TEST(EncoderControl, CoalescesIdrAndKeepsTheLastBitrate) {
    EncoderControl control;
    EXPECT_FALSE(control.take_idr_request());
    EXPECT_EQ(control.take_bitrate_kbps(), 0u);
    control.request_idr();
    control.request_idr();
    control.set_bitrate_kbps(1000);
    control.set_bitrate_kbps(500);
    EXPECT_EQ(control.idr_requests(), 2u);
    EXPECT_TRUE(control.take_idr_request());
    EXPECT_FALSE(control.take_idr_request());
    EXPECT_EQ(control.take_bitrate_kbps(), 500u);
    EXPECT_EQ(control.take_bitrate_kbps(), 0u);
    EXPECT_EQ(control.idr_requests(), 2u);
    // Out of range: refused, and what was pending stays.
    EXPECT_TRUE(control.set_bitrate_kbps(kMaxBitrateKbps));
    EXPECT_FALSE(control.set_bitrate_kbps(0));
    EXPECT_FALSE(control.set_bitrate_kbps(kMaxBitrateKbps + 1));
    EXPECT_EQ(control.take_bitrate_kbps(), kMaxBitrateKbps);
}
