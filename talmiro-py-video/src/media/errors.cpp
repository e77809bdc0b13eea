// Raising errors, and quoting a caller's text in a message.
#include "errors.hpp"

#include <cstdio>

namespace talmiro_py {

namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Whether a non-ASCII character prints as itself; surrogates never do.
bool printable(PyObject* str, Py_ssize_t i, Py_UCS4 c) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    if (c < 0x7F) return true;
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    PyObject* ch = PyUnicode_Substring(str, i, i + 1);
    if (!ch) {
        PyErr_Clear();
        return false;
    }
    PyObject* r = PyObject_CallMethod(ch, "isprintable", nullptr);
    Py_DECREF(ch);
    const int yes = r ? PyObject_IsTrue(r) : 0;
    Py_XDECREF(r);
    if (yes < 0 || !r) PyErr_Clear();
    return yes > 0;
}

}  // namespace

PyObject* raise_media_error(const char* text) {
    if (PyObject* type = media_error_type()) PyErr_SetString(type, text);
    return nullptr;
}

PyObject* raise_media_error(const talmiro_media::MediaError& err) {
    return raise_media_error(err.display().c_str());
}

PyObject* raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    return nullptr;
}

bool quote_text(PyObject* str, std::string& out) {
    const Py_ssize_t n = PyUnicode_GetLength(str);
    if (n < 0) return false;
    out += '"';
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_ReadChar(str, i);
        if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return false;
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (printable(str, i, c)) {
            append_utf8(out, c);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
            out += buf;
        }
    }
    out += '"';
    return true;
}

PyObject* raise_none_of(std::string_view what, std::span<const std::string_view> names,
                        PyObject* text) {
    std::string message(what);
    message += " must be ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) message += i + 1 == names.size() ? " or " : ", ";
        message += names[i];
    }
    message += ", got ";
    if (!quote_text(text, message)) return nullptr;
    return raise(PyExc_ValueError, message);
}

std::string take_error_text() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text = "<unknown error>";
    if (type) {
        text.clear();
        if (PyObject* name = PyObject_GetAttrString(type, "__qualname__")) {
            if (const char* s = PyUnicode_AsUTF8AndSize(name, nullptr)) text = s;
            Py_DECREF(name);
        }
        PyErr_Clear();
        PyObject* s = value ? PyObject_Str(value) : nullptr;
        const char* msg = s ? PyUnicode_AsUTF8AndSize(s, nullptr) : nullptr;
        if (msg) {
            text += ": ";
            text += msg;
        } else {
            text += ": <exception str() failed>";
        }
        Py_XDECREF(s);
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
}

}  // namespace talmiro_py
