// Tests of the core decoder: pictures and stamps out, resets after errors and wedged streams,
// joins at recovery points, damage flags and the fresh decoder after damage.
#include "talmiro_media/decode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "h264_bits.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/psnr.hpp"
#include "talmiro_media/internal/test_access.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

using namespace talmiro_media;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Pictures = std::vector<Image>;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// A moving picture with texture: a gradient, bars sliding by two pixels a frame, flat chroma
// halves.
Image source_picture(std::uint32_t w, std::uint32_t h, std::uint32_t n) {
    ImageBuilder img = ImageBuilder::allocate(w, h);
    for (std::uint32_t r = 0; r < h; ++r)
        for (std::uint32_t c = 0; c < w; ++c)
            img.planes[0][std::size_t{r} * w + c] =
                static_cast<std::uint8_t>(c * 2 + r + (((c + 2 * n) / 8) % 4 == 0 ? 60 : 0));
    std::ranges::fill(img.planes[1], 100);
    std::ranges::fill(img.planes[2], 150);
    std::fill_n(img.planes[2].begin(), img.planes[2].size() / 2, 90);
    return std::move(img).finish(0, false);
}

struct Clip {
    std::vector<Image> pictures;
    std::vector<AccessUnit> units;  // one per picture, as received: no `encoded_us`
};

// A low-latency x264 stream of `count` source pictures stamped 1000 * index, with a periodic
// IDR picture or periodic intra refresh every `period` pictures.
Clip encode_clip(std::uint32_t w, std::uint32_t h, std::uint32_t count, bool intra_refresh,
                 std::uint32_t period, std::uint32_t kbps = 2000) {
    EncoderConfig config;
    config.width = w;
    config.height = h;
    config.backend = EncoderBackend::X264;
    config.intra_refresh = intra_refresh;
    config.keyframe_interval = period;
    config.bitrate_kbps = kbps;
    auto encoder = H264Encoder::open(config, nullptr);
    EXPECT_TRUE(encoder.has_value());
    Clip clip;
    if (!encoder) return clip;
    for (std::uint32_t n = 0; n < count; ++n) {
        clip.pictures.push_back(source_picture(w, h, n));
        auto units = encoder->encode(clip.pictures.back().as_raw(1000 * n), false);
        EXPECT_TRUE(units.has_value());
        EXPECT_EQ(units->size(), 1u) << "picture " << n;
        for (AccessUnit& au : *units) {
            au.encoded_us.reset();
            clip.units.push_back(std::move(au));
        }
    }
    return clip;
}

const Clip& idr_clip() {
    static const Clip clip = encode_clip(160, 96, 30, false, 10);
    return clip;
}
const Clip& refresh_clip() {
    static const Clip clip = encode_clip(160, 96, 40, true, 10);
    return clip;
}

AccessUnit with(const AccessUnit& au, std::int64_t t_us) {
    AccessUnit out = au;
    out.t_us = t_us;
    return out;
}

AccessUnit raw_au(Bytes bytes, bool key, std::int64_t t_us = 0) {
    AccessUnit au;
    au.data = SharedBytes(std::move(bytes));
    au.key = key;
    au.t_us = t_us;
    return au;
}

// The access unit without its SPS and PPS NAL units.
AccessUnit bare(const AccessUnit& au) {
    Bytes kept;
    const auto bytes = au.bytes();
    for (const NalUnit& nal : nal_units(bytes))
        if (nal.type != kNalSps && nal.type != kNalPps)
            kept.insert(kept.end(), bytes.begin() + nal.start_code, bytes.begin() + nal.end);
    AccessUnit out = au;
    out.data = SharedBytes(std::move(kept));
    out.config = false;
    return out;
}

H264Decoder open_decoder(SyncConfig config = {}, bool output_corrupt = true) {
    auto decoder = H264Decoder::open(config, output_corrupt);
    EXPECT_TRUE(decoder.has_value());
    return std::move(*decoder);
}

Pictures decoded(H264Decoder& d, const AccessUnit& au) {
    auto pictures = d.decode(au);
    EXPECT_TRUE(pictures.has_value()) << pictures.error().display();
    return pictures ? std::move(*pictures) : Pictures{};
}

double luma_psnr(const Image& a, const Image& b) { return psnr(a.y(), b.y()).value_or(0.0); }

void expect_reset_by_error(const H264Decoder& d, std::uint64_t errors) {
    EXPECT_EQ(d.sync().state(), SyncState::Waiting);
    EXPECT_EQ(d.stats().errors, errors);
    EXPECT_EQ(d.sync().counters().resets, errors);
    EXPECT_FALSE(TestAccess::last_pts(d).has_value());
}

// The next IDR decodes into one good picture with its own stamp.
void expect_idr_decodes(H264Decoder& d, std::int64_t t_us) {
    const Clip& clip = idr_clip();
    const Pictures pics = decoded(d, with(clip.units[0], t_us));
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_EQ(pics[0].t_us, t_us);
    EXPECT_GE(luma_psnr(pics[0], clip.pictures[0]), 30.0);
    EXPECT_EQ(d.sync().state(), SyncState::Streaming);
}

