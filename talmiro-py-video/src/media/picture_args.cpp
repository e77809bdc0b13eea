// Placeholder until the picture arguments land.
#include "args.hpp"
#include "classes.hpp"

namespace talmiro_py {
namespace {
PyObject* not_yet(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}
}  // namespace
PyMethodDef psnr_def = fast_method("psnr", not_yet, "psnr(a, b)\n--\n\n");
PyMethodDef buffer_address_def = fast_method("buffer_address", not_yet, "buffer_address(obj)\n--\n\n");
}  // namespace talmiro_py
