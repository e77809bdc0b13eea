// The H264Encoder class: one core encoder behind a mutex, opened, fed and drained with the
// interpreter lock released, plus the lock-free control handle shared with it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "picture_args.hpp"
#include "protocols.hpp"
#include "values.hpp"
#include "talmiro_media/encode.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::AccessUnit;
using talmiro_media::EncoderBackend;
using talmiro_media::EncoderConfig;
using talmiro_media::EncoderControl;
using talmiro_media::EncoderStats;
using talmiro_media::PictureFormat;
using talmiro_media::Result;

// What one Python H264Encoder owns. The configuration, the backend and the input format sit
// outside the mutex so that the properties stay readable after `close`.
struct EncoderObject {
    EncoderObject(EncoderConfig config, std::shared_ptr<EncoderControl> ctl,
                  talmiro_media::H264Encoder&& enc, PictureFormat input_format)
        : cfg(std::move(config)),
          control(std::move(ctl)),
          backend(enc.backend()),
          input(input_format),
          core(std::move(enc)) {}

    const EncoderConfig cfg;
    const std::shared_ptr<EncoderControl> control;
    const EncoderBackend backend;
    const PictureFormat input;
    std::mutex mutex;
    // Present from construction until `close`.
    std::optional<talmiro_media::H264Encoder> core;
};

EncoderObject& encoder_of(PyObject* self) noexcept { return unbox<EncoderObject>(self); }

// The backend named by the str `text`, or none with the ValueError that quotes it.
std::optional<EncoderBackend> parse_backend(PyObject* text) {
    if (const auto utf8 = utf8_of(text))
        if (const auto backend = talmiro_media::parse_backend(*utf8)) return backend;
    raise_none_of("backend", talmiro_media::backend_names(), text);
    return std::nullopt;
}

// The access units as (data, t_us, key, config, recovery, encoded_us) tuples, in order.
PyObject* access_unit_list(const std::vector<AccessUnit>& units) {
    return new_list(units.size(), [&](std::size_t i) {
        const AccessUnit& au = units[i];
        const auto data = au.bytes();
        return Py_BuildValue("(y#LOOOL)", reinterpret_cast<const char*>(data.data()),
                             static_cast<Py_ssize_t>(data.size()), static_cast<long long>(au.t_us),
                             bool_of(au.key), bool_of(au.config), bool_of(au.recovery),
                             static_cast<long long>(au.encoded_us.value_or(0)));
    });
}

// Runs `body` on the open core encoder without the interpreter lock and with the mutex held;
// a closed encoder gives "encoder closed". The result becomes the list of tuples. Pictures
// libavcodec kept past an earlier call and has let go of since are released on the way out,
// with the interpreter lock held.
template <typename F>
PyObject* run_unlocked(EncoderObject& enc, F&& body) {
    using Units = Result<std::vector<AccessUnit>>;
    std::vector<std::shared_ptr<const void>> released;
    std::optional<Units> result = without_gil_locked(enc.mutex, [&]() -> std::optional<Units> {
        if (!enc.core) return std::nullopt;
        Units units = body(*enc.core);
        released = enc.core->take_released();
        return units;
    });
    return converted_or_raise(std::move(result), "encoder closed",
                              [](const std::vector<AccessUnit>& units) {
                                  return access_unit_list(units);
                              });
}

// ---- construction ----

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        EncoderConfig cfg;
        PyObject* backend_text = nullptr;
        PyObject* format_text = nullptr;
        PyObject* preset = nullptr;
        PyObject* tune = nullptr;
        if (!read_args("H264Encoder",
                       {param("width", cfg.width), param("height", cfg.height),
                        param("fps", cfg.fps, Need::Optional),
                        param("bitrate_kbps", cfg.bitrate_kbps, Need::Optional),
                        param("intra_refresh", cfg.intra_refresh, Need::Optional),
                        param("keyframe_interval", cfg.keyframe_interval, Need::Optional),
                        param("backend", backend_text, Kind::Str, Need::Optional),
                        param("pixel_format", format_text, Kind::Str, Need::Optional),
                        param("preset", preset, Kind::OptStr, Need::Optional),
                        param("tune", tune, Kind::OptStr, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (backend_text) {
            const auto backend = parse_backend(backend_text);
            if (!backend) return nullptr;
            cfg.backend = *backend;
        }
        PictureFormat input = PictureFormat::I420;
        if (format_text) {
            const auto format = parse_pixel_format(format_text);
            if (!format) return nullptr;
            input = *format;
        }
        cfg.pixel_format = talmiro_media::codec_format(input);
        // preset and tune as UTF-8; a str that cannot be encoded raises the interpreter's error.
        for (const auto& [text, out] :
             {std::pair{preset, &cfg.preset}, std::pair{tune, &cfg.tune}}) {
            if (!text) continue;
            const auto utf8 = utf8_of(text, true);
            if (!utf8) return nullptr;
            out->emplace(*utf8);
        }

        auto control = std::make_shared<EncoderControl>();
        auto opened = without_gil([&] { return talmiro_media::H264Encoder::open(cfg, control); });
        if (!opened) return raise_media_error(opened.error());
        return box_new<EncoderObject>(type, std::move(cfg), std::move(control),
                                      std::move(*opened), input);
    });
}

// ---- properties ----

PyObject* encoder_width(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(encoder_of(self).cfg.width); });
}