// After a reset the next P-frame is dropped and the next IDR starts afresh: a stamp lower than
// any before is taken unchanged.
void expect_restarts(H264Decoder& d, std::int64_t t_us) {
    EXPECT_TRUE(decoded(d, idr_clip().units[1]).empty());
    expect_idr_decodes(d, t_us);
}

TEST(H264Decoder, IdrStartCarriesItsStampAndEveryUnitGivesOnePictureInTheSameCall) {
    for (bool intra_refresh : {false, true}) {
        const Clip& clip = intra_refresh ? refresh_clip() : idr_clip();
        H264Decoder d = open_decoder();
        const Pictures first = decoded(d, with(clip.units[0], 500));
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].t_us, 500);
        EXPECT_FALSE(first[0].recovering);
        EXPECT_EQ(d.sync().state(), SyncState::Streaming);
        for (std::size_t n = 1; n < clip.units.size(); ++n) {
            const Pictures pics = decoded(d, clip.units[n]);
            ASSERT_EQ(pics.size(), 1u) << "unit " << n;
            const Image& img = pics[0];
            EXPECT_EQ(img.t_us, clip.units[n].t_us);
            EXPECT_FALSE(img.recovering);
            ASSERT_EQ(img.width, 160u);
            ASSERT_EQ(img.height, 96u);
            EXPECT_EQ(img.u().size(), 80u * 48u);
            EXPECT_EQ(img.v().size(), 80u * 48u);
            EXPECT_GE(luma_psnr(img, clip.pictures[n]), 30.0) << "unit " << n;
        }
        const std::uint64_t n = clip.units.size();
        EXPECT_EQ(d.stats(), (DecoderStats{n, n, 0, 0}));
        EXPECT_EQ(d.sync().counters().output, n);
        EXPECT_FALSE(d.signal().has_value());
    }
}

struct StampCase {
    const char* name;
    std::vector<std::int64_t> in;
    std::vector<std::int64_t> out;
};

TEST(H264Decoder, PacketStampsStrictlyIncreaseWithinAStart) {
    const std::vector<StampCase> cases{
        {"increasing", {1000, 2000, 3000}, {1000, 2000, 3000}},
        {"equal stamps raised by one", {5000, 5000, 5000}, {5000, 5001, 5002}},
        {"lower stamp raised", {5000, 4000, 7000}, {5000, 5001, 7000}},
        {"negative", {-7, -7, 0}, {-7, -6, 0}},
        {"up to the largest", {kMax - 1, kMax - 1}, {kMax - 1, kMax}},
    };
    for (const StampCase& c : cases) {
        H264Decoder d = open_decoder();
        std::vector<std::int64_t> out;
        for (std::size_t n = 0; n < c.in.size(); ++n)
            for (const Image& img : decoded(d, with(idr_clip().units[n], c.in[n])))
                out.push_back(img.t_us);
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(TestAccess::last_pts(d), c.out.back()) << c.name;
    }
}

TEST(H264Decoder, StampsThatCannotBeTimestampsResetTheDecoder) {
    const Clip& clip = idr_clip();
    {
        H264Decoder d = open_decoder();
        // Dropped before any start: never looked at.
        EXPECT_TRUE(decoded(d, with(clip.units[1], kMin)).empty());
        EXPECT_EQ(d.stats().errors, 0u);
        auto r = d.decode(with(clip.units[0], kMin));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().display(),
                  "unsupported: t_us i64::MIN is the decoder's no-timestamp marker");
        EXPECT_EQ(d.stats().fed, 0u);
        expect_reset_by_error(d, 1);
        expect_restarts(d, 42);
    }
    {
        H264Decoder d = open_decoder();
        ASSERT_EQ(decoded(d, with(clip.units[0], kMax)).size(), 1u);
        auto r = d.decode(with(clip.units[1], 5));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().display(), "unsupported: t_us 5 after a packet at t_us "
                                       "9223372036854775807: no later pts exists");
        expect_reset_by_error(d, 1);
        expect_restarts(d, 7);
    }
}

TEST(H264Decoder, GarbageFlaggedAsKeyFailsCleanlyAndTheNextIdrDecodes) {
    const Clip& clip = idr_clip();
    const auto idr = clip.units[0].bytes();
    std::mt19937 rng(1234);
    std::vector<Bytes> garbage{
        {},
        {0, 0, 1},
        {0, 0, 0, 1, 0x65, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x12},
        Bytes(idr.begin(), idr.begin() + static_cast<std::ptrdiff_t>(idr.size() / 3)),
    };
    for (int i = 0; i < 12; ++i) {
        Bytes b(1 + rng() % 600);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        if (i % 2 == 0) b.insert(b.begin(), {0, 0, 0, 1, 0x65});
        if (i % 3 == 0) b.insert(b.begin(), idr.begin(), idr.begin() + 30);
        garbage.push_back(std::move(b));
    }
    set_log_level("quiet");
    int failures = 0;
    for (bool started : {false, true}) {
        for (std::size_t g = 0; g < garbage.size(); ++g) {
            SCOPED_TRACE("garbage " + std::to_string(g) + (started ? " while streaming" : ""));
            H264Decoder d = open_decoder();
            if (started) {
                ASSERT_EQ(decoded(d, with(clip.units[0], 100)).size(), 1u);
            }
            auto r = d.decode(raw_au(garbage[g], true, 200));
            if (r) {
                // Taken as a picture (concealed) or as nothing; the stream goes on.
                EXPECT_LE(r->size(), 1u);
                expect_idr_decodes(d, 300);
                continue;
            }
            ++failures;
            EXPECT_EQ(r.error().kind(), MediaError::Kind::Ffmpeg);
            expect_reset_by_error(d, 1);
            expect_restarts(d, 50);
        }
    }
    // The empty one at least is refused by libavcodec.
    EXPECT_GE(failures, 2);
    set_log_level("warning");
}

