// Encoder configuration: its checks, the backend candidates and the codec settings it gives.
#include "talmiro_media/encoder_config.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ascii.hpp"
#include "av_pixel_format.hpp"

namespace talmiro_media {

namespace {

struct FixedOption {
    std::string_view key;
    std::string_view value;
};

// Low-latency settings of each backend, set in this order after "preset" and "tune".
constexpr std::array<FixedOption, 3> kX264Options{{
    {"threads", "1"},
    {"profile", "baseline"},
    {"x264-params", "sliced-threads=0:slices=1:ref=1"},
}};
constexpr std::array<FixedOption, 8> kNvencOptions{{
    {"zerolatency", "1"},
    {"delay", "1"},
    {"bf", "0"},
    {"b_ref_mode", "0"},
    {"refs", "1"},
    {"dpb_size", "1"},
    {"profile", "baseline"},
    {"rc", "cbr"},
}};

struct BackendTraits {
    std::string_view name;
    std::string_view encoder;
    std::string_view default_preset;
    std::string_view default_tune;
    std::span<const FixedOption> options;
};

// In the order of `EncoderBackend`.
constexpr std::array<BackendTraits, 3> kBackends{{
    {"auto", "", "", "", {}},
    {"x264", "libx264", "ultrafast", "zerolatency", kX264Options},
    {"nvenc", "h264_nvenc", "p2", "ull", kNvencOptions},
}};

constexpr auto kBackendNames = [] {
    std::array<std::string_view, kBackends.size()> names{};
    for (std::size_t i = 0; i < kBackends.size(); ++i) names[i] = kBackends[i].name;
    return names;
}();

constexpr std::array<EncoderBackend, 2> kAutoCandidates{EncoderBackend::Nvenc,
                                                        EncoderBackend::X264};
constexpr std::array<EncoderBackend, 1> kX264Only{EncoderBackend::X264};
constexpr std::array<EncoderBackend, 1> kNvencOnly{EncoderBackend::Nvenc};

const BackendTraits& traits(EncoderBackend backend) noexcept {
    return kBackends[static_cast<std::size_t>(backend)];
}

std::string size_text(std::uint32_t width, std::uint32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

std::span<const std::string_view> backend_names() noexcept { return kBackendNames; }

std::string_view backend_name(EncoderBackend backend) noexcept { return traits(backend).name; }

std::optional<EncoderBackend> parse_backend(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kBackends.size(); ++i) {
        const BackendTraits& t = kBackends[i];
        if (equals_ignoring_case(text, t.name) ||
            (!t.encoder.empty() && equals_ignoring_case(text, t.encoder)))
            return static_cast<EncoderBackend>(i);
    }
    return std::nullopt;
}

std::string_view encoder_name(EncoderBackend backend) noexcept { return traits(backend).encoder; }

PictureFormat codec_format(PictureFormat input) noexcept {
    return input == PictureFormat::NV12 ? PictureFormat::NV12 : PictureFormat::I420;
}

std::span<const EncoderBackend> backend_candidates(EncoderBackend backend) noexcept {
    switch (backend) {
        case EncoderBackend::X264: return kX264Only;
        case EncoderBackend::Nvenc: return kNvencOnly;
        case EncoderBackend::Auto: break;
    }
    return kAutoCandidates;
}

std::int32_t saturate_int(std::uint64_t value) noexcept {
    return value > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<std::int32_t>(value);
}

std::uint32_t encoder_gop(const EncoderConfig& config) noexcept {
    const std::uint32_t period =
        config.keyframe_interval != 0 ? config.keyframe_interval : std::max(config.fps, 1u);
    return static_cast<std::uint32_t>(saturate_int(period));
}

std::int64_t bit_rate_bps(std::uint32_t kbps) noexcept { return std::int64_t{kbps} * 1000; }

std::int32_t rc_buffer_bits(EncoderBackend backend, std::uint32_t kbps,
                            std::uint32_t fps) noexcept {
    const std::uint64_t bps = std::uint64_t{kbps} * 1000;
    if (backend == EncoderBackend::Nvenc) return saturate_int(bps / std::max(fps, 1u) * 2);
    return saturate_int(bps);
}

std::optional<MediaError> check_encoder_config(const EncoderConfig& config) {
    const auto size_ok = [](std::uint32_t n) { return n >= 16 && n % 2 == 0; };
    if (!size_ok(config.width) || !size_ok(config.height))
        return MediaError::unsupported("picture size " + size_text(config.width, config.height) +
                                       " (need even, >= 16)");
    if (config.fps == 0) return MediaError::unsupported("fps 0");
    if (config.bitrate_kbps == 0) return MediaError::unsupported("bitrate 0");
    if (!config.pixel_format.is_yuv420())
        return MediaError::unsupported(
            "codec pixel format " + std::string(config.pixel_format.name()) +
            " (the codec takes i420 or nv12; packed RGB is a picture format, pass it in the "
            "RawImage)");
    return std::nullopt;
}

std::optional<MediaError> check_picture_size(std::uint32_t width, std::uint32_t height,
                                             const EncoderConfig& config) {
    if (width == config.width && height == config.height) return std::nullopt;
    return MediaError::bad_image("picture " + size_text(width, height) + " for a " +
                                 size_text(config.width, config.height) + " encoder");
}

void configure_codec_context(AVCodecContext& ctx, const EncoderConfig& config,
                             EncoderBackend backend) {
    const std::int32_t fps = saturate_int(std::max(config.fps, 1u));
    const std::int32_t buffer = rc_buffer_bits(backend, config.bitrate_kbps, config.fps);
    ctx.width = saturate_int(config.width);
    ctx.height = saturate_int(config.height);
    ctx.pix_fmt = av_pixel_format(config.pixel_format);
    ctx.time_base = AVRational{1, fps};
    ctx.framerate = AVRational{fps, 1};
    ctx.bit_rate = bit_rate_bps(config.bitrate_kbps);
    ctx.rc_max_rate = bit_rate_bps(config.bitrate_kbps);
    ctx.gop_size = static_cast<int>(encoder_gop(config));
    ctx.max_b_frames = 0;
    // Replaces the default flags: in particular no global header, so SPS/PPS stay in band.
    ctx.flags = AV_CODEC_FLAG_LOW_DELAY;
    ctx.rc_buffer_size = buffer;

    // Options the encoder lacks or rejects are skipped: the results are ignored on purpose.
    set_option(&ctx, "forced-idr", "1");
    if (config.intra_refresh) set_option(&ctx, "intra-refresh", "1");
    const BackendTraits& t = traits(backend);
    set_option(&ctx, "preset", config.preset ? std::string_view(*config.preset) : t.default_preset);
    set_option(&ctx, "tune", config.tune ? std::string_view(*config.tune) : t.default_tune);
    for (const FixedOption& option : t.options) set_option(&ctx, option.key, option.value);
    if (backend == EncoderBackend::Nvenc) {
        set_option(&ctx, "maxrate", std::to_string(config.bitrate_kbps) + "k");
        set_option(&ctx, "bufsize", std::to_string(buffer));
    }
}

}  // namespace talmiro_media
