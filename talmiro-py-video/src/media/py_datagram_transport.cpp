// The DatagramTransport class: the one way RTP and RTCP datagrams go in and out of a UDP
// socket. Sends go in batches of one system call and reads come in batches, without the
// interpreter lock; the peers' addresses are resolved once. Two hooks are the seams for what
// works on each datagram: `protect`/`unprotect` (a callable of the bytes, giving the bytes to
// send or hand on, or None to refuse them) and `pace` (a callable that takes a send over and
// sends later with send_now). Without hooks nothing of Python is touched per datagram.
// A receive loop (RtpReceiveLoop) reads and sends through the socket alone: it takes only
// transports without hooks, and while it holds one no hook can be set on it. SRTP lives below
// the hooks, in the socket (set_srtp), so the loop and the send step protect and open too.
//
// The transport works on a duplicate of the socket's descriptor, its own: the Python socket
// stays its caller's (to bind, to wait on, to close), and closing either leaves the other
// usable; the port is free once both are closed.
#include "datagram_transport.hpp"

#include <fcntl.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "picture_args.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

// The largest UDP payload, and the datagrams read by one receive() unless told.
constexpr std::uint64_t kMaxDatagram = 65536;
constexpr std::uint64_t kReceiveBatch = 64;

struct DatagramTransportObject {
    DatagramTransportObject(int fd, std::size_t max) noexcept : socket(fd), max_size(max) {}
    DatagramSocket socket;
    std::size_t max_size;
    // The hooks: new references, or null for none; read and set with the interpreter lock.
    PyObject* protect = nullptr;
    PyObject* unprotect = nullptr;
    PyObject* pace = nullptr;
    // Receive loops that hold the transport and take no hooks (with the interpreter lock).
    int claims = 0;
};

PyObject* g_datagram_transport_type = nullptr;

DatagramTransportObject& datagram_transport_of(PyObject* self) noexcept {
    return unbox<DatagramTransportObject>(self);
}

bool is_transport(PyObject* obj) {
    return g_datagram_transport_type && PyObject_TypeCheck(obj, as_type(g_datagram_transport_type));
}

}  // namespace

// A (host, port) pair with a numeric host as a socket address; false with an exception set.
bool read_address(const char* fn, PyObject* item, SocketAddress& out) {
    const Owned pair(PySequence_Check(item) ? PySequence_Tuple(item) : nullptr);
    const char* host = nullptr;
    int port = 0;
    if (!pair || PyTuple_Size(pair.get()) != 2 ||
        !PyArg_ParseTuple(pair.get(), "si", &host, &port)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s: an address is a (host, port) pair", fn);
        return false;
    }
    const auto address = port >= 0 && port <= 0xFFFF
                             ? numeric_address(host, static_cast<std::uint16_t>(port))
                             : std::nullopt;
    if (!address) {
        PyErr_Format(PyExc_ValueError, "%s: needs a numeric host and a port up to 65535, got %s:%d",
                     fn, host, port);
        return false;
    }
    out = *address;
    return true;
}

namespace {

bool read_peers(PyObject* seq, std::vector<SocketAddress>& out) {
    const Owned items(PySequence_Check(seq) ? PySequence_Tuple(seq) : nullptr);
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "DatagramTransport: peers must be a sequence");
        return false;
    }
    out.resize(static_cast<std::size_t>(PyTuple_Size(items.get())));
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!read_address("DatagramTransport", PyTuple_GetItem(items.get(), i), out[i]))
            return false;
    return true;
}

// A hook's new value (a callable, or None for none) into `slot`; false with an exception set.
bool set_hook(PyObject*& slot, PyObject* value, const char* name) {
    if (value == Py_None) value = nullptr;
    if (value && !PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be callable or None", name);
        return false;
    }
    Py_XINCREF(value);
    PyObject* old = slot;
    slot = value;
    Py_XDECREF(old);
    return true;
}

