// What an H.264 encoder is opened with: the configuration, the backend choice, the values the
// codec derives from them, and the lock-free control handle through which any thread asks for
// an IDR picture or a new bitrate.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

struct AVCodecContext;

namespace talmiro_media {

// Which libavcodec encoder to use. `Auto` tries NVENC first, then x264; an open encoder always
// reports the one that opened, never `Auto`.
enum class EncoderBackend : std::uint8_t { Auto, X264, Nvenc };

// Every backend's name, in the order of `EncoderBackend`: "auto", "x264", "nvenc". The one list
// messages and the module's backend tuple are made from.
std::span<const std::string_view> backend_names() noexcept;
// "auto", "x264" or "nvenc".
std::string_view backend_name(EncoderBackend backend) noexcept;
// The backend a text names, ignoring ASCII case: "x264" or "libx264", "nvenc" or "h264_nvenc",
// "auto"; none for any other text.
std::optional<EncoderBackend> parse_backend(std::string_view text) noexcept;
// The libavcodec encoder name: "libx264" or "h264_nvenc" ("" for `Auto`).
std::string_view encoder_name(EncoderBackend backend) noexcept;
// The backends tried, in order: (Nvenc, X264) for `Auto`, else the backend alone.
std::span<const EncoderBackend> backend_candidates(EncoderBackend backend) noexcept;

struct EncoderConfig {
    // Absent: "ultrafast" for x264, "p2" for nvenc.
    std::optional<std::string> preset;
    // Absent: "zerolatency" for x264, "ull" for nvenc.
    std::optional<std::string> tune;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t fps = 30;
    std::uint32_t bitrate_kbps = 2000;
    // IDR or refresh period in pictures; 0 means one second (`fps` pictures).
    std::uint32_t keyframe_interval = 0;
    // Periodic intra refresh instead of periodic IDR pictures.
    bool intra_refresh = true;
    EncoderBackend backend = EncoderBackend::Auto;
    // The format the codec is opened in: I420 or NV12 only.
    PictureFormat pixel_format = PictureFormat::I420;
};

// The largest value libavcodec's `int` fields take; larger counts saturate at it.
std::int32_t saturate_int(std::uint64_t value) noexcept;

// The GOP the codec is given: `keyframe_interval`, or `fps` (at least 1) when that is 0,
// saturated at the largest `int`.
std::uint32_t encoder_gop(const EncoderConfig& config) noexcept;
// kbit/s as bit/s.
std::int64_t bit_rate_bps(std::uint32_t kbps) noexcept;
// The rate-control buffer in bits: two pictures' worth for nvenc ((kbps*1000 / fps) * 2, fps 0
// taken as 1), one second's worth for x264; saturated at the largest `int`.
std::int32_t rc_buffer_bits(EncoderBackend backend, std::uint32_t kbps, std::uint32_t fps) noexcept;

// The format the codec is opened in for pictures read as `input`: NV12 for NV12 pictures, I420
// for every other (packed RGB pictures are converted into I420).
PictureFormat codec_format(PictureFormat input) noexcept;

// The configuration checks of opening, in order: size (even, >= 16), fps, bitrate, codec pixel
// format. The first that fails gives its `Unsupported` error.
std::optional<MediaError> check_encoder_config(const EncoderConfig& config);

// The size check of every picture an encoder takes: a `width` x `height` picture for an
// encoder of `config`'s size, else `BadImage` "picture {w}x{h} for a {W}x{H} encoder".
std::optional<MediaError> check_picture_size(std::uint32_t width, std::uint32_t height,
                                             const EncoderConfig& config);

// Sets the context fields and the options (through `set_option`, results ignored) for one
// backend on a freshly allocated context of that backend's encoder.
void configure_codec_context(AVCodecContext& ctx, const EncoderConfig& config,
                             EncoderBackend backend);

// The largest target bitrate in kbit/s: libavcodec keeps bit rates in an `int` of bit/s.
inline constexpr std::uint32_t kMaxBitrateKbps = std::numeric_limits<std::int32_t>::max() / 1000;

// Shared between an encoder and whoever steers it; every operation is a single atomic access,
// safe from any thread at any time, also while another thread is inside the encoder.
class EncoderControl {
public:
    EncoderControl() noexcept = default;
    EncoderControl(const EncoderControl&) = delete;
    EncoderControl& operator=(const EncoderControl&) = delete;

    // The next picture becomes an IDR picture; requests before it coalesce but all count.
    void request_idr() noexcept {
        idr_pending_.store(true, std::memory_order_release);
        idr_requests_.fetch_add(1, std::memory_order_relaxed);
    }
    // A new target bitrate for the next picture; a value still pending is replaced. Refused
    // (false, nothing pending changes) unless 1 <= kbps <= kMaxBitrateKbps.
    bool set_bitrate_kbps(std::uint32_t kbps) noexcept {
        if (kbps == 0 || kbps > kMaxBitrateKbps) return false;
        pending_bitrate_kbps_.store(kbps, std::memory_order_release);
        return true;
    }
    std::uint64_t idr_requests() const noexcept {
        return idr_requests_.load(std::memory_order_relaxed);
    }

    // The encoder's side: take over (and clear) what is pending. 0 means no bitrate pending.
    std::uint32_t take_bitrate_kbps() noexcept {
        return pending_bitrate_kbps_.exchange(0, std::memory_order_acq_rel);
    }
    bool take_idr_request() noexcept {
        return idr_pending_.exchange(false, std::memory_order_acq_rel);
    }
    // Gives back a request taken for a picture that never reached the codec.
    void restore_idr_request() noexcept { idr_pending_.store(true, std::memory_order_release); }

private:
    std::atomic<std::uint64_t> idr_requests_{0};
    std::atomic<std::uint32_t> pending_bitrate_kbps_{0};
    std::atomic<bool> idr_pending_{false};

    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace talmiro_media