PyObject* encoder_height(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(encoder_of(self).cfg.height); });
}

PyObject* encoder_fps(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(encoder_of(self).cfg.fps); });
}

PyObject* encoder_bitrate_kbps(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(encoder_of(self).cfg.bitrate_kbps); });
}

PyObject* encoder_intra_refresh(PyObject* self, void*) {
    return guarded([&] { return PyBool_FromLong(encoder_of(self).cfg.intra_refresh); });
}

PyObject* encoder_gop(PyObject* self, void*) {
    return guarded([&] {
        return PyLong_FromUnsignedLong(talmiro_media::encoder_gop(encoder_of(self).cfg));
    });
}

PyObject* encoder_backend(PyObject* self, void*) {
    return guarded([&] { return str_of(talmiro_media::backend_name(encoder_of(self).backend)); });
}

PyObject* encoder_pixel_format(PyObject* self, void*) {
    return guarded([&] { return str_of(encoder_of(self).input.name()); });
}

PyObject* encoder_frame_size(PyObject* self, void*) {
    return guarded([&] {
        const EncoderObject& enc = encoder_of(self);
        return PyLong_FromUnsignedLongLong(enc.input.packed_size(enc.cfg.width, enc.cfg.height));
    });
}

PyObject* encoder_idr_requests(PyObject* self, void*) {
    return guarded(
        [&] { return PyLong_FromUnsignedLongLong(encoder_of(self).control->idr_requests()); });
}

// ---- methods ----

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* image = nullptr;
        std::int64_t capture_us = 0;
        bool force_idr = false;
        if (!read_args("encode",
                       {param("image", image, Kind::Object), param("capture_us", capture_us),
                        param("force_idr", force_idr, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        EncoderObject& enc = encoder_of(self);
        std::optional<HeldPicture> picture =
            read_picture(image, enc.cfg, enc.input, capture_us);
        if (!picture) return nullptr;
        // The picture's owner: held until this function returns, so the buffers are released
        // with the lock held, unless libavcodec keeps the lent picture; the encoder then hands
        // the owner back once libavcodec lets go, and a later call releases it.
        auto held = std::make_shared<const HeldPicture>(std::move(*picture));
        talmiro_media::RawImage raw = held->raw;
        raw.owner = std::move(held);
        return run_unlocked(enc, [&](talmiro_media::H264Encoder& core) {
            return core.encode(raw, force_idr);
        });
    });
}

PyObject* encoder_flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("flush", {}, args, nargs, kwnames)) return nullptr;
        return run_unlocked(encoder_of(self),
                            [](talmiro_media::H264Encoder& core) { return core.flush(); });
    });
}

PyObject* encoder_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("close", {}, args, nargs, kwnames)) return nullptr;
        EncoderObject& enc = encoder_of(self);
        // libavcodec's teardown (libx264 ends its threads) runs without the interpreter lock;
        // the owners of lent pictures it let go of are dropped on the way out, with the lock.
        const auto released = without_gil_locked(enc.mutex, [&] {
            std::vector<std::shared_ptr<const void>> owners;
            if (enc.core) owners = enc.core->close();
            enc.core.reset();
            return owners;
        });
        Py_RETURN_NONE;
    });
}

PyObject* encoder_request_idr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("request_idr", {}, args, nargs, kwnames)) return nullptr;
        encoder_of(self).control->request_idr();
        Py_RETURN_NONE;
    });
}

