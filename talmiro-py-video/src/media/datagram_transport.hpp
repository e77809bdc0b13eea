// What native code that sends and reads through a DatagramTransport needs of it (the send
// step, py_rtp_send_step.cpp, and the receive loop, py_rtp_receive_loop.cpp): its socket, for
// the sends and reads without the interpreter lock, and the way through its hooks when one is
// set, or a claim that keeps hooks off.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <span>

#include "datagram_socket.hpp"
#include "talmiro_media/annexb.hpp"

namespace talmiro_py {

// The socket of `obj` when it is a DatagramTransport, else null (no exception set). It lives
// as long as the Python object.
DatagramSocket* datagram_transport_socket(PyObject* obj);

// The largest datagram `transport` takes in (its max_size).
std::size_t datagram_transport_max_size(PyObject* transport) noexcept;

// Native code that reads and sends through a transport's socket and never through its hooks
// (the receive loop, which holds a mutex where a hook would need the interpreter lock) claims
// it: a transport with a hook set cannot be claimed, and no hook can be set on a claimed one
// (ValueError both). With the interpreter lock held; false with an exception set.
bool datagram_transport_claim(PyObject* transport, const char* who);
void datagram_transport_release(PyObject* transport) noexcept;

// True when a protect or pace hook is set: then the datagrams go through
// `datagram_transport_send_hooked`, with the interpreter lock held.
bool datagram_transport_hooked(PyObject* transport);

// Sends as DatagramTransport.send does (the pace hook, else the protect hook and the socket);
// the failed sends, or -1 with an exception set. `to` as send() takes it.
long long datagram_transport_send_hooked(PyObject* transport,
                                         std::span<const talmiro_media::SharedBytes> datagrams,
                                         PyObject* to);

// Datagrams read from `transport`'s socket as its receive() gives them: a list of (bytes,
// (host, port)), each through the unprotect hook when set (those it refuses left out); null
// with an exception set.
PyObject* datagram_transport_received_list(PyObject* transport,
                                           const std::vector<ReceivedDatagram>& got);

// A (host, port) pair with a numeric host as a socket address; false with an exception set
// (naming `fn`).
bool read_address(const char* fn, PyObject* item, SocketAddress& out);

// Reads send()'s `to` (None, a peer's index, a sequence of indices, or a (host, port) pair
// with a numeric host); false with an exception set.
bool read_destinations(PyObject* to, const DatagramSocket& socket, Destinations& out);

}  // namespace talmiro_py
