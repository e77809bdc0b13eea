#include "talmiro_media/encode.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

using namespace talmiro_media;

namespace {

EncoderConfig x264_config(std::uint32_t w = 64, std::uint32_t h = 48) {
    EncoderConfig c;
    c.width = w;
    c.height = h;
    c.fps = 30;
    c.bitrate_kbps = 1000;
    c.keyframe_interval = 1000;  // no periodic IDR within a test
    c.intra_refresh = false;
    c.backend = EncoderBackend::X264;
    return c;
}

H264Encoder open_ok(const EncoderConfig& config,
                    std::shared_ptr<EncoderControl> control = nullptr) {
    auto enc = H264Encoder::open(config, std::move(control));
    if (!enc) {
        ADD_FAILURE() << enc.error().display();
        std::abort();
    }
    return std::move(*enc);
}

// A moving test picture in one tightly packed buffer of any format.
struct Picture {
    std::vector<std::uint8_t> bytes;
    RawImage raw;
};

Picture picture(PictureFormat format, std::uint32_t w, std::uint32_t h, int n, std::int64_t t_us) {
    Picture p;
    p.bytes.resize(format.packed_size(w, h));
    std::size_t off = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t rows = format.plane_rows(i, h), row_bytes = format.plane_row_bytes(i, w);
        if (rows == 0) continue;
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < row_bytes; ++c)
                p.bytes[off + r * row_bytes + c] = static_cast<std::uint8_t>(
                    i == 0 ? 2 * r + c + 3 * n : 128 + ((r + c / 2 + n) % 32) - 16);
        p.raw.planes[i] = std::span<const std::uint8_t>(p.bytes).subspan(off, rows * row_bytes);
        p.raw.strides[i] = row_bytes;
        off += rows * row_bytes;
    }
    p.raw.width = w;
    p.raw.height = h;
    p.raw.format = format;
    p.raw.t_us = t_us;
    return p;
}

Picture i420(int n, std::int64_t t_us = 0, std::uint32_t w = 64, std::uint32_t h = 48) {
    return picture(PictureFormat::I420, w, h, n, t_us);
}

// Encodes one picture expecting exactly one access unit back.
AccessUnit encode_one(H264Encoder& enc, const RawImage& raw, bool force_idr = false) {
    auto out = enc.encode(raw, force_idr);
    if (!out) {
        ADD_FAILURE() << out.error().display();
        return {};
    }
    EXPECT_EQ(out->size(), 1u);
    return out->empty() ? AccessUnit{} : std::move(out->front());
}

std::vector<std::uint8_t> bytes_of(const AccessUnit& au) {
    return {au.bytes().begin(), au.bytes().end()};
}

// The access unit without its SPS and PPS NAL units: a bare recovery point.
std::vector<std::uint8_t> without_param_sets(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out;
    for (const NalUnit& nal : nal_units(data))
        if (nal.type != kNalSps && nal.type != kNalPps)
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(nal.start_code),
                       data.begin() + static_cast<std::ptrdiff_t>(nal.end));
    return out;
}

// Decodes Annex-B access units with libavcodec's h264 decoder; returns the Y planes of every
// picture it outputs, tightly packed.
std::vector<std::vector<std::uint8_t>> decode_luma(const std::vector<std::vector<std::uint8_t>>& aus,
                                                   int* width = nullptr, int* height = nullptr) {
    std::vector<std::vector<std::uint8_t>> out;
    auto ctx = alloc_codec_context(find_decoder("h264"));
    auto packet = alloc_packet();
    auto frame = alloc_frame();
    if (!ctx || !packet || !frame || avcodec_open2(ctx->get(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "h264 decoder";
        return out;
    }
    const auto drain = [&] {
        while (avcodec_receive_frame(ctx->get(), frame->get()) >= 0) {
            const AVFrame& f = **frame;
            if (width) *width = f.width;
            if (height) *height = f.height;
            std::vector<std::uint8_t> y(static_cast<std::size_t>(f.width) * f.height);
            for (int r = 0; r < f.height; ++r)
                std::memcpy(y.data() + static_cast<std::size_t>(r) * f.width,
                            f.data[0] + static_cast<std::size_t>(r) * f.linesize[0], f.width);
            out.push_back(std::move(y));
            av_frame_unref(frame->get());
        }
    };
    for (const auto& au : aus) {
        EXPECT_EQ(av_new_packet(packet->get(), static_cast<int>(au.size())), 0);
        std::memcpy((*packet)->data, au.data(), au.size());
        // Refused packets (no SPS/PPS seen yet) show as missing pictures.
        avcodec_send_packet(ctx->get(), packet->get());
        av_packet_unref(packet->get());
        drain();
    }
    avcodec_send_packet(ctx->get(), nullptr);
    drain();
    return out;
}

// The same error: kind, code and text.
testing::AssertionResult same_error(const MediaError& a, const MediaError& b) {
    if (a.kind() == b.kind() && a.code() == b.code() && a.display() == b.display())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << a.display() << " vs " << b.display();
}

double luma_psnr(const std::vector<std::uint8_t>& a, std::span<const std::uint8_t> b) {
    double se = 0;
    for (std::size_t k = 0; k < a.size(); ++k) se += std::pow(double(a[k]) - double(b[k]), 2);
    return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / se);
}

}  // namespace

