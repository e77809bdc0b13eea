// One way to wrap: a class is a PyType_Spec created once per process, and an object that owns
// a C++ value constructs it in box_new and destroys it in box_dealloc, nowhere else. The
// classes are immutable (kTypeFlags), so Python code cannot swap in a __new__ that skips
// box_new.
#pragma once

#include "py.hpp"

#include <structmember.h>

#include <cstddef>
#include <memory>
#include <utility>

namespace talmiro_py {

// Every class's type flags: immutable types, not subclassable.
inline constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

template <typename T>
struct Box {
    PyObject_HEAD
    // The object's weak references (null while there are none), found by the interpreter
    // through the type's __weaklistoffset__ member (weakref_members).
    PyObject* weakrefs;
    // Set once `value` is constructed; the allocator zeroes it before.
    bool built;
    T value;
};

// `weakrefs` follows the object header in every Box, whatever T is.
struct BoxHead {
    PyObject_HEAD
    PyObject* weakrefs;
};
inline constexpr Py_ssize_t kWeakrefsOffset = offsetof(BoxHead, weakrefs);

// The Py_tp_members of a class whose objects can be weakly referenced.
inline PyMemberDef weakref_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, kWeakrefsOffset, READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

template <typename T>
T& unbox(PyObject* self) noexcept {
    return reinterpret_cast<Box<T>*>(self)->value;
}

// Allocates an instance of `type` and constructs its value from `args`; null with an
// exception set on failure. A C++ exception from the constructor frees the instance and
// propagates (the entry point's guard turns it into a Python exception).
template <typename T, typename... A>
PyObject* box_new(PyTypeObject* type, A&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    try {
        std::construct_at(&unbox<T>(self), std::forward<A>(args)...);
        reinterpret_cast<Box<T>*>(self)->built = true;
    } catch (...) {
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
        Py_DECREF(type);
        throw;
    }
    return self;
}

template <typename T>
void box_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* box = reinterpret_cast<Box<T>*>(self);
    if (box->weakrefs) PyObject_ClearWeakRefs(self);
    if (box->built) std::destroy_at(&box->value);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// The class's type object, created from `spec` on first use and kept for the process
// (the interpreter lock serialises the creation). Borrowed; null with an exception set.
inline PyObject* once_type(PyObject*& cache, PyType_Spec& spec) {
    if (!cache) cache = PyType_FromSpec(&spec);
    return cache;
}

inline PyTypeObject* as_type(PyObject* type) noexcept {
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace talmiro_py