PyObject* encoder_set_bitrate_kbps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t kbps = 0;
        if (!read_args("set_bitrate_kbps", {param("kbps", kbps)}, args, nargs, kwnames))
            return nullptr;
        if (encoder_of(self).control->set_bitrate_kbps(kbps)) Py_RETURN_NONE;
        if (kbps == 0) return raise(PyExc_ValueError, "bitrate must be > 0");
        return raise(PyExc_ValueError, "bitrate must be <= " +
                                           std::to_string(talmiro_media::kMaxBitrateKbps) +
                                           " kbps");
    });
}

// The accessors below copy under the mutex and build Python objects after releasing it: an
// allocation may run a finaliser that calls back into this encoder.

PyObject* encoder_param_sets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("param_sets", {}, args, nargs, kwnames)) return nullptr;
        EncoderObject& enc = encoder_of(self);
        const auto sets = copied_out(enc.mutex, [&]() -> std::optional<std::vector<std::uint8_t>> {
            if (!enc.core) return std::nullopt;
            const auto bytes = enc.core->param_sets();
            if (!bytes) return std::nullopt;
            return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
        });
        if (!sets) Py_RETURN_NONE;
        return bytes_of(*sets);
    });
}

PyObject* encoder_timings(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("timings", {}, args, nargs, kwnames)) return nullptr;
        EncoderObject& enc = encoder_of(self);
        const auto t = copied_out(enc.mutex, [&] {
            return enc.core ? enc.core->timings() : talmiro_media::EncoderTimings{};
        });
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(t.convert_us),
                             static_cast<unsigned long long>(t.encode_us));
    });
}

PyObject* encoder_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        EncoderObject& enc = encoder_of(self);
        const EncoderStats s = copied_out(
            enc.mutex, [&] { return enc.core ? enc.core->stats() : EncoderStats{}; });
        const std::uint64_t idr_requests = enc.control->idr_requests();
        return new_dict([&](PyObject* dict) {
            return dict_put_counts(dict, {{"frames_in", s.frames_in},
                                          {"frames_out", s.frames_out},
                                          {"bytes", s.bytes},
                                          {"idr", s.idr},
                                          {"recovery", s.recovery},
                                          {"reinserted", s.reinserted},
                                          {"forced_idr", s.forced_idr},
                                          {"bitrate_changes", s.bitrate_changes},
                                          {"converted", s.converted},
                                          {"convert_us", s.convert_us},
                                          {"encode_us", s.encode_us},
                                          {"idr_requests", idr_requests}}) &&
                   dict_put(dict, "backend", str_of(talmiro_media::backend_name(enc.backend))) &&
                   dict_put(dict, "pixel_format", str_of(enc.input.name()));
        });
    });
}

// "H264Encoder(640x480 i420, backend=x264)", with ", closed" once closed.
PyObject* encoder_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        EncoderObject& enc = encoder_of(self);
        const bool open = copied_out(enc.mutex, [&] { return enc.core.has_value(); });
        std::string facts = std::to_string(enc.cfg.width) + "x" + std::to_string(enc.cfg.height) +
                            " " + std::string(enc.input.name()) + ", backend=" +
                            std::string(talmiro_media::backend_name(enc.backend));
        if (!open) facts += ", closed";
        return repr_of(self, facts);
    });
}

// ---- the type ----

