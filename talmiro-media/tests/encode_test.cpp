// Tests of the core encoder: opening and backend fallback, one access unit per picture with its
// stamp, IDR requests, bitrate changes, refusals, flushing and lent pictures.
#include "talmiro_media/encode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "talmiro_media/internal/test_access.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

using namespace talmiro_media;

namespace {

using Bytes = std::vector<std::uint8_t>;

EncoderConfig x264_config(std::uint32_t w = 64, std::uint32_t h = 48) {
    EncoderConfig c;
    c.width = w;
    c.height = h;
    c.bitrate_kbps = 1000;
    c.keyframe_interval = 1000;  // no periodic IDR within a test
    c.intra_refresh = false;
    c.backend = EncoderBackend::X264;
    return c;
}

H264Encoder open_ok(const EncoderConfig& config, std::shared_ptr<EncoderControl> control = {}) {
    auto enc = H264Encoder::open(config, std::move(control));
    if (!enc) {
        ADD_FAILURE() << enc.error().display();
        std::abort();
    }
    return std::move(*enc);
}

// Picture n of a moving pattern, tightly packed in any format.
struct Picture {
    Bytes bytes;
    RawImage raw;
};

Picture picture(int n, std::int64_t t_us = 0, PictureFormat f = PictureFormat::I420,
                std::uint32_t w = 64, std::uint32_t h = 48) {
    Picture p{Bytes(f.packed_size(w, h)),
              RawImage{.t_us = t_us, .width = w, .height = h, .format = f}};
    std::size_t off = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t rows = f.plane_rows(i, h), row_bytes = f.plane_row_bytes(i, w);
        for (std::size_t k = 0; k < rows * row_bytes; ++k)
            p.bytes[off + k] = static_cast<std::uint8_t>(
                i ? 112 + (k / row_bytes + n) % 32 : 2 * (k / row_bytes) + k % row_bytes + 3 * n);
        p.raw.planes[i] = std::span<const std::uint8_t>(p.bytes).subspan(off, rows * row_bytes);
        p.raw.strides[i] = rows ? row_bytes : 0;
        off += rows * row_bytes;
    }
    return p;
}

// Encodes one picture, expecting exactly one access unit back from the same call.
AccessUnit encode_one(H264Encoder& enc, const RawImage& raw, bool force_idr = false) {
    auto out = enc.encode(raw, force_idr);
    if (!out || out->size() != 1) {
        ADD_FAILURE() << (out ? std::to_string(out->size()) + " access units"
                              : out.error().display());
        return {};
    }
    return std::move(out->front());
}

Bytes bytes_of(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// The same error: kind, code and text.
bool same_error(const MediaError& a, const MediaError& b) {
    return a.kind() == b.kind() && a.code() == b.code() && a.display() == b.display();
}

template <typename T>
std::string error_text(const Result<T>& r) {
    return r ? "<no error>" : r.error().display();
}

// The Y planes of every picture libavcodec's h264 decoder outputs for these access units.
std::vector<Bytes> decode_luma(const std::vector<Bytes>& aus, int* width = nullptr) {
    std::vector<Bytes> out;
    auto ctx = alloc_codec_context(find_decoder("h264"));
    auto packet = alloc_packet();
    auto frame = alloc_frame();
    if (!ctx || !packet || !frame || avcodec_open2(ctx->get(), nullptr, nullptr) < 0) return out;
    const auto drain = [&] {
        AVFrame* f = frame->get();
        for (; avcodec_receive_frame(ctx->get(), f) >= 0; av_frame_unref(f)) {
            if (width) *width = f->width;
            Bytes& y = out.emplace_back(static_cast<std::size_t>(f->width) * f->height);
            for (int r = 0; r < f->height; ++r)
                std::memcpy(&y[static_cast<std::size_t>(r) * f->width],
                            f->data[0] + r * f->linesize[0], f->width);
        }
    };
    for (const Bytes& au : aus) {
        av_new_packet(packet->get(), static_cast<int>(au.size()));
        std::memcpy((*packet)->data, au.data(), au.size());
        avcodec_send_packet(ctx->get(), packet->get());  // a refusal shows as a missing picture
        av_packet_unref(packet->get());
        drain();
    }
    avcodec_send_packet(ctx->get(), nullptr);
    drain();
    return out;
}

}  // namespace

