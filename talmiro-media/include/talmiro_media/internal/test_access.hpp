// What the tests, benchmarks and fuzz targets read inside the codec objects beyond their public
// interface: the open codec context, pending stamps, lending state and the like. Nothing else
// includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "talmiro_media/convert.hpp"
#include "talmiro_media/decode.hpp"
#include "talmiro_media/encode.hpp"
#include "talmiro_media/image_pool.hpp"
#include "talmiro_media/picture_lender.hpp"
#include "talmiro_media/sync.hpp"

namespace talmiro_media {

struct TestAccess {
    // The encoder's open codec context, for reading its settings.
    static const AVCodecContext& codec_context(const H264Encoder& e) noexcept { return *e.ctx_; }
    // The GOP the codec was given (`encoder_gop` of the configuration).
    static std::uint32_t gop(const H264Encoder& e) noexcept { return encoder_gop(e.config_); }
    static const std::shared_ptr<EncoderControl>& control(const H264Encoder& e) noexcept {
        return e.control_;
    }
    // Pictures sent whose access unit has not come out yet.
    static std::size_t pending_stamps(const H264Encoder& e) noexcept { return e.stamps_.size(); }
    // Pictures lent to libavcodec instead of copied, and whether the next one may be.
    static std::uint64_t lent(const H264Encoder& e) noexcept { return e.lender_.lent(); }
    static bool lending(const H264Encoder& e) noexcept { return e.lending_; }

    // The pts of the decoder's last packet; absent after every flush and reset.
    static std::optional<std::int64_t> last_pts(const H264Decoder& d) noexcept { return d.last_pts_; }
    // A gap has damaged the stream being decoded and nothing has made it whole yet.
    static bool damaged(const DecoderSync& s) noexcept { return s.damaged_; }

    // The scaler's current context (null before the first packed picture) and its source format.
    static const SwsContext* context(const PackedScaler& s) noexcept { return s.ctx_.get(); }
    static std::optional<PictureFormat> format(const PackedScaler& s) noexcept {
        return s.ctx_ ? std::optional<PictureFormat>(s.format_) : std::nullopt;
    }
    // Lent buffers libavcodec still references.
    static std::size_t outstanding(const PictureLender& l) noexcept { return l.outstanding(); }
    // The picture size the pool's buffers have (0 before the first `take`).
    static std::size_t buffer_size(const ImagePool& p) noexcept { return p.size_; }
};

}  // namespace talmiro_media