// The datagrams of send(): one bytes-like object, or a sequence of them, held while the
// interpreter lock is given up; false with an exception set.
bool hold_datagrams(PyObject* datagrams, std::vector<HeldBuffer>& out) {
    if (PyObject_CheckBuffer(datagrams)) {
        auto held = acquire_bytes(datagrams, "datagrams");
        if (!held) return false;
        out.push_back(std::move(*held));
        return true;
    }
    const Owned items(PySequence_Check(datagrams) ? PySequence_Tuple(datagrams) : nullptr);
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "send: datagrams must be bytes or a sequence of bytes");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
        auto held = acquire_bytes(PyTuple_GetItem(items.get(), i), "datagrams");
        if (!held) return false;
        out.push_back(std::move(*held));
    }
    return true;
}

// What the protect hook makes of each datagram (those it refuses left out and counted); false
// with an exception set.
bool protect_all(DatagramTransportObject& t, std::vector<HeldBuffer>& datagrams) {
    std::vector<HeldBuffer> out;
    for (const HeldBuffer& d : datagrams) {
        const Owned plain(bytes_of(d.bytes()));
        const Owned done(plain ? PyObject_CallFunctionObjArgs(t.protect, plain.get(), nullptr)
                               : nullptr);
        if (!done) return false;
        if (done.get() == Py_None) {
            t.socket.count_protect_refused(1);
            continue;
        }
        auto held = acquire_bytes(done.get(), "protect's result");
        if (!held) return false;
        out.push_back(std::move(*held));
    }
    datagrams = std::move(out);
    return true;
}

// Protects (when hooked) and sends; the failed sends, or -1 with an exception set.
long long send_now(DatagramTransportObject& t, std::vector<HeldBuffer>& datagrams, PyObject* to) {
    Destinations dests;
    if (!read_destinations(to, t.socket, dests)) return -1;
    if (t.protect && !protect_all(t, datagrams)) return -1;
    std::vector<std::span<const std::uint8_t>> spans;
    for (const HeldBuffer& d : datagrams) spans.push_back(d.bytes());
    if (spans.empty()) return 0;
    return static_cast<long long>(without_gil([&] { return t.socket.send(spans, dests); }));
}

// send(): the pace hook takes the datagrams over when set, else they go now.
long long send_paced(DatagramTransportObject& t, PyObject* datagrams, PyObject* to) {
    std::vector<HeldBuffer> held;
    if (!hold_datagrams(datagrams, held)) return -1;
    if (!t.pace) return send_now(t, held, to);
    const Owned list(
        new_list(held.size(), [&](std::size_t i) { return bytes_of(held[i].bytes()); }));
    if (!list) return -1;
    t.socket.count_paced(held.size());
    const Owned done(PyObject_CallFunctionObjArgs(t.pace, list.get(), to ? to : Py_None, nullptr));
    return done ? 0 : -1;
}

// ---- methods ----

