// Reading a call's positional and keyword arguments into C++ values, with the messages of a
// Python function's own argument errors.
#include "args.hpp"

#include <array>
#include <cstring>
#include <string>

#include "errors.hpp"

namespace talmiro_py {

namespace {

constexpr std::size_t kMaxParams = 24;

std::string type_name(PyObject* obj) {
    std::string out = "object";
    if (PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                                "__name__")) {
        if (const char* s = PyUnicode_AsUTF8AndSize(name, nullptr)) out = s;
        Py_DECREF(name);
    }
    PyErr_Clear();
    return out;
}

bool type_error(const char* fn, const Param& p, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", fn, p.name, expected,
                 type_name(got).c_str());
    return false;
}

bool overflow(const char* fn, const Param& p, const char* width) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' out of range for %s", fn, p.name, width);
    return false;
}

// A NumPy boolean scalar: a type named "bool_" or "bool" of the module "numpy".
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    bool yes = false;
    PyObject* module = PyObject_GetAttrString(type, "__module__");
    PyObject* name = module ? PyObject_GetAttrString(type, "__name__") : nullptr;
    if (module && name && PyUnicode_Check(module) && PyUnicode_Check(name)) {
        yes = PyUnicode_CompareWithASCIIString(module, "numpy") == 0 &&
              (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
               PyUnicode_CompareWithASCIIString(name, "bool") == 0);
    }
    Py_XDECREF(module);
    Py_XDECREF(name);
    PyErr_Clear();
    return yes;
}

// An integer through __index__, as unsigned (`is_signed` false) or signed 64 bits.
bool read_integer(const char* fn, const Param& p, PyObject* obj, bool is_signed,
                  std::uint64_t& u, std::int64_t& s) {
    if (!PyIndex_Check(obj)) return type_error(fn, p, "int", obj);
    PyObject* index = PyNumber_Index(obj);
    if (!index) return false;
    bool ok = true;
    if (is_signed) {
        s = PyLong_AsLongLong(index);
        if (s == -1 && PyErr_Occurred()) ok = false;
    } else {
        u = PyLong_AsUnsignedLongLong(index);
        if (u == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) ok = false;
    }
    Py_DECREF(index);
    if (!ok && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        return overflow(fn, p, is_signed ? "signed 64-bit" : "unsigned 64-bit");
    }
    return ok;
}

// Reads an unsigned integer of at most `max` into the `T` that `target` points to.
template <typename T>
bool store_unsigned(const char* fn, const Param& p, PyObject* obj, T* target, std::uint64_t max,
                    const char* width) {
    std::uint64_t u = 0;
    std::int64_t s = 0;
    if (!read_integer(fn, p, obj, false, u, s)) return false;
    if (u > max) return overflow(fn, p, width);
    *target = static_cast<T>(u);
    return true;
}

bool convert_integer(const char* fn, const Param& p, PyObject* obj) {
    switch (p.kind) {
        case Kind::U8:
            return store_unsigned(fn, p, obj, static_cast<std::uint8_t*>(p.target), 0xFFu,
                                  "unsigned 8-bit");
        case Kind::U16:
            return store_unsigned(fn, p, obj, static_cast<std::uint16_t*>(p.target), 0xFFFFu,
                                  "unsigned 16-bit");
        case Kind::U32:
            return store_unsigned(fn, p, obj, static_cast<std::uint32_t*>(p.target),
                                  0xFFFFFFFFu, "unsigned 32-bit");
        case Kind::OptU32: {
            auto* target = static_cast<std::optional<std::uint32_t>*>(p.target);
            if (obj == Py_None) {
                target->reset();
                return true;
            }
            if (!PyIndex_Check(obj)) return type_error(fn, p, "int or None", obj);
            std::uint32_t v = 0;
            if (!store_unsigned(fn, p, obj, &v, 0xFFFFFFFFu, "unsigned 32-bit")) return false;
            *target = v;
            return true;
        }
        case Kind::U64:
            return store_unsigned(fn, p, obj, static_cast<std::uint64_t*>(p.target),
                                  ~std::uint64_t{0}, "unsigned 64-bit");
        case Kind::I64: {
            std::uint64_t u = 0;
            std::int64_t s = 0;
            if (!read_integer(fn, p, obj, true, u, s)) return false;
            *static_cast<std::int64_t*>(p.target) = s;
            return true;
        }
        default:
            return false;
    }
}

