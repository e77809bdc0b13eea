// Tests of the FFmpeg helpers: error texts, version and log-level parsing, lookups, options, clock.
#include "talmiro_media/ffmpeg_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "talmiro_media/internal/ffmpeg_text.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

using namespace talmiro_media;

TEST(MediaError, DisplayTexts) {
    EXPECT_EQ(MediaError::unsupported("fps 0").display(), "unsupported: fps 0");
    EXPECT_EQ(MediaError::bad_image("plane shorter than rows x stride").display(),
              "bad image: plane shorter than rows x stride");
    EXPECT_EQ(MediaError::ffmpeg(AVERROR_EOF).display(), "ffmpeg: End of file");
    EXPECT_EQ(MediaError::ffmpeg(AVERROR(EAGAIN)).display(),
              std::string("ffmpeg: ") + std::strerror(EAGAIN));
    EXPECT_EQ(MediaError::ffmpeg(AVERROR(EAGAIN)).code(), AVERROR(EAGAIN));
    EXPECT_EQ(MediaError::ffmpeg(-1).kind(), MediaError::Kind::Ffmpeg);
    EXPECT_EQ(MediaError::bad_image("x").code(), 0);
    EXPECT_EQ(MediaError::bad_image("x"), MediaError::bad_image("x"));
    EXPECT_NE(MediaError::bad_image("x"), MediaError::unsupported("x"));
    EXPECT_NE(MediaError::ffmpeg(-1), MediaError::ffmpeg(-2));
}

TEST(FfmpegUtil, FormatVersion) {
    EXPECT_EQ(format_version((62u << 16) | (3u << 8) | 100u), "62.3.100");
    EXPECT_EQ(format_version(62u << 16), "62.0.0");
    EXPECT_EQ(version_string().substr(0, 3), "62.");
}

TEST(FfmpegUtil, LookupsByName) {
    EXPECT_TRUE(has_encoder("libx264"));
    EXPECT_TRUE(has_encoder("h264_nvenc"));
    EXPECT_FALSE(has_encoder("libx265"));
    EXPECT_FALSE(has_encoder(std::string_view("libx264\0", 8)));
    EXPECT_NE(find_decoder("h264"), nullptr);
    EXPECT_EQ(find_decoder("hevc"), nullptr);
    EXPECT_EQ(find_encoder(""), nullptr);
}

TEST(FfmpegUtil, LogLevelsAreMatchedExactly) {
    set_log_level("debug");
    EXPECT_EQ(av_log_get_level(), AV_LOG_DEBUG);
    for (const char* other : {"Debug", "debug ", "", "trace", "panic"}) {
        set_log_level("debug");
        set_log_level(other);
        EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING) << other;
    }
    set_log_level("quiet");
    EXPECT_EQ(av_log_get_level(), AV_LOG_QUIET);
    // A level chosen before any codec opens is not overwritten by the one-time initialisation.
    ffmpeg_init();
    EXPECT_EQ(av_log_get_level(), AV_LOG_QUIET);
    set_log_level("warning");
}

TEST(FfmpegUtil, SetOptionReachesPrivateOptions) {
    auto ctx = alloc_codec_context(find_encoder("libx264"));
    ASSERT_TRUE(ctx);
    EXPECT_EQ(set_option(ctx->get(), "preset", "ultrafast"), 0);
    std::uint8_t* value = nullptr;
    ASSERT_GE(av_opt_get(ctx->get(), "preset", AV_OPT_SEARCH_CHILDREN, &value), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(value), "ultrafast");
    av_free(value);
    EXPECT_LT(set_option(ctx->get(), "no-such-option", "1"), 0);
    EXPECT_EQ(set_option(ctx->get(), std::string_view("preset\0x", 8), "fast"), -1);
    EXPECT_EQ(set_option(ctx->get(), "preset", std::string_view("fast\0", 5)), -1);
}

TEST(FfmpegUtil, MonotonicClockAdvances) {
    const auto a = monotonic_us();
    const auto b = monotonic_us();
    EXPECT_GT(a, 0);
    EXPECT_GE(b, a);
}