TEST(Open, NvencWithoutHardwareFailsAndAutoFallsBackToX264) {
    EncoderConfig config = x264_config(16, 16);
    config.backend = EncoderBackend::Nvenc;
    const auto nvenc = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(nvenc) << "this test expects a machine without NVENC";
    EXPECT_EQ(nvenc.error().kind(), find_encoder("h264_nvenc") ? MediaError::Kind::Ffmpeg
                                                                : MediaError::Kind::Unsupported);

    config.backend = EncoderBackend::Auto;
    const auto enc = H264Encoder::open(config, nullptr);
    ASSERT_TRUE(enc) << enc.error().display();
    EXPECT_EQ(enc->backend(), EncoderBackend::X264);

    // When every candidate fails, the last one's error is reported: x264's.
    config.preset = "no-such-preset";
    const auto both = H264Encoder::open(config, nullptr);
    config.backend = EncoderBackend::X264;
    const auto x264 = H264Encoder::open(config, nullptr);
    ASSERT_FALSE(both);
    ASSERT_FALSE(x264);
    EXPECT_TRUE(same_error(both.error(), x264.error())) << both.error().display();
    EXPECT_FALSE(same_error(both.error(), nvenc.error()));

    // The configuration is checked before any backend is tried.
    config.width = 17;
    config.backend = EncoderBackend::Nvenc;
    EXPECT_EQ(error_text(H264Encoder::open(config, nullptr)),
              "unsupported: picture size 17x16 (need even, >= 16)");
}

TEST(Open, ContextKeepsItsSettings) {
    struct Case {
        std::uint32_t keyframe_interval, fps, gop, kbps;
        PictureFormat format;
        int buffer;
    };
    for (const Case& c : {Case{0, 30, 30, 1000, PictureFormat::I420, 1000000},
                          Case{90, 25, 90, 1000, PictureFormat::NV12, 1000000},
                          Case{0, 60, 60, 3000000, PictureFormat::I420, INT_MAX}}) {
        EncoderConfig config = x264_config();
        config.keyframe_interval = c.keyframe_interval;
        config.fps = c.fps;
        config.bitrate_kbps = c.kbps;
        config.pixel_format = c.format;
        auto control = std::make_shared<EncoderControl>();
        const H264Encoder enc = open_ok(config, control);
        const AVCodecContext& ctx = TestAccess::codec_context(enc);
        EXPECT_EQ(TestAccess::gop(enc), c.gop);
        EXPECT_EQ(ctx.gop_size, static_cast<int>(c.gop));
        EXPECT_EQ(ctx.pix_fmt,
                  c.format == PictureFormat::NV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P);
        EXPECT_EQ(ctx.max_b_frames, 0);
        EXPECT_EQ(ctx.flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
        EXPECT_EQ(ctx.bit_rate, std::int64_t{c.kbps} * 1000);
        EXPECT_EQ(ctx.rc_buffer_size, c.buffer);  // saturated, never negative
        EXPECT_EQ(TestAccess::control(enc), control);
        EXPECT_FALSE(enc.param_sets().has_value());
    }
}

TEST(Encode, OnePictureGivesOneAccessUnitWithItsCaptureStamp) {
    H264Encoder enc = open_ok(x264_config());
    std::uint64_t bytes = 0;
    for (int n = 0; n < 12; ++n) {
        const std::int64_t before = monotonic_us();
        const AccessUnit au = encode_one(enc, picture(n, 1000 + 33 * n).raw);
        EXPECT_EQ(au.t_us, 1000 + 33 * n);
        EXPECT_GE(au.encoded_us.value_or(0), before);
        EXPECT_LE(au.encoded_us.value_or(0), monotonic_us());
        EXPECT_EQ(au.key, n == 0);
        EXPECT_EQ(au.config, n == 0);
        if (n == 0) {
            ASSERT_TRUE(enc.param_sets().has_value());
            EXPECT_EQ(bytes_of(*enc.param_sets()), extract_param_sets(au.bytes()));
        }
        bytes += au.data.size();
        EXPECT_EQ(TestAccess::pending_stamps(enc), 0u);
    }
    EXPECT_EQ(enc.stats(), (EncoderStats{.frames_in = 12, .frames_out = 12, .bytes = bytes,
                                         .idr = 1, .encode_us = enc.stats().encode_us}));
    EXPECT_EQ(enc.timings(), (EncoderTimings{0, enc.stats().encode_us}));
}

// Requests coalesce; `force_idr` leaves a pending request for the next picture.
TEST(Encode, IdrRequests) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    const auto key = [&](int n, bool force) { return encode_one(enc, picture(n).raw, force).key; };
    EXPECT_TRUE(key(0, false));
    EXPECT_FALSE(key(1, false));
    control->request_idr();
    control->request_idr();
    EXPECT_TRUE(key(2, false));
    EXPECT_FALSE(key(3, false));
    EXPECT_EQ(enc.stats().forced_idr, 1u);
    control->request_idr();
    EXPECT_TRUE(key(4, true));
    EXPECT_TRUE(key(5, false));
    EXPECT_FALSE(key(6, false));
    EXPECT_EQ(enc.stats().forced_idr, 3u);
    EXPECT_EQ(enc.stats().idr, 4u);
    EXPECT_EQ(control->idr_requests(), 3u);
}

