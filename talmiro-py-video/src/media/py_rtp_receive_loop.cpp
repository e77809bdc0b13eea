// The RtpReceiveLoop class: a receiving thread's loop (receive_loop.hpp) behind Python. `run`
// gives up the interpreter lock until the loop is woken or has units for Python to decode; the
// accessors read the session's facts under the loop's mutex. Its datagrams go in and out through
// two DatagramTransport objects (RTP and RTCP), kept and claimed for the loop's lifetime: the
// loop holds its mutex where a hook would need the interpreter lock, so it takes transports
// without hooks, and none can be set on them while it lives. The units Python decodes come as
// RtpUnit struct sequences (indexable as the unit tuples `on_unit` takes).
#include "py.hpp"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "datagram_transport.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "receive_loop.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

namespace tm = talmiro_media;

// A transport the loop reads and sends through, kept and claimed while the claim lives; taken
// and let go with the interpreter lock held.
struct Claim {
    Owned transport;

    Claim() = default;
    Claim(Claim&&) noexcept = default;
    Claim& operator=(Claim&&) = delete;
    ~Claim() {
        if (transport) datagram_transport_release(transport.get());
    }
    // False with an exception set (not a transport, or one with a hook).
    bool take(PyObject* obj) {
        if (!datagram_transport_claim(obj, "RtpReceiveLoop")) return false;
        transport.reset(Py_NewRef(obj));
        return true;
    }
};

struct RtpReceiveLoopObject {
    RtpReceiveLoopObject(Claim rtp_claim, Claim rtcp_claim, ReceiveLoopConfig config,
                         std::int64_t now_us, PyObject* decoder, PyObject* pictures)
        : rtp(std::move(rtp_claim)),
          rtcp(std::move(rtcp_claim)),
          loop(std::move(config), now_us),
          decoder(Py_XNewRef(decoder)),
          pictures(Py_NewRef(pictures)) {}
    // Before the loop: it reads their sockets until it is gone.
    Claim rtp;
    Claim rtcp;
    ReceiveLoop loop;
    // Kept alive while the loop decodes into them.
    Owned decoder;
    Owned pictures;
};

RtpReceiveLoopObject& loop_of(PyObject* self) noexcept {
    return unbox<RtpReceiveLoopObject>(self);
}

PyStructSequence_Field kUnitFields[] = {
    {"data", "Annex-B bytes (empty when every NAL unit was lost)"},
    {"rtp_timestamp", "the RTP timestamp"},
    {"arrival_us", "arrival of its last packet (monotonic µs)"},
    {"complete", "every packet and fragment arrived"},
    {"key", "holds an IDR slice"},
    {"config", "carries SPS/PPS"},
    {"recovery", "carries an SEI recovery point"},
    {"recovered", "some packets came after being asked for again"},
    {"t_us", "capture time on the sender's clock (µs since 1970)"},
    {"exact", "a sender report said the capture time"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kUnitDesc = {
    "talmiro_sdk_video._rtp.RtpUnit",
    "An access unit as it came from the network, with its capture time.", kUnitFields, 8};

PyObject* g_unit_type = nullptr;

PyObject* unit_object(const StampedUnit& s) {
    if (!g_unit_type) g_unit_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kUnitDesc));
    if (!g_unit_type) return nullptr;
    PyObject* u = PyStructSequence_New(as_type(g_unit_type));
    if (!u) return nullptr;
    const tm::RtpAccessUnit& a = s.au;
    PyObject* items[] = {bytes_of(a.unit.bytes()),
                         PyLong_FromUnsignedLong(a.rtp_timestamp),
                         PyLong_FromLongLong(a.last_arrival_us),
                         Py_NewRef(bool_of(a.complete)),
                         Py_NewRef(bool_of(a.unit.key)),
                         Py_NewRef(bool_of(a.unit.config)),
                         Py_NewRef(bool_of(a.unit.recovery)),
                         Py_NewRef(bool_of(a.recovered)),
                         PyLong_FromLongLong(s.time.t_us),
                         Py_NewRef(bool_of(s.time.exact))};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 10; ++i) {
        if (!items[i]) ok = false;
        else PyStructSequence_SetItem(u, i, items[i]);
    }
    if (!ok) Py_CLEAR(u);
    return u;
}