// ---- opening ---------------------------------------------------------------------------

TEST(Open, ChecksComeBeforeAnyBackend) {
    EncoderConfig config = x264_config(17, 16);
    config.backend = EncoderBackend::Nvenc;
    config.fps = 0;
    auto enc = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(enc);
    EXPECT_EQ(enc.error().display(), "unsupported: picture size 17x16 (need even, >= 16)");
    config.width = 16;
    enc = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(enc);
    EXPECT_EQ(enc.error().display(), "unsupported: fps 0");
}

TEST(Open, NvencWithoutHardwareFailsAndAutoFallsBackToX264) {
    EncoderConfig config = x264_config(16, 16);
    config.backend = EncoderBackend::Nvenc;
    const auto nvenc = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(nvenc) << "an NVENC device is present; this test expects none";
    if (find_encoder("h264_nvenc")) EXPECT_EQ(nvenc.error().kind(), MediaError::Kind::Ffmpeg);
    else EXPECT_EQ(nvenc.error().display(), "unsupported: encoder h264_nvenc not in this libavcodec");

    config.backend = EncoderBackend::Auto;
    const auto enc = H264Encoder::open(config, nullptr);
    ASSERT_TRUE(enc) << enc.error().display();
    EXPECT_EQ(enc->backend(), EncoderBackend::X264);
}

TEST(Open, WhenEveryCandidateFailsTheLastOnesErrorIsReported) {
    EncoderConfig config = x264_config();
    config.preset = "no-such-preset";
    config.backend = EncoderBackend::X264;
    const auto x264 = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(x264);
    EXPECT_EQ(x264.error().kind(), MediaError::Kind::Ffmpeg);
    config.backend = EncoderBackend::Nvenc;
    const auto nvenc = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(nvenc);
    config.backend = EncoderBackend::Auto;
    const auto both = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(both);
    EXPECT_TRUE(same_error(both.error(), x264.error()));
    EXPECT_FALSE(same_error(both.error(), nvenc.error()));
}