TEST(Encode, LastPendingBitrateWins) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    encode_one(enc, picture(0).raw);
    control->set_bitrate_kbps(1000);
    control->set_bitrate_kbps(500);
    encode_one(enc, picture(1).raw);
    encode_one(enc, picture(2).raw);
    EXPECT_EQ(TestAccess::codec_context(enc).bit_rate, 500000);
    EXPECT_EQ(TestAccess::codec_context(enc).rc_max_rate, 500000);
    EXPECT_EQ(TestAccess::codec_context(enc).rc_buffer_size, 500000);
    EXPECT_EQ(enc.stats().bitrate_changes, 1u);
    // More bits than libavcodec's int holds: refused, the rate in force stays.
    EXPECT_FALSE(control->set_bitrate_kbps(kMaxBitrateKbps + 1));
    encode_one(enc, picture(3).raw);
    EXPECT_EQ(TestAccess::codec_context(enc).bit_rate, 500000);
    EXPECT_EQ(enc.stats().bitrate_changes, 1u);
}

TEST(Encode, RefusedPictureConsumesNothing) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    encode_one(enc, picture(0).raw);
    control->request_idr();
    control->set_bitrate_kbps(700);
    const EncoderStats before = enc.stats();
    EXPECT_EQ(error_text(enc.encode(picture(1, 0, PictureFormat::I420, 62).raw, true)),
              "bad image: picture 62x48 for a 64x48 encoder");
    Picture short_plane = picture(1);
    auto& v = short_plane.raw.planes[2];
    v = v.first(v.size() - 1);
    EXPECT_EQ(error_text(enc.encode(short_plane.raw, true)),
              "bad image: plane shorter than rows x stride");
    // Refused after the request was taken for it: libswscale takes 32-bit strides. The rows
    // past the first are never read, the stride is refused first.
    Picture rgb = picture(1, 0, PictureFormat::RGB24);
    rgb.raw.strides[0] = std::size_t{INT_MAX} + 1;
    rgb.raw.planes[0] = {rgb.bytes.data(), 47 * rgb.raw.strides[0] + 3 * 64};
    EXPECT_EQ(error_text(enc.encode(rgb.raw, false)).substr(0, 33),
              "bad image: rgb24 image: row strid");
    EXPECT_EQ(enc.stats(), before);
    EXPECT_TRUE(encode_one(enc, picture(1).raw).key);  // the request was still pending
    EXPECT_EQ(enc.stats().forced_idr, 1u);
    EXPECT_EQ(TestAccess::codec_context(enc).bit_rate, 700000);
}

