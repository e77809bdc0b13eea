// The H.264 encoder around libavcodec: opening it, encoding borrowed pictures, draining it.
#include "talmiro_media/encode.hpp"

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace talmiro_media {

namespace {

std::uint64_t elapsed_us(std::int64_t since) noexcept {
    const std::int64_t d = monotonic_us() - since;
    return d > 0 ? static_cast<std::uint64_t>(d) : 0;
}

// One candidate: look the encoder up, configure a context for it and open it.
Result<CodecContextPtr> open_codec(const EncoderConfig& config, EncoderBackend backend) {
    const AVCodec* codec = find_encoder(encoder_name(backend));
    if (!codec)
        return std::unexpected(MediaError::unsupported(
            "encoder " + std::string(encoder_name(backend)) + " not in this libavcodec"));
    auto ctx = alloc_codec_context(codec);
    if (!ctx) return ctx;
    configure_codec_context(**ctx, config, backend);
    if (const int rc = avcodec_open2(ctx->get(), nullptr, nullptr); rc < 0) return ffmpeg_error(rc);
    return ctx;
}

}  // namespace

AccessUnit output_access_unit(std::span<const std::uint8_t> bytes, std::int64_t t_us,
                              std::int64_t encoded_us, ParamSetCache& cache, EncoderStats& stats) {
    AccessUnit au;
    au.encoded_us = encoded_us;
    // One walk of the bytes serves the facts and the cache.
    const std::vector<NalUnit> units = list_nal_units(bytes);
    const AuFacts facts = au_facts(bytes, units);
    au.key = facts.key;
    au.recovery = facts.recovery;
    au.t_us = t_us;
    au.data = SharedBytes::copy_of(bytes);

    // `take` sets `config` when the bytes carry SPS/PPS or got the cached ones.
    const std::uint64_t reinserted_before = cache.reinserted;
    au = cache.take(std::move(au), units, au.recovery);
    stats.reinserted += cache.reinserted - reinserted_before;

    ++stats.frames_out;
    stats.bytes += au.data.size();
    if (au.key) ++stats.idr;
    if (au.recovery) ++stats.recovery;
    return au;
}

void CaptureStamps::record(std::int64_t pts, std::int64_t t_us) { stamps_.emplace_back(pts, t_us); }

std::int64_t CaptureStamps::take(std::int64_t pts) {
    while (!stamps_.empty() && stamps_.front().first < pts) stamps_.pop_front();
    if (stamps_.empty() || stamps_.front().first != pts) return 0;
    const std::int64_t t_us = stamps_.front().second;
    stamps_.pop_front();
    return t_us;
}

void CaptureStamps::forget(std::int64_t pts) noexcept {
    if (!stamps_.empty() && stamps_.back().first == pts) stamps_.pop_back();
}

Result<H264Encoder> H264Encoder::open(EncoderConfig config,
                                      std::shared_ptr<EncoderControl> control) {
    ffmpeg_init();
    if (auto refused = check_encoder_config(config)) return std::unexpected(std::move(*refused));
    if (!control) control = std::make_shared<EncoderControl>();

    std::optional<MediaError> last_error;
    for (const EncoderBackend backend : backend_candidates(config.backend)) {
        auto ctx = open_codec(config, backend);
        if (!ctx) {
            last_error = std::move(ctx.error());
            continue;
        }
        auto frame = alloc_input_frame(config.pixel_format, config.width, config.height);
        if (!frame) return std::unexpected(std::move(frame.error()));
        auto packet = alloc_packet();
        if (!packet) return std::unexpected(std::move(packet.error()));
        auto lender = PictureLender::open();
        if (!lender) return std::unexpected(std::move(lender.error()));
        return H264Encoder(std::move(config), backend, std::move(*lender), std::move(*ctx),
                           std::move(*frame), std::move(*packet), std::move(control));
    }
    return std::unexpected(std::move(*last_error));
}

H264Encoder::H264Encoder(EncoderConfig config, EncoderBackend backend, PictureLender lender,
                         CodecContextPtr ctx, FramePtr frame, PacketPtr packet,
                         std::shared_ptr<EncoderControl> control)
    : config_(std::move(config)),
      backend_(backend),
      lender_(std::move(lender)),
      ctx_(std::move(ctx)),
      frame_(std::move(frame)),
      packet_(std::move(packet)),
      control_(std::move(control)) {}

H264Encoder& H264Encoder::operator=(H264Encoder&& other) noexcept {
    if (this != &other) {
        std::destroy_at(this);
        std::construct_at(this, std::move(other));
    }
    return *this;
}

std::vector<std::shared_ptr<const void>> H264Encoder::close() {
    ctx_.reset();
    frame_.reset();
    packet_.reset();
    return lender_.take_released();
}

std::optional<std::span<const std::uint8_t>> H264Encoder::param_sets() const noexcept {
    if (!param_cache_.sets) return std::nullopt;
    return std::span<const std::uint8_t>(*param_cache_.sets);
}

// libx264 takes new rates in two steps: the maximum rate and buffer first, then the average.
// A lower maximum would be below the average still in force after the first step (libx264
// warns and assumes CBR), so a decrease sets the average now and the maximum and buffer with
// the next picture. Every state then has the maximum at or above the average.
void H264Encoder::take_pending_bitrate() {
    if (const std::uint32_t kbps = control_->take_bitrate_kbps(); kbps != 0) {
        const bool lower = bit_rate_bps(kbps) < ctx_->bit_rate;
        ctx_->bit_rate = bit_rate_bps(kbps);
        pending_vbv_kbps_ = kbps;
        ++stats_.bitrate_changes;
        if (lower && backend_ == EncoderBackend::X264) return;
    }
    if (pending_vbv_kbps_ == 0) return;
    ctx_->rc_max_rate = bit_rate_bps(pending_vbv_kbps_);
    ctx_->rc_buffer_size = rc_buffer_bits(backend_, pending_vbv_kbps_, config_.fps);
    pending_vbv_kbps_ = 0;
}

Result<std::vector<AccessUnit>> H264Encoder::encode(const RawImage& picture, bool force_idr) {
    if (auto wrong = check_picture_size(picture.width, picture.height, config_))
        return std::unexpected(std::move(*wrong));
    if (!picture.fits())
        return std::unexpected(MediaError::bad_image("plane shorter than rows x stride"));

    // A forced picture leaves a pending request for the next picture. A request taken for this
    // picture is given back if the picture does not reach the codec, so that a refused picture
    // never uses up a receiver's request.
    const bool requested = !force_idr && control_->take_idr_request();
    const bool idr = force_idr || requested;
    const auto refuse = [&](MediaError error) -> Result<std::vector<AccessUnit>> {
        if (requested) control_->restore_idr_request();
        return std::unexpected(std::move(error));
    };

    AVFrame* frame = frame_.get();
    const bool lend = lending_ && PictureLender::lendable(picture, config_.pixel_format);
    if (lend) {
        const auto lent = lender_.lend(picture);
        if (!lent) return refuse(lent.error());
        frame = *lent;
    } else {
        const std::int64_t convert_start = monotonic_us();
        if (const int rc = av_frame_make_writable(frame); rc < 0)
            return refuse(ffmpeg_error(rc).error());
        const auto converted = fill_frame(*frame, scaler_, picture);
        if (!converted) return refuse(converted.error());
        if (*converted) {
            ++stats_.converted;
            stats_.convert_us += elapsed_us(convert_start);
        }
    }

    // Only a picture that is sent takes over a pending bitrate.
    take_pending_bitrate();
    const std::int64_t encode_start = monotonic_us();
    const std::int64_t pts = next_pts_++;
    frame->pts = pts;
    frame->pict_type = idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    stamps_.record(pts, picture.t_us);
    ++stats_.frames_in;

    Result<std::vector<AccessUnit>> result;
    if (const int rc = avcodec_send_frame(ctx_.get(), frame); rc < 0) {
        // Never entered the codec, so its stamp can never be taken.
        stamps_.forget(pts);
        result = refuse(ffmpeg_error(rc).error());
    } else {
        if (idr) ++stats_.forced_idr;
        result = receive_packets();
    }
    stats_.encode_us += elapsed_us(encode_start);
    if (lend) {
        // An encoder that keeps a lent picture past the call gets copies from now on.
        if (!lender_.settle(picture.owner)) lending_ = false;
    }
    return result;
}

Result<std::vector<AccessUnit>> H264Encoder::flush() {
    if (const int rc = avcodec_send_frame(ctx_.get(), nullptr); rc < 0) return ffmpeg_error(rc);
    return receive_packets();
}

Result<std::vector<AccessUnit>> H264Encoder::receive_packets() {
    std::vector<AccessUnit> units;
    for (;;) {
        const int rc = avcodec_receive_packet(ctx_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN)) break;
        if (rc == AVERROR_EOF) {
            // Everything is out: no stamp left can be taken any more.
            stamps_.clear();
            break;
        }
        if (rc < 0) return ffmpeg_error(rc);
        const std::int64_t encoded_us = monotonic_us();
        if (packet_->data == nullptr || packet_->size <= 0) {
            av_packet_unref(packet_.get());
            continue;
        }
        const std::span<const std::uint8_t> bytes(packet_->data,
                                                  static_cast<std::size_t>(packet_->size));
        const std::int64_t t_us =
            packet_->pts == AV_NOPTS_VALUE ? 0 : stamps_.take(packet_->pts);
        units.push_back(output_access_unit(bytes, t_us, encoded_us, param_cache_, stats_));
        av_packet_unref(packet_.get());
    }
    return units;
}

}  // namespace talmiro_media