struct LoopArgs {
    std::uint32_t wake_fd = 0, ssrc = 1, payload_type = 96;
    std::optional<std::uint32_t> rtx_payload_type, sender_port, rtcp_to_port,
        transport_cc_extension_id;
    std::int64_t max_delay_us = 100'000, min_wait_us = 20'000, nack_copy_us = 0,
                 report_interval_us = 1'000'000, nack_rtt_age_us = 5'000'000;
    std::uint64_t seed = 1;
    bool nack = true;
    PyObject *rtp = nullptr, *rtcp = nullptr, *cname = nullptr, *note_prefix = nullptr,
             *param_sets = nullptr, *sender_host = nullptr, *rtcp_to_host = nullptr,
             *decoder = nullptr, *pictures = nullptr;
};

bool read_loop_args(PyObject* args, PyObject* kwargs, LoopArgs& a) {
    return read_args(
        "RtpReceiveLoop",
        {param("rtp", a.rtp, Kind::Object), param("rtcp", a.rtcp, Kind::Object),
         param("wake_fd", a.wake_fd),
         param("pictures", a.pictures, Kind::Object), param("ssrc", a.ssrc, Need::Optional),
         param("cname", a.cname, Kind::Str, Need::Optional),
         param("payload_type", a.payload_type, Need::Optional),
         param("rtx_payload_type", a.rtx_payload_type, Need::Optional),
         param("max_delay_us", a.max_delay_us, Need::Optional),
         param("min_wait_us", a.min_wait_us, Need::Optional),
         param("nack", a.nack, Need::Optional),
         param("nack_copy_us", a.nack_copy_us, Need::Optional),
         param("report_interval_us", a.report_interval_us, Need::Optional),
         param("nack_rtt_age_us", a.nack_rtt_age_us, Need::Optional),
         param("seed", a.seed, Need::Optional),
         param("note_prefix", a.note_prefix, Kind::Str, Need::Optional),
         param("param_sets", a.param_sets, Kind::Bytes, Need::Optional),
         param("sender_host", a.sender_host, Kind::OptStr, Need::Optional),
         param("sender_port", a.sender_port, Need::Optional),
         param("rtcp_to_host", a.rtcp_to_host, Kind::OptStr, Need::Optional),
         param("rtcp_to_port", a.rtcp_to_port, Need::Optional),
         param("decoder", a.decoder, Kind::Object, Need::Optional),
         param("transport_cc_extension_id", a.transport_cc_extension_id, Need::Optional)},
        args, kwargs);
}

std::optional<std::string> text_of(PyObject* str) {
    if (!str) return std::nullopt;
    const auto t = utf8_of(str, true);
    if (!t) return std::nullopt;
    return std::string(*t);
}

tm::RtpReceiveSessionConfig session_config(const LoopArgs& a) {
    tm::RtpReceiveSessionConfig c;
    tm::RtpDepacketizerConfig& d = c.depacketizer;
    d.payload_type = static_cast<std::uint8_t>(a.payload_type);
    if (a.rtx_payload_type) d.rtx_payload_type = static_cast<std::uint8_t>(*a.rtx_payload_type);
    d.max_wait_us = a.max_delay_us;
    d.max_delay_us = a.max_delay_us;
    d.min_wait_us = a.min_wait_us;
    d.nack = a.nack;
    d.nack_copy_us = a.nack_copy_us;
    c.ssrc = a.ssrc;
    c.report_interval_us = a.report_interval_us;
    c.report_seed = a.seed;
    c.nack_rtt_age_us = a.nack_rtt_age_us;
    if (a.transport_cc_extension_id)
        c.transport_cc_extension_id = static_cast<std::uint8_t>(*a.transport_cc_extension_id);
    if (a.param_sets) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(a.param_sets));
        c.param_sets.assign(p, p + PyBytes_Size(a.param_sets));
    }
    return c;
}