// A str, bytes or any object, borrowed into the parameter's slot; None too where optional.
bool convert_object(const char* fn, const Param& p, PyObject* obj) {
    auto* target = static_cast<PyObject**>(p.target);
    if (p.kind == Kind::OptStr && obj == Py_None) {
        *target = nullptr;
        return true;
    }
    if ((p.kind == Kind::Str || p.kind == Kind::OptStr) && !PyUnicode_Check(obj))
        return type_error(fn, p, p.kind == Kind::Str ? "str" : "str or None", obj);
    if (p.kind == Kind::Bytes && !PyBytes_Check(obj)) return type_error(fn, p, "bytes", obj);
    *target = obj;
    return true;
}

bool convert(const char* fn, const Param& p, PyObject* obj) {
    switch (p.kind) {
        case Kind::U8:
        case Kind::U16:
        case Kind::U32:
        case Kind::OptU32:
        case Kind::U64:
        case Kind::I64:
            return convert_integer(fn, p, obj);
        case Kind::Bool: {
            if (PyBool_Check(obj)) {
                *static_cast<bool*>(p.target) = obj == Py_True;
                return true;
            }
            if (!is_numpy_bool(obj)) return type_error(fn, p, "bool", obj);
            const int truth = PyObject_IsTrue(obj);
            if (truth < 0) return false;
            *static_cast<bool*>(p.target) = truth != 0;
            return true;
        }
        case Kind::Str:
        case Kind::OptStr:
        case Kind::Bytes:
        case Kind::Object:
            return convert_object(fn, p, obj);
    }
    return false;
}

// Places one keyword argument into its parameter's slot.
bool place_keyword(const char* fn, Params params, std::array<PyObject*, kMaxParams>& slots,
                   PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fn);
        return false;
    }
    std::size_t i = 0;
    for (const Param& p : params) {
        if (PyUnicode_CompareWithASCIIString(key, p.name) == 0) {
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError,
                             "argument for %s() given by name ('%s') and position (%zu)", fn,
                             p.name, i + 1);
                return false;
            }
            slots[i] = value;
            return true;
        }
        ++i;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
    return false;
}

bool check_positional(const char* fn, Params params, Py_ssize_t nargs) {
    if (params.size() > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s() declares too many parameters", fn);
        return false;
    }
    if (nargs <= static_cast<Py_ssize_t>(params.size())) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", fn,
                 params.size(), params.size() == 1 ? "" : "s", nargs);
    return false;
}

bool convert_all(const char* fn, Params params, const std::array<PyObject*, kMaxParams>& slots) {
    std::size_t i = 0;
    for (const Param& p : params) {
        PyObject* obj = slots[i++];
        if (!obj) {
            if (p.need == Need::Optional) continue;
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn,
                         p.name, i);
            return false;
        }
        if (!convert(fn, p, obj)) return false;
    }
    return true;
}

}  // namespace

bool read_args(const char* fn, Params params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
    std::array<PyObject*, kMaxParams> slots{};
    if (!check_positional(fn, params, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!place_keyword(fn, params, slots, PyTuple_GetItem(kwnames, k), args[nargs + k]))
            return false;
    }
    return convert_all(fn, params, slots);
}

bool read_args(const char* fn, Params params, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, kMaxParams> slots{};
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0 || !check_positional(fn, params, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (kwargs) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(fn, params, slots, key, value)) return false;
    }
    return convert_all(fn, params, slots);
}

bool read_value(const char* fn, const Param& p, PyObject* value) { return convert(fn, p, value); }

bool fits(const char* name, std::optional<std::uint32_t> value, std::uint32_t max) {
    if (!value || *value <= max) return true;
    raise(PyExc_ValueError, std::string(name) + " must be <= " + std::to_string(max));
    return false;
}

std::optional<std::string_view> utf8_of(PyObject* str, bool keep_error) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (!s) {
        if (!keep_error) PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(s, static_cast<std::size_t>(len));
}

}  // namespace talmiro_py
