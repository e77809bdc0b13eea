// `with` support and the shared representation of the codec classes.
#include "protocols.hpp"

#include <string>

#include "args.hpp"
#include "errors.hpp"

namespace talmiro_py {

namespace {

PyObject* enter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("__enter__", {}, args, nargs, kwnames)) return nullptr;
        return Py_NewRef(self);
    });
}

// Closes the object through its own `close()` and returns False, so an exception raised in
// the `with` body propagates.
PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        if (!read_args("__exit__",
                       {param("exc_type", type, Kind::Object),
                        param("exc_value", value, Kind::Object),
                        param("traceback", traceback, Kind::Object)},
                       args, nargs, kwnames))
            return nullptr;
        PyObject* closed = PyObject_CallMethod(self, "close", nullptr);
        if (!closed) return nullptr;
        Py_DECREF(closed);
        Py_RETURN_FALSE;
    });
}

}  // namespace

PyMethodDef enter_method() noexcept {
    return fast_method("__enter__", enter,
                       "__enter__($self)\n--\n\nThe object itself, for `with`.");
}

PyMethodDef exit_method() noexcept {
    return fast_method("__exit__", exit,
                       "__exit__($self, exc_type, exc_value, traceback)\n--\n\nCloses the "
                       "object (`close()`); an exception raised inside `with` goes on.");
}

PyObject* repr_of(PyObject* self, std::string_view facts) {
    PyObject* name = PyType_GetName(Py_TYPE(self));
    if (!name) return nullptr;
    const std::string text(facts);
    PyObject* repr = PyUnicode_FromFormat("%U(%s)", name, text.c_str());
    Py_DECREF(name);
    return repr;
}

}  // namespace talmiro_py