TEST(Open, ContextKeepsTheLowLatencySettings) {
    struct Case {
        std::uint32_t keyframe_interval, fps, gop;
        PictureFormat format;
    };
    for (const Case& c : {Case{0, 30, 30, PictureFormat::I420}, Case{90, 30, 90, PictureFormat::NV12},
                          Case{90, 25, 90, PictureFormat::I420}, Case{0, 60, 60, PictureFormat::NV12}}) {
        EncoderConfig config = x264_config();
        config.keyframe_interval = c.keyframe_interval;
        config.fps = c.fps;
        config.pixel_format = c.format;
        const H264Encoder enc = open_ok(config);
        const AVCodecContext& ctx = enc.codec_context();
        EXPECT_EQ(enc.gop(), c.gop);
        EXPECT_EQ(ctx.gop_size, static_cast<int>(c.gop));
        EXPECT_EQ(ctx.pix_fmt, c.format == PictureFormat::NV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P);
        EXPECT_EQ(ctx.max_b_frames, 0);
        EXPECT_EQ(ctx.flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
        EXPECT_EQ(ctx.bit_rate, 1000000);
        EXPECT_EQ(ctx.rc_buffer_size, 1000000);
        EXPECT_EQ(ctx.time_base.den, static_cast<int>(c.fps));
        EXPECT_EQ(enc.config().pixel_format, c.format);
        EXPECT_FALSE(enc.param_sets().has_value());
    }
}

TEST(Open, HugeBitrateGivesTheLargestBufferNotANegativeOne) {
    EncoderConfig config = x264_config();
    config.bitrate_kbps = 3000000;  // 3 Gbit/s: one second's buffer exceeds an int
    const H264Encoder enc = open_ok(config);
    EXPECT_EQ(enc.codec_context().rc_buffer_size, INT_MAX);
    EXPECT_EQ(enc.codec_context().bit_rate, 3000000000LL);
}

TEST(Open, SharesTheControlItIsGiven) {
    auto control = std::make_shared<EncoderControl>();
    const H264Encoder enc = open_ok(x264_config(), control);
    EXPECT_EQ(enc.control(), control);
    EXPECT_NE(open_ok(x264_config()).control(), nullptr);
}

// ---- encoding --------------------------------------------------------------------------

TEST(Encode, OnePictureGivesOneAccessUnitInTheSameCall) {
    H264Encoder enc = open_ok(x264_config());
    std::uint64_t bytes = 0;
    std::int64_t last_encoded = 0;
    for (int n = 0; n < 12; ++n) {
        const Picture p = i420(n, 1000 + 33 * n);
        const std::int64_t before = monotonic_us();
        const AccessUnit au = encode_one(enc, p.raw);
        const std::int64_t after = monotonic_us();
        EXPECT_EQ(au.t_us, 1000 + 33 * n);
        ASSERT_TRUE(au.encoded_us.has_value());
        EXPECT_GE(*au.encoded_us, std::max(before, last_encoded));
        EXPECT_LE(*au.encoded_us, after);
        last_encoded = *au.encoded_us;
        EXPECT_EQ(au.key, n == 0);
        EXPECT_EQ(au.config, n == 0);
        EXPECT_EQ(au_facts(au.bytes()).key, au.key);
        if (n == 0) {
            ASSERT_TRUE(enc.param_sets().has_value());
            const auto sets = extract_param_sets(au.bytes());
            ASSERT_TRUE(sets.has_value());
            EXPECT_TRUE(std::ranges::equal(*enc.param_sets(), *sets));
        }
        bytes += au.data.size();
        EXPECT_EQ(enc.pending_stamps(), 0u);
    }
    const EncoderStats s = enc.stats();
    EXPECT_EQ(s.frames_in, 12u);
    EXPECT_EQ(s.frames_out, 12u);
    EXPECT_EQ(s.bytes, bytes);
    EXPECT_EQ(s.idr, 1u);
    EXPECT_EQ(s.recovery, 0u);
    EXPECT_EQ(s.reinserted, 0u);
    EXPECT_EQ(s.forced_idr, 0u);
    EXPECT_EQ(s.bitrate_changes, 0u);
    EXPECT_EQ(s.converted, 0u);  // I420 into I420 is a plain copy
    EXPECT_EQ(s.convert_us, 0u);
    EXPECT_EQ(enc.timings(), (EncoderTimings{s.convert_us, s.encode_us}));
}

TEST(Encode, CountsConversionsOnly) {
    struct Case {
        PictureFormat picture, codec;
        bool converted;
    };
    for (const Case& c : {Case{PictureFormat::I420, PictureFormat::I420, false},
                          Case{PictureFormat::NV12, PictureFormat::NV12, false},
                          Case{PictureFormat::NV12, PictureFormat::I420, true},
                          Case{PictureFormat::I420, PictureFormat::NV12, true},
                          Case{PictureFormat::RGB24, PictureFormat::I420, true},
                          Case{PictureFormat::BGRA, PictureFormat::NV12, true}}) {
        EncoderConfig config = x264_config();
        config.pixel_format = c.codec;
        H264Encoder enc = open_ok(config);
        for (int n = 0; n < 3; ++n) encode_one(enc, picture(c.picture, 64, 48, n, n).raw);
        EXPECT_EQ(enc.stats().converted, c.converted ? 3u : 0u)
            << c.picture.name() << " into " << c.codec.name();
        if (!c.converted) {
            EXPECT_EQ(enc.stats().convert_us, 0u);
        }
    }
}

TEST(Encode, IdrRequestsCoalesce) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    EXPECT_TRUE(encode_one(enc, i420(0).raw).key);
    EXPECT_FALSE(encode_one(enc, i420(1).raw).key);
    control->request_idr();
    control->request_idr();
    const AccessUnit forced = encode_one(enc, i420(2).raw);
    EXPECT_TRUE(forced.key);
    EXPECT_TRUE(forced.config);  // an IDR picture brings SPS/PPS
    EXPECT_FALSE(encode_one(enc, i420(3).raw).key);
    EXPECT_EQ(enc.stats().forced_idr, 1u);
    EXPECT_EQ(enc.stats().idr, 2u);
    EXPECT_EQ(control->idr_requests(), 2u);
}