PyObject* datagram_transport_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject *sock = nullptr, *peers = nullptr, *protect = Py_None, *unprotect = Py_None,
                 *pace = Py_None;
        std::uint64_t max_size = kMaxDatagram;
        if (!read_args("DatagramTransport",
                       {param("sock", sock, Kind::Object), param("peers", peers, Kind::Object,
                                                                  Need::Optional),
                        param("max_size", max_size, Need::Optional),
                        param("protect", protect, Kind::Object, Need::Optional),
                        param("unprotect", unprotect, Kind::Object, Need::Optional),
                        param("pace", pace, Kind::Object, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (max_size < 1 || max_size > kMaxDatagram)
            return raise(PyExc_ValueError, "max_size must be between 1 and 65536");
        std::vector<SocketAddress> addresses;
        if (peers && !read_peers(peers, addresses)) return nullptr;
        const int fd = PyObject_AsFileDescriptor(sock);
        if (fd < 0) return nullptr;
        const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
        PyObject* self = box_new<DatagramTransportObject>(type, own, max_size);
        if (!self) return nullptr;
        DatagramTransportObject& t = datagram_transport_of(self);
        t.socket.set_peers(std::move(addresses));  // nobody else has it yet: no wait
        if (!set_hook(t.protect, protect, "protect") ||
            !set_hook(t.unprotect, unprotect, "unprotect") || !set_hook(t.pace, pace, "pace"))
            Py_CLEAR(self);
        return self;
    });
}

PyObject* datagram_transport_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject *datagrams = nullptr, *to = Py_None;
        if (!read_args("send",
                       {param("datagrams", datagrams, Kind::Object),
                        param("to", to, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        const long long failed = send_paced(datagram_transport_of(self), datagrams, to);
        return failed < 0 ? nullptr : PyLong_FromLongLong(failed);
    });
}

PyObject* datagram_transport_send_now(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject *datagrams = nullptr, *to = Py_None;
        if (!read_args("send_now",
                       {param("datagrams", datagrams, Kind::Object),
                        param("to", to, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        std::vector<HeldBuffer> held;
        if (!hold_datagrams(datagrams, held)) return nullptr;
        const long long failed = send_now(datagram_transport_of(self), held, to);
        return failed < 0 ? nullptr : PyLong_FromLongLong(failed);
    });
}

// One datagram read as (bytes, (host, port)), unprotected when hooked: a new reference, None
// when the hook refused it (counted), or null with an exception set.
PyObject* received_item(DatagramTransportObject& t, const ReceivedDatagram& d) {
    Owned data(bytes_of(d.bytes));
    if (data && t.unprotect) {
        Owned plain(PyObject_CallFunctionObjArgs(t.unprotect, data.get(), nullptr));
        if (plain && plain.get() != Py_None && !PyBytes_Check(plain.get())) {
            PyErr_SetString(PyExc_TypeError, "unprotect must give bytes or None");
            plain.reset();
        }
        data = std::move(plain);
        if (data && data.get() == Py_None) {
            t.socket.count_refused(1);
            Py_RETURN_NONE;
        }
    }
    const auto from = host_port_of(d.from);
    if (!data) return nullptr;
    if (!from) return Py_BuildValue("(O(si))", data.get(), "", 0);
    return Py_BuildValue("(O(si))", data.get(), from->host.c_str(), int{from->port});
}

}  // namespace

PyObject* datagram_transport_received_list(PyObject* transport,
                                           const std::vector<ReceivedDatagram>& got) {
    DatagramTransportObject& t = datagram_transport_of(transport);
    Owned list(PyList_New(0));
    for (std::size_t i = 0; list && i < got.size(); ++i) {
        const Owned item(received_item(t, got[i]));
        if (!item || (item.get() != Py_None && PyList_Append(list.get(), item.get()) < 0))
            list.reset();
    }
    return list.release();
}

namespace {

PyObject* datagram_transport_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint64_t max = kReceiveBatch;
        if (!read_args("receive", {param("max_count", max, Need::Optional)}, args, nargs,
                       kwnames))
            return nullptr;
        if (max > 4096) return raise(PyExc_ValueError, "max_count must be at most 4096");
        DatagramTransportObject& t = datagram_transport_of(self);
        const auto got = without_gil([&] { return t.socket.receive(max, t.max_size); });
        return datagram_transport_received_list(self, got);
    });
}

PyObject* datagram_transport_set_peers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* peers = nullptr;
        if (!read_args("set_peers", {param("peers", peers, Kind::Object)}, args, nargs, kwnames))
            return nullptr;
        std::vector<SocketAddress> addresses;
        if (!read_peers(peers, addresses)) return nullptr;
        DatagramTransportObject& t = datagram_transport_of(self);
        without_gil([&] { t.socket.set_peers(std::move(addresses)); });
        Py_RETURN_NONE;
    });
}

// One direction's SRTP context from a suite's name and its key and salt (both None for
// none); false with an exception set.
bool read_srtp(PyObject* suite, PyObject* key, talmiro_media::SrtpContext::Direction direction,
               std::optional<talmiro_media::SrtpContext>& out) {
    if (!suite && key == Py_None) return true;
    const char* name = suite ? PyUnicode_AsUTF8AndSize(suite, nullptr) : nullptr;
    if (!name || !PyBytes_Check(key)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "set_srtp: a suite (str) and its key (bytes) together");
        return false;
    }
    const auto named = talmiro_media::srtp_suite_named(name);
    if (!named) {
        PyErr_Format(PyExc_ValueError, "set_srtp: unknown SRTP suite %R", suite);
        return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(key));
    auto made = talmiro_media::SrtpContext::create(
        *named, {bytes, static_cast<std::size_t>(PyBytes_Size(key))}, direction);
    if (!made) {
        PyErr_Format(PyExc_ValueError, "set_srtp: %s", made.error().detail().c_str());
        return false;
    }
    out.emplace(std::move(*made));
    return true;
}