TEST(H264Decoder, WedgedResetStillSendsTheUnitAndTheNextStartForgetsItsStamp) {
    SyncConfig config;
    config.wedged_frames = 3;
    // Without corrupt output a recovery-point start gives no pictures while it refreshes.
    H264Decoder d = open_decoder(config, false);
    const Clip& clip = refresh_clip();
    EXPECT_TRUE(decoded(d, clip.units[20]).empty());
    EXPECT_TRUE(decoded(d, clip.units[21]).empty());
    EXPECT_FALSE(d.signal().has_value());
    EXPECT_TRUE(decoded(d, clip.units[22]).empty());
    EXPECT_EQ(d.take_signal(), SyncSignal::Reset);
    EXPECT_FALSE(d.take_signal().has_value());
    EXPECT_EQ(d.sync().state(), SyncState::Waiting);
    EXPECT_EQ(TestAccess::last_pts(d), clip.units[22].t_us);  // sent after the flush
    EXPECT_TRUE(decoded(d, clip.units[23]).empty());
    expect_idr_decodes(d, 100);
    EXPECT_FALSE(d.signal().has_value());
    EXPECT_EQ(d.stats(), (DecoderStats{4, 1, 0, 0}));
    EXPECT_EQ(d.sync().counters().resets, 1u);
}

TEST(H264Decoder, JoinsAnIntraRefreshStreamAtABareRecoveryPoint) {
    const Clip& clip = refresh_clip();
    constexpr std::size_t kJoin = 20;
    ASSERT_TRUE(clip.units[kJoin].recovery);
    ASSERT_TRUE(clip.units[kJoin].config);
    for (bool output_corrupt : {true, false}) {
        SCOPED_TRACE(output_corrupt ? "output corrupt" : "clean only");
        H264Decoder d = open_decoder({}, output_corrupt);
        // A dropped P-frame that happens to carry the SPS/PPS fills the cache.
        const Bytes sets = *extract_param_sets(clip.units[kJoin].bytes());
        Bytes carrier = sets;
        const auto p = clip.units[kJoin - 3].bytes();
        carrier.insert(carrier.end(), p.begin(), p.end());
        EXPECT_TRUE(decoded(d, raw_au(carrier, false, 1)).empty());
        // Without the cache this bare recovery point could not start the stream.
        const AccessUnit start = bare(clip.units[kJoin]);
        ASSERT_FALSE(extract_param_sets(start.bytes()).has_value());

        std::size_t recovering = 0, clean = 0;
        for (std::size_t n = kJoin; n < clip.units.size(); ++n) {
            const Pictures pics = decoded(d, n == kJoin ? start : clip.units[n]);
            if (output_corrupt) {
                ASSERT_EQ(pics.size(), 1u) << "unit " << n;
            }
            for (const Image& img : pics) {
                EXPECT_EQ(img.t_us, clip.units[n].t_us);
                if (img.recovering) {
                    EXPECT_EQ(clean, 0u) << "flagged after a clean picture at unit " << n;
                    ++recovering;
                } else {
                    ++clean;
                    EXPECT_GE(luma_psnr(img, clip.pictures[n]), 30.0) << "unit " << n;
                }
            }
        }
        EXPECT_EQ(d.sync().counters().starts_at_recovery, 1u);
        EXPECT_EQ(*d.sync().param_sets(), sets);
        EXPECT_EQ(d.stats().recovering, recovering);
        EXPECT_EQ(d.stats().images, recovering + clean);
        EXPECT_GE(clean, 10u);
        EXPECT_EQ(recovering >= 1, output_corrupt);
        EXPECT_EQ(d.stats().errors, 0u);
    }
}

