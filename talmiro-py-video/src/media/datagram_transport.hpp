// What native code that sends through a DatagramTransport needs of it (the send step,
// py_rtp_send_step.cpp): its socket, for the sends without the interpreter lock, and the way
// through its hooks when one is set.
#pragma once

#include "py.hpp"

#include <span>

#include "datagram_socket.hpp"
#include "talmiro_media/annexb.hpp"

namespace talmiro_py {

// The socket of `obj` when it is a DatagramTransport, else null (no exception set). It lives
// as long as the Python object.
DatagramSocket* datagram_transport_socket(PyObject* obj);

// True when a protect or pace hook is set: then the datagrams go through
// `datagram_transport_send_hooked`, with the interpreter lock held.
bool datagram_transport_hooked(PyObject* transport);

// Sends as DatagramTransport.send does (the pace hook, else the protect hook and the socket);
// the failed sends, or -1 with an exception set. `to` as send() takes it.
long long datagram_transport_send_hooked(PyObject* transport,
                                         std::span<const talmiro_media::SharedBytes> datagrams,
                                         PyObject* to);

// Reads send()'s `to` (None, a peer's index, a sequence of indices, or a (host, port) pair
// with a numeric host); false with an exception set.
bool read_destinations(PyObject* to, const DatagramSocket& socket, Destinations& out);

}  // namespace talmiro_py
