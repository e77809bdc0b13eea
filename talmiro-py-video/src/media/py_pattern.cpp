// Placeholder until the TestPattern class lands.
#include "box.hpp"
#include "classes.hpp"

namespace talmiro_py {
namespace {
PyType_Slot slots[] = {{0, nullptr}};
PyType_Spec spec = {"talmiro_sdk_video._codec.TestPattern", sizeof(PyObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
PyObject* g_type = nullptr;
}  // namespace
PyObject* pattern_type() { return once_type(g_type, spec); }
}  // namespace talmiro_py
