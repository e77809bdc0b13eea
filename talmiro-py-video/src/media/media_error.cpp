// The codec module's MediaError type, the one the network module raises too.
#include "errors.hpp"

namespace talmiro_py {

namespace {

constexpr const char* kMediaErrorDoc =
    "the codec refused: bad picture, unsupported configuration, or a libavcodec error";

PyObject* g_media_error = nullptr;

}  // namespace

PyObject* media_error_type() {
    // The interpreter lock serialises this; the type lives for the rest of the process.
    if (!g_media_error)
        g_media_error = PyErr_NewExceptionWithDoc("_core.MediaError", kMediaErrorDoc, nullptr,
                                                  nullptr);
    return g_media_error;
}

}  // namespace talmiro_py
