// The network module's view of the codec module: the functions it shares with the codec,
// forwarded through the codec's table (codec_api.hpp).
#include "codec_api.hpp"

#include "errors.hpp"
#include "py_image.hpp"

namespace talmiro_py {

namespace {

const CodecApi* g_api = nullptr;

}  // namespace

bool load_codec_api() {
    if (g_api) return true;
    const auto* api = static_cast<const CodecApi*>(PyCapsule_Import(kCodecApiName, 0));
    if (!api) return false;
    if (api->size != sizeof(CodecApi)) {
        PyErr_SetString(PyExc_ImportError, "_rtp: _codec is of another build");
        return false;
    }
    g_api = api;
    return true;
}

// The module's execution step loads the table before anything else runs.
PyObject* media_error_type() { return g_api->media_error_type(); }
PyObject* new_image(talmiro_media::SharedImage image) {
    return g_api->new_shared_image(std::move(image));
}
PyObject* new_image(talmiro_media::Image&& image) { return g_api->new_image(std::move(image)); }
PyObject* new_image_list(std::vector<talmiro_media::Image>&& images) {
    return g_api->new_image_list(std::move(images));
}
const talmiro_media::SharedImage* image_or_null(PyObject* obj) noexcept {
    return g_api->image_or_null(obj);
}
DecoderRef decoder_core(PyObject* obj) { return g_api->decoder_core(obj); }
talmiro_media::Result<std::vector<talmiro_media::Image>> decode_counted(
    const DecoderRef& d, const talmiro_media::AccessUnit& au) {
    return g_api->decode_counted(d, au);
}

}  // namespace talmiro_py