PyObject* datagram_transport_set_srtp(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool rtcp = false;
        PyObject *out_suite = nullptr, *out_key = Py_None, *in_suite = nullptr, *in_key = Py_None;
        if (!read_args("set_srtp",
                       {param("rtcp", rtcp), param("outbound_suite", out_suite, Kind::OptStr,
                                                   Need::Optional),
                        param("outbound_key", out_key, Kind::Object, Need::Optional),
                        param("inbound_suite", in_suite, Kind::OptStr, Need::Optional),
                        param("inbound_key", in_key, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        using Direction = talmiro_media::SrtpContext::Direction;
        std::optional<talmiro_media::SrtpContext> outbound, inbound;
        if (!read_srtp(out_suite, out_key, Direction::Outbound, outbound) ||
            !read_srtp(in_suite, in_key, Direction::Inbound, inbound))
            return nullptr;
        DatagramTransportObject& t = datagram_transport_of(self);
        if (t.socket.has_srtp()) return raise(PyExc_ValueError, "set_srtp: SRTP is set already");
        auto filter = std::make_shared<SrtpFilter>(rtcp, std::move(outbound), std::move(inbound));
        without_gil([&] { t.socket.set_srtp(std::move(filter)); });
        Py_RETURN_NONE;
    });
}

PyObject* datagram_transport_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("close", {}, args, nargs, kwnames)) return nullptr;
        DatagramTransportObject& t = datagram_transport_of(self);
        without_gil([&] { t.socket.close(); });
        Py_RETURN_NONE;
    });
}

PyObject* datagram_transport_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const DatagramCounts c = datagram_transport_of(self).socket.counts();
        return new_dict([&](PyObject* d) {
            return dict_put_counts(d, {{"datagrams_sent", c.datagrams_sent},
                                       {"bytes_sent", c.bytes_sent},
                                       {"send_errors", c.send_errors},
                                       {"datagrams_received", c.datagrams_received},
                                       {"bytes_received", c.bytes_received},
                                       {"datagrams_refused", c.datagrams_refused},
                                       {"protect_refused", c.protect_refused},
                                       {"datagrams_paced", c.datagrams_paced},
                                       {"auth_failures", c.srtp_counts.auth_failures},
                                       {"replays", c.srtp_counts.replays},
                                       {"unprotect_errors", c.srtp_counts.unprotect_errors}}) &&
                   dict_put(d, "srtp", Py_NewRef(c.srtp ? Py_True : Py_False));
        });
    });
}

// ---- properties ----

PyObject* datagram_transport_peers(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        DatagramTransportObject& t = datagram_transport_of(self);
        const auto peers = without_gil([&] { return t.socket.peers(); });
        return new_list(peers.size(), [&](std::size_t i) -> PyObject* {
            const auto hp = host_port_of(peers[i]);
            return hp ? Py_BuildValue("(si)", hp->host.c_str(), int{hp->port}) : nullptr;
        });
    });
}

PyObject* datagram_transport_closed(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        DatagramTransportObject& t = datagram_transport_of(self);
        return PyBool_FromLong(without_gil([&] { return t.socket.closed(); }));
    });
}

template <PyObject* DatagramTransportObject::*Hook>
PyObject* get_hook(PyObject* self, void*) {
    PyObject* hook = datagram_transport_of(self).*Hook;
    return Py_NewRef(hook ? hook : Py_None);
}

template <PyObject* DatagramTransportObject::*Hook>
int put_hook(PyObject* self, PyObject* value, void* name) {
    DatagramTransportObject& t = datagram_transport_of(self);
    if (value && value != Py_None && t.claims > 0) {
        PyErr_Format(PyExc_ValueError,
                     "%s cannot be set while an RtpReceiveLoop uses the transport (it takes no "
                     "hooks)",
                     static_cast<const char*>(name));
        return -1;
    }
    return set_hook(t.*Hook, value ? value : Py_None, static_cast<const char*>(name)) ? 0 : -1;
}

