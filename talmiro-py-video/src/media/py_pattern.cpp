// The TestPattern class: the core's deterministic test pattern behind a mutex of its own,
// handing out every frame as an I420 Image.
#include "py.hpp"

#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "picture_args.hpp"
#include "protocols.hpp"
#include "py_image.hpp"
#include "talmiro_media/capture.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::PictureFormat;

// The core pattern changes its position on `next`, so every use goes through `mutex`; `fps` is
// fixed at construction and read without it.
struct PatternObject {
    PatternObject(std::uint32_t width, std::uint32_t height, PictureFormat format,
                  std::uint32_t speed, std::uint32_t frame_rate) noexcept
        : core(width, height, format, speed), fps(frame_rate) {}

    std::mutex mutex;
    talmiro_media::TestPattern core;
    const std::uint32_t fps;
};

PatternObject& pattern_of(PyObject* self) noexcept { return unbox<PatternObject>(self); }

// The format of a pattern: i420 when the caller gave none; none with a ValueError set for a
// text that names no format or an RGB format.
std::optional<PictureFormat> pattern_format(PyObject* text) {
    if (!text) return PictureFormat(PictureFormat::I420);
    const auto format = parse_pixel_format(text);
    if (!format || talmiro_media::TestPattern::draws(*format)) return format;
    std::string message =
        "TestPattern draws i420 or nv12 pictures (an Image); for an RGB source render in numpy, "
        "got ";
    if (quote_text(text, message)) raise(PyExc_ValueError, message);
    return std::nullopt;
}

PyObject* pattern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::uint32_t width = 0, height = 0, fps = 30, speed = 4;
        PyObject* pixel_format = nullptr;
        if (!read_args("TestPattern",
                       {param("width", width), param("height", height),
                        param("fps", fps, Need::Optional),
                        param("pixel_format", pixel_format, Kind::Str, Need::Optional),
                        param("speed", speed, Need::Optional)},
                       args, kwargs))
            return nullptr;
        // The core's own refusal, raised before the format is looked at.
        if (const auto small = talmiro_media::TestPattern::size_error(width, height))
            return raise(PyExc_ValueError, small->detail());
        const auto format = pattern_format(pixel_format);
        if (!format) return nullptr;
        return box_new<PatternObject>(type, width, height, *format, speed, fps);
    });
}

// A drawn canvas as a Python Image. The core Image is drawn under the pattern's mutex without
// the interpreter lock (a large picture takes a while); the Python object is made after.
template <typename Draw>
PyObject* draw_image(PyObject* self, Draw&& draw) {
    PatternObject& s = pattern_of(self);
    auto image = without_gil_locked(s.mutex, [&]() -> talmiro_media::Result<talmiro_media::Image> {
        auto canvas = draw(s.core);
        if (!canvas) return std::unexpected(std::move(canvas.error()));
        return talmiro_media::Image::from_packed(std::move(*canvas));
    });
    if (!image) return raise_media_error(image.error());
    return new_image(std::move(*image));
}

PyObject* pattern_next(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t capture_us = 0;
        if (!read_args("next", {param("capture_us", capture_us)}, args, nargs, kwnames))
            return nullptr;
        return draw_image(self, [&](talmiro_media::TestPattern& p) { return p.next(capture_us); });
    });
}

PyObject* pattern_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint64_t n = 0;
        std::int64_t capture_us = 0;
        if (!read_args("frame", {param("n", n), param("capture_us", capture_us, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        return draw_image(self,
                          [&](talmiro_media::TestPattern& p) { return p.frame(n, capture_us); });
    });
}

PyObject* pattern_width(PyObject* self, void*) {
    return guarded([&] {
        PatternObject& s = pattern_of(self);
        return PyLong_FromUnsignedLong(copied_out(s.mutex, [&] { return s.core.width(); }));
    });
}

PyObject* pattern_height(PyObject* self, void*) {
    return guarded([&] {
        PatternObject& s = pattern_of(self);
        return PyLong_FromUnsignedLong(copied_out(s.mutex, [&] { return s.core.height(); }));
    });
}

PyObject* pattern_fps(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(pattern_of(self).fps); });
}

PyObject* pattern_position(PyObject* self, void*) {
    return guarded([&] {
        PatternObject& s = pattern_of(self);
        return PyLong_FromUnsignedLongLong(
            copied_out(s.mutex, [&] { return s.core.position(); }));
    });
}

// "TestPattern(640x480 i420, fps=30)".
PyObject* pattern_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PatternObject& s = pattern_of(self);
        const std::string facts = copied_out(s.mutex, [&] {
            return std::to_string(s.core.width()) + "x" + std::to_string(s.core.height()) +
                   " " + std::string(s.core.format().name());
        });
        return repr_of(self, facts + ", fps=" + std::to_string(s.fps));
    });
}

PyGetSetDef pattern_getset[] = {
    {"width", pattern_width, nullptr, nullptr, nullptr},
    {"height", pattern_height, nullptr, nullptr, nullptr},
    {"fps", pattern_fps, nullptr, nullptr, nullptr},
    {"position", pattern_position, nullptr, "Index of the frame `next()` will produce.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef pattern_methods[] = {
    fast_method("next", pattern_next,
                "next($self, capture_us)\n--\n\nThe next frame in sequence, stamped `capture_us`."),
    fast_method("frame", pattern_frame,
                "frame($self, n, capture_us=0)\n--\n\nFrame `n` (deterministic), stamped "
                "`capture_us`."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kPatternDoc =
    "TestPattern(width, height, fps=30, pixel_format=\"i420\", speed=4)\n--\n\n"
    "`talmiro_media::TestPattern`: moving colour bars, a sweeping stripe and the frame counter;\n"
    "frame `n` is a pure function of `n`, so a test can regenerate what a publisher sent. `fps` "
    "is\ncarried for the Python wrapper's pacing and the layout; the picture does not depend on "
    "it.";

PyType_Slot pattern_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPatternDoc)},
    {Py_tp_new, reinterpret_cast<void*>(pattern_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PatternObject>)},
    {Py_tp_getset, pattern_getset},
    {Py_tp_methods, pattern_methods},
    {Py_tp_members, weakref_members},
    {Py_tp_repr, reinterpret_cast<void*>(pattern_repr)},
    {0, nullptr},
};

PyType_Spec pattern_spec = {"talmiro_sdk_video._codec.TestPattern", sizeof(Box<PatternObject>),
                            0, kTypeFlags, pattern_slots};

PyObject* g_pattern_type = nullptr;

}  // namespace

PyObject* pattern_type() { return once_type(g_pattern_type, pattern_spec); }

}  // namespace talmiro_py
