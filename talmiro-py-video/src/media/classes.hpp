// The classes of both modules and their functions, each defined in a file of its own (the three
// small functions of the codec module live in module.cpp), and the RTCP functions of
// py_rtcp.cpp; each module's execution step adds them in this order.
//
// Names in a class's file py_<c>.cpp: struct <C>Object (the core object in `core`), <c>_of,
// <c>_new, <c>_<method>, <c>_<property>, <c>_repr, tables <c>_methods, <c>_getset, <c>_slots,
// <c>_spec, docstring k<C>Doc, cached type g_<c>_type behind <c>_type() below.
#pragma once

#include "py.hpp"

namespace talmiro_py {

// Type objects (borrowed, created once per process; null with an exception set).
PyObject* image_type();
PyObject* plane_type();
PyObject* encoder_type();
PyObject* decoder_type();
PyObject* pattern_type();
PyObject* rtp_reception_stats_type();
PyObject* nack_rtt_type();
PyObject* rtp_packetizer_type();
PyObject* rtp_depacketizer_type();
PyObject* rtp_responder_type();
PyObject* picture_queue_type();
PyObject* datagram_transport_type();
PyObject* rtp_send_step_type();
PyObject* rtp_receive_loop_type();

// Module functions (py_psnr.cpp, py_buffer_address.cpp).
extern PyMethodDef psnr_def;
extern PyMethodDef buffer_address_def;
// The RTCP functions and NTP-time helpers (py_rtcp.cpp): a table ending with a null entry.
PyMethodDef* rtcp_functions();
// Where RTCP for a peer goes (py_rtcp_return_address.cpp).
extern PyMethodDef rtcp_return_address_def;

}  // namespace talmiro_py
