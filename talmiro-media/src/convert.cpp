// Filling the encoder's input frame from a borrowed picture: copies, chroma re-layout, libswscale.
#include "talmiro_media/convert.hpp"

#include "talmiro_media/encoder_config.hpp"

#include "av_pixel_format.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace talmiro_media {

namespace {

// One plane of a borrowed picture or of the frame: first row and row stride.
struct SrcPlane {
    const std::uint8_t* data;
    std::size_t stride;

    const std::uint8_t* row(std::size_t r) const noexcept { return data + r * stride; }
};
struct DstPlane {
    std::uint8_t* data;
    std::size_t stride;

    std::uint8_t* row(std::size_t r) const noexcept { return data + r * stride; }
};

SrcPlane src_plane(const RawImage& picture, int i) noexcept {
    return {picture.planes[i].data(), picture.strides[i]};
}
DstPlane dst_plane(AVFrame& frame, int i) noexcept {
    return {frame.data[i], static_cast<std::size_t>(frame.linesize[i])};
}

void copy_rows(SrcPlane src, DstPlane dst, std::size_t rows, std::size_t row_bytes) noexcept {
    for (std::size_t r = 0; r < rows; ++r) std::memcpy(dst.row(r), src.row(r), row_bytes);
}

// A plain loop over non-aliasing rows, so that the compiler turns it into vector shuffles (the
// split the other way is image's `split_uv`).
void interleave_row(const std::uint8_t* __restrict u, const std::uint8_t* __restrict v,
                    std::uint8_t* __restrict uv, std::size_t n) noexcept {
    for (std::size_t c = 0; c < n; ++c) {
        uv[2 * c] = u[c];
        uv[2 * c + 1] = v[c];
    }
}

// Bytes libswscale may read past the last pixel of a packed RGB row, with a margin.
constexpr std::size_t kSwscaleOverread = 64;

Result<bool> scale_packed(AVFrame& frame, PackedScaler& scaler, const RawImage& picture,
                          PictureFormat codec) {
    // libswscale takes 32-bit strides: a wider one would be read with a wrong row distance.
    if (picture.strides[0] > static_cast<std::size_t>(INT_MAX))
        return std::unexpected(MediaError::bad_image(
            std::string(picture.format.name()) + " image: row stride " +
            std::to_string(picture.strides[0]) + " too large for libswscale (at most " +
            std::to_string(INT_MAX) + ")"));
    auto ctx = scaler.get(picture.format, picture.width, picture.height, codec);
    if (!ctx) return std::unexpected(ctx.error());
    const std::size_t stride = picture.strides[0];
    const std::size_t row_bytes = std::size_t{picture.format.bytes_per_pixel()} * picture.width;
    const std::uint8_t* const base = picture.planes[0].data();
    const int height = static_cast<int>(picture.height);
    // libswscale's packed-RGB readers fetch pixels in groups and read up to 45 bytes past a
    // row's last pixel. Inside the picture that lands in the next row; after the last row it
    // would leave the caller's buffer unless the buffer runs on. The rows whose over-read
    // would leave it are converted from a padded copy and the rest in place; the copy starts
    // on an even row, so that no chroma row is split between the two.
    const std::size_t size = picture.planes[0].size();
    const auto room_after = [&](int rows) {
        const std::size_t last = (static_cast<std::size_t>(rows) - 1) * stride + row_bytes;
        return size >= last + kSwscaleOverread;
    };
    int head = height;
    if (height > 0 && !room_after(head)) {
        head = std::max(height % 2 == 0 ? height - 2 : height - 3, 0);
        while (head > 0 && !room_after(head)) head -= 2;
    }
    const int tail = height - head;
    int rows = 0;
    if (head > 0) {
        const std::uint8_t* const src[4] = {base, nullptr, nullptr, nullptr};
        const int src_stride[4] = {static_cast<int>(stride), 0, 0, 0};
        const int done = sws_scale(*ctx, src, src_stride, 0, head, frame.data, frame.linesize);
        if (done < 0) return ffmpeg_error(done);
        rows += done;
    }
    if (tail > 0) {
        std::vector<std::uint8_t>& copy = scaler.tail_rows();
        copy.assign(static_cast<std::size_t>(tail) * row_bytes + kSwscaleOverread, 0);
        for (int r = 0; r < tail; ++r)
            std::memcpy(copy.data() + static_cast<std::size_t>(r) * row_bytes,
                        base + static_cast<std::size_t>(head + r) * stride, row_bytes);
        const std::uint8_t* const src[4] = {copy.data(), nullptr, nullptr, nullptr};
        const int src_stride[4] = {static_cast<int>(row_bytes), 0, 0, 0};
        const int done = sws_scale(*ctx, src, src_stride, head, tail, frame.data, frame.linesize);
        if (done < 0) return ffmpeg_error(done);
        rows += done;
    }
    if (rows != height)
        return std::unexpected(MediaError::bad_image("libswscale converted " +
                                                     std::to_string(rows) + " of " +
                                                     std::to_string(height) + " rows"));
    return true;
}

}  // namespace

