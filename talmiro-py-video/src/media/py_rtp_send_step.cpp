// The RtpSendStep class: a sender's work per access unit and per NACK in one native call each,
// without the interpreter lock: the packetizer cuts the unit (and keeps the packets in its
// history), the responder learns what went (its resend and feedback budgets refill from it),
// and the datagram transport sends every packet to every receiver; a NACK is answered from
// the history and the resends go the same way. No packet becomes a Python object, unless a
// hook of the transport is set (then the packets pass it as bytes).
#include "py.hpp"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <poll.h>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "datagram_transport.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "paced_send_path.hpp"
#include "picture_args.hpp"
#include "socket_address.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

namespace tm = talmiro_media;
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
    // Under congestion control every packet goes through the pacer (unless a hook is set:
    // then Python sees the packets and they go at once).
    std::unique_ptr<PacedSendPath> paced;
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

// Without the interpreter lock: `packets` to `dests`, now or through the pacer.
void dispatch(RtpSendStepObject& s, const std::vector<SharedBytes>& packets,
              const Destinations& dests, tm::PacketKind kind, std::int64_t now_us) {
    if (packets.empty()) return;
    if (s.paced)
        s.paced->enqueue(packets, dests, kind, now_us);
    else
        s.socket->send(spans_of(packets), dests);
}

// Sends `packets` to `to` (through the hooks when set); false with an exception set.
bool send_packets(RtpSendStepObject& s, const std::vector<SharedBytes>& packets, PyObject* to,
                  const Destinations& dests, tm::PacketKind kind, std::int64_t now_us) {
    if (packets.empty()) return true;
    if (datagram_transport_hooked(s.transport))
        return datagram_transport_send_hooked(s.transport, packets, to) >= 0;
    without_gil([&] { dispatch(s, packets, dests, kind, now_us); });
    return true;
}

bool usable(const RtpSendStepObject& s) {
    if (s.transport) return true;
    PyErr_SetString(PyExc_ValueError, "the send step was cleared");
    return false;
}

// The rates of congestion control, in bit/s; 0 receivers leaves it off.
struct CongestionArgs {
    std::uint32_t receivers = 0;
    std::int64_t start_bps = 1'000'000, min_bps = 150'000, max_bps = 2'000'000;
};

// The paced path when congestion control is asked for; false with an exception set.
bool make_paced(RtpSendStepObject& s, const CongestionArgs& a) {
    if (a.receivers == 0) return true;
    tm::CongestionControllerConfig c;
    c.receivers = a.receivers;
    c.rate.start_bps = a.start_bps;
    c.rate.min_bps = a.min_bps;
    c.rate.max_bps = a.max_bps;
    // Most of a P picture leaves at once after a pause; the large ones (IDR pictures, a refresh
    // wave) are spread.
    c.pacer.burst_us = 10'000;
    auto made = tm::CongestionController::create(c);
    if (!made) {
        raise(PyExc_ValueError, made.error().detail());
        return false;
    }
    s.paced = std::make_unique<PacedSendPath>(std::move(*made), *s.socket,
                                              s.p.core->config().transport_cc_extension_id);
    return true;
}

PyObject* rtp_send_step_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject *packetizer = nullptr, *responder = nullptr, *transport = nullptr;
        bool rtx = true;
        CongestionArgs cc;
        if (!read_args("RtpSendStep",
                       {param("packetizer", packetizer, Kind::Object),
                        param("responder", responder, Kind::Object),
                        param("transport", transport, Kind::Object),
                        param("rtx", rtx, Need::Optional),
                        param("receivers", cc.receivers, Need::Optional),
                        param("start_bps", cc.start_bps, Need::Optional),
                        param("min_bps", cc.min_bps, Need::Optional),
                        param("max_bps", cc.max_bps, Need::Optional)},
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
        Owned self(box_new<RtpSendStepObject>(type));
        if (!self) return nullptr;
        RtpSendStepObject& s = rtp_send_step_of(self.get());
        s.packetizer = Py_NewRef(packetizer);
        s.responder = Py_NewRef(responder);
        s.transport = Py_NewRef(transport);
        s.p = p;
        s.r = r;
        s.socket = socket;
        s.rtx = rtx;
        if (!make_paced(s, cc)) return nullptr;
        return self.release();
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
            if (at_once) dispatch(s, made, every_peer, tm::PacketKind::media, now_us);
            return made;
        });
        if (!at_once && !packets.empty()) {
            const Owned done(before == Py_None ? Py_NewRef(Py_None)
                                               : PyObject_CallFunctionObjArgs(before, nullptr));
            if (!done || !send_packets(s, packets, Py_None, every_peer, tm::PacketKind::media,
                                       now_us))
                return nullptr;
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
            if (at_once) dispatch(s, out, dests, tm::PacketKind::retransmission, now_us);
            return answer;
        });
        a.pairs_dropped += unread;
        if (!at_once && !send_packets(s, out, to, dests, tm::PacketKind::retransmission, now_us))
            return nullptr;
        return nack_answer_dict(a);
    });
}

