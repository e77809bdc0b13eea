// Turning failures into Python exceptions: the module's MediaError, the translation of core
// errors and C++ exceptions, and the quoting of a caller's text inside a message.
#pragma once

#include "py.hpp"

#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "talmiro_media/ffmpeg_util.hpp"

namespace talmiro_py {

// The process-wide MediaError type (borrowed), created on first use; null with an exception
// set when creating it failed.
PyObject* media_error_type();

// Raise MediaError with a core error's display text, or with a fixed text; both return null.
PyObject* raise_media_error(const talmiro_media::MediaError& err);
PyObject* raise_media_error(const char* text);

// The one reading of a call on an object that may be closed: absent `outcome` (closed)
// raises MediaError with `closed_text`, a core error raises MediaError with its text, and a
// value becomes the Python object `convert` makes of it.
template <typename T, typename Convert>
PyObject* converted_or_raise(std::optional<talmiro_media::Result<T>>&& outcome,
                             const char* closed_text, Convert&& convert) {
    if (!outcome) return raise_media_error(closed_text);
    if (!*outcome) return raise_media_error(outcome->error());
    return convert(std::move(**outcome));
}

// Raise `type` with a message built from UTF-8 text; returns null.
PyObject* raise(PyObject* type, const std::string& text);

// A Python str as a double-quoted literal: backslash before a quote or a backslash, \n, \r,
// \t and \0 for those controls and \u{hex} for any other non-printable character. Returns
// false with an exception set when the text could not be read.
bool quote_text(PyObject* str, std::string& out);

// Raises ValueError "{what} must be a, b or c, got {text quoted}" for a str `text` that names
// none of `names` (listed in their order); returns null.
PyObject* raise_none_of(std::string_view what, std::span<const std::string_view> names,
                        PyObject* text);

// The current exception as "QualifiedType: str(exc)" (": <exception str() failed>" when
// str() itself raises), clearing it.
std::string take_error_text();

// Runs `body` and turns any C++ exception that leaves it into a Python exception, so nothing
// unwinds into the interpreter. `body` returns the Python result (null for an error). Only a
// foreign exception goes through: the forced unwind that ends a thread waiting for the
// interpreter lock (see locks.hpp) must reach the thread's start, so this is not noexcept.
template <typename R, typename F>
R guarded(R failed, F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        // A foreign exception (std::current_exception() cannot hold one) goes on: the forced
        // unwind that ends the thread is one.
        if (!std::current_exception()) throw;
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return failed;
}

template <typename F>
PyObject* guarded(F&& body) {
    return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace talmiro_py
