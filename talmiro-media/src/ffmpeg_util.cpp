// The media core's error type and the FFmpeg helpers every codec unit uses.
#include "talmiro_media/ffmpeg_util.hpp"

#include <array>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "talmiro_media/internal/ffmpeg_text.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace talmiro_media {

namespace {

struct LogLevelName {
    std::string_view name;
    int level;
};
constexpr std::array<LogLevelName, 6> kLogLevels{{
    {"quiet", AV_LOG_QUIET},
    {"error", AV_LOG_ERROR},
    {"warning", AV_LOG_WARNING},
    {"info", AV_LOG_INFO},
    {"verbose", AV_LOG_VERBOSE},
    {"debug", AV_LOG_DEBUG},
}};

bool holds_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

}  // namespace

int MediaError::code() const noexcept {
    const auto* e = std::get_if<FfmpegError>(&payload_);
    return e ? e->code : 0;
}

std::string MediaError::detail() const {
    switch (kind()) {
        case Kind::Ffmpeg: return av_error_text(std::get<FfmpegError>(payload_).code);
        case Kind::Unsupported: return std::get<UnsupportedError>(payload_).what;
        case Kind::BadImage: return std::get<BadImageError>(payload_).what;
    }
    return {};
}

std::string MediaError::display() const {
    switch (kind()) {
        case Kind::Ffmpeg: return "ffmpeg: " + detail();
        case Kind::Unsupported: return "unsupported: " + detail();
        case Kind::BadImage: return "bad image: " + detail();
    }
    return {};
}

std::string av_error_text(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> buf{};
    av_strerror(code, buf.data(), buf.size());
    buf.back() = '\0';
    return std::string(buf.data());
}

void ffmpeg_init() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_WARNING); });
}

const AVCodec* find_encoder(std::string_view name) {
    if (holds_nul(name)) return nullptr;
    return avcodec_find_encoder_by_name(std::string(name).c_str());
}

const AVCodec* find_decoder(std::string_view name) {
    if (holds_nul(name)) return nullptr;
    return avcodec_find_decoder_by_name(std::string(name).c_str());
}

bool has_encoder(std::string_view name) {
    ffmpeg_init();
    return find_encoder(name) != nullptr;
}

int log_level_value(std::string_view name) {
    for (const auto& entry : kLogLevels)
        if (entry.name == name) return entry.level;
    return AV_LOG_WARNING;
}

void set_log_level(std::string_view name) {
    ffmpeg_init();
    av_log_set_level(log_level_value(name));
}

std::string format_version(std::uint32_t packed) {
    return std::to_string(packed >> 16) + "." + std::to_string((packed >> 8) & 0xFF) + "." +
           std::to_string(packed & 0xFF);
}

std::string version_string() { return format_version(avcodec_version()); }

int set_option(void* obj, std::string_view key, std::string_view value) {
    if (holds_nul(key) || holds_nul(value)) return -1;
    return av_opt_set(obj, std::string(key).c_str(), std::string(value).c_str(),
                      AV_OPT_SEARCH_CHILDREN);
}

void CodecContextDeleter::operator()(AVCodecContext* p) const noexcept { avcodec_free_context(&p); }
void FrameDeleter::operator()(AVFrame* p) const noexcept { av_frame_free(&p); }
void PacketDeleter::operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
void SwsDeleter::operator()(SwsContext* p) const noexcept { sws_freeContext(p); }
void BufferPoolDeleter::operator()(AVBufferPool* p) const noexcept { av_buffer_pool_uninit(&p); }
void BufferRefDeleter::operator()(AVBufferRef* p) const noexcept { av_buffer_unref(&p); }

Result<CodecContextPtr> alloc_codec_context(const AVCodec* codec) {
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return ffmpeg_error(AVERROR(ENOMEM));
    return ctx;
}

Result<FramePtr> alloc_frame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) return ffmpeg_error(AVERROR(ENOMEM));
    return frame;
}

Result<PacketPtr> alloc_packet() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) return ffmpeg_error(AVERROR(ENOMEM));
    return packet;
}

std::int64_t monotonic_us() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace talmiro_media
