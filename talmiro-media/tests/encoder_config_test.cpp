#include "talmiro_media/encoder_config.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

using namespace talmiro_media;

namespace {

EncoderConfig base_config() {
    EncoderConfig c;
    c.width = 64;
    c.height = 48;
    c.fps = 30;
    c.bitrate_kbps = 2000;
    c.intra_refresh = false;
    return c;
}

// An option as av_opt_get prints it, reaching private options through the context.
std::string option(AVCodecContext* ctx, const char* key) {
    std::uint8_t* out = nullptr;
    if (av_opt_get(ctx, key, AV_OPT_SEARCH_CHILDREN, &out) < 0) return "<absent>";
    std::string text(reinterpret_cast<char*>(out));
    av_free(out);
    return text;
}

// A named constant of an option, printed as av_opt_get prints the option's value.
std::string constant(AVCodecContext* ctx, const char* key, const char* name) {
    const AVOption* o = av_opt_find(ctx, key, nullptr, 0, AV_OPT_SEARCH_CHILDREN);
    if (!o || !o->unit) return "<no unit>";
    const AVOption* c = av_opt_find(ctx, name, o->unit, 0, AV_OPT_SEARCH_CHILDREN);
    return c ? std::to_string(c->default_val.i64) : "<no constant>";
}

// A context of `backend`'s encoder configured from `config`; null when libavcodec lacks it.
CodecContextPtr configured(const EncoderConfig& config, EncoderBackend backend) {
    const AVCodec* codec = find_encoder(encoder_name(backend));
    if (!codec) return nullptr;
    auto ctx = alloc_codec_context(codec);
    if (!ctx) return nullptr;
    configure_codec_context(**ctx, config, backend);
    return std::move(*ctx);
}

}  // namespace

struct CheckCase {
    std::uint32_t width, height, fps, bitrate_kbps;
    PictureFormat format;
    const char* error;  // null: accepted
};

class ConfigCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(ConfigCheck, RefusesInOrder) {
    const CheckCase& c = GetParam();
    EncoderConfig config = base_config();
    config.width = c.width;
    config.height = c.height;
    config.fps = c.fps;
    config.bitrate_kbps = c.bitrate_kbps;
    config.pixel_format = c.format;
    const auto refused = check_encoder_config(config);
    if (!c.error) {
        EXPECT_FALSE(refused.has_value()) << refused->display();
        return;
    }
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->kind(), MediaError::Kind::Unsupported);
    EXPECT_EQ(refused->display(), c.error);
}

constexpr auto I420 = PictureFormat::I420;
INSTANTIATE_TEST_SUITE_P(
    Open, ConfigCheck,
    testing::Values(
        CheckCase{16, 16, 30, 2000, I420, nullptr},
        CheckCase{16, 16, 30, 2000, PictureFormat::NV12, nullptr},
        CheckCase{15, 16, 30, 2000, I420, "unsupported: picture size 15x16 (need even, >= 16)"},
        CheckCase{16, 15, 30, 2000, I420, "unsupported: picture size 16x15 (need even, >= 16)"},
        CheckCase{17, 16, 30, 2000, I420, "unsupported: picture size 17x16 (need even, >= 16)"},
        CheckCase{14, 16, 30, 2000, I420, "unsupported: picture size 14x16 (need even, >= 16)"},
        CheckCase{16, 14, 30, 2000, I420, "unsupported: picture size 16x14 (need even, >= 16)"},
        // The size is looked at before everything else.
        CheckCase{0, 0, 0, 0, PictureFormat::RGBA, "unsupported: picture size 0x0 (need even, >= 16)"},
        CheckCase{16, 16, 0, 2000, I420, "unsupported: fps 0"},
        CheckCase{16, 16, 0, 0, PictureFormat::BGRA, "unsupported: fps 0"},
        CheckCase{16, 16, 30, 0, PictureFormat::RGB24, "unsupported: bitrate 0"},
        CheckCase{16, 16, 30, 2000, PictureFormat::RGB24,
                  "unsupported: codec pixel format rgb24 (the codec takes i420 or nv12; packed "
                  "RGB is a picture format, pass it in the RawImage)"},
        CheckCase{16, 16, 30, 2000, PictureFormat::BGR24,
                  "unsupported: codec pixel format bgr24 (the codec takes i420 or nv12; packed "
                  "RGB is a picture format, pass it in the RawImage)"},
        CheckCase{16, 16, 30, 2000, PictureFormat::RGBA,
                  "unsupported: codec pixel format rgba (the codec takes i420 or nv12; packed "
                  "RGB is a picture format, pass it in the RawImage)"},
        CheckCase{16, 16, 30, 2000, PictureFormat::BGRA,
                  "unsupported: codec pixel format bgra (the codec takes i420 or nv12; packed "
                  "RGB is a picture format, pass it in the RawImage)"}));