TEST(Encode, ForceIdrLeavesAPendingRequestForTheNextPicture) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    encode_one(enc, i420(0).raw);
    control->request_idr();
    EXPECT_TRUE(encode_one(enc, i420(1).raw, true).key);
    EXPECT_TRUE(encode_one(enc, i420(2).raw).key);
    EXPECT_FALSE(encode_one(enc, i420(3).raw).key);
    EXPECT_TRUE(encode_one(enc, i420(4).raw, true).key);
    EXPECT_EQ(enc.stats().forced_idr, 3u);
    EXPECT_EQ(enc.stats().idr, 4u);
    EXPECT_EQ(control->idr_requests(), 1u);  // force_idr is not a request
}

TEST(Encode, LastPendingBitrateWins) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    encode_one(enc, i420(0).raw);
    control->set_bitrate_kbps(1000);
    control->set_bitrate_kbps(500);
    encode_one(enc, i420(1).raw);
    EXPECT_EQ(enc.codec_context().bit_rate, 500000);
    EXPECT_EQ(enc.codec_context().rc_max_rate, 500000);
    EXPECT_EQ(enc.codec_context().rc_buffer_size, 500000);
    encode_one(enc, i420(2).raw);
    EXPECT_EQ(enc.stats().bitrate_changes, 1u);

    control->set_bitrate_kbps(4000000);  // beyond an int's worth of bits: saturates
    encode_one(enc, i420(3).raw);
    EXPECT_EQ(enc.codec_context().rc_buffer_size, INT_MAX);
    EXPECT_EQ(enc.codec_context().bit_rate, 4000000000LL);
    EXPECT_EQ(enc.stats().bitrate_changes, 2u);
}

TEST(Encode, RefusedPictureConsumesNothing) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    encode_one(enc, i420(0).raw);
    control->request_idr();
    control->set_bitrate_kbps(700);
    const EncoderStats before = enc.stats();

    const Picture narrow = i420(1, 0, 62, 48);
    auto out = enc.encode(narrow.raw, false);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().display(), "bad image: picture 62x48 for a 64x48 encoder");

    Picture short_plane = i420(1);
    short_plane.raw.planes[2] = short_plane.raw.planes[2].first(short_plane.raw.planes[2].size() - 1);
    out = enc.encode(short_plane.raw, true);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().display(), "bad image: plane shorter than rows x stride");
    EXPECT_EQ(enc.stats(), before);

    EXPECT_TRUE(encode_one(enc, i420(1).raw).key);  // the request was still pending
    EXPECT_EQ(enc.stats().bitrate_changes, 1u);
    EXPECT_EQ(enc.codec_context().bit_rate, 700000);
}

TEST(Encode, FlushDrainsAndThenRefuses) {
    H264Encoder enc = open_ok(x264_config());
    auto flushed = enc.flush();
    ASSERT_TRUE(flushed) << flushed.error().display();
    EXPECT_TRUE(flushed->empty());

    for (int n = 1; n <= 3; ++n) {
        const auto out = enc.encode(i420(n).raw, false);
        ASSERT_FALSE(out);
        EXPECT_TRUE(same_error(out.error(), MediaError::ffmpeg(AVERROR_EOF)));
        EXPECT_EQ(enc.stats().frames_in, static_cast<std::uint64_t>(n));
        EXPECT_EQ(enc.pending_stamps(), 0u);  // refused pictures leave no stamp behind
    }
    const auto again = enc.flush();
    ASSERT_FALSE(again);
    EXPECT_TRUE(same_error(again.error(), MediaError::ffmpeg(AVERROR_EOF)));
    EXPECT_EQ(enc.stats().frames_out, 0u);
}

