// The Python protocols the codec classes share, written once: `with` (__enter__ gives the
// object, __exit__ closes it) and the representation "Name(facts)".
#pragma once

#include "py.hpp"

#include <string_view>

namespace talmiro_py {

// Method-table entries for a class with a `close()` method (functions, so that a table in
// another file can be initialised from them in any order).
PyMethodDef enter_method() noexcept;
PyMethodDef exit_method() noexcept;

// A new str "TypeName(facts)" with the name of `self`'s type; null with an exception set.
PyObject* repr_of(PyObject* self, std::string_view facts);

}  // namespace talmiro_py