TEST(EncoderConfig, Gop) {
    struct Case {
        std::uint32_t keyframe_interval, fps, gop;
    };
    for (const Case& c : {Case{0, 30, 30}, Case{90, 30, 90}, Case{90, 0, 90}, Case{0, 0, 1},
                          Case{1, 60, 1}, Case{0xFFFFFFFFu, 30, INT_MAX},
                          Case{0, 0xFFFFFFFFu, INT_MAX}}) {
        EncoderConfig config = base_config();
        config.keyframe_interval = c.keyframe_interval;
        config.fps = c.fps;
        EXPECT_EQ(encoder_gop(config), c.gop) << c.keyframe_interval << " " << c.fps;
    }
}

TEST(EncoderConfig, RateValuesSaturateInsteadOfWrapping) {
    struct Case {
        EncoderBackend backend;
        std::uint32_t kbps, fps;
        std::int32_t buffer;
    };
    for (const Case& c : {
             Case{EncoderBackend::Nvenc, 2000, 30, 133332},
             Case{EncoderBackend::X264, 2000, 30, 2000000},
             Case{EncoderBackend::Nvenc, 1000, 0, 2000000},  // fps 0 counts as 1
             Case{EncoderBackend::X264, 2147483, 30, 2147483000},
             Case{EncoderBackend::X264, 2147484, 30, INT_MAX},
             Case{EncoderBackend::X264, 0xFFFFFFFFu, 30, INT_MAX},
             Case{EncoderBackend::Nvenc, 0xFFFFFFFFu, 30, INT_MAX},
             Case{EncoderBackend::Nvenc, 0xFFFFFFFFu, 0xFFFFFFFFu, 2000},
         }) {
        EXPECT_EQ(rc_buffer_bits(c.backend, c.kbps, c.fps), c.buffer)
            << backend_name(c.backend) << " " << c.kbps << " " << c.fps;
    }
    EXPECT_EQ(bit_rate_bps(0xFFFFFFFFu), 4294967295000LL);
    EXPECT_EQ(saturate_int(0x80000000u), INT_MAX);
    EXPECT_EQ(saturate_int(INT_MAX), INT_MAX);
}

TEST(EncoderBackend, NamesAndCandidates) {
    EXPECT_EQ(backend_name(EncoderBackend::X264), "x264");
    EXPECT_EQ(backend_name(EncoderBackend::Nvenc), "nvenc");
    EXPECT_EQ(backend_name(EncoderBackend::Auto), "auto");
    EXPECT_EQ(encoder_name(EncoderBackend::X264), "libx264");
    EXPECT_EQ(encoder_name(EncoderBackend::Nvenc), "h264_nvenc");
    const auto as_vector = [](std::span<const EncoderBackend> s) {
        return std::vector<EncoderBackend>(s.begin(), s.end());
    };
    EXPECT_EQ(as_vector(backend_candidates(EncoderBackend::Auto)),
              (std::vector{EncoderBackend::Nvenc, EncoderBackend::X264}));
    EXPECT_EQ(as_vector(backend_candidates(EncoderBackend::X264)),
              std::vector{EncoderBackend::X264});
    EXPECT_EQ(as_vector(backend_candidates(EncoderBackend::Nvenc)),
              std::vector{EncoderBackend::Nvenc});
}

