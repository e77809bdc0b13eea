// Writing one borrowed picture into the encoder's reusable I420 or NV12 input frame: row
// copies and chroma re-layout for the 4:2:0 formats, libswscale for the packed RGB family.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

struct AVFrame;

namespace talmiro_media {

// The libswscale context for one packed picture format into one frame geometry, kept while
// pictures keep coming in that format. Empty at first.
class PackedScaler {
public:
    // The context for `format` (RGB family) at width x height into `dst` (the codec format,
    // I420 or NV12). A context made for another format or geometry is replaced, and freed only
    // once its replacement exists; when creation fails (or `format` is not of the RGB family)
    // the old one is kept and the error is `Ffmpeg` with AVERROR_INVALIDDATA.
    Result<SwsContext*> get(PictureFormat format, std::uint32_t width, std::uint32_t height,
                            PictureFormat dst);

    // A reusable buffer for the rows libswscale must not read in place (see fill_frame).
    std::vector<std::uint8_t>& tail_rows() noexcept { return tail_; }

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    SwsPtr ctx_;
    std::vector<std::uint8_t> tail_;
    PictureFormat format_ = PictureFormat::I420;
    PictureFormat dst_ = PictureFormat::I420;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
};

// The encoder's input frame: `codec_format` (I420 or NV12) at width x height, with buffers at
// 32-byte alignment. A failing allocation is its `Ffmpeg` error.
Result<FramePtr> alloc_input_frame(PictureFormat codec_format, std::uint32_t width,
                                   std::uint32_t height);

// Fills `frame` (allocated, writable, AV_PIX_FMT_YUV420P or AV_PIX_FMT_NV12) from `picture`,
// which must be the frame's size and satisfy `fits()`. Rows go to the frame's line sizes; the
// bytes past the picture's width in each frame row are left as they are. Returns true when the
// filling was a conversion (chroma re-layout or libswscale), false for a plain copy.
Result<bool> fill_frame(AVFrame& frame, PackedScaler& scaler, const RawImage& picture);

}  // namespace talmiro_media