// A dropped P access unit in an intra-refresh stream: every picture that differs from the
// lossless decode comes out flagged and counted, the first unit after the gap asks for an IDR,
// and the pictures are unflagged again once the next refresh wave has passed.
TEST(H264Decoder, FlagsThePicturesALostReferencePictureDamages) {
    const Clip& clip = refresh_clip();
    constexpr std::size_t kLost = 13;
    H264Decoder lossy = open_decoder();
    H264Decoder lossless = open_decoder();
    std::size_t differing = 0, flagged = 0, last_flagged = 0;
    std::vector<std::size_t> requested;
    for (std::size_t n = 0; n < clip.units.size(); ++n) {
        const Pictures want = decoded(lossless, clip.units[n]);
        if (n == kLost) continue;
        const Pictures got = decoded(lossy, clip.units[n]);
        if (lossy.take_signal() == SyncSignal::RequestIdr) requested.push_back(n);
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(want.size(), 1u);
        const bool differs = !std::ranges::equal(got[0].y(), want[0].y()) ||
                             !std::ranges::equal(got[0].u(), want[0].u());
        EXPECT_TRUE(!differs || got[0].recovering) << "unit " << n;
        differing += differs;
        if (got[0].recovering) {
            ++flagged;
            last_flagged = n;
        }
    }
    EXPECT_GE(differing, 1u);
    // At once, and once more while the damage lasts.
    EXPECT_EQ(requested, (std::vector<std::size_t>{kLost + 1, kLost + 11}));
    EXPECT_EQ(flagged, lossy.stats().recovering);
    EXPECT_EQ(lossy.sync().counters().losses, 1u);
    EXPECT_EQ(lossless.stats().recovering, 0u);
    // Damaged until the refresh wave of the recovery point after the loss has passed.
    EXPECT_LT(last_flagged, clip.units.size() - 1);
}

TEST(H264Decoder, FlushLeavesTheDecoderUsable) {
    const Clip& clip = idr_clip();
    H264Decoder d = open_decoder();
    auto fresh = d.flush();
    ASSERT_TRUE(fresh.has_value());
    EXPECT_TRUE(fresh->empty());
    for (std::size_t n = 0; n < 5; ++n) ASSERT_EQ(decoded(d, clip.units[n]).size(), 1u);
    auto drained = d.flush();
    ASSERT_TRUE(drained.has_value());
    EXPECT_TRUE(drained->empty());
    EXPECT_FALSE(TestAccess::last_pts(d).has_value());
    // libavcodec forgot its reference pictures: the decoder starts over, as after a reset but
    // without counting one. The next P-frame is dropped, and a lower stamp is taken as it is.
    EXPECT_EQ(d.sync().state(), SyncState::Waiting);
    EXPECT_TRUE(decoded(d, clip.units[5]).empty());
    const Pictures pics = decoded(d, with(clip.units[10], 5));
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_EQ(pics[0].t_us, 5);
    EXPECT_GE(luma_psnr(pics[0], clip.pictures[10]), 30.0);
    EXPECT_EQ(d.stats(), (DecoderStats{6, 6, 0, 0}));
    EXPECT_EQ(d.sync().counters().starts, 2u);
    EXPECT_EQ(d.sync().counters().resets, 0u);
}

// A frame as libavcodec hands it out, with padded rows holding 0xEE and picture samples
// numbered by plane, row and column.
FramePtr frame_of(int format, int width, int height) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 64), 0);
    for (int i = 0; i < 3 && frame->data[i]; ++i) {
        const int rows = i == 0 ? height : (height + 1) / 2;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < frame->linesize[i]; ++c)
                frame->data[i][r * frame->linesize[i] + c] =
                    static_cast<std::uint8_t>(c < (i == 0 ? width : (width + 1) / 2)
                                                  ? i * 80 + r * 7 + c
                                                  : 0xEE);
    }
    return frame;
}

TEST(ImageFromFrame, CopiesThePlanesTightlyForAnySize) {
    for (auto [w, h] : {std::pair{17, 9}, {1, 1}, {3, 3}, {64, 48}, {2, 5}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        for (int format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}) {
            FramePtr frame = frame_of(format, w, h);
            frame->pts = 777;
            auto img = image_from_frame(*frame);
            ASSERT_TRUE(img.has_value());
            const auto uw = static_cast<std::uint32_t>(w), uh = static_cast<std::uint32_t>(h);
            ASSERT_EQ(img->width, uw);
            ASSERT_EQ(img->height, uh);
            ASSERT_EQ(img->y().size(), std::size_t{uw} * uh);
            ASSERT_EQ(img->u().size(), std::size_t{chroma_dim(uw)} * chroma_dim(uh));
            ASSERT_EQ(img->v().size(), img->u().size());
            for (int i = 0; i < 3; ++i) {
                const auto plane = img->plane(i);
                const std::uint32_t cols = i == 0 ? uw : chroma_dim(uw);
                for (std::size_t k = 0; k < plane.size(); ++k)
                    ASSERT_EQ(plane[k], static_cast<std::uint8_t>(i * 80 + (k / cols) * 7 +
                                                                  k % cols))
                        << "plane " << i << " sample " << k;
            }
            EXPECT_EQ(img->t_us, 777);
            EXPECT_FALSE(img->recovering);
        }
    }
    // 17x9 is the odd size libavcodec gives for a cropped stream: 9 rows of 17, 5 rows of 9.
    FramePtr frame = frame_of(AV_PIX_FMT_YUV420P, 17, 9);
    frame->pts = AV_NOPTS_VALUE;
    frame->flags |= AV_FRAME_FLAG_CORRUPT;
    auto img = image_from_frame(*frame);
    ASSERT_TRUE(img.has_value());
    EXPECT_EQ(img->u().size(), 45u);
    EXPECT_EQ(img->t_us, 0);
    EXPECT_TRUE(img->recovering);
}

