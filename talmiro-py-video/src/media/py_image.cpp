// Placeholder until the Image and Plane classes land.
#include "box.hpp"
#include "classes.hpp"

namespace talmiro_py {
namespace {
PyType_Slot image_slots[] = {{0, nullptr}};
PyType_Spec image_spec = {"talmiro_sdk_video._codec.Image", sizeof(PyObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, image_slots};
PyType_Slot plane_slots[] = {{0, nullptr}};
PyType_Spec plane_spec = {"talmiro_sdk_video._codec.Plane", sizeof(PyObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, plane_slots};
PyObject* g_image = nullptr;
PyObject* g_plane = nullptr;
}  // namespace
PyObject* image_type() { return once_type(g_image, image_spec); }
PyObject* plane_type() { return once_type(g_plane, plane_spec); }
}  // namespace talmiro_py