TEST(Encode, FlushAfterPicturesKeepsCountsConsistent) {
    H264Encoder enc = open_ok(x264_config());
    std::size_t out = 0;
    for (int n = 0; n < 5; ++n) out += enc.encode(i420(n, n).raw, false)->size();
    const auto flushed = enc.flush();
    ASSERT_TRUE(flushed);
    out += flushed->size();
    EXPECT_EQ(out, 5u);
    EXPECT_EQ(enc.stats().frames_out, 5u);
    EXPECT_EQ(enc.pending_stamps(), 0u);
}

// x264 repeats SPS/PPS on each refresh start, so its recovery points need no reinsertion.
TEST(Encode, IntraRefreshGivesRecoveryPointsWithoutFurtherIdr) {
    EncoderConfig config = x264_config();
    config.intra_refresh = true;
    config.keyframe_interval = 8;
    H264Encoder enc = open_ok(config);
    std::uint64_t recovery = 0;
    for (int n = 0; n < 40; ++n) {
        const AccessUnit au = encode_one(enc, i420(n).raw);
        EXPECT_EQ(au.key, n == 0);
        if (au.recovery) {
            ++recovery;
            EXPECT_TRUE(au.config);
        }
    }
    EXPECT_GE(recovery, 4u);
    EXPECT_EQ(enc.stats().recovery, recovery);
    EXPECT_EQ(enc.stats().idr, 1u);
    EXPECT_EQ(enc.stats().reinserted, 0u);
}

// Bare recovery points (as hardware encoders emit them) get the cached SPS/PPS in front once
// one access unit has carried them, and a decoder can start at such a recovery point.
TEST(OutputAccessUnit, ReinsertsCachedParamSetsInFrontOfBareRecoveryPoints) {
    EncoderConfig config = x264_config();
    config.intra_refresh = true;
    config.keyframe_interval = 8;
    H264Encoder enc = open_ok(config);
    std::vector<AccessUnit> stream;
    for (int n = 0; n < 32; ++n) stream.push_back(encode_one(enc, i420(n).raw));
    ASSERT_TRUE(stream[8].recovery);
    ASSERT_TRUE(stream[0].key);

    ParamSetCache cache;
    EncoderStats stats;
    // A bare recovery point before any SPS/PPS: nothing to put in front.
    const auto bare8 = without_param_sets(stream[8].bytes());
    AccessUnit au = output_access_unit(bare8, 5, 6, cache, stats);
    EXPECT_EQ(bytes_of(au), bare8);
    EXPECT_FALSE(au.config);
    EXPECT_TRUE(au.recovery);
    EXPECT_EQ(au.t_us, 5);
    EXPECT_EQ(au.encoded_us, 6);
    EXPECT_EQ(stats.reinserted, 0u);

    cache = {};
    stats = {};
    std::vector<std::vector<std::uint8_t>> full, bare, joined;  // joined and bare start at 8
    std::uint64_t bytes = 0, reinserted = 0;
    for (std::size_t n = 0; n < stream.size(); ++n) {
        const bool strip = stream[n].recovery && !stream[n].key;
        const auto in = strip ? without_param_sets(stream[n].bytes()) : bytes_of(stream[n]);
        au = output_access_unit(in, static_cast<std::int64_t>(n), 0, cache, stats);
        if (strip) {
            ++reinserted;
            EXPECT_TRUE(au.config);
            std::vector<std::uint8_t> expected(cache.sets->begin(), cache.sets->end());
            expected.insert(expected.end(), in.begin(), in.end());
            EXPECT_EQ(bytes_of(au), expected);
        } else {
            EXPECT_EQ(bytes_of(au), in);
            EXPECT_EQ(au.config, stream[n].config);
        }
        bytes += au.data.size();
        full.push_back(bytes_of(au));
        if (n >= 8) {
            joined.push_back(bytes_of(au));
            bare.push_back(in);
        }
    }
    EXPECT_EQ(stats.reinserted, reinserted);
    EXPECT_EQ(cache.reinserted, reinserted);
    EXPECT_GE(reinserted, 3u);
    EXPECT_EQ(stats.frames_out, stream.size());
    EXPECT_EQ(stats.bytes, bytes);
    EXPECT_EQ(stats.idr, 1u);
    EXPECT_EQ(stats.recovery, reinserted);

    // Joining at a recovery point works only with the SPS/PPS put in front; once refreshed the
    // pictures are those of the whole stream.
    EXPECT_TRUE(decode_luma(bare).empty());
    const auto from_start = decode_luma(full);
    const auto from_recovery = decode_luma(joined);
    ASSERT_EQ(from_start.size(), full.size());
    ASSERT_GE(from_recovery.size(), joined.size() - 8);
    EXPECT_EQ(from_recovery.back(), from_start.back());
}

