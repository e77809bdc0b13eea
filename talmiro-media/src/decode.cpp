// The H.264 decoder around libavcodec behind the sync policy, and decoded frames made images.
#include "talmiro_media/decode.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "ascii.hpp"

namespace talmiro_media {

namespace {

constexpr std::int64_t kNoTimestamp = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kLastTimestamp = std::numeric_limits<std::int64_t>::max();
// More access units than libavcodec can hold back (its reorder depth is at most 16).
constexpr std::size_t kMaxPending = 32;
static_assert(kNoTimestamp == AV_NOPTS_VALUE);

// Formats whose libav name is not their enumerator in lower case.
struct EnumeratorName {
    AVPixelFormat format;
    const char* name;
};
constexpr std::array<EnumeratorName, 5> kEnumeratorNames{{
    {AV_PIX_FMT_GRAY8, "GRAY8"},
    {AV_PIX_FMT_MONOWHITE, "MONOWHITE"},
    {AV_PIX_FMT_MONOBLACK, "MONOBLACK"},
    {AV_PIX_FMT_VIDEOTOOLBOX, "VIDEOTOOLBOX"},
    {AV_PIX_FMT_AMF_SURFACE, "AMF_SURFACE"},
}};

// Plane `index` of the frame as `rows` rows of `cols` bytes into `out`, each row taken at the
// plane's line size.
void copy_plane(const AVFrame& frame, int index, std::uint32_t rows, std::uint32_t cols,
                std::span<std::uint8_t> out) {
    if (cols == 0) return;
    const std::uint8_t* src = frame.data[index];
    const std::ptrdiff_t stride = frame.linesize[index];
    std::uint8_t* dst = out.data();
    for (std::uint32_t r = 0; r < rows; ++r, dst += cols)
        std::memcpy(dst, src + stride * static_cast<std::ptrdiff_t>(r), cols);
}

}  // namespace

std::string pixel_format_enumerator(int format) {
    if (format == AV_PIX_FMT_NONE) return "None";
    for (const EnumeratorName& entry : kEnumeratorNames)
        if (entry.format == format) return entry.name;
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    if (!name) return std::to_string(format);
    std::string out(name);
    std::transform(out.begin(), out.end(), out.begin(), ascii_upper);
    return out;
}

Result<Image> image_from_frame(const AVFrame& frame, ImagePool* pool, bool share) {
    // Full-range 4:2:0 has the same layout and is taken as it is.
    if (frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUVJ420P)
        return std::unexpected(MediaError::unsupported("decoded pixel format " +
                                                       pixel_format_enumerator(frame.format)));
    const auto width = static_cast<std::uint32_t>(frame.width > 0 ? frame.width : 0);
    const auto height = static_cast<std::uint32_t>(frame.height > 0 ? frame.height : 0);
    const std::uint32_t cw = chroma_dim(width);
    const std::uint32_t ch = chroma_dim(height);
    // A frame whose planes cannot hold its rows is not read from.
    const std::array<std::uint32_t, 3> cols{width, cw, cw};
    for (int i = 0; i < 3; ++i) {
        const std::uint32_t rows = i == 0 ? height : ch;
        if (rows == 0 || cols[i] == 0) continue;
        const long long stride = frame.linesize[i];
        if (!frame.data[i] || stride < static_cast<long long>(cols[i]))
            return std::unexpected(MediaError::ffmpeg(AVERROR(EINVAL)));
    }
    const std::int64_t t_us = frame.pts == AV_NOPTS_VALUE ? 0 : frame.pts;
    const bool recovering =
        (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0;
    const std::array<std::uint32_t, 3> rows{height, ch, ch};
    bool packed = share && frame.buf[0] != nullptr;
    for (int i = 0; i < 3; ++i)
        packed = packed && frame.linesize[i] == static_cast<long long>(cols[i]);
    if (packed) {
        // Shared, not copied: the image's reference returns the frame to libavcodec's pool
        // when its last view is gone, and the caller knows libavcodec will not write into it.
        FramePtr ref(av_frame_clone(&frame));
        if (!ref) return ffmpeg_error(AVERROR(ENOMEM));
        std::array<std::span<const std::uint8_t>, 3> planes;
        for (std::size_t i = 0; i < 3; ++i)
            planes[i] = {ref->data[i], std::size_t{rows[i]} * cols[i]};
        std::shared_ptr<const AVFrame> owner(ref.release(), [](const AVFrame* f) {
            FrameDeleter{}(const_cast<AVFrame*>(f));
        });
        Image image = Image::over(std::move(owner), planes, width, height);
        image.t_us = t_us;
        image.recovering = recovering;
        return image;
    }
    Result<ImageBuilder> out = pool ? pool->take(width, height)
                                    : Result<ImageBuilder>(ImageBuilder::allocate(width, height));
    if (!out) return std::unexpected(std::move(out.error()));
    for (int i = 0; i < 3; ++i) copy_plane(frame, i, rows[i], cols[i], out->planes[i]);
    return std::move(*out).finish(t_us, recovering);
}

namespace {

// libavcodec's h264 decoder, single-threaded with LOW_DELAY.
Result<CodecContextPtr> open_h264(bool output_corrupt, std::uint64_t max_pixels) {
    const AVCodec* codec = find_decoder("h264");
    if (!codec)
        return std::unexpected(MediaError::unsupported("decoder h264 not in this libavcodec"));
    auto ctx = alloc_codec_context(codec);
    if (!ctx) return std::unexpected(std::move(ctx.error()));
    // One thread, no frame or slice threading: a picture comes out for the packet that made it.
    (*ctx)->thread_count = 1;
    (*ctx)->thread_type = 0;
    (*ctx)->flags = AV_CODEC_FLAG_LOW_DELAY | (output_corrupt ? AV_CODEC_FLAG_OUTPUT_CORRUPT : 0);
    (*ctx)->max_pixels = static_cast<std::int64_t>(
        std::min<std::uint64_t>(max_pixels, std::numeric_limits<std::int64_t>::max()));
    if (const int rc = avcodec_open2(ctx->get(), codec, nullptr); rc < 0) return ffmpeg_error(rc);
    return std::move(*ctx);
}

}  // namespace

Result<H264Decoder> H264Decoder::open(SyncConfig config, bool output_corrupt,
                                      std::uint64_t max_pixels) {
    ffmpeg_init();
    auto ctx = open_h264(output_corrupt, max_pixels);
    if (!ctx) return std::unexpected(std::move(ctx.error()));
    auto frame = alloc_frame();
    if (!frame) return std::unexpected(std::move(frame.error()));
    H264Decoder decoder(config, std::move(*ctx), std::move(*frame));
    decoder.output_corrupt_ = output_corrupt;
    decoder.max_pixels_ = max_pixels;
    return decoder;
}

H264Decoder::H264Decoder(SyncConfig config, CodecContextPtr ctx, FramePtr frame) noexcept
    : sync_(config), frame_(std::move(frame)), ctx_(std::move(ctx)) {}

std::optional<SyncSignal> H264Decoder::take_signal() noexcept {
    const std::optional<SyncSignal> signal = last_signal_;
    last_signal_.reset();
    return signal;
}

Result<std::vector<Image>> H264Decoder::decode(const AccessUnit& au) {
    SyncVerdict verdict = sync_.push(au);
    last_signal_ = verdict.signal;
    if (verdict.signal == SyncSignal::Reset) discard_held();
    if (!verdict.au) return std::vector<Image>{};
    // A start point never inherits pictures or timestamps from before it.
    if (verdict.start) discard_held();
    // A unit that lost its middle leaves libavcodec in a state no flush clears (an IDR picture
    // after it decodes wrong): the IDR picture that follows damage gets a fresh decoder.
    if (tainted_ && verdict.idr) {
        auto fresh = open_h264(output_corrupt_, max_pixels_);
        if (!fresh) return reset_after_error(std::move(fresh.error()));
        ctx_ = std::move(*fresh);
        pending_.clear();
        released_field_pts_.reset();
        tainted_ = false;
        // The fresh decoder knows no parameter sets yet: every one kept goes in front.
        if (const auto& sets = sync_.param_sets())
            verdict.au = SharedBytes(concat_bytes(*sets, verdict.au->bytes()));
    }
    if (!au.complete) tainted_ = true;

    const auto pts = next_pts(au.t_us);
    if (!pts) return std::unexpected(pts.error());
    if (auto sent = send(verdict.au->bytes(), *pts, verdict.key); !sent)
        return std::unexpected(sent.error());
    // A field is completed (or left alone for good) by the unit after it: libavcodec writes
    // into its frame no more once this one is in.
    if (!pending_.empty()) pending_.back().first_field = false;
    // Pictures that never come out (libavcodec may skip one) must not pile up.
    if (pending_.size() >= kMaxPending) pending_.erase(pending_.begin());
    pending_.push_back({*pts, verdict.damaged, verdict.reference, verdict.first_field});
    return receive_pictures();
}

Result<std::vector<Image>> H264Decoder::flush() {
    if (const int rc = avcodec_send_packet(ctx_.get(), nullptr); rc < 0) return ffmpeg_error(rc);
    // The signal stays the last decode's: the stream starts over anyway.
    const std::optional<SyncSignal> signal = last_signal_;
    Result<std::vector<Image>> pictures = receive_pictures();
    last_signal_ = signal;
    // Leaves draining mode, so packets are taken again. libavcodec has dropped its reference
    // pictures: what follows decodes only from a start point.
    discard_held();
    sync_.restart();
    return pictures;
}

Result<std::int64_t> H264Decoder::next_pts(std::int64_t t_us) {
    if (t_us == kNoTimestamp)
        return reset_after_error(
            MediaError::unsupported("t_us i64::MIN is the decoder's no-timestamp marker"));
    std::int64_t pts = t_us;
    if (last_pts_ && t_us <= *last_pts_) {
        if (*last_pts_ == kLastTimestamp)
            return reset_after_error(MediaError::unsupported(
                "t_us " + std::to_string(t_us) + " after a packet at t_us " +
                std::to_string(*last_pts_) + ": no later pts exists"));
        pts = *last_pts_ + 1;
    }
    last_pts_ = pts;
    return pts;
}

Result<void> H264Decoder::send(std::span<const std::uint8_t> bytes, std::int64_t pts, bool key) {
    // av_new_packet takes an int size and adds its padding to it.
    if (bytes.size() > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        return reset_after_error(MediaError::ffmpeg(AVERROR(EINVAL)));
    auto packet = alloc_packet();
    if (!packet) return reset_after_error(std::move(packet.error()));
    if (const int rc = av_new_packet(packet->get(), static_cast<int>(bytes.size())); rc < 0)
        return reset_after_error(MediaError::ffmpeg(rc));
    if (!bytes.empty()) std::memcpy((*packet)->data, bytes.data(), bytes.size());
    (*packet)->pts = pts;
    (*packet)->dts = pts;
    (*packet)->flags = key ? AV_PKT_FLAG_KEY : 0;

    ++stats_.fed;
    if (const int rc = avcodec_send_packet(ctx_.get(), packet->get()); rc < 0)
        return reset_after_error(MediaError::ffmpeg(rc));
    return {};
}

Result<std::vector<Image>> H264Decoder::receive_pictures() {
    std::vector<Image> pictures;
    for (;;) {
        const int rc = avcodec_receive_frame(ctx_.get(), frame_.get());
        if (rc == AVERROR_EOF || rc == AVERROR(EAGAIN)) return pictures;
        if (rc < 0) return reset_after_error(MediaError::ffmpeg(rc));
        Result<std::optional<Image>> image = release_picture();
        av_frame_unref(frame_.get());
        if (!image) return std::unexpected(std::move(image.error()));
        if (*image) pictures.push_back(std::move(**image));
    }
}

Result<std::optional<Image>> H264Decoder::release_picture() {
    const std::int64_t pts = frame_->pts;
    // A field released before its pair came out again, completed: the same picture twice.
    if (released_field_pts_ == pts) return std::optional<Image>{};
    const std::optional<Pending> facts = take_pending(pts);
    // A lone first field is copied: the second field is still to be written into its frame.
    const bool first_field = !facts || facts->first_field;
    Result<Image> image = image_from_frame(*frame_, &pool_, !first_field);
    if (!image) return std::unexpected(std::move(image.error()));
    if (facts && facts->first_field) released_field_pts_ = pts;
    if (facts && facts->damaged) image->recovering = true;
    // libavcodec concealed what it could not decode: a reference picture so patched spreads
    // its damage to every picture that refers to it.
    if (frame_->decode_error_flags != 0) tainted_ = true;
    if (frame_->decode_error_flags != 0 && (!facts || facts->reference)) {
        const std::optional<SyncSignal> signal = sync_.reference_concealed();
        if (signal && !last_signal_) last_signal_ = signal;
    }
    if (image->recovering) ++stats_.recovering;
    sync_.picture_out();
    ++stats_.images;
    return std::optional<Image>(std::move(*image));
}

void H264Decoder::discard_held() noexcept {
    avcodec_flush_buffers(ctx_.get());
    last_pts_.reset();
    pending_.clear();
    released_field_pts_.reset();
}

std::optional<H264Decoder::Pending> H264Decoder::take_pending(std::int64_t pts) noexcept {
    const auto it = std::ranges::find(pending_, pts, &Pending::pts);
    if (it == pending_.end()) return std::nullopt;
    const Pending facts = *it;
    pending_.erase(it);
    return facts;
}

std::unexpected<MediaError> H264Decoder::reset_after_error(MediaError error) noexcept {
    ++stats_.errors;
    tainted_ = true;
    sync_.decoder_failed();
    discard_held();
    return std::unexpected(std::move(error));
}

}  // namespace talmiro_media
