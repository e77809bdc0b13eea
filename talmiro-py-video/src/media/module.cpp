// The module definition, its execution step and the small module functions.
#include "py.hpp"

#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "values.hpp"
#include "talmiro_media/encoder_config.hpp"
#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/image.hpp"

namespace talmiro_py {

namespace {

PyObject* has_encoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* name = nullptr;
        if (!read_args("has_encoder", {param("name", name, Kind::Str)}, args, nargs, kwnames))
            return nullptr;
        // A name libavcodec cannot be handed (a NUL inside, unencodable text) resolves nothing.
        const auto text = utf8_of(name);
        return PyBool_FromLong(text && talmiro_media::has_encoder(*text));
    });
}

PyObject* avcodec_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("avcodec_version", {}, args, nargs, kwnames)) return nullptr;
        return str_of(talmiro_media::version_string());
    });
}

PyObject* set_ffmpeg_log_level(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* level = nullptr;
        if (!read_args("set_ffmpeg_log_level", {param("level", level, Kind::Str)}, args, nargs,
                       kwnames))
            return nullptr;
        talmiro_media::set_log_level(utf8_of(level).value_or(std::string_view{}));
        Py_RETURN_NONE;
    });
}

PyMethodDef has_encoder_def = fast_method(
    "has_encoder", has_encoder,
    "has_encoder(name)\n--\n\nTrue when libavcodec resolves an encoder by this name "
    "(`\"libx264\"`, `\"h264_nvenc\"`).");
PyMethodDef avcodec_version_def = fast_method(
    "avcodec_version", avcodec_version,
    "avcodec_version()\n--\n\nlibavcodec's version string (`major.minor.micro`), for "
    "diagnostics.");
PyMethodDef set_ffmpeg_log_level_def = fast_method(
    "set_ffmpeg_log_level", set_ffmpeg_log_level,
    "set_ffmpeg_log_level(level)\n--\n\nlibav's own log level (`quiet`, `error`, `warning`, "
    "`info`, `verbose`, `debug`).");

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* key = PyUnicode_FromString(name);
    const bool listed = key && PyList_Append(all, key) == 0;
    Py_XDECREF(key);
    Py_DECREF(all);
    return listed && PyModule_AddObjectRef(module, name, value) == 0;
}

// Sets a constant of the module, outside __all__, taking over the reference to `value`.
bool add_constant(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    const bool ok = PyModule_AddObjectRef(module, name, value) == 0;
    Py_DECREF(value);
    return ok;
}

bool add_function(PyObject* module, PyMethodDef& def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    PyObject* fn = PyCFunction_NewEx(&def, module, module_name);
    Py_DECREF(module_name);
    const bool ok = add(module, def.ml_name, fn);
    Py_XDECREF(fn);
    return ok;
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "_codec: execution step needs a module");
            return -1;
        }
        if (!add(module, "MediaError", media_error_type()) ||
            !add(module, "Image", image_type()) || !add(module, "Plane", plane_type()) ||
            !add(module, "H264Encoder", encoder_type()) ||
            !add(module, "H264Decoder", decoder_type()) ||
            !add(module, "TestPattern", pattern_type()) ||
            !add(module, "RtpReceptionStats", rtp_reception_stats_type()) ||
            !add(module, "NackRtt", nack_rtt_type()) ||
            !add(module, "RtpPacketizer", rtp_packetizer_type()) ||
            !add(module, "RtpDepacketizer", rtp_depacketizer_type()) ||
            !add(module, "RtpResponder", rtp_responder_type()) ||
            !add(module, "PictureQueue", picture_queue_type()) ||
            !add(module, "RtpReceiveLoop", rtp_receive_loop_type()))
            return -1;
        for (PyMethodDef* def : {&psnr_def, &buffer_address_def, &has_encoder_def,
                                 &avcodec_version_def, &set_ffmpeg_log_level_def, &send_datagrams_def})
            if (!add_function(module, *def)) return -1;
        for (PyMethodDef* def = rtcp_functions(); def->ml_name; ++def)
            if (!add_function(module, *def)) return -1;
        // The names the module takes, from the core's lists.
        if (!add_constant(module, "PIXEL_FORMATS",
                          str_tuple(talmiro_media::PictureFormat::names())) ||
            !add_constant(module, "BACKENDS", str_tuple(talmiro_media::backend_names())))
            return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_codec", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace talmiro_py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__codec() {
    return PyModuleDef_Init(&talmiro_py::module_def);
}
