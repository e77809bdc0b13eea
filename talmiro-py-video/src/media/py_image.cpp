// The Image and Plane classes: an immutable core picture shared with Python, and read-only
// 2-D buffer views of its planes that keep its bytes alive.
#include "py_image.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::SharedImage;

// ---- Plane ----

// One plane of a shared image. The shape and strides arrays live here because an exported
// buffer view points at them.
struct PlaneObject {
    PlaneObject(SharedImage img, int plane_index) noexcept
        : image(std::move(img)), index(plane_index) {
        const bool luma = index == 0;
        const Py_ssize_t rows = luma ? image->height : image->ch();
        const Py_ssize_t cols = luma ? image->width : image->cw();
        shape = {rows, cols};
        strides = {cols, 1};
    }

    std::span<const std::uint8_t> bytes() const noexcept { return image->plane(index); }

    SharedImage image;
    std::array<Py_ssize_t, 2> shape{};
    std::array<Py_ssize_t, 2> strides{};
    int index;
};

PlaneObject& plane_of(PyObject* self) noexcept { return unbox<PlaneObject>(self); }

PyObject* g_plane_type = nullptr;

PyObject* new_plane(const SharedImage& image, int index) {
    PyObject* type = plane_type();
    if (!type) return nullptr;
    return box_new<PlaneObject>(as_type(type), image, index);
}

PyObject* plane_shape(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& p = plane_of(self);
        return Py_BuildValue("(nn)", p.shape[0], p.shape[1]);
    });
}

PyObject* plane_nbytes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        return PyLong_FromSize_t(plane_of(self).bytes().size());
    });
}

PyObject* plane_tobytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("tobytes", {}, args, nargs, kwnames)) return nullptr;
        return bytes_of(plane_of(self).bytes());
    });
}

Py_ssize_t plane_length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] { return plane_of(self).shape[0]; });
}

int plane_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return guarded<int>(-1, [&]() -> int {
        if (!view) {
            PyErr_SetString(PyExc_BufferError, "view is null");
            return -1;
        }
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
            PyErr_SetString(PyExc_BufferError, "decoded planes are read-only");
            return -1;
        }
        auto& p = plane_of(self);
        // The rows follow each other: Fortran order holds only for a single row or column.
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && p.shape[0] > 1 &&
            p.shape[1] > 1) {
            PyErr_SetString(PyExc_BufferError, "decoded planes are not Fortran-contiguous");
            return -1;
        }
        const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
        // The exporter's memory is never written through the view: it is exported read-only.
        view->buf = const_cast<std::uint8_t*>(p.bytes().data());
        view->obj = Py_NewRef(self);
        view->len = static_cast<Py_ssize_t>(p.bytes().size());
        view->readonly = 1;
        view->itemsize = 1;
        view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
        view->ndim = nd ? 2 : 1;
        view->shape = nd ? p.shape.data() : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? p.strides.data() : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        return 0;
    });
}

// The reference taken in view->obj is what keeps the plane alive; nothing else to undo.
void plane_releasebuffer(PyObject*, Py_buffer*) {}

PyGetSetDef plane_getset[] = {
    {"shape", plane_shape, nullptr, nullptr, nullptr},
    {"nbytes", plane_nbytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef plane_methods[] = {
    fast_method("tobytes", plane_tobytes, "tobytes($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kPlaneDoc =
    "A read-only 2-D `uint8` view of one plane of an [`Image`] (buffer protocol). Keeps the image\n"
    "alive; `np.asarray(plane)`, `memoryview(plane)` and `bytes(plane)` all work, the first two\n"
    "without copying.";

PyType_Slot plane_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPlaneDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PlaneObject>)},
    {Py_tp_getset, plane_getset},
    {Py_tp_methods, plane_methods},
    {Py_mp_length, reinterpret_cast<void*>(plane_length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(plane_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(plane_releasebuffer)},
    {0, nullptr},
};

PyType_Spec plane_spec = {"talmiro_sdk_video._codec.Plane", sizeof(Box<PlaneObject>), 0,
                          kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, plane_slots};

// ---- Image ----

// What one Python Image owns: a holder of the core picture's bytes.
struct ImageObject {
    explicit ImageObject(SharedImage image) noexcept : core(std::move(image)) {}

    SharedImage core;
};

ImageObject& image_of(PyObject* self) noexcept { return unbox<ImageObject>(self); }

PyObject* g_image_type = nullptr;

PyObject* image_width(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(image_of(self).core->width); });
}

PyObject* image_height(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(image_of(self).core->height); });
}

PyObject* image_t_us(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromLongLong(image_of(self).core->t_us); });
}

PyObject* image_recovering(PyObject* self, void*) {
    return guarded([&] { return PyBool_FromLong(image_of(self).core->recovering); });
}

PyObject* image_format(PyObject*, void*) {
    return guarded([&] { return PyUnicode_FromString("i420"); });
}

template <int Index>
PyObject* image_plane(PyObject* self, void*) {
    return guarded([&] { return new_plane(image_of(self).core, Index); });
}

