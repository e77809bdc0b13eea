// Adding names to a module (module_names.hpp).
#include "module_names.hpp"

namespace talmiro_py {

bool add(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* key = PyUnicode_FromString(name);
    const bool listed = key && PyList_Append(all, key) == 0;
    Py_XDECREF(key);
    Py_DECREF(all);
    return listed && PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_constant(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    const bool ok = PyModule_AddObjectRef(module, name, value) == 0;
    Py_DECREF(value);
    return ok;
}

bool add_function(PyObject* module, PyMethodDef& def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    PyObject* fn = PyCFunction_NewEx(&def, module, module_name);
    Py_DECREF(module_name);
    const bool ok = add(module, def.ml_name, fn);
    Py_XDECREF(fn);
    return ok;
}

}  // namespace talmiro_py
