// The psnr function: the luma PSNR of two uint8 buffers, read in place.
#include "py.hpp"

#include <optional>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "picture_args.hpp"
#include "talmiro_media/psnr.hpp"

namespace talmiro_py {

namespace {

PyObject* psnr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a = nullptr;
        PyObject* b = nullptr;
        if (!read_args("psnr", {param("a", a, Kind::Object), param("b", b, Kind::Object)}, args,
                       nargs, kwnames))
            return nullptr;
        auto ha = acquire_u8(a);
        if (!ha) return nullptr;
        auto hb = acquire_u8(b);
        if (!hb) return nullptr;
        if (!ha->c_contiguous() || !hb->c_contiguous()) {
            PyErr_SetString(PyExc_ValueError, "psnr: buffers must be contiguous");
            return nullptr;
        }
        const std::optional<double> db = talmiro_media::psnr(ha->bytes(), hb->bytes());
        if (!db) Py_RETURN_NONE;
        return PyFloat_FromDouble(*db);
    });
}

}  // namespace

PyMethodDef psnr_def = fast_method(
    "psnr", psnr,
    "psnr(a, b)\n--\n\nLuma PSNR in dB between two equally sized uint8 buffers (`inf` for "
    "identical, `None` for a\nsize mismatch): the \"does the loop still carry a picture\" metric "
    "of the codec tests.");

}  // namespace talmiro_py
