// The read_rtp function: waits for RTP datagrams on a socket and reads them in one call, without
// the interpreter lock, until the caller has something to do. A receiving thread in Python
// otherwise wakes up once per packet, and each wake-up (the interpreter lock taken back, the
// loop's bytecode run cold) costs several times what the packet itself does; read this way it
// wakes up about once per access unit.
#include "py.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"

namespace talmiro_py {

namespace {

constexpr std::size_t kMaxWatched = 4;
constexpr std::size_t kDatagramBytes = 65536;

struct Datagram {
    std::vector<std::uint8_t> bytes;
    sockaddr_storage source{};
    socklen_t source_len = 0;
    std::int64_t arrival_us = 0;
};

struct ReadPlan {
    int fd = -1;
    std::int64_t until_us = 0;
    std::vector<int> watched;
    int payload_type = 96;
    std::optional<std::uint16_t> next_seq;
    std::size_t max_datagrams = 64;
    // How long datagrams read wait for the next before they are handed on.
    std::int64_t hold_us = 2'000;
};

struct ReadResult {
    std::vector<Datagram> datagrams;
    std::vector<int> ready;  // the watched descriptors found readable
    int error = 0;           // errno of a failed read or wait, 0 if none
};

std::int64_t monotonic_us() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// Whether the caller wants this datagram now: anything but the next packet of the media
// payload type in sequence without its marker (an access unit's last packet) ends the read.
bool ends_read(const Datagram& d, ReadPlan& plan) noexcept {
    const auto& b = d.bytes;
    if (b.size() < 12 || (b[0] >> 6) != 2 || (b[1] & 0x7F) != plan.payload_type) return true;
    const auto seq = static_cast<std::uint16_t>(b[2] << 8 | b[3]);
    const bool in_order = !plan.next_seq || *plan.next_seq == seq;
    plan.next_seq = static_cast<std::uint16_t>(seq + 1);
    return !in_order || (b[1] & 0x80) != 0;
}

// Reads without the interpreter lock. Returns after a datagram the caller wants now, a full
// batch, 2 ms without a datagram once one was read, a watched descriptor readable,
// the time `until_us` passed, a signal, or an error.
ReadResult read_datagrams(ReadPlan plan) {
    ReadResult out;
    // One buffer per thread, left unzeroed: a receiving thread calls this once per access unit.
    thread_local const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kDatagramBytes);
    std::vector<pollfd> fds;
    fds.push_back({plan.fd, POLLIN, 0});
    for (const int w : plan.watched) fds.push_back({w, POLLIN, 0});
    while (out.datagrams.size() < plan.max_datagrams) {
        Datagram d;
        d.source_len = sizeof d.source;
        const ssize_t n = recvfrom(plan.fd, buffer.get(), kDatagramBytes, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&d.source), &d.source_len);
        if (n >= 0) {
            d.arrival_us = monotonic_us();
            d.bytes.assign(buffer.get(), buffer.get() + n);
            out.datagrams.push_back(std::move(d));
            if (ends_read(out.datagrams.back(), plan)) break;
            continue;
        }
        if (errno == EINTR) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            out.error = errno;
            break;
        }
        const std::int64_t left = plan.until_us - monotonic_us();
        if (left <= 0) break;
        // Rounded up: waking early would only come back here. Datagrams read wait for the
        // next one `hold_us` at most: the caller's timers (a unit whose packets stopped) must
        // see them in time.
        const bool holding = !out.datagrams.empty();
        const std::int64_t wait_us = holding ? std::min(left, plan.hold_us) : left;
        const int wait_ms = static_cast<int>(std::min<std::int64_t>((wait_us + 999) / 1000, 1000));
        const int got = poll(fds.data(), fds.size(), wait_ms);
        if (got < 0) {
            if (errno != EINTR) out.error = errno;
            break;
        }
        if (got == 0 && holding) break;
        bool watched_ready = false;
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0) {
                out.ready.push_back(fds[i].fd);
                watched_ready = true;
            }
        if (watched_ready) break;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            out.error = (fds[0].revents & POLLNVAL) ? EBADF : EIO;
            break;
        }
    }
    return out;
}

// (host, port) of a source address, as the socket module gives it.
PyObject* address_of(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
    }
    return Py_BuildValue("(sI)", host, port);
}