// The addresses and the decoding part of the configuration; false with an exception set.
bool loop_places(const LoopArgs& a, ReceiveLoopConfig& c) {
    if (!fits("payload_type", a.payload_type, 127) ||
        !fits("rtx_payload_type", a.rtx_payload_type, 127) ||
        !fits("sender_port", a.sender_port, 0xFFFF) || !fits("rtcp_to_port", a.rtcp_to_port, 0xFFFF) ||
        !fits("transport_cc_extension_id", a.transport_cc_extension_id, 14))
        return false;
    if (a.transport_cc_extension_id == 0u) {
        PyErr_SetString(PyExc_ValueError, "RtpReceiveLoop: transport_cc_extension_id must be 1..14");
        return false;
    }
    c.rtp = datagram_transport_socket(a.rtp);
    c.rtcp = datagram_transport_socket(a.rtcp);
    c.rtp_max_size = datagram_transport_max_size(a.rtp);
    c.rtcp_max_size = datagram_transport_max_size(a.rtcp);
    c.wake_fd = static_cast<int>(a.wake_fd);
    if (a.sender_host) {
        c.sender_host = text_of(a.sender_host);
        if (!c.sender_host) return false;
        if (a.sender_port) c.sender_port = static_cast<std::uint16_t>(*a.sender_port);
    }
    if (a.rtcp_to_host) {
        const auto host = text_of(a.rtcp_to_host);
        if (!host) return false;
        c.rtcp_to = numeric_address(host->c_str(), static_cast<std::uint16_t>(a.rtcp_to_port.value_or(0)));
        if (!c.rtcp_to) {
            PyErr_SetString(PyExc_ValueError, "RtpReceiveLoop needs a numeric rtcp_to_host");
            return false;
        }
    }
    c.pictures = picture_queue_core(a.pictures);
    if (!c.pictures) {
        PyErr_SetString(PyExc_TypeError, "RtpReceiveLoop needs a PictureQueue");
        return false;
    }
    if (a.decoder && a.decoder != Py_None) {
        c.decoder = decoder_core(a.decoder);
        if (!c.decoder->core) {
            PyErr_SetString(PyExc_TypeError, "RtpReceiveLoop needs an H264Decoder or None");
            return false;
        }
    }
    return true;
}

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        LoopArgs a;
        Claim rtp, rtcp;
        if (!read_loop_args(args, kwargs, a) || !rtp.take(a.rtp) || !rtcp.take(a.rtcp))
            return nullptr;
        ReceiveLoopConfig c;
        c.session = session_config(a);
        if (!loop_places(a, c)) return nullptr;
        if (a.cname) {
            const auto cname = text_of(a.cname);
            if (!cname) return nullptr;
            c.session.cname = *cname;
        }
        if (a.note_prefix) {
            const auto prefix = text_of(a.note_prefix);
            if (!prefix) return nullptr;
            c.session.note_prefix = *prefix;
        }
        PyObject* decoder = a.decoder && a.decoder != Py_None ? a.decoder : nullptr;
        return box_new<RtpReceiveLoopObject>(type, std::move(rtp), std::move(rtcp), std::move(c),
                                             monotonic_us(), decoder, a.pictures);
    });
}

PyObject* loop_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("run", {}, args, nargs, kwnames)) return nullptr;
        ReceiveLoop& loop = loop_of(self).loop;
        std::vector<StampedUnit> units;
        const ReceiveLoop::Stop stop = without_gil([&] { return loop.run(units); });
        if (stop == ReceiveLoop::Stop::Failed) {
            errno = loop.error();
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (stop == ReceiveLoop::Stop::Woken) Py_RETURN_NONE;
        return new_list(units.size(), [&](std::size_t i) { return unit_object(units[i]); });
    });
}

