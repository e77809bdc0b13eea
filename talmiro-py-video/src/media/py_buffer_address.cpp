// The buffer_address function: where a buffer's first byte is, as the buffer protocol shows it.
#include "py.hpp"

#include <cstdint>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "picture_args.hpp"

namespace talmiro_py {

namespace {

PyObject* buffer_address(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* obj = nullptr;
        if (!read_args("buffer_address", {param("obj", obj, Kind::Object)}, args, nargs, kwnames))
            return nullptr;
        auto held = acquire_u8(obj);
        if (!held) return nullptr;
        return PyLong_FromUnsignedLongLong(
            reinterpret_cast<std::uintptr_t>(held->bytes().data()));
    });
}

}  // namespace

PyMethodDef buffer_address_def = fast_method(
    "buffer_address", buffer_address,
    "buffer_address(obj)\n--\n\nThe address of a buffer's first byte as this module sees it "
    "through the buffer protocol; for\nthe zero-copy test (`buffer_address(arr) == "
    "arr.ctypes.data`), diagnostics only.");

}  // namespace talmiro_py
