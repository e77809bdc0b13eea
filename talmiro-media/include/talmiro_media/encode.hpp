// The H.264 encoder around libavcodec: opening it from an `EncoderConfig`, encoding borrowed
// pictures into Annex-B access units, draining it, and its counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/convert.hpp"
#include "talmiro_media/encoder_config.hpp"
#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"
#include "talmiro_media/picture_lender.hpp"

struct AVCodecContext;

namespace talmiro_media {

// Cumulative counters of one encoder, never reset.
struct EncoderStats {
    std::uint64_t frames_in = 0;        // pictures handed to libavcodec (also when refused)
    std::uint64_t frames_out = 0;       // access units returned
    std::uint64_t bytes = 0;            // their bytes, after any reinsertion
    std::uint64_t idr = 0;              // returned access units with `key`
    std::uint64_t recovery = 0;         // returned access units with `recovery`
    std::uint64_t reinserted = 0;       // access units that got the cached SPS+PPS in front
    std::uint64_t forced_idr = 0;       // pictures sent as an IDR request
    std::uint64_t bitrate_changes = 0;  // pending bitrates taken over
    std::uint64_t converted = 0;        // pictures whose filling was a conversion
    std::uint64_t convert_us = 0;       // making the frame writable and filling it, converted only
    std::uint64_t encode_us = 0;        // time in avcodec_send_frame and the receive loop

    bool operator==(const EncoderStats&) const = default;
};

struct EncoderTimings {
    std::uint64_t convert_us = 0;
    std::uint64_t encode_us = 0;

    bool operator==(const EncoderTimings&) const = default;
};

// The access unit that leaves the encoder for one packet's bytes (copied): facts read from the
// bytes, passed through `cache` (SPS/PPS refresh it; a bare recovery point gets the cached ones
// in front), and counted in the output counters of `stats`.
AccessUnit output_access_unit(std::span<const std::uint8_t> bytes, std::int64_t t_us,
                              std::int64_t encoded_us, ParamSetCache& cache, EncoderStats& stats);

// Capture stamps of the pictures inside the codec, by presentation timestamp. Stamps are
// recorded in increasing pts order; taking one drops it and every earlier one, whose packets
// can no longer come out of an encoder without B-frames, so the map stays bounded.
class CaptureStamps {
public:
    // `pts` must be larger than every pts recorded before.
    void record(std::int64_t pts, std::int64_t t_us);
    // The stamp recorded under `pts`, 0 when there is none.
    std::int64_t take(std::int64_t pts);
    // Drops the most recent entry if it is `pts` (a picture the codec refused).
    void forget(std::int64_t pts) noexcept;
    void clear() noexcept { stamps_.clear(); }
    std::size_t size() const noexcept { return stamps_.size(); }

private:
    std::deque<std::pair<std::int64_t, std::int64_t>> stamps_;
};

// One open H.264 encoder. Used by one thread at a time; only its `EncoderControl` may be
// touched from other threads. A moved-from encoder may only be destroyed or assigned to.
class H264Encoder {
public:
    // Validates `config`, opens the first backend candidate that opens and allocates the input
    // frame and packet. Fails with the first failing check, or with the error of the last
    // candidate tried; nothing stays allocated on failure. A null `control` gets a fresh one.
    static Result<H264Encoder> open(EncoderConfig config, std::shared_ptr<EncoderControl> control);

    H264Encoder(H264Encoder&&) noexcept = default;
    // The old codec is freed before the lender it may still hold buffers of.
    H264Encoder& operator=(H264Encoder&& other) noexcept;
    ~H264Encoder() = default;

    // Encodes one picture of the encoder's size (any `PictureFormat`) and returns the access
    // units libavcodec released for it; their `t_us` is the picture's capture stamp. An IDR
    // picture is made when `force_idr` is set or an IDR request is pending (a pending request
    // survives a `force_idr` picture). A picture in the codec's format whose `owner` is set is
    // lent to libavcodec rather than copied (see `PictureLender::lendable`); should libavcodec
    // keep a reference past the call, the owner is kept until it lets go, handed back by
    // `take_released`, and every later picture is copied.
    Result<std::vector<AccessUnit>> encode(const RawImage& picture, bool force_idr);
    // Drains the encoder at end of stream; afterwards `encode` and `flush` fail with
    // AVERROR_EOF.
    Result<std::vector<AccessUnit>> flush();

    EncoderStats stats() const noexcept { return stats_; }
    EncoderTimings timings() const noexcept { return {stats_.convert_us, stats_.encode_us}; }
    // The SPS+PPS the stream uses (Annex-B), once an access unit carrying them came out.
    std::optional<std::span<const std::uint8_t>> param_sets() const noexcept;

    // The backend that opened: X264 or Nvenc.
    EncoderBackend backend() const noexcept { return backend_; }
    // Owners of lent pictures that libavcodec has let go of since the last call; the caller
    // drops them where it may (a Python buffer with the interpreter lock held).
    std::vector<std::shared_ptr<const void>> take_released() { return lender_.take_released(); }
    // Frees the codec, its frames and its threads now, and hands back the owners of every lent
    // picture, which the codec has let go of with it; the caller drops them where it may.
    // Afterwards the encoder may only be destroyed.
    [[nodiscard]] std::vector<std::shared_ptr<const void>> close();

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    H264Encoder(EncoderConfig config, EncoderBackend backend, PictureLender lender,
                CodecContextPtr ctx, FramePtr frame, PacketPtr packet,
                std::shared_ptr<EncoderControl> control);

    // Collects every packet libavcodec releases until it wants more input or has ended.
    Result<std::vector<AccessUnit>> receive_packets();
    // Takes over a pending bitrate and sets the codec's rates for the next picture.
    void take_pending_bitrate();

    EncoderConfig config_;
    EncoderBackend backend_;
    // Before the codec, so it outlives every buffer the codec may still hold.
    PictureLender lender_;
    CodecContextPtr ctx_;
    FramePtr frame_;
    PacketPtr packet_;
    PackedScaler scaler_;
    std::shared_ptr<EncoderControl> control_;
    CaptureStamps stamps_;
    std::int64_t next_pts_ = 0;
    ParamSetCache param_cache_;
    EncoderStats stats_;
    // A maximum rate and buffer (for this kbit/s) still to be set; 0 when none.
    std::uint32_t pending_vbv_kbps_ = 0;
    bool lending_ = true;
};

}  // namespace talmiro_media