// ---- the collector: the hooks may refer back to what owns the transport ----

int datagram_transport_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!reinterpret_cast<Box<DatagramTransportObject>*>(self)->built) return 0;
    DatagramTransportObject& t = datagram_transport_of(self);
    Py_VISIT(t.protect);
    Py_VISIT(t.unprotect);
    Py_VISIT(t.pace);
    return 0;
}

int datagram_transport_clear(PyObject* self) {
    if (!reinterpret_cast<Box<DatagramTransportObject>*>(self)->built) return 0;
    DatagramTransportObject& t = datagram_transport_of(self);
    Py_CLEAR(t.protect);
    Py_CLEAR(t.unprotect);
    Py_CLEAR(t.pace);
    return 0;
}

void datagram_transport_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    datagram_transport_clear(self);
    box_dealloc<DatagramTransportObject>(self);
}

PyGetSetDef datagram_transport_getset[] = {
    {"peers", datagram_transport_peers, nullptr, "The peers' addresses, as (host, port).", nullptr},
    {"closed", datagram_transport_closed, nullptr, nullptr, nullptr},
    {"protect", get_hook<&DatagramTransportObject::protect>,
     put_hook<&DatagramTransportObject::protect>,
     "Called with each datagram before it is sent: the bytes to send, or None to refuse it.",
     const_cast<char*>("protect")},
    {"unprotect", get_hook<&DatagramTransportObject::unprotect>,
     put_hook<&DatagramTransportObject::unprotect>,
     "Called with each datagram read: the bytes to hand on, or None to refuse it.",
     const_cast<char*>("unprotect")},
    {"pace", get_hook<&DatagramTransportObject::pace>, put_hook<&DatagramTransportObject::pace>,
     "Called as pace(datagrams, to) instead of sending: it sends them later with send_now.",
     const_cast<char*>("pace")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef datagram_transport_methods[] = {
    fast_method("send", datagram_transport_send,
                "send($self, datagrams, to=None)\n--\n\nSends `datagrams` (bytes, or a sequence "
                "of them) to `to`: None for every peer, a\npeer's index, a sequence of indices, "
                "or a (host, port) pair with a numeric host.\nThe pace hook, when set, takes "
                "them over (and 0 is returned); else as send_now."),
    fast_method("send_now", datagram_transport_send_now,
                "send_now($self, datagrams, to=None)\n--\n\nSends at once, each datagram "
                "through the protect hook when set, in batches of one\nsystem call without the "
                "interpreter lock. Returns the sends that failed (each is\ncounted and the next "
                "is tried, as for a lost packet)."),
    fast_method("receive", datagram_transport_receive,
                "receive($self, max_count=64)\n--\n\nUp to `max_count` datagrams waiting now, "
                "as (bytes, (host, port)), through the\nunprotect hook when set; never waits. "
                "Datagrams longer than `max_size`, and those\nthe hook refuses, are counted in "
                "`datagrams_refused` and left out."),
    fast_method("set_peers", datagram_transport_set_peers,
                "set_peers($self, peers)\n--\n\nReplaces the peers: (host, port) pairs with "
                "numeric hosts, resolved here once."),
    fast_method("set_srtp", datagram_transport_set_srtp,
                "set_srtp($self, rtcp, outbound_suite=None, outbound_key=None, "
                "inbound_suite=None,\n         inbound_key=None)\n--\n\nFrom now on, protects "
                "what is sent with the outbound master key and salt (SRTP, or\nSRTCP when "
                "`rtcp`) and opens what is read with the inbound one: a datagram that\ndoes "
                "not authenticate, or comes again, is counted (auth_failures, replays,\n"
                "unprotect_errors) and goes no further. Set once; a direction without a key "
                "passes\nits datagrams as they are."),
    fast_method("close", datagram_transport_close,
                "close($self)\n--\n\nCloses the transport's descriptor once the sends under "
                "way are done; later sends fail\n(counted), reads give nothing."),
    fast_method("stats", datagram_transport_stats, "stats($self)\n--\n\nThe datagrams and bytes "
                                          "sent, received and refused."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDatagramTransportDoc =
    "DatagramTransport(sock, peers=(), max_size=65536, protect=None, unprotect=None, "
    "pace=None)\n--\n\n"
    "The way datagrams go in and out of the UDP socket `sock` (a socket or its descriptor):\n"
    "to `peers` ((host, port) pairs with numeric hosts, resolved once) or any address, in\n"
    "batches of one system call without the interpreter lock. Works on a duplicate of the\n"
    "descriptor: `sock` stays the caller's, and both are to be closed. An RtpReceiveLoop\n"
    "reads and sends past the hooks: it takes only a transport without hooks, and none can be\n"
    "set while it holds one (ValueError). SRTP (set_srtp) works below the hooks, in native\n"
    "code, for every user of the transport.";

PyType_Slot datagram_transport_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDatagramTransportDoc)},
    {Py_tp_new, reinterpret_cast<void*>(datagram_transport_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(datagram_transport_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(datagram_transport_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(datagram_transport_clear)},
    {Py_tp_getset, datagram_transport_getset},
    {Py_tp_methods, datagram_transport_methods},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec datagram_transport_spec = {"talmiro_sdk_video._rtp.DatagramTransport",
                              sizeof(Box<DatagramTransportObject>), 0,
                              kTypeFlags | Py_TPFLAGS_HAVE_GC, datagram_transport_slots};

}  // namespace

PyObject* datagram_transport_type() {
    return once_type(g_datagram_transport_type, datagram_transport_spec);
}

DatagramSocket* datagram_transport_socket(PyObject* obj) {
    return is_transport(obj) ? &datagram_transport_of(obj).socket : nullptr;
}

std::size_t datagram_transport_max_size(PyObject* transport) noexcept {
    return datagram_transport_of(transport).max_size;
}

bool datagram_transport_claim(PyObject* transport, const char* who) {
    if (!is_transport(transport)) {
        PyErr_Format(PyExc_TypeError, "%s needs DatagramTransport objects", who);
        return false;
    }
    DatagramTransportObject& t = datagram_transport_of(transport);
    if (t.protect || t.unprotect || t.pace) {
        PyErr_Format(PyExc_ValueError,
                     "%s takes no transport with a protect, unprotect or pace hook set", who);
        return false;
    }
    t.claims += 1;
    return true;
}

void datagram_transport_release(PyObject* transport) noexcept {
    datagram_transport_of(transport).claims -= 1;
}

bool datagram_transport_hooked(PyObject* transport) {
    const DatagramTransportObject& t = datagram_transport_of(transport);
    return t.protect || t.pace;
}

long long datagram_transport_send_hooked(PyObject* transport,
                                         std::span<const talmiro_media::SharedBytes> datagrams,
                                         PyObject* to) {
    const Owned list(
        new_list(datagrams.size(), [&](std::size_t i) { return bytes_of(datagrams[i].bytes()); }));
    return list ? send_paced(datagram_transport_of(transport), list.get(), to) : -1;
}

bool read_destinations(PyObject* to, const DatagramSocket& socket, Destinations& out) {
    out = {};
    if (!to || to == Py_None) return true;
    out.every_peer = false;
    const std::size_t peers = socket.peer_count();
    auto index = [&](PyObject* item) {
        const Py_ssize_t i = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
        if (i < 0 || static_cast<std::size_t>(i) >= peers) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_IndexError, "send: to names no peer");
            }
            return false;
        }
        out.peers.push_back(static_cast<std::size_t>(i));
        return true;
    };
    if (PyLong_Check(to)) return index(to);
    const Owned items(PySequence_Check(to) && !PyUnicode_Check(to) ? PySequence_Tuple(to)
                                                                     : nullptr);
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "send: to must be None, an index, indices or an address");
        return false;
    }
    if (PyTuple_Size(items.get()) == 2 && PyUnicode_Check(PyTuple_GetItem(items.get(), 0))) {
        out.address.emplace();
        return read_address("send", items.get(), *out.address);
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i)
        if (!index(PyTuple_GetItem(items.get(), i))) return false;
    return true;
}

}  // namespace talmiro_py