PacedSendPath* paced_or_raise(RtpSendStepObject& s) {
    if (!usable(s)) return nullptr;
    if (!s.paced) raise(PyExc_ValueError, "the send step has no congestion control");
    return s.paced.get();
}

PyObject* rtp_send_step_run_pacer(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PacedSendPath* paced = paced_or_raise(rtp_send_step_of(self));
        if (!paced) return nullptr;
        without_gil([&] { paced->run(); });
        Py_RETURN_NONE;
    });
}

PyObject* rtp_send_step_stop_pacer(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PacedSendPath* paced = paced_or_raise(rtp_send_step_of(self));
        if (!paced) return nullptr;
        paced->stop();
        Py_RETURN_NONE;
    });
}

PyObject* rtp_send_step_congestion_feedback(PyObject* self, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* data = nullptr;
        std::uint32_t receiver = 0;
        std::int64_t now_us = 0;
        if (!read_args("congestion_feedback",
                       {param("receiver", receiver), param("data", data, Kind::Object),
                        param("now_us", now_us)},
                       args, nargs, kwnames))
            return nullptr;
        PacedSendPath* paced = paced_or_raise(rtp_send_step_of(self));
        if (!paced) return nullptr;
        const auto held = acquire_bytes(data, "data");
        if (!held) return nullptr;
        without_gil([&] { paced->feedback(receiver, held->bytes(), now_us); });
        return PyLong_FromLongLong(paced->target_bps());
    });
}

PyObject* rtp_send_step_congestion_report(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t receiver = 0;
        std::uint8_t fraction_lost = 0;
        std::optional<std::uint32_t> rtt_us;
        std::int64_t now_us = 0;
        if (!read_args("congestion_report",
                       {param("receiver", receiver), param("fraction_lost", fraction_lost),
                        param("rtt_us", rtt_us), param("now_us", now_us)},
                       args, nargs, kwnames))
            return nullptr;
        PacedSendPath* paced = paced_or_raise(rtp_send_step_of(self));
        if (!paced) return nullptr;
        std::optional<std::int64_t> rtt;
        if (rtt_us) rtt = *rtt_us;
        paced->report(receiver, fraction_lost, rtt, now_us);
        return PyLong_FromLongLong(paced->target_bps());
    });
}

// The receiver (its place in the peer list) on `from`'s host, when only one is there.
std::optional<std::size_t> receiver_on_host(const std::vector<SocketAddress>& peers,
                                            const SocketAddress& from) {
    const auto host = host_port_of(from);
    if (!host) return std::nullopt;
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        const auto peer = host_port_of(peers[i]);
        if (!peer || peer->host != host->host) continue;
        if (found) return std::nullopt;
        found = i;
    }
    return found;
}

// Without the interpreter lock: the datagrams waiting on `from` into `left`, less those that
// only say congestion feedback from a receiver known by its host (with `take`), which go to its
// controller here; whether there were such.
bool read_taking_feedback(RtpSendStepObject& s, DatagramSocket& from, std::size_t max,
                          std::size_t max_size, bool take, std::vector<ReceivedDatagram>& left) {
    left = from.receive(max, max_size);
    if (!take || left.empty()) return false;
    const std::vector<SocketAddress> peers = s.socket->peers();
    const std::size_t read = left.size();
    std::erase_if(left, [&](const ReceivedDatagram& d) {
        const auto receiver = receiver_on_host(peers, d.from);
        if (!receiver) return false;
        const tm::RtcpParsed parsed = tm::parse_rtcp(d.bytes);
        if (!tm::CongestionController::only_feedback(parsed)) return false;
        s.paced->feedback(*receiver, parsed, monotonic_us());
        return true;
    });
    return left.size() < read;
}

struct FeedbackRead {
    std::vector<ReceivedDatagram> left;
    bool taken = false;
    bool woken = false;
};

// Without the interpreter lock: waits up to `timeout_us` for `from` (or `wake_fd`) to be
// readable and reads, taking the congestion feedback, until a datagram is left for Python,
// the target moved by a twentieth (the encoder is to follow), the wake descriptor is readable,
// or the time is up.
FeedbackRead wait_taking_feedback(RtpSendStepObject& s, DatagramSocket& from, std::size_t max,
                                  std::size_t max_size, bool take, int wake_fd,
                                  std::int64_t timeout_us) {
    FeedbackRead r;
    const std::int64_t until = monotonic_us() + timeout_us;
    const std::int64_t from_bps = take ? s.paced->target_bps() : 0;
    for (;;) {
        r.taken |= read_taking_feedback(s, from, max, max_size, take, r.left);
        if (!r.left.empty() || r.woken) return r;
        if (r.taken && std::abs(s.paced->target_bps() - from_bps) * 20 >= from_bps) return r;
        const std::int64_t wait = until - monotonic_us();
        const int fd = from.descriptor();
        if (wait <= 0 || fd < 0) return r;
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int timeout_ms = static_cast<int>((wait + 999) / 1000);
        if (poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms) < 0 && errno != EINTR) return r;
        r.woken = wake_fd >= 0 && (fds[1].revents & POLLIN);
    }
}

