// The rtcp_return_address function: the rule for where RTCP for a peer goes (socket_address.hpp),
// for Python code that forwards RTCP itself (the relay); the receive loop applies the same one.
#include "py.hpp"

#include <optional>

#include "args.hpp"
#include "classes.hpp"
#include "datagram_transport.hpp"
#include "errors.hpp"
#include "socket_address.hpp"

namespace talmiro_py {

namespace {

// None, or a (host, port) pair with a numeric host; false with an exception set.
bool read_optional(PyObject* item, std::optional<SocketAddress>& out) {
    if (item == Py_None) return true;
    out.emplace();
    return read_address("rtcp_return_address", item, *out);
}

PyObject* rtcp_return_address_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject *configured = nullptr, *rtcp_source = nullptr, *rtp_source = nullptr;
        if (!read_args("rtcp_return_address",
                       {param("configured", configured, Kind::Object),
                        param("rtcp_source", rtcp_source, Kind::Object),
                        param("rtp_source", rtp_source, Kind::Object)},
                       args, nargs, kwnames))
            return nullptr;
        std::optional<SocketAddress> a, b, c;
        if (!read_optional(configured, a) || !read_optional(rtcp_source, b) ||
            !read_optional(rtp_source, c))
            return nullptr;
        const auto to = rtcp_return_address(a, b, c);
        const auto hp = to ? host_port_of(*to) : std::nullopt;
        if (!hp) Py_RETURN_NONE;
        return Py_BuildValue("(si)", hp->host.c_str(), int{hp->port});
    });
}

}  // namespace

PyMethodDef rtcp_return_address_def = fast_method(
    "rtcp_return_address", rtcp_return_address_fn,
    "rtcp_return_address(configured, rtcp_source, rtp_source)\n--\n\nWhere RTCP for a peer "
    "goes, as (host, port) with a numeric host: `configured` when\ngiven; else where the "
    "peer's RTCP came from (`rtcp_source`); else, before any came, its\nRTP source port + 1 "
    "(none for port 65535); None while nothing was heard. Each argument is\nNone or a "
    "(host, port) pair with a numeric host.");

}  // namespace talmiro_py
