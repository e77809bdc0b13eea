// The one error type of the media core, and the small FFmpeg helpers every codec unit uses.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

struct AVCodec;
struct AVBufferPool;
struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace talmiro_media {

// A failing libav call, with the negative AVERROR code it returned.
struct FfmpegError {
    int code;
    bool operator==(const FfmpegError&) const = default;
};
// A configuration or environment the codec cannot serve.
struct UnsupportedError {
    std::string what;
    bool operator==(const UnsupportedError&) const = default;
};
// A picture that does not fit the codec or the conversion.
struct BadImageError {
    std::string what;
    bool operator==(const BadImageError&) const = default;
};

class MediaError {
public:
    enum class Kind : std::uint8_t { Ffmpeg, Unsupported, BadImage };

    static MediaError ffmpeg(int code) { return MediaError(FfmpegError{code}); }
    static MediaError unsupported(std::string what) {
        return MediaError(UnsupportedError{std::move(what)});
    }
    static MediaError bad_image(std::string what) {
        return MediaError(BadImageError{std::move(what)});
    }

    Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
    // The libav code of an Ffmpeg error, 0 for the other kinds.
    int code() const noexcept;
    // The detail without the kind's prefix: libav's message for Ffmpeg, the text otherwise.
    std::string detail() const;
    // "ffmpeg: ...", "unsupported: ..." or "bad image: ...".
    std::string display() const;

    bool operator==(const MediaError&) const = default;

private:
    using Payload = std::variant<FfmpegError, UnsupportedError, BadImageError>;
    explicit MediaError(Payload p) : payload_(std::move(p)) {}
    Payload payload_;
};

template <typename T>
using Result = std::expected<T, MediaError>;

// A libav call's negative return code as an error.
inline std::unexpected<MediaError> ffmpeg_error(int code) {
    return std::unexpected(MediaError::ffmpeg(code));
}

// libav's message for an error code (av_strerror into a 64-byte buffer).
std::string av_error_text(int code);

// Process-wide one-time initialisation: sets libav's log level to warning. Later calls do
// nothing; a caller that races the first one waits until it is done.
void ffmpeg_init();

// Lookups by name; null when the linked libavcodec lacks the codec. Names must hold no NUL.
const AVCodec* find_encoder(std::string_view name);
const AVCodec* find_decoder(std::string_view name);

// Whether libavcodec resolves an encoder by this name (false for a name holding a NUL).
bool has_encoder(std::string_view name);

// Sets libav's log level by name ("quiet", "error", "warning", "info", "verbose", "debug");
// any other text selects warning. Names are matched byte for byte.
void set_log_level(std::string_view name);

// libavcodec's version as "major.minor.micro".
std::string version_string();

// av_opt_set(obj, key, value, AV_OPT_SEARCH_CHILDREN); -1 without setting anything when the
// key or the value holds a NUL.
int set_option(void* obj, std::string_view key, std::string_view value);

// Owners of libav objects: each frees its object once, whatever path leaves.
struct CodecContextDeleter {
    void operator()(AVCodecContext* p) const noexcept;
};
struct FrameDeleter {
    void operator()(AVFrame* p) const noexcept;
};
struct PacketDeleter {
    void operator()(AVPacket* p) const noexcept;
};
struct SwsDeleter {
    void operator()(SwsContext* p) const noexcept;
};
struct BufferPoolDeleter {
    void operator()(AVBufferPool* p) const noexcept;
};
struct BufferRefDeleter {
    void operator()(AVBufferRef* p) const noexcept;
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
// A pool's buffers still in use keep it alive after the owner lets go of it.
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

// Allocation helpers; an allocation failure is ENOMEM as an Ffmpeg error.
Result<CodecContextPtr> alloc_codec_context(const AVCodec* codec);
Result<FramePtr> alloc_frame();
Result<PacketPtr> alloc_packet();

// CLOCK_MONOTONIC in microseconds.
std::int64_t monotonic_us() noexcept;

}  // namespace talmiro_media
