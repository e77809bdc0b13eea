// The RtpSendStep class: a sender's work per access unit and per NACK in one native call each,
// without the interpreter lock: the packetizer cuts the unit (and keeps the packets in its
// history), the responder learns what went (its resend and feedback budgets refill from it),
// and the datagram transport sends every packet to every receiver; a NACK is answered from
// the history and the resends go the same way. No packet becomes a Python object, unless a
// hook of the transport is set (then the packets pass it as bytes).
#include "py.hpp"

#include <cstdint>
#include <span>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "datagram_transport.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "picture_args.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::NackAnswer;
using talmiro_media::NackPair;
using talmiro_media::SharedBytes;

struct RtpSendStepObject {
    // New references to the three objects (null once the collector cleared them), and their
    // cores, which live as long as the objects do.
    PyObject* packetizer = nullptr;
    PyObject* responder = nullptr;
    PyObject* transport = nullptr;
    PacketizerRef p;
    ResponderRef r;
    DatagramSocket* socket = nullptr;
    bool rtx = true;
};

RtpSendStepObject& rtp_send_step_of(PyObject* self) noexcept {
    return unbox<RtpSendStepObject>(self);
}

std::vector<std::span<const std::uint8_t>> spans_of(const std::vector<SharedBytes>& packets) {
    std::vector<std::span<const std::uint8_t>> out;
    out.reserve(packets.size());
    for (const SharedBytes& p : packets) out.push_back(p.bytes());
    return out;
}

// Without the interpreter lock: the unit's packets, and the responder told of them.
std::vector<SharedBytes> packetize_counted(RtpSendStepObject& s,
                                           std::span<const std::uint8_t> unit,
                                           std::int64_t capture_us, std::int64_t now_us) {
    std::vector<SharedBytes> packets;
    {
        std::lock_guard held(*s.p.mutex);
        packets = s.p.core->packetize(unit, capture_us);
    }
    std::size_t bytes = 0;
    for (const SharedBytes& p : packets) bytes += p.size();
    std::lock_guard held(*s.r.mutex);
    s.r.core->media_sent(now_us, bytes, packets.size());
    return packets;
}

// Sends `packets` to `to` (through the hooks when set); false with an exception set.
bool send_packets(RtpSendStepObject& s, const std::vector<SharedBytes>& packets, PyObject* to,
                  const Destinations& dests) {
    if (packets.empty()) return true;
    if (datagram_transport_hooked(s.transport))
        return datagram_transport_send_hooked(s.transport, packets, to) >= 0;
    without_gil([&] { s.socket->send(spans_of(packets), dests); });
    return true;
}

bool usable(const RtpSendStepObject& s) {
    if (s.transport) return true;
    PyErr_SetString(PyExc_ValueError, "the send step was cleared");
    return false;
}

PyObject* rtp_send_step_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject *packetizer = nullptr, *responder = nullptr, *transport = nullptr;
        bool rtx = true;
        if (!read_args("RtpSendStep",
                       {param("packetizer", packetizer, Kind::Object),
                        param("responder", responder, Kind::Object),
                        param("transport", transport, Kind::Object),
                        param("rtx", rtx, Need::Optional)},
                       args, kwargs))
            return nullptr;
        const PacketizerRef p = rtp_packetizer_core(packetizer);
        const ResponderRef r = rtp_responder_core(responder);
        DatagramSocket* socket = datagram_transport_socket(transport);
        if (!p.core || !r.core || !socket) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_TypeError, "RtpSendStep needs an RtpPacketizer, an "
                                                 "RtpResponder and a DatagramTransport");
            return nullptr;
        }
        PyObject* self = box_new<RtpSendStepObject>(type);
        if (!self) return nullptr;
        RtpSendStepObject& s = rtp_send_step_of(self);
        s.packetizer = Py_NewRef(packetizer);
        s.responder = Py_NewRef(responder);
        s.transport = Py_NewRef(transport);
        s.p = p;
        s.r = r;
        s.socket = socket;
        s.rtx = rtx;
        return self;
    });
}