TEST(ImageFromFrame, SharesATightlyPackedFrame) {
    // Line sizes 128, 64, 64: the layout of a picture.
    FramePtr frame = frame_of(AV_PIX_FMT_YUV420P, 128, 6);
    ASSERT_EQ(frame->linesize[1], 64);
    auto img = image_from_frame(*frame);
    ASSERT_TRUE(img.has_value());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(img->plane(i).data(), frame->data[i]);
    EXPECT_EQ(img->u().size(), 64u * 3u);
    // The image holds its own reference: the samples stay after the frame lets go.
    av_frame_unref(frame.get());
    for (int i = 0; i < 3; ++i) {
        const auto plane = img->plane(i);
        const std::size_t cols = i == 0 ? 128 : 64;
        for (std::size_t k = 0; k < plane.size(); ++k)
            ASSERT_EQ(plane[k], static_cast<std::uint8_t>(i * 80 + (k / cols) * 7 + k % cols));
    }
    // A frame without reference-counted buffers is copied.
    FramePtr tight = frame_of(AV_PIX_FMT_YUV420P, 128, 6);
    AVFrame bare = *tight;
    for (AVBufferRef*& buf : bare.buf) buf = nullptr;
    auto copied = image_from_frame(bare);
    ASSERT_TRUE(copied.has_value());
    EXPECT_NE(copied->y().data(), tight->data[0]);
    EXPECT_TRUE(std::ranges::equal(copied->y(), std::span(tight->data[0], 128 * 6)));
}

// libavcodec never writes into a frame it has output, and recycled storage is not handed out
// again while a picture in it lives: a picture held across 200 later decodes stays bit-exact.
// 256 wide shares libavcodec's frames, 160 wide copies them.
TEST(H264Decoder, HeldPictureStaysBitExact) {
    for (const auto& [w, h] : {std::pair{256u, 64u}, {160u, 96u}}) {
        SCOPED_TRACE(std::to_string(w));
        const Clip clip = encode_clip(w, h, 201, false, 30);
        ASSERT_EQ(clip.units.size(), 201u);
        H264Decoder d = open_decoder();
        const Pictures held = decoded(d, clip.units[0]);
        ASSERT_EQ(held.size(), 1u);
        std::vector<std::uint8_t> before;
        for (int i = 0; i < 3; ++i)
            before.insert(before.end(), held[0].plane(i).begin(), held[0].plane(i).end());
        for (std::size_t n = 1; n < clip.units.size(); ++n)
            ASSERT_EQ(decoded(d, clip.units[n]).size(), 1u);
        std::vector<std::uint8_t> after;
        for (int i = 0; i < 3; ++i)
            after.insert(after.end(), held[0].plane(i).begin(), held[0].plane(i).end());
        EXPECT_EQ(after, before);
        EXPECT_GE(luma_psnr(held[0], clip.pictures[0]), 30.0);
    }
}

TEST(ImageFromFrame, RefusesOtherPixelFormatsByEnumeratorName) {
    const std::vector<std::pair<int, std::string>> cases{
        {AV_PIX_FMT_YUV422P, "YUV422P"},     {AV_PIX_FMT_YUV444P, "YUV444P"},
        {AV_PIX_FMT_NV12, "NV12"},           {AV_PIX_FMT_GRAY8, "GRAY8"},
        {AV_PIX_FMT_YUV420P10LE, "YUV420P10LE"}, {AV_PIX_FMT_GBRP, "GBRP"},
    };
    for (const auto& [format, name] : cases) {
        FramePtr frame = frame_of(format, 16, 16);
        auto img = image_from_frame(*frame);
        ASSERT_FALSE(img.has_value()) << name;
        EXPECT_EQ(img.error().display(), "unsupported: decoded pixel format " + name);
    }
    FramePtr none(av_frame_alloc());
    EXPECT_EQ(image_from_frame(*none).error().display(),
              "unsupported: decoded pixel format None");
    EXPECT_EQ(pixel_format_enumerator(AV_PIX_FMT_MONOWHITE), "MONOWHITE");
}

// Hand-built streams: I_PCM pictures of one flat luma value and P pictures of skipped
// macroblocks, so every sample of every picture is known.
namespace hb = h264_bits;

// 128x32: eight macroblocks a row, two rows of a frame or one of a field.
const hb::Sps kFieldSps{.log2_max_frame_num = 4, .poc_type = 0, .width_mbs = 8,
                        .height_map_units = 1, .frame_mbs_only = false,
                        .max_num_ref_frames = 8};
const hb::Sps kFrameSps{.log2_max_frame_num = 4, .poc_type = 2, .width_mbs = 2,
                        .height_map_units = 2};