PyGetSetDef encoder_getset[] = {
    {"width", encoder_width, nullptr, nullptr, nullptr},
    {"height", encoder_height, nullptr, nullptr, nullptr},
    {"fps", encoder_fps, nullptr, nullptr, nullptr},
    {"bitrate_kbps", encoder_bitrate_kbps, nullptr, nullptr, nullptr},
    {"intra_refresh", encoder_intra_refresh, nullptr, nullptr, nullptr},
    {"gop", encoder_gop, nullptr,
     "The GOP the codec sees: the refresh period with intra-refresh, the IDR interval without.",
     nullptr},
    {"backend", encoder_backend, nullptr,
     "The backend that actually opened: `\"x264\"` or `\"nvenc\"`.", nullptr},
    {"pixel_format", encoder_pixel_format, nullptr,
     "The pixel format a single-buffer picture is read as (`\"i420\"`, `\"nv12\"`, `\"rgb24\"`,\n"
     "`\"bgr24\"`, `\"rgba\"` or `\"bgra\"`).",
     nullptr},
    {"frame_size", encoder_frame_size, nullptr,
     "Bytes of one tightly packed picture in `pixel_format`.", nullptr},
    {"idr_requests", encoder_idr_requests, nullptr,
     "IDR requests received so far (argument `force_idr` not included).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef encoder_methods[] = {
    fast_method(
        "encode", encoder_encode,
        "encode($self, image, capture_us, force_idr=False)\n--\n\nEncodes one picture. `image` "
        "is an `Image`, a single buffer read as `pixel_format` (4:2:0:\nnumpy `(h*3/2, w)` or "
        "flat, `bytes`, `memoryview`...; RGB family: numpy `(h, w, 3|4)`,\n`(h, w*bpp)` or "
        "flat, rows may be strided), or a tuple of plane buffers `(y, u, v)` (I420)\n/ `(y, uv)` "
        "(NV12), each 1-D contiguous or 2-D with a row stride. Nothing is copied on the\nPython "
        "side and the GIL is released while the encoder runs (an RGB picture is converted by\n"
        "libswscale straight from the buffer); do not write into the buffer from another "
        "thread\nuntil the call returns. `capture_us` becomes the frames' `t_us`. Blocks the "
        "caller for one\nconversion + encode; nothing is queued. Returns `[(data, t_us, key, "
        "config, recovery,\nencoded_us), ...]` (usually one)."),
    fast_method("flush", encoder_flush,
                "flush($self)\n--\n\nDrains the encoder at end of stream; the encoder cannot be "
                "used afterwards."),
    fast_method("close", encoder_close,
                "close($self)\n--\n\nFrees the codec context now (also happens when the object "
                "is garbage collected)."),
    fast_method("request_idr", encoder_request_idr,
                "request_idr($self)\n--\n\nMake the next encoded picture an IDR with SPS/PPS "
                "(coalesced; the `<topic>/idr` service)."),
    fast_method("set_bitrate_kbps", encoder_set_bitrate_kbps,
                "set_bitrate_kbps($self, kbps)\n--\n\nChange the target bitrate from the next "
                "picture on."),
    fast_method("param_sets", encoder_param_sets,
                "param_sets($self)\n--\n\nThe SPS+PPS the stream uses (Annex-B bytes), once the "
                "first AU came out."),
    fast_method("stats", encoder_stats,
                "stats($self)\n--\n\nEncoder counters plus `backend`, `pixel_format` and "
                "`idr_requests`. `convert_us` /\n`encode_us` are cumulative microseconds spent "
                "converting pictures (RGB -> 4:2:0, or\nI420 <-> NV12) and inside libavcodec, so "
                "`convert_us / converted` and\n`encode_us / frames_in` are the per-frame means."),
    fast_method("timings", encoder_timings,
                "timings($self)\n--\n\n`(convert_us, encode_us)` cumulative, cheap enough to "
                "read once per frame (one lock, no dict)."),
    enter_method(),
    exit_method(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kEncoderDoc =
    "H264Encoder(width, height, fps=30, bitrate_kbps=2000, intra_refresh=True, "
    "keyframe_interval=0, backend=\"auto\", pixel_format=\"i420\", preset=None, tune=None)\n--\n"
    "\n`talmiro_media::H264Encoder` for Python. Pictures go in through the buffer protocol (no "
    "copy\non the Python side), access units come out as tuples the wrapper turns into "
    "`MediaFrame`s.\n`request_idr` / `set_bitrate_kbps` are the `EncoderControl` (callable from "
    "any thread while\nanother thread encodes: they touch no lock). `input` is how a "
    "single-buffer picture is read\n(`pixel_format`); the codec itself is always opened I420 or "
    "NV12 (`cfg.pixel_format`).";

// Destroying the object closes a still open encoder: the core encoder goes with it.
PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEncoderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EncoderObject>)},
    {Py_tp_getset, encoder_getset},
    {Py_tp_methods, encoder_methods},
    {Py_tp_members, weakref_members},
    {Py_tp_repr, reinterpret_cast<void*>(encoder_repr)},
    {0, nullptr},
};

PyType_Spec encoder_spec = {"talmiro_sdk_video._codec.H264Encoder", sizeof(Box<EncoderObject>),
                            0, kTypeFlags, encoder_slots};

PyObject* g_encoder_type = nullptr;

}  // namespace

PyObject* encoder_type() { return once_type(g_encoder_type, encoder_spec); }

}  // namespace talmiro_py
