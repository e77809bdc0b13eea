// Small Python values made from C++ ones, written once for every class.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace talmiro_py {

// A new str from UTF-8 text; null with an exception set.
inline PyObject* str_of(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A new bytes object holding a copy of `data`; null with an exception set.
inline PyObject* bytes_of(std::span<const std::uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

// Sets `key` of `dict` to `value`, taking over the reference (a null `value` is a failure
// already raised); false with an exception set.
inline bool dict_put(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    const bool ok = PyDict_SetItemString(dict, key, value) == 0;
    Py_DECREF(value);
    return ok;
}

inline bool dict_put_count(PyObject* dict, const char* key, std::uint64_t value) {
    return dict_put(dict, key, PyLong_FromUnsignedLongLong(value));
}

}  // namespace talmiro_py