AccessUnit built(const hb::Sps& sps, const hb::Picture& p, std::int64_t t_us,
                 std::optional<std::uint32_t> recovery_cnt = {}) {
    Bytes bytes = hb::picture_au(sps, p);
    if (recovery_cnt) {
        // A recovery point alone in its SEI.
        hb::BitWriter payload;
        payload.ue(*recovery_cnt);
        payload.bits(0b1000, 4);  // exact_match, broken_link, changing_slice_group_idc
        Bytes rbsp{6, static_cast<std::uint8_t>(payload.rbsp().size())};
        const Bytes body = payload.rbsp();
        rbsp.insert(rbsp.end(), body.begin(), body.end());
        rbsp.push_back(0x80);
        Bytes sei = hb::annexb({hb::nal_unit(0x06, rbsp)});
        sei.insert(sei.end(), bytes.begin(), bytes.end());
        bytes = std::move(sei);
    }
    AccessUnit au = raw_au(std::move(bytes), p.idr, t_us);
    au.recovery = recovery_cnt.has_value();
    return au;
}

// A released field that libavcodec may still fill in must not change under the caller, and a
// completed frame must not come out a second time.
TEST(H264Decoder, ReleasedFieldPicturesNeverChangeAndComeOutOnce) {
    H264Decoder d = open_decoder();
    const std::vector<AccessUnit> units{
        // POC steps of at most 2, so libavcodec holds nothing back for reordering; the lone
        // top field of frame_num 3 comes out at once, and its bottom field comes later.
        built(kFieldSps, {.idr = true, .bottom = false, .pcm = 80, .poc_lsb = 0}, 1000),
        built(kFieldSps, {.frame_num = 0, .bottom = true, .pcm = 80, .poc_lsb = 1}, 1001),
        built(kFieldSps, {.frame_num = 1, .bottom = false, .pcm = 80, .poc_lsb = 2}, 2000),
        built(kFieldSps, {.frame_num = 2, .bottom = false, .pcm = 80, .poc_lsb = 2}, 3000),
        built(kFieldSps, {.frame_num = 3, .bottom = false, .pcm = 80, .poc_lsb = 2}, 4000),
        built(kFieldSps, {.frame_num = 3, .bottom = true, .pcm = 200, .poc_lsb = 3}, 4001),
        built(kFieldSps, {.frame_num = 4, .bottom = false, .pcm = 80, .poc_lsb = 4}, 5000),
        built(kFieldSps, {.frame_num = 4, .bottom = true, .pcm = 80, .poc_lsb = 5}, 5001),
    };
    std::vector<Image> out;
    std::vector<Bytes> at_release;
    for (const AccessUnit& au : units) {
        for (Image& img : decoded(d, au)) {
            at_release.emplace_back(img.y().begin(), img.y().end());
            out.push_back(std::move(img));
        }
    }
    ASSERT_GE(out.size(), 2u);
    std::vector<std::int64_t> stamps;
    for (std::size_t i = 0; i < out.size(); ++i) {
        stamps.push_back(out[i].t_us);
        EXPECT_TRUE(std::ranges::equal(out[i].y(), at_release[i])) << out[i].t_us;
        EXPECT_EQ(out[i].y()[0], 80) << out[i].t_us;
    }
    std::ranges::sort(stamps);
    EXPECT_TRUE(std::ranges::adjacent_find(stamps) == stamps.end());
    EXPECT_EQ(stamps, (std::vector<std::int64_t>{1000, 4000, 5000}));
    // The lone field came out with its lines repeated, and stays so.
    EXPECT_EQ(out[1].y()[128], 80);
}

// A recovery point names the picture that makes the stream whole by frame_num; pictures
// before it stay flagged, however many access units that takes.
TEST(H264Decoder, RecoveryPointCountsFrameNumNotAccessUnits) {
    const std::vector<AccessUnit> units{
        built(kFrameSps, {.idr = true, .pcm = 50}, 0),
        built(kFrameSps, {.frame_num = 1}, 1),
        built(kFrameSps, {.frame_num = 2, .pcm = 90}, 2),  // lost
        built(kFrameSps, {.frame_num = 3}, 3, 2),          // recovery point: frame_num 5
        built(kFrameSps, {.nal_ref_idc = 0, .frame_num = 4}, 4),
        built(kFrameSps, {.frame_num = 4}, 5),
        built(kFrameSps, {.nal_ref_idc = 0, .frame_num = 5}, 6),
        built(kFrameSps, {.frame_num = 5, .pcm = 90}, 7),
        built(kFrameSps, {.frame_num = 6}, 8),
    };
    H264Decoder lossy = open_decoder();
    std::string flags, wrong;
    for (std::size_t n = 0; n < units.size(); ++n) {
        if (n == 2) continue;
        for (const Image& img : decoded(lossy, units[n])) {
            flags += img.recovering ? 'R' : '.';
            wrong += img.y()[0] == (n < 2 ? 50 : 90) ? '.' : 'W';
        }
    }
    EXPECT_EQ(wrong, ".." "WWWW" "..");
    EXPECT_EQ(flags, ".." "RRRR" "..");
}

