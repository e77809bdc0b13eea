// The RtpDepacketizer class: one core depacketizer behind a mutex; datagrams in as any buffer,
// access units out as tuples with the sequence numbers to ask for again.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "picture_args.hpp"
#include "values.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::RtpAccessUnit;
using talmiro_media::RtpDepacketizer;
using talmiro_media::RtpOutput;

// Every call keeps the interpreter lock: a datagram's work is a few hundred nanoseconds to a
// few microseconds (one copy of its payload at most), less than giving the lock up costs.
struct RtpDepacketizerObject {
    explicit RtpDepacketizerObject(const talmiro_media::RtpDepacketizerConfig& c) : core(c) {}
    std::mutex mutex;
    RtpDepacketizer core;
};

RtpDepacketizerObject& rtp_depacketizer_of(PyObject* self) noexcept {
    return unbox<RtpDepacketizerObject>(self);
}

// (units, nacks): units as (data, rtp_timestamp, arrival_us, complete, key, config, recovery,
// recovered) tuples in decode order, nacks as a list of sequence numbers.
PyObject* rtp_output_tuple(const RtpOutput& out) {
    PyObject* units = PyList_New(static_cast<Py_ssize_t>(out.units.size()));
    PyObject* nacks = units ? PyList_New(static_cast<Py_ssize_t>(out.nacks.size())) : nullptr;
    if (!nacks) {
        Py_XDECREF(units);
        return nullptr;
    }
    auto fail = [&]() -> PyObject* {
        Py_DECREF(units);
        Py_DECREF(nacks);
        return nullptr;
    };
    for (std::size_t i = 0; i < out.units.size(); ++i) {
        const RtpAccessUnit& u = out.units[i];
        const auto data = u.unit.bytes();
        PyObject* item = Py_BuildValue(
            "(y#kLOOOOO)", reinterpret_cast<const char*>(data.data()),
            static_cast<Py_ssize_t>(data.size()), static_cast<unsigned long>(u.rtp_timestamp),
            static_cast<long long>(u.last_arrival_us), bool_of(u.complete), bool_of(u.unit.key),
            bool_of(u.unit.config), bool_of(u.unit.recovery), bool_of(u.recovered));
        if (!item || PyList_SetItem(units, static_cast<Py_ssize_t>(i), item) < 0) return fail();
    }
    for (std::size_t i = 0; i < out.nacks.size(); ++i) {
        PyObject* seq = PyLong_FromUnsignedLong(out.nacks[i]);
        if (!seq || PyList_SetItem(nacks, static_cast<Py_ssize_t>(i), seq) < 0) return fail();
    }
    return Py_BuildValue("(NN)", units, nacks);
}

}  // namespace


namespace {

PyObject* rtp_depacketizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        talmiro_media::RtpDepacketizerConfig cfg;
        std::uint32_t payload_type = cfg.payload_type;
        std::optional<std::uint32_t> rtx_payload_type;
        std::uint64_t window = cfg.window_packets, buffered = cfg.max_buffered_bytes,
                      unit = cfg.max_unit_bytes;
        if (!read_args("RtpDepacketizer",
                       {param("payload_type", payload_type, Need::Optional),
                        param("rtx_payload_type", rtx_payload_type, Need::Optional),
                        param("ssrc", cfg.ssrc, Need::Optional),
                        param("rtx_ssrc", cfg.rtx_ssrc, Need::Optional),
                        param("max_wait_us", cfg.max_wait_us, Need::Optional),
                        param("min_wait_us", cfg.min_wait_us, Need::Optional),
                        param("max_delay_us", cfg.max_delay_us, Need::Optional),
                        param("nack", cfg.nack, Need::Optional),
                        param("nack_delay_us", cfg.nack_delay_us, Need::Optional),
                        param("nack_copy_us", cfg.nack_copy_us, Need::Optional),
                        param("nack_interval_us", cfg.nack_interval_us, Need::Optional),
                        param("max_nacks", cfg.max_nacks, Need::Optional),
                        param("max_nack_run", cfg.max_nack_run, Need::Optional),
                        param("tail_wait_min_us", cfg.tail_wait_min_us, Need::Optional),
                        param("tail_wait_max_us", cfg.tail_wait_max_us, Need::Optional),
                        param("ssrc_silence_us", cfg.ssrc_silence_us, Need::Optional),
                        param("window_packets", window, Need::Optional),
                        param("max_buffered_bytes", buffered, Need::Optional),
                        param("max_unit_bytes", unit, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (!fits("payload_type", payload_type, 127) ||
            !fits("rtx_payload_type", rtx_payload_type, 127))
            return nullptr;
        cfg.payload_type = static_cast<std::uint8_t>(payload_type);
        if (rtx_payload_type) cfg.rtx_payload_type = static_cast<std::uint8_t>(*rtx_payload_type);
        cfg.window_packets = static_cast<std::size_t>(std::min<std::uint64_t>(window, SIZE_MAX));
        cfg.max_buffered_bytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffered, SIZE_MAX));
        cfg.max_unit_bytes = static_cast<std::size_t>(std::min<std::uint64_t>(unit, SIZE_MAX));
        return box_new<RtpDepacketizerObject>(type, cfg);
    });
}