PyObject* datagram_list(const std::vector<Datagram>& datagrams) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(datagrams.size()));
    if (!list) return nullptr;
    PyObject* source = nullptr;  // shared by datagrams from the same address
    const Datagram* source_of = nullptr;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const Datagram& d = datagrams[i];
        if (!source_of || source_of->source_len != d.source_len ||
            std::memcmp(&source_of->source, &d.source, d.source_len) != 0) {
            Py_XDECREF(source);
            source = address_of(d.source);
            source_of = &d;
        }
        PyObject* item =
            source ? Py_BuildValue("(y#OL)", reinterpret_cast<const char*>(d.bytes.data()),
                                   static_cast<Py_ssize_t>(d.bytes.size()), source,
                                   static_cast<long long>(d.arrival_us))
                   : nullptr;
        if (!item) {
            Py_XDECREF(source);
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    Py_XDECREF(source);
    return list;
}

bool read_fds(PyObject* watch, std::vector<int>& out) {
    PyObject* seq = PySequence_Fast(watch, "read_rtp() argument 'watch' must be a sequence");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Size(seq);
    bool ok = n >= 0;
    if (ok && static_cast<std::size_t>(n) > kMaxWatched) {
        PyErr_Format(PyExc_ValueError, "read_rtp() watches at most %d descriptors",
                     static_cast<int>(kMaxWatched));
        ok = false;
    }
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        const long fd = item ? PyLong_AsLong(item) : -1;
        Py_XDECREF(item);
        if (fd == -1 && PyErr_Occurred()) ok = false;
        else if (fd < 0 || fd > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "read_rtp() needs descriptors of 0 and above");
            ok = false;
        } else out.push_back(static_cast<int>(fd));
    }
    Py_DECREF(seq);
    return ok;
}

PyObject* read_rtp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t fd = 0;
        std::int64_t until_us = 0;
        PyObject* watch = nullptr;
        std::uint8_t payload_type = 96;
        std::optional<std::uint32_t> next_seq;
        std::uint32_t max_datagrams = 64;
        std::uint32_t hold_us = 2'000;
        if (!read_args("read_rtp",
                       {param("fileno", fd), param("until_us", until_us),
                        param("watch", watch, Kind::Object, Need::Optional),
                        param("payload_type", payload_type, Need::Optional),
                        param("next_seq", next_seq, Need::Optional),
                        param("max_datagrams", max_datagrams, Need::Optional),
                        param("hold_us", hold_us, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        ReadPlan plan;
        plan.fd = static_cast<int>(std::min<std::uint32_t>(fd, INT32_MAX));
        plan.until_us = until_us;
        if (watch && !read_fds(watch, plan.watched)) return nullptr;
        if (payload_type > 127 || (next_seq && *next_seq > 0xFFFF) || max_datagrams == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "read_rtp() needs payload_type 0-127, next_seq 0-65535 and "
                            "max_datagrams of 1 or more");
            return nullptr;
        }
        plan.payload_type = payload_type;
        if (next_seq) plan.next_seq = static_cast<std::uint16_t>(*next_seq);
        plan.max_datagrams = std::min<std::uint32_t>(max_datagrams, 4096);
        plan.hold_us = hold_us;
        ReadResult result = without_gil([&] { return read_datagrams(std::move(plan)); });
        if (result.error != 0 && result.datagrams.empty()) {
            errno = result.error;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        PyObject* list = datagram_list(result.datagrams);
        if (!list) return nullptr;
        PyObject* ready = PyTuple_New(static_cast<Py_ssize_t>(result.ready.size()));
        for (std::size_t i = 0; ready && i < result.ready.size(); ++i) {
            PyObject* v = PyLong_FromLong(result.ready[i]);
            if (!v) Py_CLEAR(ready);
            else PyTuple_SetItem(ready, static_cast<Py_ssize_t>(i), v);
        }
        if (!ready) {
            Py_DECREF(list);
            return nullptr;
        }
        return Py_BuildValue("(NN)", list, ready);
    });
}

}  // namespace

PyMethodDef read_rtp_def = fast_method(
    "read_rtp", read_rtp,
    "read_rtp(fileno, until_us, watch=(), payload_type=96, next_seq=None, max_datagrams=64, "
    "hold_us=2000)\n"
    "--\n\n"
    "Reads datagrams from the socket `fileno` without the interpreter lock until the caller\n"
    "has something to do: a datagram that is not the packet of `payload_type` following\n"
    "`next_seq` without the marker bit (it is taken and ends the read), `max_datagrams` read,\n"
    "`hold_us` without a datagram once one was read (rounded up to ms), a descriptor of\n"
    "`watch` readable, the monotonic clock past `until_us` (µs, as time.monotonic_ns() //\n"
    "1000), or a signal. Returns ([(bytes, (host, port), arrival_us)], the descriptors of\n"
    "`watch` found readable). A failed read raises OSError when nothing was read before it.");

}  // namespace talmiro_py