TEST(Encode, FlushDrainsAndThenRefuses) {
    auto control = std::make_shared<EncoderControl>();
    H264Encoder enc = open_ok(x264_config(), control);
    control->request_idr();
    const auto flushed = enc.flush();
    ASSERT_TRUE(flushed) << flushed.error().display();
    EXPECT_TRUE(flushed->empty());
    for (std::uint64_t n = 1; n <= 3; ++n) {
        const auto out = enc.encode(picture(1).raw, false);
        ASSERT_FALSE(out);
        EXPECT_TRUE(same_error(out.error(), MediaError::ffmpeg(AVERROR_EOF)));
        EXPECT_EQ(enc.stats().frames_in, n);
        EXPECT_EQ(TestAccess::pending_stamps(enc), 0u);  // a refused picture leaves no stamp behind
    }
    EXPECT_EQ(error_text(enc.flush()), MediaError::ffmpeg(AVERROR_EOF).display());
    // No refused picture used up the request or counted as an IDR picture.
    EXPECT_EQ(enc.stats().forced_idr, 0u);
    EXPECT_TRUE(control->take_idr_request());
}

TEST(CaptureStamps, TakingAStampDropsEarlierOnes) {
    CaptureStamps stamps;
    for (std::int64_t pts = 0; pts < 5; ++pts) stamps.record(pts, 100 + pts);
    EXPECT_EQ(stamps.take(2), 102);
    EXPECT_EQ(stamps.size(), 2u);  // 0 and 1 can no longer come out
    EXPECT_EQ(stamps.take(1), 0);  // unknown
    EXPECT_EQ(stamps.take(3), 103);
    stamps.forget(3);  // not the latest: kept
    stamps.forget(4);
    EXPECT_EQ(stamps.size(), 0u);
    stamps.record(5, 105);
    EXPECT_EQ(stamps.take(99), 0);
    EXPECT_EQ(stamps.size(), 0u);
}

// x264 repeats SPS/PPS at every refresh start; hardware encoders emit bare recovery points.
// Bare ones get the cached SPS/PPS in front once an access unit has carried them, and a
// decoder can then join the stream there.
TEST(OutputAccessUnit, ReinsertsCachedParamSetsInFrontOfBareRecoveryPoints) {
    EncoderConfig config = x264_config();
    config.intra_refresh = true;
    config.keyframe_interval = 8;
    H264Encoder enc = open_ok(config);
    ParamSetCache cache;
    EncoderStats stats;
    std::vector<Bytes> full, bare, joined;  // bare and joined start at the first refresh
    std::uint64_t recovery = 0;
    for (int n = 0; n < 32; ++n) {
        const AccessUnit au = encode_one(enc, picture(n).raw);
        EXPECT_EQ(au.key, n == 0);
        EXPECT_EQ(au.config, n == 0 || au.recovery);
        Bytes in;
        for (const NalUnit& nal : nal_units(au.bytes()))
            if (!au.recovery || (nal.type != kNalSps && nal.type != kNalPps))
                in.insert(in.end(), au.bytes().begin() + nal.start_code,
                          au.bytes().begin() + nal.end);
        const AccessUnit out = output_access_unit(in, n, 7, cache, stats);
        EXPECT_EQ(out.t_us, n);
        EXPECT_EQ(out.encoded_us, 7);
        EXPECT_EQ(out.config, au.config);
        if (au.recovery) {
            ++recovery;
            Bytes expected = *cache.sets;
            expected.insert(expected.end(), in.begin(), in.end());
            EXPECT_EQ(bytes_of(out.bytes()), expected);
        }
        full.push_back(bytes_of(out.bytes()));
        if (n >= 8) {
            joined.push_back(full.back());
            bare.push_back(in);
        }
    }
    EXPECT_GE(recovery, 3u);
    EXPECT_EQ(enc.stats().recovery, recovery);
    EXPECT_EQ(enc.stats().reinserted, 0u);
    EXPECT_EQ(stats.reinserted, recovery);
    EXPECT_EQ(stats.recovery, recovery);
    EXPECT_EQ(stats.frames_out, 32u);
    std::uint64_t bytes = 0;
    for (const Bytes& b : full) bytes += b.size();
    EXPECT_EQ(stats.bytes, bytes);

    EXPECT_TRUE(decode_luma(bare).empty());
    const auto from_start = decode_luma(full), from_recovery = decode_luma(joined);
    ASSERT_EQ(from_start.size(), full.size());
    ASSERT_GE(from_recovery.size(), joined.size() - 8);  // the refresh itself may be withheld
    EXPECT_EQ(from_recovery.back(), from_start.back());

    // Before any SPS/PPS has been seen nothing is put in front.
    ParamSetCache empty;
    const AccessUnit first = output_access_unit(bare.front(), 0, 0, empty, stats);
    EXPECT_EQ(bytes_of(first.bytes()), bare.front());
    EXPECT_FALSE(first.config);
}

