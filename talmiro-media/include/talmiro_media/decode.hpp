// The H.264 decoder around libavcodec, behind the sync policy: access units in, tightly packed
// I420 pictures out, with the capture stamps carried through and every libavcodec error
// answered by a reset, so the caller only counts the error and carries on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"
#include "talmiro_media/image_pool.hpp"
#include "talmiro_media/sync.hpp"

struct AVFrame;

namespace talmiro_media {

// Cumulative counters of one decoder, never reset. Its resets (after an error, or wedged) are
// the policy's: `sync().counters().resets` counts them all.
struct DecoderStats {
    std::uint64_t fed = 0;         // access units handed to avcodec_send_packet (drains excluded)
    std::uint64_t images = 0;      // pictures released, by decode or flush
    std::uint64_t errors = 0;      // resets after an error
    std::uint64_t recovering = 0;  // released pictures flagged recovering: corrupt or concealed
                                   // by libavcodec, incomplete, or of an access unit damaged
                                   // by a lost, incomplete or concealed reference picture

    bool operator==(const DecoderStats&) const = default;
};

// The name of a pixel format as its AVPixelFormat enumerator without the AV_PIX_FMT_ prefix
// ("YUV422P", "GRAY8"), "None" for AV_PIX_FMT_NONE.
std::string pixel_format_enumerator(int format);

// A decoded frame as an owned picture: `t_us` the frame's pts (0 when it has none),
// `recovering` set when libavcodec flagged it corrupt or reports concealed errors in it. Given
// `share`, a reference-counted frame whose planes are already tightly packed (every line size
// equals the plane's row bytes) is shared: the image keeps a reference to it and its planes are
// views into the frame's buffers. Only a frame libavcodec will not write into again may be
// shared (not the first field of a pair, which the second field still fills in). Any other
// frame is copied tightly packed, into storage from `pool` when one is given. Only YUV420P and
// YUVJ420P frames are taken; any other format fails with `Unsupported` "decoded pixel format
// <NAME>".
Result<Image> image_from_frame(const AVFrame& frame, ImagePool* pool = nullptr,
                               bool share = true);

// The largest picture decoded by default, in pixels: 4096x2304, the frame size of H.264
// level 5.2. A few bytes of SPS may declare far larger pictures than a link ever carries.
inline constexpr std::uint64_t kDefaultMaxPixels = 4096 * 2304;

// One open H.264 decoder. Used by one thread at a time. A moved-from decoder may only be
// destroyed or assigned to.
class H264Decoder {
public:
    // Opens libavcodec's h264 decoder single-threaded with LOW_DELAY, and OUTPUT_CORRUPT when
    // `output_corrupt` is set (pictures of a recovery-point start come out while refreshing).
    // libavcodec allocates no picture of more than `max_pixels` pixels: the access unit that
    // needs one fails as a libavcodec error (the decoder resets).
    static Result<H264Decoder> open(SyncConfig config, bool output_corrupt,
                                    std::uint64_t max_pixels = kDefaultMaxPixels);

    H264Decoder(H264Decoder&&) noexcept = default;
    H264Decoder& operator=(H264Decoder&&) noexcept = default;
    ~H264Decoder() = default;

    // Passes one access unit (its `data`, `t_us`, `key`, `recovery` and `complete`) through the
    // sync policy and, when the policy lets it through, to libavcodec; returns the pictures
    // released, in output order, each once. Packet timestamps strictly increase between starts:
    // a stamp not above the previous one is raised to it plus one. On a libavcodec error, and
    // on a stamp that cannot be given a timestamp, the decoder resets and waits for the next
    // start point. After an incomplete unit, a concealed picture or an error, the next IDR
    // picture goes to a freshly opened libavcodec decoder (with every kept SPS/PPS in front):
    // what such damage leaves behind survives a flush.
    Result<std::vector<Image>> decode(const AccessUnit& au);
    // Drains the pictures libavcodec still holds. libavcodec forgets its reference pictures, so
    // afterwards the decoder starts over: it waits for the next start point, as after a reset.
    Result<std::vector<Image>> flush();

    // The signal of the most recent `decode`, cleared by `take_signal`.
    std::optional<SyncSignal> take_signal() noexcept;
    std::optional<SyncSignal> signal() const noexcept { return last_signal_; }

    const DecoderStats& stats() const noexcept { return stats_; }
    const DecoderSync& sync() const noexcept { return sync_; }

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    H264Decoder(SyncConfig config, CodecContextPtr ctx, FramePtr frame) noexcept;

    // The pts for a packet stamped `t_us`, recorded as `last_pts`.
    Result<std::int64_t> next_pts(std::int64_t t_us);
    // Hands the bytes to libavcodec as one packet.
    Result<void> send(std::span<const std::uint8_t> bytes, std::int64_t pts, bool key);
    // Every picture libavcodec releases until it wants more input or has ended.
    Result<std::vector<Image>> receive_pictures();
    // Drops everything libavcodec holds and the timestamp history.
    void discard_held() noexcept;
    // What the policy said of the access unit a picture came from.
    struct Pending {
        std::int64_t pts = 0;
        bool damaged = false;
        bool reference = true;
        bool first_field = false;
    };
    // The facts of the access unit of pts `pts`, forgotten once taken; absent when unknown.
    std::optional<Pending> take_pending(std::int64_t pts) noexcept;
    // One picture libavcodec released in `frame_`, made an image and told to the policy; absent
    // when it is a picture already released.
    Result<std::optional<Image>> release_picture();
    // The error path: count, tell the policy, discard, and hand the error back.
    std::unexpected<MediaError> reset_after_error(MediaError error) noexcept;

    // The pts of the last packet handed to libavcodec; absent after every flush and reset.
    std::optional<std::int64_t> last_pts_;
    DecoderSync sync_;
    FramePtr frame_;
    CodecContextPtr ctx_;
    // Storage for the pictures that cannot share libavcodec's frame.
    ImagePool pool_;
    DecoderStats stats_;
    std::optional<SyncSignal> last_signal_;
    // The access units handed to libavcodec whose pictures have not come out yet (a few at
    // most).
    std::vector<Pending> pending_;
    // The pts of the last field released before its pair came: libavcodec releases that frame
    // again once the pair is complete.
    std::optional<std::int64_t> released_field_pts_;
    // The settings libavcodec was opened with, to open it afresh.
    bool output_corrupt_ = true;
    std::uint64_t max_pixels_ = kDefaultMaxPixels;
    // libavcodec was given an incomplete unit, concealed damage or failed since it was opened:
    // the next IDR picture gets a fresh one.
    bool tainted_ = false;
};

}  // namespace talmiro_media