PyObject* image_nbytes(PyObject* self, void*) {
    return guarded([&] {
        return PyLong_FromSize_t(image_of(self).core->nbytes());
    });
}

PyObject* image_planes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("planes", {}, args, nargs, kwnames)) return nullptr;
        const SharedImage& img = image_of(self).core;
        PyObject* tuple = PyTuple_New(3);
        if (!tuple) return nullptr;
        for (int i = 0; i < 3; ++i) {
            PyObject* plane = new_plane(img, i);
            if (!plane || PyTuple_SetItem(tuple, i, plane) < 0) {
                Py_DECREF(tuple);
                return nullptr;
            }
        }
        return tuple;
    });
}

PyObject* image_tobytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("tobytes", {}, args, nargs, kwnames)) return nullptr;
        const auto& img = *image_of(self).core;
        const std::size_t total = img.nbytes();
        PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
        if (!out) return nullptr;
        char* dst = PyBytes_AsString(out);
        if (!dst) {
            Py_DECREF(out);
            return nullptr;
        }
        for (int i = 0; i < 3; ++i) {
            const auto plane = img.plane(i);
            if (!plane.empty()) std::memcpy(dst, plane.data(), plane.size());
            dst += plane.size();
        }
        return out;
    });
}

PyObject* image_repr(PyObject* self) {
    return guarded([&] {
        const auto& img = *image_of(self).core;
        const std::string text = "Image(" + std::to_string(img.width) + "x" +
                                 std::to_string(img.height) + " i420, t_us=" +
                                 std::to_string(img.t_us) + ", recovering=" +
                                 (img.recovering ? "true" : "false") + ")";
        return str_of(text);
    });
}

PyGetSetDef image_getset[] = {
    {"width", image_width, nullptr, nullptr, nullptr},
    {"height", image_height, nullptr, nullptr, nullptr},
    {"t_us", image_t_us, nullptr, nullptr, nullptr},
    {"recovering", image_recovering, nullptr, nullptr, nullptr},
    {"format", image_format, nullptr, "Always `\"i420\"`.", nullptr},
    {"y", image_plane<0>, nullptr, "Luma plane, `(height, width)` `uint8`, read-only, zero-copy.",
     nullptr},
    {"u", image_plane<1>, nullptr, "Cb plane, `(ceil(h/2), ceil(w/2))`.", nullptr},
    {"v", image_plane<2>, nullptr, "Cr plane, `(ceil(h/2), ceil(w/2))`.", nullptr},
    {"nbytes", image_nbytes, nullptr, "Bytes of the three planes together.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef image_methods[] = {
    fast_method("planes", image_planes, "planes($self)\n--\n\n`(y, u, v)`."),
    fast_method("tobytes", image_tobytes,
                "tobytes($self)\n--\n\nThe packed I420 picture (Y, then U, then V) as one `bytes` "
                "object. This is a copy; use the\nplane views for zero-copy access."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kImageDoc =
    "One I420 picture that owns its bytes: what the decoder returns and what `TestPattern` "
    "draws.\n`y`, `u`, `v` are zero-copy 2-D buffer views ([`Plane`]); `t_us` is the capture "
    "stamp of the\naccess unit it came from (or the stamp given to `TestPattern`), `recovering` "
    "marks a picture\nthat may be partly wrong: output while a recovery-point start was still "
    "refreshing, or\ndecoded from a damaged bitstream (a lost or incomplete access unit, errors "
    "libavcodec\nconcealed, or a reference picture so damaged).";

PyType_Slot image_slots[] = {
    {Py_tp_doc, const_cast<char*>(kImageDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ImageObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(image_repr)},
    {Py_tp_getset, image_getset},
    {Py_tp_methods, image_methods},
    {0, nullptr},
};

PyType_Spec image_spec = {"talmiro_sdk_video._codec.Image", sizeof(Box<ImageObject>), 0,
                          kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, image_slots};

}  // namespace

PyObject* image_type() { return once_type(g_image_type, image_spec); }
PyObject* plane_type() { return once_type(g_plane_type, plane_spec); }

PyObject* new_image(SharedImage image) {
    PyObject* type = image_type();
    if (!type) return nullptr;
    return box_new<ImageObject>(as_type(type), std::move(image));
}

PyObject* new_image(talmiro_media::Image&& image) {
    return new_image(std::make_shared<const talmiro_media::Image>(std::move(image)));
}

PyObject* new_image_list(std::vector<talmiro_media::Image>&& images) {
    // The shared pictures are made before any Python object: a bad_alloc leaves nothing behind.
    std::vector<SharedImage> shared;
    shared.reserve(images.size());
    for (talmiro_media::Image& image : images)
        shared.push_back(std::make_shared<const talmiro_media::Image>(std::move(image)));
    return new_list(shared.size(), [&](std::size_t i) { return new_image(std::move(shared[i])); });
}

const SharedImage* image_or_null(PyObject* obj) noexcept {
    PyObject* type = g_image_type;
    if (!type || !PyObject_TypeCheck(obj, as_type(type))) return nullptr;
    return &image_of(obj).core;
}

}  // namespace talmiro_py
