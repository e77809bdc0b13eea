// The classes and functions of the module, each defined in its own file; the module's
// execution step adds them in this order.
#pragma once

#include "py.hpp"

namespace talmiro_py {

// Type objects (borrowed, created once per process; null with an exception set).
PyObject* image_type();
PyObject* plane_type();
PyObject* encoder_type();
PyObject* decoder_type();
PyObject* pattern_type();

// Module functions defined beside the picture arguments.
extern PyMethodDef psnr_def;
extern PyMethodDef buffer_address_def;

}  // namespace talmiro_py