Result<SwsContext*> PackedScaler::get(PictureFormat format, std::uint32_t width,
                                      std::uint32_t height, PictureFormat dst) {
    if (ctx_ && format_ == format && dst_ == dst && width_ == width && height_ == height)
        return ctx_.get();
    // Only a packed source is converted here; a 4:2:0 one is the copy paths' work.
    if (format.is_yuv420()) return ffmpeg_error(AVERROR_INVALIDDATA);
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    SwsPtr fresh(sws_getContext(w, h, av_pixel_format(format), w, h, av_pixel_format(dst),
                                SWS_POINT, nullptr, nullptr, nullptr));
    if (!fresh) return ffmpeg_error(AVERROR_INVALIDDATA);
    ctx_ = std::move(fresh);
    format_ = format;
    dst_ = dst;
    width_ = width;
    height_ = height;
    return ctx_.get();
}

Result<FramePtr> alloc_input_frame(PictureFormat codec_format, std::uint32_t width,
                                   std::uint32_t height) {
    auto frame = alloc_frame();
    if (!frame) return frame;
    (*frame)->format = av_pixel_format(codec_format);
    (*frame)->width = saturate_int(width);
    (*frame)->height = saturate_int(height);
    if (const int rc = av_frame_get_buffer(frame->get(), 32); rc < 0) return ffmpeg_error(rc);
    return frame;
}

Result<bool> fill_frame(AVFrame& frame, PackedScaler& scaler, const RawImage& picture) {
    const PictureFormat codec =
        frame.format == AV_PIX_FMT_NV12 ? PictureFormat::NV12 : PictureFormat::I420;
    if (!picture.format.is_yuv420()) return scale_packed(frame, scaler, picture, codec);

    const std::size_t w = picture.width, h = picture.height;
    const std::size_t cw = chroma_dim(picture.width), ch = chroma_dim(picture.height);
    copy_rows(src_plane(picture, 0), dst_plane(frame, 0), h, w);

    if (picture.format == codec) {
        if (codec == PictureFormat::I420) {
            copy_rows(src_plane(picture, 1), dst_plane(frame, 1), ch, cw);
            copy_rows(src_plane(picture, 2), dst_plane(frame, 2), ch, cw);
        } else {
            copy_rows(src_plane(picture, 1), dst_plane(frame, 1), ch, 2 * cw);
        }
        return false;
    }

    if (codec == PictureFormat::NV12) {
        const SrcPlane u = src_plane(picture, 1), v = src_plane(picture, 2);
        const DstPlane uv = dst_plane(frame, 1);
        for (std::size_t r = 0; r < ch; ++r) interleave_row(u.row(r), v.row(r), uv.row(r), cw);
    } else {
        const SrcPlane uv = src_plane(picture, 1);
        const DstPlane u = dst_plane(frame, 1), v = dst_plane(frame, 2);
        for (std::size_t r = 0; r < ch; ++r)
            split_uv({uv.row(r), 2 * cw}, {u.row(r), cw}, {v.row(r), cw});
    }
    return true;
}

}  // namespace talmiro_media