// A lent picture is read during the call only: overwriting it as soon as `encode` returns
// changes nothing already encoded, the stream equals the one encoded from copies (pictures
// without an owner), and libavcodec keeps no reference to it.
TEST(Encode, LentPicturesGiveTheStreamOfCopies) {
    for (const PictureFormat f : {PictureFormat::I420, PictureFormat::NV12}) {
        SCOPED_TRACE(std::string(f.name()));
        EncoderConfig config = x264_config();
        config.pixel_format = f;
        H264Encoder lending = open_ok(config), copying = open_ok(config);
        auto buffer = std::make_shared<Bytes>(f.packed_size(64, 48));
        std::vector<Bytes> lent, copied;
        for (int n = 0; n < 16; ++n) {
            const Picture p = picture(n, n, f);
            std::ranges::copy(p.bytes, buffer->begin());
            RawImage raw = p.raw;
            for (int i = 0; i < 3; ++i)
                raw.planes[i] = std::span<const std::uint8_t>(*buffer).subspan(
                    static_cast<std::size_t>(p.raw.planes[i].data() - p.bytes.data()),
                    p.raw.planes[i].size());
            raw.owner = buffer;
            lent.push_back(bytes_of(encode_one(lending, raw).bytes()));
            std::ranges::fill(*buffer, 0xAA);
            EXPECT_EQ(buffer.use_count(), 2);  // here and in `raw`: the encoder kept none
            copied.push_back(bytes_of(encode_one(copying, p.raw).bytes()));
        }
        const auto lent_tail = lending.flush(), copied_tail = copying.flush();
        for (const AccessUnit& au : *lent_tail) lent.push_back(bytes_of(au.bytes()));
        for (const AccessUnit& au : *copied_tail) copied.push_back(bytes_of(au.bytes()));
        EXPECT_EQ(lent, copied);
        EXPECT_EQ(TestAccess::lent(lending), 16u);
        EXPECT_TRUE(TestAccess::lending(lending));
        EXPECT_EQ(TestAccess::lent(copying), 0u);
        EXPECT_EQ(lending.stats().converted, 0u);
    }
}

TEST(PictureLender, LendsOnlyWhatLibavcodecCanTakeAsItIs) {
    auto owner = std::make_shared<int>(0);
    Picture p = picture(0, 0, PictureFormat::I420, 64, 48);
    p.raw.owner = owner;
    EXPECT_TRUE(PictureLender::lendable(p.raw, PictureFormat::I420));
    EXPECT_FALSE(PictureLender::lendable(p.raw, PictureFormat::NV12));  // re-laid out
    RawImage unowned = p.raw;
    unowned.owner.reset();
    EXPECT_FALSE(PictureLender::lendable(unowned, PictureFormat::I420));
    Picture odd = picture(0, 0, PictureFormat::I420, 18, 10);  // strides 18, 9, 9
    odd.raw.owner = owner;
    EXPECT_FALSE(PictureLender::lendable(odd.raw, PictureFormat::I420));
    RawImage shifted = p.raw;
    shifted.planes[2] = shifted.planes[2].subspan(1);
    EXPECT_FALSE(PictureLender::lendable(shifted, PictureFormat::I420));
    Picture rgb = picture(0, 0, PictureFormat::RGBA, 64, 48);
    rgb.raw.owner = owner;
    EXPECT_FALSE(PictureLender::lendable(rgb.raw, PictureFormat::I420));
}

