// Small Python values made from C++ ones, written once for every class.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace talmiro_py {

// A new reference, given back when it goes.
struct Unref {
    void operator()(PyObject* obj) const noexcept { Py_DECREF(obj); }
};
using Owned = std::unique_ptr<PyObject, Unref>;

// Py_True or Py_False, borrowed: for Py_BuildValue's "O", which takes a reference of its own.
inline PyObject* bool_of(bool v) noexcept { return v ? Py_True : Py_False; }

// A new str from UTF-8 text; null with an exception set.
inline PyObject* str_of(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A new bytes object holding a copy of `data`; null with an exception set.
inline PyObject* bytes_of(std::span<const std::uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

// A new tuple of strs, one for each of `names` in order; null with an exception set.
inline PyObject* str_tuple(std::span<const std::string_view> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    for (std::size_t i = 0; tuple && i < names.size(); ++i) {
        PyObject* item = str_of(names[i]);
        if (!item || PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), item) < 0) Py_CLEAR(tuple);
    }
    return tuple;
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

// Counters by name, in the order their keys go into a dict.
using Counts = std::initializer_list<std::pair<const char*, std::uint64_t>>;

inline bool dict_put_counts(PyObject* dict, Counts counts) {
    for (const auto& [key, value] : counts)
        if (!dict_put_count(dict, key, value)) return false;
    return true;
}

// A new list of `n` items, item i made by `make(i)` (a new reference, or null with an exception
// set); null with an exception set.
template <typename Make>
PyObject* new_list(std::size_t n, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    for (std::size_t i = 0; list && i < n; ++i) {
        PyObject* item = make(i);
        // PyList_SetItem takes the item over, even when it fails.
        if (!item || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) Py_CLEAR(list);
    }
    return list;
}

// The one builder of the module's dicts: a new dict that `fill` (returning false with an
// exception set) puts the keys into; null with an exception set. Each value is made only
// when its key is put, so a failure leaves nothing behind.
template <typename Fill>
PyObject* new_dict(Fill&& fill) {
    PyObject* dict = PyDict_New();
    if (dict && !fill(dict)) Py_CLEAR(dict);
    return dict;
}

}  // namespace talmiro_py