PyObject* rtp_depacketizer_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* datagram = nullptr;
        std::int64_t arrival_us = 0;
        if (!read_args("push",
                       {param("datagram", datagram, Kind::Object),
                        param("arrival_us", arrival_us)},
                       args, nargs, kwnames))
            return nullptr;
        const auto held = acquire_bytes(datagram, "datagram");
        if (!held) return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        return rtp_output_tuple(
            copied_out(d.mutex, [&] { return d.core.push(held->bytes(), arrival_us); }));
    });
}

template <typename F>
PyObject* timed(PyObject* self, const char* fn, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, F&& call) {
    return guarded([&]() -> PyObject* {
        std::int64_t now_us = 0;
        if (!read_args(fn, {param("now_us", now_us)}, args, nargs, kwnames)) return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        return rtp_output_tuple(copied_out(d.mutex, [&] { return call(d.core, now_us); }));
    });
}

PyObject* rtp_depacketizer_poll(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return timed(self, "poll", args, nargs, kwnames,
                 [](RtpDepacketizer& core, std::int64_t now) { return core.poll(now); });
}

PyObject* rtp_depacketizer_give_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return timed(self, "give_up", args, nargs, kwnames,
                 [](RtpDepacketizer& core, std::int64_t now) { return core.give_up(now); });
}

// A method without arguments that gives a time in microseconds, or None, read under the lock.
template <typename F>
PyObject* time_us(PyObject* self, const char* fn, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, F&& read) {
    return guarded([&]() -> PyObject* {
        if (!read_args(fn, {}, args, nargs, kwnames)) return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        const std::optional<std::int64_t> us = copied_out(d.mutex, [&] { return read(d.core); });
        if (!us) Py_RETURN_NONE;
        return PyLong_FromLongLong(*us);
    });
}

PyObject* rtp_depacketizer_next_deadline_us(PyObject* self, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
    return time_us(self, "next_deadline_us", args, nargs, kwnames,
                   [](const RtpDepacketizer& core) { return core.next_deadline_us(); });
}

PyObject* rtp_depacketizer_tail_wait_us(PyObject* self, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    return time_us(self, "tail_wait_us", args, nargs, kwnames,
                   [](const RtpDepacketizer& core) { return core.tail_wait_us(); });
}

PyObject* rtp_depacketizer_set_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t max_wait_us = 0, nack_interval_us = 0;
        if (!read_args("set_timing",
                       {param("max_wait_us", max_wait_us),
                        param("nack_interval_us", nack_interval_us)},
                       args, nargs, kwnames))
            return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        copied_out(d.mutex, [&] { d.core.set_timing(max_wait_us, nack_interval_us); });
        Py_RETURN_NONE;
    });
}