TEST(ConfigureContext, X264FieldsAndOptions) {
    ffmpeg_init();
    EncoderConfig config = base_config();
    config.pixel_format = PictureFormat::NV12;
    config.keyframe_interval = 90;
    const auto ctx = configured(config, EncoderBackend::X264);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->width, 64);
    EXPECT_EQ(ctx->height, 48);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_NV12);
    EXPECT_EQ(ctx->time_base.num, 1);
    EXPECT_EQ(ctx->time_base.den, 30);
    EXPECT_EQ(ctx->framerate.num, 30);
    EXPECT_EQ(ctx->framerate.den, 1);
    EXPECT_EQ(ctx->bit_rate, 2000000);
    EXPECT_EQ(ctx->rc_max_rate, 2000000);
    EXPECT_EQ(ctx->rc_buffer_size, 2000000);
    EXPECT_EQ(ctx->gop_size, 90);
    EXPECT_EQ(ctx->max_b_frames, 0);
    EXPECT_EQ(ctx->flags, AV_CODEC_FLAG_LOW_DELAY);

    struct Expected {
        const char* key;
        const char* value;
    };
    for (const Expected& e : {Expected{"forced-idr", "true"},
                              Expected{"preset", "ultrafast"},
                              Expected{"tune", "zerolatency"},
                              Expected{"threads", "1"},
                              Expected{"profile", "baseline"},
                              Expected{"x264-params", "sliced-threads=0:slices=1:ref=1"},
                              Expected{"bufsize", "2000000"}})
        EXPECT_EQ(option(ctx.get(), e.key), e.value) << e.key;
    // Without intra refresh the option is not touched: it keeps the wrapper's default.
    auto fresh = alloc_codec_context(find_encoder("libx264"));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(option(ctx.get(), "intra-refresh"), option(fresh->get(), "intra-refresh"));
}

TEST(ConfigureContext, X264TakesPresetTuneAndIntraRefresh) {
    ffmpeg_init();
    EncoderConfig config = base_config();
    config.intra_refresh = true;
    config.preset = "veryfast";
    config.tune = "film";
    auto ctx = configured(config, EncoderBackend::X264);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(option(ctx.get(), "intra-refresh"), "true");
    EXPECT_EQ(option(ctx.get(), "preset"), "veryfast");
    EXPECT_EQ(option(ctx.get(), "tune"), "film");

    // A text holding a NUL is not applied at all (not cut at the NUL): the wrapper's own
    // default stays.
    auto fresh = alloc_codec_context(find_encoder("libx264"));
    ASSERT_TRUE(fresh);
    config.preset = std::string("fast\0er", 7);
    config.tune = std::string("film\0", 5);
    ctx = configured(config, EncoderBackend::X264);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(option(ctx.get(), "preset"), option(fresh->get(), "preset"));
    EXPECT_EQ(option(ctx.get(), "tune"), option(fresh->get(), "tune"));
}