PyObject* rtp_send_step_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject *data = nullptr, *before = Py_None;
        std::int64_t capture_us = 0, now_us = 0;
        if (!read_args("send",
                       {param("data", data, Kind::Object), param("capture_us", capture_us),
                        param("now_us", now_us),
                        param("before", before, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        RtpSendStepObject& s = rtp_send_step_of(self);
        if (!usable(s)) return nullptr;
        const auto held = acquire_bytes(data, "data");
        if (!held) return nullptr;
        // Sent in the same release of the lock unless Python has to see the packets first.
        const bool at_once = before == Py_None && !datagram_transport_hooked(s.transport);
        const Destinations every_peer;
        const auto packets = without_gil([&] {
            auto made = packetize_counted(s, held->bytes(), capture_us, now_us);
            if (at_once && !made.empty()) s.socket->send(spans_of(made), every_peer);
            return made;
        });
        if (!at_once && !packets.empty()) {
            const Owned done(before == Py_None ? Py_NewRef(Py_None)
                                               : PyObject_CallFunctionObjArgs(before, nullptr));
            if (!done || !send_packets(s, packets, Py_None, every_peer)) return nullptr;
        }
        return PyLong_FromSize_t(packets.size());
    });
}

PyObject* rtp_send_step_answer_nack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject *pairs = nullptr, *to = Py_None;
        std::uint32_t receiver = 0;
        std::int64_t now_us = 0;
        if (!read_args("answer_nack",
                       {param("receiver", receiver), param("pairs", pairs, Kind::Object),
                        param("now_us", now_us), param("to", to, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        RtpSendStepObject& s = rtp_send_step_of(self);
        if (!usable(s)) return nullptr;
        std::vector<NackPair> list;
        std::uint64_t unread = 0;
        // The configuration is fixed at construction: read without the mutex.
        if (!read_nack_pairs(pairs, s.r.core->config().max_nack_pairs, list, unread))
            return nullptr;
        Destinations dests;
        if (!read_destinations(to, *s.socket, dests)) return nullptr;
        const bool at_once = !datagram_transport_hooked(s.transport);
        std::vector<SharedBytes> out;
        NackAnswer a = without_gil([&] {
            const NackAnswer answer =
                answer_from_history(s.r, s.p, receiver, list, now_us, s.rtx, out);
            if (at_once && !out.empty()) s.socket->send(spans_of(out), dests);
            return answer;
        });
        a.pairs_dropped += unread;
        if (!at_once && !send_packets(s, out, to, dests)) return nullptr;
        return nack_answer_dict(a);
    });
}

int rtp_send_step_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!reinterpret_cast<Box<RtpSendStepObject>*>(self)->built) return 0;
    RtpSendStepObject& s = rtp_send_step_of(self);
    Py_VISIT(s.packetizer);
    Py_VISIT(s.responder);
    Py_VISIT(s.transport);
    return 0;
}

int rtp_send_step_clear(PyObject* self) {
    if (!reinterpret_cast<Box<RtpSendStepObject>*>(self)->built) return 0;
    RtpSendStepObject& s = rtp_send_step_of(self);
    Py_CLEAR(s.transport);
    Py_CLEAR(s.responder);
    Py_CLEAR(s.packetizer);
    return 0;
}

void rtp_send_step_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    rtp_send_step_clear(self);
    box_dealloc<RtpSendStepObject>(self);
}

PyMethodDef rtp_send_step_methods[] = {
    fast_method("send", rtp_send_step_send,
                "send($self, data, capture_us, now_us, before=None)\n--\n\nPacketizes one "
                "Annex-B access unit captured at `capture_us` (kept in the history),\ntells "
                "the responder what goes at `now_us` (µs, monotonic) and sends every packet to\n"
                "every peer of the transport. `before`, when given, is called once the packets "
                "are\nmade and before they go (when there are any). Returns the packets; "
                "failed sends\nare the transport's `send_errors`."),
    fast_method("answer_nack", rtp_send_step_answer_nack,
                "answer_nack($self, receiver, pairs, now_us, to=None)\n--\n\nAnswers a NACK "
                "list as RtpResponder.answer_nack does and sends the packets through\nthe "
                "transport to `to` (as DatagramTransport.send takes it). Returns the counts."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kRtpSendStepDoc =
    "RtpSendStep(packetizer, responder, transport, rtx=True)\n--\n\n"
    "One sender's work per access unit and per NACK, each in one call without the interpreter\n"
    "lock: the RtpPacketizer cuts and keeps, the RtpResponder counts and rules, the\n"
    "DatagramTransport sends (resends in RTX form with `rtx`).";

PyType_Slot rtp_send_step_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRtpSendStepDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rtp_send_step_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rtp_send_step_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rtp_send_step_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rtp_send_step_clear)},
    {Py_tp_methods, rtp_send_step_methods},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec rtp_send_step_spec = {"talmiro_sdk_video._rtp.RtpSendStep",
                              sizeof(Box<RtpSendStepObject>), 0, kTypeFlags | Py_TPFLAGS_HAVE_GC,
                              rtp_send_step_slots};

PyObject* g_rtp_send_step_type = nullptr;

}  // namespace

PyObject* rtp_send_step_type() { return once_type(g_rtp_send_step_type, rtp_send_step_spec); }

}  // namespace talmiro_py