PyObject* rtp_depacketizer_set_round_trip(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* rtt = nullptr;
        std::int64_t jitter_us = 0;
        if (!read_args("set_round_trip",
                       {param("rtt_us", rtt, Kind::Object),
                        param("jitter_us", jitter_us, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        std::optional<std::int64_t> rtt_us;
        if (rtt != Py_None) {
            std::int64_t us = 0;
            if (!read_value("set_round_trip", param("rtt_us", us), rtt)) return nullptr;
            rtt_us = us;
        }
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        copied_out(d.mutex, [&] { d.core.set_round_trip(rtt_us, jitter_us); });
        Py_RETURN_NONE;
    });
}

PyObject* rtp_depacketizer_end_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("end_stream", {}, args, nargs, kwnames)) return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        copied_out(d.mutex, [&] { d.core.end_stream(); });
        Py_RETURN_NONE;
    });
}

PyObject* rtp_depacketizer_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("timing", {}, args, nargs, kwnames)) return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        const auto c = copied_out(d.mutex, [&] { return d.core.config(); });
        return Py_BuildValue("(LL)", static_cast<long long>(c.max_wait_us),
                             static_cast<long long>(c.nack_interval_us));
    });
}

PyObject* rtp_depacketizer_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        RtpDepacketizerObject& d = rtp_depacketizer_of(self);
        const auto s = copied_out(d.mutex, [&] { return d.core.stats(); });
        auto by_cause = [&](PyObject* refused) {
            for (std::size_t i = 0; i < talmiro_media::kRtpRefusalCount; ++i) {
                const auto name =
                    talmiro_media::rtp_refusal_name(static_cast<talmiro_media::RtpRefusal>(i));
                if (!dict_put_count(refused, std::string(name).c_str(), s.refused[i])) return false;
            }
            return true;
        };
        return new_dict([&](PyObject* dict) {
            return dict_put_counts(dict, {{"packets_received", s.packets_received},
                                          {"bytes_received", s.bytes_received},
                                          {"packets_lost", s.packets_lost},
                                          {"packets_duplicated", s.packets_duplicated},
                                          {"packets_reordered", s.packets_reordered},
                                          {"packets_late", s.packets_late},
                                          {"packets_recovered", s.packets_recovered},
                                          {"rtx_received", s.rtx_received},
                                          {"packets_refused", s.packets_refused}}) &&
                   dict_put(dict, "refused", new_dict(by_cause)) &&
                   dict_put_counts(dict, {{"units_complete", s.units_complete},
                                          {"units_incomplete", s.units_incomplete},
                                          {"nals_dropped", s.nals_dropped},
                                          {"units_oversized", s.units_oversized},
                                          {"nacks", s.nacks},
                                          {"tail_nacks", s.tail_nacks},
                                          {"restarts", s.restarts},
                                          {"forced", s.forced},
                                          {"ssrc", s.ssrc}}) &&
                   dict_put(dict, "first_seq", PyLong_FromLongLong(s.first_seq)) &&
                   dict_put(dict, "highest_seq", PyLong_FromLongLong(s.highest_seq)) &&
                   dict_put(dict, "jitter", PyFloat_FromDouble(s.jitter));
        });
    });
}