TEST(ConfigureContext, NvencFieldsAndOptions) {
    ffmpeg_init();
    EncoderConfig config = base_config();
    config.intra_refresh = true;
    auto ctx = configured(config, EncoderBackend::Nvenc);
    if (!ctx) GTEST_SKIP() << "libavcodec without h264_nvenc";
    EXPECT_EQ(ctx->rc_buffer_size, 133332);
    EXPECT_EQ(ctx->rc_max_rate, 2000000);
    EXPECT_EQ(ctx->bit_rate, 2000000);
    EXPECT_EQ(ctx->flags, AV_CODEC_FLAG_LOW_DELAY);

    struct Expected {
        const char* key;
        std::string value;
    };
    AVCodecContext* c = ctx.get();
    for (const Expected& e : {Expected{"forced-idr", "true"},
                              Expected{"intra-refresh", "true"},
                              Expected{"preset", constant(c, "preset", "p2")},
                              Expected{"tune", constant(c, "tune", "ull")},
                              Expected{"zerolatency", "true"},
                              Expected{"delay", "1"},
                              Expected{"bf", "0"},
                              Expected{"b_ref_mode", constant(c, "b_ref_mode", "disabled")},
                              Expected{"refs", "1"},
                              Expected{"dpb_size", "1"},
                              Expected{"profile", constant(c, "profile", "baseline")},
                              Expected{"rc", constant(c, "rc", "cbr")},
                              Expected{"maxrate", "2000000"},
                              Expected{"bufsize", "133332"}})
        EXPECT_EQ(option(c, e.key), e.value) << e.key;
}

TEST(ConfigureContext, IntFieldsSaturateForHugeValues) {
    ffmpeg_init();
    EncoderConfig config = base_config();
    config.bitrate_kbps = 0xFFFFFFFFu;
    config.keyframe_interval = 0xFFFFFFFFu;
    config.fps = 0xFFFFFFFFu;
    for (const EncoderBackend backend : {EncoderBackend::X264, EncoderBackend::Nvenc}) {
        auto ctx = configured(config, backend);
        if (!ctx) continue;
        SCOPED_TRACE(backend_name(backend));
        EXPECT_EQ(ctx->bit_rate, 4294967295000LL);
        EXPECT_EQ(ctx->rc_max_rate, 4294967295000LL);
        EXPECT_EQ(ctx->gop_size, INT_MAX);
        EXPECT_EQ(ctx->time_base.den, INT_MAX);
        EXPECT_EQ(ctx->framerate.num, INT_MAX);
        EXPECT_GT(ctx->rc_buffer_size, 0);
        if (backend == EncoderBackend::X264) EXPECT_EQ(ctx->rc_buffer_size, INT_MAX);
        else EXPECT_EQ(option(ctx.get(), "bufsize"), std::to_string(ctx->rc_buffer_size));
    }
    // One second of 4.29 Tbit/s saturates the nvenc buffer too, at 1 fps.
    config.fps = 1;
    if (auto ctx = configured(config, EncoderBackend::Nvenc)) {
        EXPECT_EQ(ctx->rc_buffer_size, INT_MAX);
        EXPECT_EQ(option(ctx.get(), "bufsize"), std::to_string(INT_MAX));
        EXPECT_EQ(option(ctx.get(), "maxrate"), "4294967295000");
    }
}

TEST(EncoderControl, CoalescesIdrAndKeepsLastBitrate) {
    EncoderControl control;
    EXPECT_EQ(control.idr_requests(), 0u);
    EXPECT_FALSE(control.take_idr_request());
    EXPECT_EQ(control.take_bitrate_kbps(), 0u);

    control.request_idr();
    control.request_idr();
    EXPECT_EQ(control.idr_requests(), 2u);
    EXPECT_TRUE(control.take_idr_request());
    EXPECT_FALSE(control.take_idr_request());
    EXPECT_EQ(control.idr_requests(), 2u);

    control.set_bitrate_kbps(1000);
    control.set_bitrate_kbps(500);
    EXPECT_EQ(control.take_bitrate_kbps(), 500u);
    EXPECT_EQ(control.take_bitrate_kbps(), 0u);
}

TEST(EncoderControl, CountsEveryRequestAcrossThreads) {
    EncoderControl control;
    constexpr int kThreads = 4, kEach = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) control.request_idr();
        });
    int taken = 0;
    for (int i = 0; i < 1000; ++i) taken += control.take_idr_request();
    for (auto& t : threads) t.join();
    taken += control.take_idr_request();
    EXPECT_EQ(control.idr_requests(), std::uint64_t{kThreads} * kEach);
    EXPECT_GE(taken, 1);
}
