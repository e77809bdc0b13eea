// The codec module's table for the network module (codec_api.hpp).
#include "codec_api.hpp"

#include "errors.hpp"
#include "py_image.hpp"

namespace talmiro_py {

namespace {

PyObject* new_shared_image(talmiro_media::SharedImage image) {
    return new_image(std::move(image));
}
PyObject* new_owned_image(talmiro_media::Image&& image) { return new_image(std::move(image)); }

const CodecApi kApi = {
    sizeof(CodecApi), media_error_type, new_shared_image, new_owned_image,
    new_image_list,   image_or_null,    decoder_core,     decode_counted,
};

}  // namespace

PyObject* codec_api_capsule() {
    return PyCapsule_New(const_cast<CodecApi*>(&kApi), kCodecApiName, nullptr);
}

}  // namespace talmiro_py