PyMethodDef rtp_depacketizer_methods[] = {
    fast_method("push", rtp_depacketizer_push,
                "push($self, datagram, arrival_us)\n--\n\nTakes one datagram (any contiguous "
                "byte buffer) that arrived at `arrival_us`, and\ndoes what `poll(arrival_us)` "
                "does. Returns `(units, nacks)`: the access units now ready,\nin decode order, as "
                "`(data, rtp_timestamp, arrival_us, complete, key, config, recovery,\n"
                "recovered)` tuples, and the sequence numbers to ask the sender for. A datagram "
                "that\ndoes not parse is counted in `stats()[\"refused\"]`, never raised."),
    fast_method("poll", rtp_depacketizer_poll,
                "poll($self, now_us)\n--\n\nGives up the gaps whose wait ended by `now_us` "
                "(their units come out incomplete) and\nrepeats the NACKs that are due; "
                "`(units, nacks)` as from `push`."),
    fast_method("give_up", rtp_depacketizer_give_up,
                "give_up($self, now_us)\n--\n\nGives up every gap and passes on all that is held, "
                "the unit still arriving included."),
    fast_method("next_deadline_us", rtp_depacketizer_next_deadline_us,
                "next_deadline_us($self)\n--\n\nWhen `poll` next has work (a gap's wait ends, a "
                "NACK is due), or None."),
    fast_method("tail_wait_us", rtp_depacketizer_tail_wait_us,
                "tail_wait_us($self)\n--\n\nHow long after its last packet a unit whose packets "
                "stopped before its marker has\nits tail asked for, from the spacing and jitter "
                "measured now."),
    fast_method("set_timing", rtp_depacketizer_set_timing,
                "set_timing($self, max_wait_us, nack_interval_us)\n--\n\nThe wait for a gap and "
                "the NACK repeat interval, given outright."),
    fast_method("set_round_trip", rtp_depacketizer_set_round_trip,
                "set_round_trip($self, rtt_us, jitter_us=0)\n--\n\nThe wait for a gap and the "
                "NACK repeat interval from the round trip (NACK to\nretransmission; None before "
                "the first sample) and the jitter, in µs. With NACKs: a repeat every 1.25 round\n"
                "trips plus two jitters (at least 5 ms), and a wait until the answer to one "
                "repeat is due,\nor only the first NACK's when the repeat's could not come "
                "before `max_delay_us`; before\nthe first round trip, a wait of `max_delay_us` "
                "and a repeat half-way. "
                "Without:\na wait of four jitters, a repeat every `min_wait_us`. The wait is held "
                "between `min_wait_us`\nand `max_delay_us`."),
    fast_method("end_stream", rtp_depacketizer_end_stream,
                "end_stream($self)\n--\n\nThe stream's sender said BYE: the next packet of a new "
                "SSRC starts a new stream at\nonce, without waiting for `ssrc_silence_us`."),
    fast_method("timing", rtp_depacketizer_timing,
                "timing($self)\n--\n\n`(max_wait_us, nack_interval_us)` in force."),
    fast_method("stats", rtp_depacketizer_stats,
                "stats($self)\n--\n\nCumulative counters, the refusals by cause, and the "
                "receiver-report facts (`ssrc`,\n`first_seq`, `highest_seq` as extended sequence "
                "numbers, `jitter` in 90 kHz units)."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kRtpDepacketizerDoc =
    "RtpDepacketizer(payload_type=96, rtx_payload_type=None, ssrc=None, rtx_ssrc=None, "
    "max_wait_us=100000, min_wait_us=20000, max_delay_us=100000, nack=True, nack_delay_us=0, "
    "nack_copy_us=0, nack_interval_us=30000, max_nacks=3, "
    "max_nack_run=1000, tail_wait_min_us=2000, tail_wait_max_us=10000, "
    "ssrc_silence_us=500000, window_packets=8192, max_buffered_bytes=33554432, "
    "max_unit_bytes=16777216)\n--\n\n"
    "The receiving side of H.264 over RTP: datagrams in, Annex-B access units out in decode\n"
    "order, each marked complete or not, and the sequence numbers to NACK. Every byte is\n"
    "untrusted and memory is bounded. Plain resends are always taken; RTX retransmissions when\n"
    "`rtx_payload_type` is set. No sockets and no clock: times are passed in.";

PyType_Slot rtp_depacketizer_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRtpDepacketizerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rtp_depacketizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RtpDepacketizerObject>)},
    {Py_tp_methods, rtp_depacketizer_methods},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec rtp_depacketizer_spec = {"talmiro_sdk_video._rtp.RtpDepacketizer",
                                     sizeof(Box<RtpDepacketizerObject>), 0, kTypeFlags,
                                     rtp_depacketizer_slots};

PyObject* g_rtp_depacketizer_type = nullptr;

}  // namespace

PyObject* rtp_depacketizer_type() {
    return once_type(g_rtp_depacketizer_type, rtp_depacketizer_spec);
}

}  // namespace talmiro_py
