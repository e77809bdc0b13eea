// Adding names to a module in its execution step, shared by both modules.
#pragma once

#include "py.hpp"

namespace talmiro_py {

// Appends `name` to the module's __all__ (made on first use), then sets the attribute; false
// with an exception set (also when `value` is null).
bool add(PyObject* module, const char* name, PyObject* value);

// Sets a constant of the module, outside __all__, taking over the reference to `value`.
bool add_constant(PyObject* module, const char* name, PyObject* value);

// Adds the function of `def`, bound to the module, through add().
bool add_function(PyObject* module, PyMethodDef& def);

}  // namespace talmiro_py