TEST(CaptureStamps, TakingAStampDropsEarlierOnes) {
    CaptureStamps stamps;
    for (std::int64_t pts = 0; pts < 5; ++pts) stamps.record(pts, 100 + pts);
    EXPECT_EQ(stamps.take(2), 102);
    EXPECT_EQ(stamps.size(), 2u);  // 0 and 1 can no longer come out
    EXPECT_EQ(stamps.take(1), 0);  // unknown: 0
    EXPECT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps.take(3), 103);
    stamps.record(5, 105);
    stamps.forget(4);  // only the latest entry can be forgotten
    EXPECT_EQ(stamps.size(), 2u);
    stamps.forget(5);
    EXPECT_EQ(stamps.size(), 1u);
    EXPECT_EQ(stamps.take(99), 0);
    EXPECT_EQ(stamps.size(), 0u);
}

using StreamCase = std::tuple<PictureFormat::Value, PictureFormat::Value, bool>;
class DecodableStream : public testing::TestWithParam<StreamCase> {};

// 64 pictures encoded and decoded by libavcodec's own h264 decoder: every picture comes back at
// the configured size, and planar sources come back close to what went in.
TEST_P(DecodableStream, SixtyFourPicturesDecode) {
    const auto [source_v, codec_v, intra_refresh] = GetParam();
    const PictureFormat source(source_v);
    EncoderConfig config = x264_config(160, 120);
    config.pixel_format = codec_v;
    config.intra_refresh = intra_refresh;
    config.keyframe_interval = 0;
    config.bitrate_kbps = 2000;
    H264Encoder enc = open_ok(config);
    std::vector<Picture> pictures;
    std::vector<std::vector<std::uint8_t>> aus;
    for (int n = 0; n < 64; ++n) {
        pictures.push_back(picture(source, 160, 120, n, n));
        auto out = enc.encode(pictures.back().raw, false);
        ASSERT_TRUE(out) << out.error().display();
        for (const AccessUnit& au : *out) {
            EXPECT_EQ(au.t_us, n);
            aus.push_back(bytes_of(au));
        }
    }
    auto rest = enc.flush();
    ASSERT_TRUE(rest);
    for (const AccessUnit& au : *rest) aus.push_back(bytes_of(au));
    EXPECT_EQ(aus.size(), 64u);
    EXPECT_EQ(enc.pending_stamps(), 0u);

    int w = 0, h = 0;
    const auto decoded = decode_luma(aus, &w, &h);
    ASSERT_EQ(decoded.size(), 64u);
    EXPECT_EQ(w, 160);
    EXPECT_EQ(h, 120);
    if (source.is_yuv420()) {
        for (std::size_t n = 0; n < decoded.size(); ++n)
            EXPECT_GT(luma_psnr(decoded[n], pictures[n].raw.planes[0]), 30.0) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DecodableStream,
    testing::Values(StreamCase{PictureFormat::I420, PictureFormat::I420, false},
                    StreamCase{PictureFormat::I420, PictureFormat::I420, true},
                    StreamCase{PictureFormat::NV12, PictureFormat::NV12, true},
                    StreamCase{PictureFormat::I420, PictureFormat::NV12, false},
                    StreamCase{PictureFormat::RGB24, PictureFormat::I420, true}));
