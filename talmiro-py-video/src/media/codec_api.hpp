// What the network module takes from the codec module: the MediaError type, Image objects and
// the decoder's core. The codec module publishes the table as the capsule `_codec._api`; the
// network module reads it once when it is imported and forwards the functions of errors.hpp,
// py_image.hpp and cores.hpp that belong to the codec through it (codec_bridge.cpp), so one
// MediaError, one Image class and one decoder class exist in the process.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <vector>

#include "cores.hpp"
#include "talmiro_media/image.hpp"

namespace talmiro_py {

struct CodecApi {
    std::uint32_t size;  // sizeof(CodecApi) of the codec module that made it
    PyObject* (*media_error_type)();
    PyObject* (*new_shared_image)(talmiro_media::SharedImage image);
    PyObject* (*new_image)(talmiro_media::Image&& image);
    PyObject* (*new_image_list)(std::vector<talmiro_media::Image>&& images);
    const talmiro_media::SharedImage* (*image_or_null)(PyObject* obj) noexcept;
    DecoderRef (*decoder_core)(PyObject* obj);
    talmiro_media::Result<std::vector<talmiro_media::Image>> (*decode_counted)(
        const DecoderRef& d, const talmiro_media::AccessUnit& au);
};

inline constexpr const char* kCodecApiName = "talmiro_sdk_video._codec._api";

// The codec module's side: a new capsule over its table; null with an exception set.
PyObject* codec_api_capsule();

// The network module's side: imports the codec module and reads its table; false with an
// exception set.
bool load_codec_api();

}  // namespace talmiro_py