// A unit that arrived incomplete damages its own picture, and the stream when it is a
// reference picture: flagged until an IDR picture, counted, asked for at once.
TEST(H264Decoder, IncompleteUnitsDamageThePictureOrTheStream) {
    struct Case {
        const char* what;
        std::uint8_t ref;
        std::string flags;
        std::uint64_t losses;
        bool request;
    };
    for (const Case& c : {Case{"reference", 2, "." "R" "RR" ".", 1, true},
                          Case{"non-reference", 0, "." "R" ".." ".", 0, false}}) {
        H264Decoder d = open_decoder();
        std::vector<AccessUnit> units{
            built(kFrameSps, {.idr = true, .pcm = 50}, 0),
            built(kFrameSps, {.nal_ref_idc = c.ref, .frame_num = 1}, 1),
            built(kFrameSps, {.frame_num = c.ref ? 2u : 1u}, 2),
            built(kFrameSps, {.frame_num = c.ref ? 3u : 2u}, 3),
            built(kFrameSps, {.idr = true, .pcm = 60}, 4),
        };
        units[1].complete = false;
        std::string flags;
        std::vector<std::size_t> requests;
        for (std::size_t n = 0; n < units.size(); ++n) {
            for (const Image& img : decoded(d, units[n])) flags += img.recovering ? 'R' : '.';
            if (d.take_signal() == SyncSignal::RequestIdr) requests.push_back(n);
        }
        EXPECT_EQ(flags, c.flags) << c.what;
        EXPECT_EQ(d.sync().counters().losses, c.losses) << c.what;
        EXPECT_EQ(requests, c.request ? std::vector<std::size_t>{1} : std::vector<std::size_t>{})
            << c.what;
    }
}

// Parameter sets arriving on their own, as a session description or a transport sends them:
// kept for the pictures that need them, never fed, never an error or a reset.
TEST(H264Decoder, ParameterSetsOnTheirOwnAreKeptNotFed) {
    const Clip& clip = idr_clip();
    H264Decoder d = open_decoder();
    for (std::size_t n = 0; n < 3; ++n) ASSERT_EQ(decoded(d, clip.units[n]).size(), 1u);
    AccessUnit sets = raw_au(*d.sync().param_sets(), false, 99);
    sets.config = true;
    EXPECT_TRUE(decoded(d, sets).empty());
    for (std::size_t n = 3; n < clip.units.size(); ++n)
        ASSERT_EQ(decoded(d, clip.units[n]).size(), 1u) << n;
    EXPECT_EQ(d.stats().errors, 0u);
    EXPECT_EQ(d.stats().fed, clip.units.size());

    // SPS and PPS in units of their own, then a bare recovery point: both are kept by id.
    const Clip& refresh = refresh_clip();
    const Bytes both = *extract_param_sets(refresh.units[10].bytes());
    H264Decoder joining = open_decoder();
    for (const NalUnit& nal : nal_units(both))
        EXPECT_TRUE(decoded(joining, raw_au(Bytes(both.begin() + static_cast<std::ptrdiff_t>(
                                                          nal.start_code),
                                                  both.begin() + static_cast<std::ptrdiff_t>(
                                                                     nal.end)),
                                            false))
                        .empty());
    EXPECT_EQ(*joining.sync().param_sets(), both);
    std::size_t clean = 0;
    for (std::size_t n = 10; n < refresh.units.size(); ++n) {
        for (const Image& img : decoded(joining, bare(refresh.units[n]))) clean += !img.recovering;
    }
    EXPECT_EQ(joining.stats().errors, 0u);
    EXPECT_GE(clean, 10u);
}

// Decodes `clip` losing the units of `lost`, beside a lossless decoder; returns the units
// whose picture differs from the lossless one and is not flagged, and counts the flagged.
struct LossyRun {
    std::vector<std::size_t> unflagged_wrong;
    std::size_t wrong = 0;
    std::size_t flagged = 0;
    std::vector<std::size_t> requests;
    std::uint64_t losses = 0;
};
LossyRun lossy_run(const Clip& clip, const std::function<std::optional<AccessUnit>(
                                         std::size_t, const AccessUnit&)>& deliver) {
    H264Decoder lossy = open_decoder();
    H264Decoder lossless = open_decoder();
    LossyRun out;
    for (std::size_t n = 0; n < clip.units.size(); ++n) {
        const Pictures want = decoded(lossless, clip.units[n]);
        const std::optional<AccessUnit> au = deliver(n, clip.units[n]);
        if (!au) continue;
        const Pictures got = decoded(lossy, *au);
        if (lossy.take_signal() == SyncSignal::RequestIdr) out.requests.push_back(n);
        for (const Image& img : got) {
            const auto same = std::ranges::find(want, img.t_us, &Image::t_us);
            const bool differs = same == want.end() || !std::ranges::equal(img.y(), same->y());
            out.wrong += differs;
            out.flagged += img.recovering;
            if (differs && !img.recovering) out.unflagged_wrong.push_back(n);
        }
    }
    out.losses = lossy.sync().counters().losses;
    return out;
}

