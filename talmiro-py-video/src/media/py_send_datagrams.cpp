// The send_datagrams function: a sender's packets of one access unit to each of its receivers,
// a batch of datagrams to a system call (sendmmsg), without the interpreter lock. Sent one by
// one from Python, each datagram costs a loop turn, a method call and a system call of its own.
#include "py.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "socket_address.hpp"

namespace talmiro_py {

namespace {

// Datagrams handed to one sendmmsg call at most.
constexpr std::size_t kBatch = 256;

// The (host, port) pairs of `addresses`, numeric hosts only; false with an exception set.
bool read_addresses(PyObject* addresses, std::vector<SocketAddress>& out) {
    PyObject* seq = PySequence_Tuple(addresses);
    if (!seq) return false;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyTuple_Size(seq); ++i) {
        const char* host = nullptr;
        int port = 0;
        ok = PyArg_ParseTuple(PyTuple_GetItem(seq, i), "si;send_datagrams() needs (host, port) "
                                                       "addresses", &host, &port);
        if (!ok) break;
        const auto address = port >= 0 && port <= 0xFFFF
                                 ? numeric_address(host, static_cast<std::uint16_t>(port))
                                 : std::nullopt;
        if (!address) {
            PyErr_Format(PyExc_ValueError,
                         "send_datagrams() needs numeric hosts and ports up to 65535, got %s:%d",
                         host, port);
            ok = false;
        } else {
            out.push_back(*address);
        }
    }
    Py_DECREF(seq);
    return ok;
}

// Without the interpreter lock: every datagram to every address, datagram by datagram; the
// sends that failed.
std::uint64_t send_all(int fd, std::vector<iovec>& datagrams,
                       const std::vector<SocketAddress>& addresses) {
    std::vector<mmsghdr> messages;
    messages.reserve(datagrams.size() * addresses.size());
    for (iovec& d : datagrams) {
        for (const SocketAddress& a : addresses) {
            mmsghdr m{};
            m.msg_hdr.msg_name = const_cast<sockaddr*>(a.get());
            m.msg_hdr.msg_namelen = a.length;
            m.msg_hdr.msg_iov = &d;
            m.msg_hdr.msg_iovlen = 1;
            messages.push_back(m);
        }
    }
    std::uint64_t errors = 0;
    for (std::size_t at = 0; at < messages.size();) {
        const auto n = static_cast<unsigned int>(std::min(kBatch, messages.size() - at));
        const int sent = sendmmsg(fd, messages.data() + at, n, 0);
        if (sent > 0) {
            at += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            errors += 1;  // this one failed; the next ones are tried
            at += 1;
        }
    }
    return errors;
}

PyObject* send_datagrams(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t fd = 0;
        PyObject *datagrams = nullptr, *addresses = nullptr;
        if (!read_args("send_datagrams",
                       {param("fileno", fd), param("datagrams", datagrams, Kind::Object),
                        param("addresses", addresses, Kind::Object)},
                       args, nargs, kwnames))
            return nullptr;
        if (fd > INT_MAX) return raise(PyExc_ValueError, "send_datagrams() needs a descriptor");
        std::vector<SocketAddress> to;
        if (!read_addresses(addresses, to)) return nullptr;
        // The tuple holds the datagrams while the lock is given up, whatever happens to the
        // caller's sequence meanwhile.
        PyObject* held = PySequence_Tuple(datagrams);
        if (!held) return nullptr;
        std::vector<iovec> iov;
        for (Py_ssize_t i = 0; i < PyTuple_Size(held); ++i) {
            char* bytes = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(PyTuple_GetItem(held, i), &bytes, &size) < 0) {
                Py_DECREF(held);
                return nullptr;
            }
            iov.push_back({bytes, static_cast<std::size_t>(size)});
        }
        const std::uint64_t errors =
            iov.empty() || to.empty()
                ? 0
                : without_gil([&] { return send_all(static_cast<int>(fd), iov, to); });
        Py_DECREF(held);
        return PyLong_FromUnsignedLongLong(errors);
    });
}

}  // namespace

PyMethodDef send_datagrams_def = fast_method(
    "send_datagrams", send_datagrams,
    "send_datagrams(fileno, datagrams, addresses)\n--\n\n"
    "Sends each of `datagrams` (bytes) to each of `addresses` ((host, port) with a numeric\n"
    "IPv4 or IPv6 host), datagram by datagram, from the UDP socket `fileno`, in batches of one\n"
    "system call without the interpreter lock. Returns the sends that failed (each is counted\n"
    "and the next is tried, as for a lost packet).");

}  // namespace talmiro_py