PyObject* loop_decoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool refused = false;
        PyObject* signal = nullptr;
        if (!read_args("decoded",
                       {param("refused", refused), param("signal", signal, Kind::OptStr)}, args,
                       nargs, kwnames))
            return nullptr;
        const auto text = signal ? text_of(signal) : std::optional<std::string>("");
        if (!text) return nullptr;
        ReceiveLoop& loop = loop_of(self).loop;
        without_gil([&] { loop.decoded(refused, *text == "request_idr", *text == "reset"); });
        Py_RETURN_NONE;
    });
}

PyObject* loop_goodbye(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("goodbye", {}, args, nargs, kwnames)) return nullptr;
        ReceiveLoop& loop = loop_of(self).loop;
        without_gil([&] { loop.goodbye(); });
        Py_RETURN_NONE;
    });
}

// What the stats are made of, copied out under the loop's mutex.
struct Snapshot {
    tm::RtpDepacketizerStats depack;
    tm::RtpReceiveSessionCounts session;
    ReceiveLoopCounts loop;
    std::optional<std::int64_t> rtt_us;
    std::int64_t jitter_us = 0;
    bool bye = false;
    std::optional<std::string> note;
};

Snapshot snapshot(ReceiveLoop& loop) {
    return copied_out(loop.mutex(), [&] {
        const tm::RtpReceiveSession& s = loop.session();
        return Snapshot{s.depacketizer().stats(), s.counts(), loop.counts(), s.rtt_us(),
                        s.jitter_us(),  s.bye(), s.note()};
    });
}

// The refusals by cause that happened.
bool put_refused(PyObject* dict, const tm::RtpDepacketizerStats& d) {
    return dict_put(dict, "refused", new_dict([&](PyObject* refused) {
        for (std::size_t i = 0; i < tm::kRtpRefusalCount; ++i) {
            const auto name = tm::rtp_refusal_name(static_cast<tm::RtpRefusal>(i));
            if (d.refused[i] != 0 &&
                !dict_put_count(refused, std::string(name).c_str(), d.refused[i]))
                return false;
        }
        return true;
    }));
}

bool put_stats(PyObject* dict, const Snapshot& n) {
    const tm::RtpDepacketizerStats& d = n.depack;
    const ReceiveLoopCounts& c = n.loop;
    PyObject* rtt = n.rtt_us ? PyFloat_FromDouble(static_cast<double>(*n.rtt_us) / 1000.0)
                             : Py_NewRef(Py_None);
    return dict_put_counts(
               dict, {{"refused_foreign_source", c.refused_foreign_source},
                      {"rtcp_datagrams", n.session.rtcp_datagrams + c.rtcp_foreign_source},
                      {"rtcp_refused", n.session.rtcp_refused},
                      {"rtcp_foreign_source", c.rtcp_foreign_source},
                      {"nacks_sent", c.nacks_sent}, {"plis_sent", c.plis_sent},
                      {"transport_feedback_sent", c.transport_feedback_sent},
                      {"receiver_reports", c.receiver_reports}, {"resets", c.resets},
                      {"decode_errors", c.decode_errors},
                      {"sender_reports", n.session.sender_reports},
                      {"rtt_samples", n.session.rtt_samples}, {"wakeups", c.wakeups},
                      {"packets_received", d.packets_received}, {"packets_lost", d.packets_lost},
                      {"packets_recovered", d.packets_recovered}, {"packets_late", d.packets_late},
                      {"packets_refused", d.packets_refused + c.refused_foreign_source},
                      {"packets_duplicated", d.packets_duplicated},
                      {"packets_reordered", d.packets_reordered},
                      {"rtx_received", d.rtx_received}}) &&
           put_refused(dict, d) &&
           dict_put_counts(dict, {{"units_complete", d.units_complete},
                                  {"units_incomplete", d.units_incomplete},
                                  {"restarts", d.restarts}, {"tail_nacks", d.tail_nacks}}) &&
           dict_put(dict, "rtt_ms", rtt) &&
           dict_put(dict, "jitter_ms", PyFloat_FromDouble(static_cast<double>(n.jitter_us) / 1000.0)) &&
           dict_put(dict, "bye", Py_NewRef(bool_of(n.bye)));
}