PyObject* rtp_send_step_read_feedback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* transport = nullptr;
        std::uint64_t max = 64;
        std::int64_t wake_fd = -1, timeout_us = 0;
        if (!read_args("read_feedback",
                       {param("transport", transport, Kind::Object),
                        param("max_count", max, Need::Optional),
                        param("wake_fd", wake_fd, Need::Optional),
                        param("timeout_us", timeout_us, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        RtpSendStepObject& s = rtp_send_step_of(self);
        if (!usable(s)) return nullptr;
        DatagramSocket* from = datagram_transport_socket(transport);
        if (!from) return raise(PyExc_TypeError, "read_feedback needs a DatagramTransport");
        if (max == 0 || max > 4096) return raise(PyExc_ValueError, "max_count must be 1..4096");
        // A hook must see every datagram first: then Python reads them all, and nobody waits.
        const bool take = s.paced && !datagram_transport_hooked(transport);
        const std::size_t max_size = datagram_transport_max_size(transport);
        const auto r = without_gil([&] {
            return wait_taking_feedback(s, *from, max, max_size, take,
                                        static_cast<int>(wake_fd), take ? timeout_us : 0);
        });
        const Owned list(datagram_transport_received_list(transport, r.left));
        if (!list) return nullptr;
        const Owned target(r.taken ? PyLong_FromLongLong(s.paced->target_bps())
                                   : Py_NewRef(Py_None));
        if (!target) return nullptr;
        return Py_BuildValue("(OOO)", list.get(), target.get(), r.woken ? Py_True : Py_False);
    });
}

const char* state_name(tm::RateControlState state) noexcept {
    switch (state) {
        case tm::RateControlState::increase: return "increase";
        case tm::RateControlState::decrease: return "decrease";
        case tm::RateControlState::hold: break;
    }
    return "hold";
}

const char* usage_name(tm::BandwidthUsage usage) noexcept {
    switch (usage) {
        case tm::BandwidthUsage::overusing: return "overusing";
        case tm::BandwidthUsage::underusing: return "underusing";
        case tm::BandwidthUsage::normal: break;
    }
    return "normal";
}

PyObject* optional_int(const std::optional<std::int64_t>& v) {
    return v ? PyLong_FromLongLong(*v) : Py_NewRef(Py_None);
}

PyObject* receiver_dict(const tm::RateController::Stats& r) {
    return new_dict([&](PyObject* d) {
        return dict_put(d, "target_bps", PyLong_FromLongLong(r.target_bps)) &&
               dict_put(d, "state", str_of(state_name(r.state))) &&
               dict_put(d, "usage", str_of(usage_name(r.usage))) &&
               dict_put(d, "delay_based_bps", PyLong_FromLongLong(r.delay_based_bps)) &&
               dict_put(d, "loss_based_bps", PyLong_FromLongLong(r.loss_based_bps)) &&
               dict_put(d, "remb_bps", optional_int(r.remb_bps)) &&
               dict_put(d, "acked_bps", optional_int(r.acked_bps)) &&
               dict_put(d, "rtt_us", optional_int(r.rtt_us)) &&
               dict_put(d, "queue_delay_us", PyLong_FromLongLong(r.queue_delay_us)) &&
               dict_put(d, "loss", PyFloat_FromDouble(r.loss)) &&
               dict_put_counts(d, {{"feedback_messages", r.feedback_messages},
                                   {"packets_acked", r.packets_acked},
                                   {"packets_lost", r.packets_lost},
                                   {"receiver_reports", r.receiver_reports},
                                   {"refused", r.refused}});
    });
}

PyObject* pacer_dict(const tm::PacerStats& p) {
    return new_dict([&](PyObject* d) {
        return dict_put_counts(
            d, {{"queued_packets", p.queued_packets}, {"queued_bytes", p.queued_bytes},
                {"oldest_wait_us", static_cast<std::uint64_t>(p.oldest_wait_us)},
                {"max_wait_us", static_cast<std::uint64_t>(p.max_wait_us)},
                {"sent_packets", p.sent_packets}, {"sent_bytes", p.sent_bytes},
                {"sent_retransmissions", p.sent_retransmissions},
                {"sent_draining", p.sent_draining},
                {"dropped_stale_retransmissions", p.dropped_stale_retransmissions},
                {"dropped_overflow", p.dropped_overflow}, {"pacing_bps", p.pacing_bps}});
    });
}

// What the controller holds, copied out with its lock held.
struct CongestionSnapshot {
    std::int64_t target_bps = 0;
    tm::CongestionControllerCounts counts;
    tm::SentPacketLog::Counts log;
    tm::PacerStats pacer;
    std::vector<tm::RateController::Stats> receivers;
};

PyObject* snapshot_dict(const CongestionSnapshot& c) {
    return new_dict([&](PyObject* d) {
        return dict_put(d, "target_bps", PyLong_FromLongLong(c.target_bps)) &&
               dict_put_counts(d, {{"transport_feedback", c.counts.transport_feedback},
                                   {"rembs", c.counts.rembs},
                                   {"receiver_reports", c.counts.receiver_reports},
                                   {"refused", c.counts.refused},
                                   {"target_changes", c.counts.target_changes},
                                   {"packets_logged", c.log.recorded},
                                   {"feedback_statuses", c.log.reported},
                                   {"feedback_unknown", c.log.unknown}}) &&
               dict_put(d, "pacer", pacer_dict(c.pacer)) &&
               dict_put(d, "receivers", new_list(c.receivers.size(), [&](std::size_t i) {
                            return receiver_dict(c.receivers[i]);
                        }));
    });
}

PyObject* rtp_send_step_congestion_stats(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t now_us = 0;
        if (!read_args("congestion_stats", {param("now_us", now_us)}, args, nargs, kwnames))
            return nullptr;
        PacedSendPath* paced = paced_or_raise(rtp_send_step_of(self));
        if (!paced) return nullptr;
        const CongestionSnapshot snap = paced->with_controller([&](const auto& c) {
            CongestionSnapshot out{c.target_bps(), c.counts(), c.log_counts(),
                                   c.pacer_stats(now_us), {}};
            for (std::size_t i = 0; i < c.receiver_count(); ++i)
                out.receivers.push_back(c.receiver(i).stats());
            return out;
        });
        return snapshot_dict(snap);
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
    {"run_pacer", rtp_send_step_run_pacer, METH_NOARGS,
     "run_pacer($self)\n--\n\nSends the paced packets as they fall due, without the "
     "interpreter lock, until\nstop_pacer(); then what is still queued, and returns."},
    {"stop_pacer", rtp_send_step_stop_pacer, METH_NOARGS,
     "stop_pacer($self)\n--\n\nEnds run_pacer once it has sent what is queued."},
    fast_method("read_feedback", rtp_send_step_read_feedback,
                "read_feedback($self, transport, max_count=64, wake_fd=-1, timeout_us=0)\n--\n\n"
                "RTCP datagrams on `transport`, as its receive() gives them, but those that\n"
                "say only congestion feedback (transport-wide feedback, REMB) from a receiver\n"
                "known by its host go to its rate controller here instead. Under congestion\n"
                "control (and no hook) it waits, without the interpreter lock, until a datagram "
                "is\nleft for the caller, `wake_fd` is readable or `timeout_us` passed. Returns\n"
                "(datagrams, the stream's target in bit/s or None when no feedback was taken,\n"
                "whether `wake_fd` was readable)."),
    fast_method("congestion_feedback", rtp_send_step_congestion_feedback,
                "congestion_feedback($self, receiver, data, now_us)\n--\n\nThe transport-wide "
                "feedback and REMB of an RTCP datagram from receiver `receiver`\n(its place in "
                "the peer list) to its rate controller. Returns the stream's target (bit/s)."),
    fast_method("congestion_report", rtp_send_step_congestion_report,
                "congestion_report($self, receiver, fraction_lost, rtt_us, now_us)\n--\n\nA "
                "report block's fraction lost (n/256) and the round trip (µs or None) to\n"
                "receiver `receiver`'s rate controller. Returns the stream's target (bit/s)."),
    fast_method("congestion_stats", rtp_send_step_congestion_stats,
                "congestion_stats($self, now_us)\n--\n\nThe target, the pacer's and the "
                "log's counts and each receiver's rate controller."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kRtpSendStepDoc =
    "RtpSendStep(packetizer, responder, transport, rtx=True, receivers=0, start_bps=1000000,\n"
    "            min_bps=150000, max_bps=2000000)\n--\n\n"
    "One sender's work per access unit and per NACK, each in one call without the interpreter\n"
    "lock: the RtpPacketizer cuts and keeps, the RtpResponder counts and rules, the\n"
    "DatagramTransport sends (resends in RTX form with `rtx`). With `receivers` (the peers'\n"
    "count), congestion control: every packet waits in a pacer that run_pacer() empties, and\n"
    "the target bitrate follows the receivers' feedback between `min_bps` and `max_bps`.";

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