// A reference libavcodec keeps past the call keeps the picture's owner until it goes; the
// owner is then handed back to be dropped by the caller.
TEST(PictureLender, KeepsTheOwnerWhileLibavcodecHoldsABuffer) {
    auto lender = PictureLender::open();
    ASSERT_TRUE(lender.has_value());
    Picture p = picture(0);
    auto owner = std::make_shared<int>(0);
    p.raw.owner = owner;
    AVFrame* frame = *lender->lend(p.raw);
    EXPECT_EQ(frame->data[1], p.raw.planes[1].data());
    EXPECT_EQ(frame->linesize[1], 32);
    EXPECT_TRUE(av_buffer_is_writable(frame->buf[0]) == 0);
    AVBufferRef* held = av_buffer_ref(frame->buf[2]);
    EXPECT_FALSE(lender->settle(p.raw.owner));
    EXPECT_EQ(TestAccess::outstanding(*lender), 1u);
    EXPECT_EQ(owner.use_count(), 3);  // here, in `p.raw`, and kept
    EXPECT_TRUE(lender->take_released().empty());
    av_buffer_unref(&held);
    EXPECT_EQ(TestAccess::outstanding(*lender), 0u);
    auto released = lender->take_released();
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0], owner);
    released.clear();
    EXPECT_EQ(owner.use_count(), 2);
    // Nothing kept: settled at once.
    lender->lend(p.raw);
    EXPECT_TRUE(lender->settle(p.raw.owner));
}

using StreamCase = std::tuple<PictureFormat::Value, PictureFormat::Value, bool>;
class DecodableStream : public testing::TestWithParam<StreamCase> {};

// 64 pictures decode with libavcodec's h264 decoder at the configured size; planar sources
// come back close to what went in. Conversions are counted, plain copies are not.
TEST_P(DecodableStream, SixtyFourPicturesDecode) {
    const auto [source_v, codec_v, intra_refresh] = GetParam();
    const PictureFormat source(source_v), codec(codec_v);
    EncoderConfig config = x264_config(160, 120);
    config.pixel_format = codec;
    config.intra_refresh = intra_refresh;
    config.keyframe_interval = 0;
    config.bitrate_kbps = 2000;
    H264Encoder enc = open_ok(config);
    std::vector<Picture> pictures;
    std::vector<Bytes> aus;
    for (int n = 0; n < 64; ++n) {
        pictures.push_back(picture(n, n, source, 160, 120));
        const AccessUnit au = encode_one(enc, pictures.back().raw);
        EXPECT_EQ(au.t_us, n);
        aus.push_back(bytes_of(au.bytes()));
    }
    EXPECT_TRUE(enc.flush()->empty());
    EXPECT_EQ(enc.stats().converted, source == codec ? 0u : 64u);
    int width = 0;
    const auto decoded = decode_luma(aus, &width);
    ASSERT_EQ(decoded.size(), 64u);
    EXPECT_EQ(width, 160);
    for (std::size_t n = 0; source.is_yuv420() && n < decoded.size(); ++n) {
        double se = 0;
        for (std::size_t k = 0; k < decoded[n].size(); ++k)
            se += std::pow(decoded[n][k] - pictures[n].raw.planes[0][k], 2);
        EXPECT_GT(10 * std::log10(255.0 * 255 * decoded[n].size() / std::max(se, 1.0)), 30) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DecodableStream,
    testing::Values(StreamCase{PictureFormat::I420, PictureFormat::I420, false},
                    StreamCase{PictureFormat::NV12, PictureFormat::NV12, true},
                    StreamCase{PictureFormat::NV12, PictureFormat::I420, true},
                    StreamCase{PictureFormat::I420, PictureFormat::NV12, false},
                    StreamCase{PictureFormat::RGB24, PictureFormat::I420, true},
                    StreamCase{PictureFormat::BGRA, PictureFormat::NV12, false}));