// x264 here wraps frame_num every 16 units: a burst of 15 or 16 lost units brings it round to
// a value that looks right. The capture stamps tell.
TEST(H264Decoder, BurstsThatWrapFrameNumAreSeenInTheStamps) {
    static const Clip clip = encode_clip(64, 48, 80, false, 1000);
    for (const std::size_t burst : {14u, 15u, 16u, 17u, 31u, 32u}) {
        const LossyRun run = lossy_run(clip, [&](std::size_t n, const AccessUnit& au) {
            return n >= 20 && n < 20 + burst ? std::nullopt : std::optional<AccessUnit>(au);
        });
        EXPECT_EQ(run.unflagged_wrong, std::vector<std::size_t>{}) << burst;
        EXPECT_EQ(run.losses, 1u) << burst;
        // At once (and again while no IDR picture answers).
        ASSERT_FALSE(run.requests.empty());
        EXPECT_EQ(run.requests.front(), 20 + burst) << burst;
    }
}

// A unit cut short by the network, passed on as if complete: libavcodec conceals the damage
// and says so; a concealed reference picture damages the stream from there on.
TEST(H264Decoder, ConcealedReferencePicturesDamageTheStream) {
    for (const double keep : {0.5, 0.9}) {
        const LossyRun run = lossy_run(idr_clip(), [&](std::size_t n, const AccessUnit& au) {
            if (n != 5) return std::optional<AccessUnit>(au);
            const auto bytes = au.bytes();
            AccessUnit cut = au;
            cut.data = SharedBytes::copy_of(
                bytes.first(static_cast<std::size_t>(static_cast<double>(bytes.size()) * keep)));
            return std::optional<AccessUnit>(cut);
        });
        EXPECT_EQ(run.unflagged_wrong, std::vector<std::size_t>{}) << keep;
        EXPECT_GE(run.wrong, 1u) << keep;
        EXPECT_EQ(run.losses, 1u) << keep;
        EXPECT_EQ(run.requests, std::vector<std::size_t>{5}) << keep;
    }
}

// A P unit with the middle of its slice missing (head and tail joined into one NAL unit),
// passed on as incomplete, then the IDR picture asked for: that IDR picture decodes exactly as
// in a lossless decode, whatever the spliced slice left behind. (libavcodec keeps something of
// such a slice through a flush: the IDR picture after it came out a few samples off, 73 dB.)
// With intra refresh instead, every picture that differs is flagged until the refresh ends.
TEST(H264Decoder, TheIdrAfterAnIncompleteUnitDecodesBitExact) {
    constexpr std::size_t kDamaged = 20, kIdr = 21, kCount = 40;
    for (const bool refresh : {false, true}) {
        SCOPED_TRACE(refresh ? "intra refresh" : "IDR");
        EncoderConfig config;
        config.width = 160;
        config.height = 128;
        config.backend = EncoderBackend::X264;
        config.intra_refresh = refresh;
        config.keyframe_interval = refresh ? 10 : 1000;
        auto encoder = H264Encoder::open(config, nullptr);
        ASSERT_TRUE(encoder.has_value());
        std::vector<AccessUnit> units;
        for (std::uint32_t n = 0; n < kCount; ++n) {
            auto out = encoder->encode(source_picture(160, 128, n).as_raw(1000 * n),
                                       n == kIdr && !refresh);
            ASSERT_TRUE(out && out->size() == 1u);
            (*out)[0].encoded_us.reset();
            units.push_back((*out)[0]);
        }
        for (const std::size_t cut : {std::size_t{1}, std::size_t{3}}) {
            H264Decoder lossy = open_decoder();
            H264Decoder lossless = open_decoder();
            bool last_same = false;
            for (std::size_t n = 0; n < kCount; ++n) {
                const Pictures want = decoded(lossless, units[n]);
                AccessUnit au = units[n];
                if (n == kDamaged) {
                    // Keep the first quarter of the unit and a piece of its end, joined.
                    const auto bytes = au.bytes();
                    const std::size_t quarter = bytes.size() / 4;
                    Bytes spliced(bytes.begin(),
                                  bytes.begin() + static_cast<std::ptrdiff_t>(quarter));
                    spliced.insert(spliced.end(),
                                   bytes.end() - static_cast<std::ptrdiff_t>(quarter * cut / 3),
                                   bytes.end());
                    au.data = SharedBytes(std::move(spliced));
                    au.complete = false;
                }
                const Pictures got = decoded(lossy, au);
                ASSERT_EQ(got.size(), want.size()) << n;
                for (std::size_t i = 0; i < got.size(); ++i) {
                    const bool same = std::ranges::equal(got[i].y(), want[i].y()) &&
                                      std::ranges::equal(got[i].u(), want[i].u()) &&
                                      std::ranges::equal(got[i].v(), want[i].v());
                    EXPECT_TRUE(same || got[i].recovering) << "unit " << n;
                    if (n >= kIdr && !refresh) {
                        EXPECT_TRUE(same) << "unit " << n;
                        EXPECT_FALSE(got[i].recovering) << "unit " << n;
                    }
                    last_same = same && !got[i].recovering;
                }
            }
            EXPECT_TRUE(last_same);
        }
    }
}

}  // namespace
