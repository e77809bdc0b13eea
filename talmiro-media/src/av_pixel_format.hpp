// The libav pixel format of each picture format: the codec's frame format for I420 and NV12,
// libswscale's source format for the packed RGB family.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "talmiro_media/image.hpp"

namespace talmiro_media {

constexpr AVPixelFormat av_pixel_format(PictureFormat format) noexcept {
    switch (format) {
        case PictureFormat::I420: return AV_PIX_FMT_YUV420P;
        case PictureFormat::NV12: return AV_PIX_FMT_NV12;
        case PictureFormat::RGB24: return AV_PIX_FMT_RGB24;
        case PictureFormat::BGR24: return AV_PIX_FMT_BGR24;
        case PictureFormat::RGBA: return AV_PIX_FMT_RGBA;
        case PictureFormat::BGRA: return AV_PIX_FMT_BGRA;
    }
    return AV_PIX_FMT_NONE;
}

}  // namespace talmiro_media
