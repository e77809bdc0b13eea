// The one argument reader of the module. Each callable declares its parameter list once, as
// a list of `param(name, target)` entries in signature order; the reader takes fast-call
// arguments (or a constructor's tuple and dict), fills the targets and raises the TypeError
// or OverflowError that names the parameter. Targets of optional parameters keep the value
// they held (the default) when the caller leaves them out.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace talmiro_py {

enum class Kind : std::uint8_t {
    U8,        // std::uint8_t
    U16,       // std::uint16_t
    U32,       // std::uint32_t
    U64,       // std::uint64_t
    I64,       // std::int64_t
    OptU32,    // std::optional<std::uint32_t>: an int, or None for none
    Bool,      // bool: a real bool or a NumPy bool scalar, nothing else
    Str,       // PyObject* (borrowed), a str
    OptStr,    // PyObject* (borrowed), a str, or null for None
    Bytes,     // PyObject* (borrowed), bytes or a subclass
    Object,    // PyObject* (borrowed), anything
};

enum class Need : std::uint8_t { Required, Optional };

struct Param {
    const char* name;
    Kind kind;
    void* target;
    Need need;
};

inline Param param(const char* name, std::uint8_t& t, Need n = Need::Required) {
    return {name, Kind::U8, &t, n};
}
inline Param param(const char* name, std::uint16_t& t, Need n = Need::Required) {
    return {name, Kind::U16, &t, n};
}
inline Param param(const char* name, std::uint32_t& t, Need n = Need::Required) {
    return {name, Kind::U32, &t, n};
}
inline Param param(const char* name, std::uint64_t& t, Need n = Need::Required) {
    return {name, Kind::U64, &t, n};
}
inline Param param(const char* name, std::optional<std::uint32_t>& t, Need n = Need::Required) {
    return {name, Kind::OptU32, &t, n};
}
inline Param param(const char* name, std::int64_t& t, Need n = Need::Required) {
    return {name, Kind::I64, &t, n};
}
inline Param param(const char* name, bool& t, Need n = Need::Required) {
    return {name, Kind::Bool, &t, n};
}
inline Param param(const char* name, PyObject*& t, Kind k, Need n = Need::Required) {
    return {name, k, &t, n};
}

using Params = std::initializer_list<Param>;

// Fast call with keywords (METH_FASTCALL | METH_KEYWORDS). `fn` names the callable in messages.
bool read_args(const char* fn, Params params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames);
// A constructor's positional tuple and keyword dict (either may be null).
bool read_args(const char* fn, Params params, PyObject* args, PyObject* kwargs);

// One value that is not a call's argument (a dict's field, a list's item) read into `p`'s
// target as an argument would be, its messages naming `p.name`.
bool read_value(const char* fn, const Param& p, PyObject* value);

// An argument read wider than it may be (a payload type, 0..127, or a 16-bit sequence number,
// read as 32 bits): true when `value` is none or at most `max`, else false with the ValueError
// "NAME must be <= MAX".
bool fits(const char* name, std::optional<std::uint32_t> value, std::uint32_t max);

// A method-table entry for a fast-call function with keywords.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef fast_method(const char* name, FastFunction fn, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The UTF-8 text of a str, or none when it cannot be encoded (a lone surrogate): with the
// interpreter's encoding error set if `keep_error`, else with no exception left set.
std::optional<std::string_view> utf8_of(PyObject* str, bool keep_error = false);

}  // namespace talmiro_py