PyObject* loop_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const Snapshot n = snapshot(loop_of(self).loop);
        return new_dict([&](PyObject* dict) { return put_stats(dict, n); });
    });
}

PyObject* loop_note(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Snapshot n = snapshot(loop_of(self).loop);
        if (!n.note) Py_RETURN_NONE;
        return str_of(*n.note);
    });
}

PyMethodDef loop_methods[] = {
    fast_method("run", loop_run,
                "run($self)\n--\n\nRuns the loop without the interpreter lock: None once woken "
                "(the wake descriptor\nreadable), or a list of RtpUnit for the caller to decode. "
                "A failed socket raises OSError."),
    fast_method("decoded", loop_decoded,
                "decoded($self, refused, signal)\n--\n\nWhat came of a unit the caller decoded: "
                "refused by the decoder, and its signal\n(None, \"request_idr\" or \"reset\"). A "
                "PLI goes for a refused unit or \"request_idr\"."),
    fast_method("goodbye", loop_goodbye,
                "goodbye($self)\n--\n\nSends our BYE (after a receiver report) to the sender."),
    fast_method("stats", loop_stats,
                "stats($self)\n--\n\nThe session's and the loop's counts, the round trip and "
                "jitter (ms) and whether\nthe sender said BYE."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef loop_getset[] = {
    {"note", loop_note, nullptr,
     "The last SDES PRIV value with the note prefix from the sender, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kLoopDoc =
    "RtpReceiveLoop(rtp, rtcp, wake_fd, pictures, ssrc=1, cname=..., payload_type=96,\n"
    "rtx_payload_type=None, max_delay_us=100000, min_wait_us=20000, nack=True, nack_copy_us=0,\n"
    "report_interval_us=1000000, nack_rtt_age_us=5000000, seed=1, note_prefix=..., "
    "param_sets=b'',\nsender_host=None, sender_port=None, rtcp_to_host=None, rtcp_to_port=None, "
    "decoder=None,\ntransport_cc_extension_id=None)\n--\n\n"
    "A receiving thread's loop over the RTP and RTCP sockets, whose datagrams go in and out\n"
    "through the DatagramTransport objects `rtp` and `rtcp` (without hooks; none can be set\n"
    "while the loop holds them): the receive session in native code, its RTCP sent, and with\n"
    "`decoder` (an H264Decoder) the units decoded and their pictures queued in `pictures`.\n"
    "With `transport_cc_extension_id` (1..14), the packets carrying that transport-wide\n"
    "sequence number are answered with transport-wide feedback.\n"
    "`wake_fd` (borrowed, open while it runs) readable ends run().";

PyType_Slot loop_slots[] = {
    {Py_tp_doc, const_cast<char*>(kLoopDoc)},
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RtpReceiveLoopObject>)},
    {Py_tp_methods, loop_methods},
    {Py_tp_getset, loop_getset},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec loop_spec = {"talmiro_sdk_video._rtp.RtpReceiveLoop",
                         sizeof(Box<RtpReceiveLoopObject>), 0, kTypeFlags, loop_slots};

PyObject* g_loop_type = nullptr;

}  // namespace

PyObject* rtp_receive_loop_type() { return once_type(g_loop_type, loop_spec); }

}  // namespace talmiro_py
