// The RtpReceptionStats class: the core's reception statistics of one RTP source, fed packet by
// packet, giving report blocks as dicts. Every method is a few arithmetic steps and runs no
// Python code once its arguments are read, so the interpreter lock is all the locking it needs.
#include "py.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "errors.hpp"
#include "protocols.hpp"
#include "py_rtcp.hpp"
#include "values.hpp"
#include "talmiro_media/rtp_reception_stats.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::RtpReceptionStats;

struct RtpReceptionStatsObject {
    RtpReceptionStatsObject(std::uint32_t ssrc, std::uint32_t clock_rate) noexcept
        : core(ssrc, clock_rate) {}
    RtpReceptionStats core;
};

RtpReceptionStatsObject& rtp_reception_stats_of(PyObject* self) noexcept {
    return unbox<RtpReceptionStatsObject>(self);
}

PyObject* rtp_reception_stats_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::uint32_t ssrc = 0, clock_rate = 90'000;
        if (!read_args("RtpReceptionStats",
                       {param("ssrc", ssrc), param("clock_rate", clock_rate, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (clock_rate == 0) return raise(PyExc_ValueError, "RtpReceptionStats: clock_rate is 0");
        return box_new<RtpReceptionStatsObject>(type, ssrc, clock_rate);
    });
}

PyObject* rtp_reception_stats_packet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint16_t seq = 0;
        std::uint32_t timestamp = 0;
        std::int64_t arrival = 0;
        if (!read_args("packet",
                       {param("seq", seq), param("rtp_timestamp", timestamp),
                        param("arrival_us", arrival)},
                       args, nargs, kwnames))
            return nullptr;
        rtp_reception_stats_of(self).core.packet(seq, timestamp, arrival);
        Py_RETURN_NONE;
    });
}

PyObject* rtp_reception_stats_sender_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint64_t ntp = 0;
        std::int64_t arrival = 0;
        if (!read_args("sender_report", {param("ntp", ntp), param("arrival_us", arrival)}, args,
                       nargs, kwnames))
            return nullptr;
        rtp_reception_stats_of(self).core.sender_report(ntp, arrival);
        Py_RETURN_NONE;
    });
}

PyObject* rtp_reception_stats_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t now = 0;
        if (!read_args("report", {param("now_us", now)}, args, nargs, kwnames)) return nullptr;
        const auto block = rtp_reception_stats_of(self).core.report(now);
        if (!block) Py_RETURN_NONE;
        return report_block_dict(*block);
    });
}

PyObject* rtp_reception_stats_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const RtpReceptionStats::Counts c = rtp_reception_stats_of(self).core.counts();
        return new_dict([&](PyObject* d) {
            return dict_put_count(d, "received", c.received) &&
                   dict_put_count(d, "expected", c.expected) &&
                   dict_put(d, "lost", PyLong_FromLongLong(c.lost)) &&
                   dict_put_counts(d, {{"extended_highest_seq", c.extended_highest_seq},
                                       {"jitter", c.jitter},
                                       {"restarts", c.restarts},
                                       {"jumps_ignored", c.jumps_ignored},
                                       {"sender_reports", c.sender_reports}});
        });
    });
}

PyObject* rtp_reception_stats_ssrc(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(rtp_reception_stats_of(self).core.ssrc());
}

PyObject* rtp_reception_stats_clock_rate(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(rtp_reception_stats_of(self).core.clock_rate());
}

// "RtpReceptionStats(ssrc=0x1234abcd, received=12)".
PyObject* rtp_reception_stats_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const RtpReceptionStats& s = rtp_reception_stats_of(self).core;
        char ssrc[16];
        std::snprintf(ssrc, sizeof ssrc, "0x%08x", s.ssrc());
        return repr_of(self, std::string("ssrc=") + ssrc +
                                 ", received=" + std::to_string(s.counts().received));
    });
}

PyMethodDef rtp_reception_stats_methods[] = {
    fast_method("packet", rtp_reception_stats_packet,
                "packet($self, seq, rtp_timestamp, arrival_us)\n--\n\nOne RTP packet of the "
                "source as it arrived (not a retransmission: that would count as a\nduplicate "
                "of a packet lost)."),
    fast_method("sender_report", rtp_reception_stats_sender_report,
                "sender_report($self, ntp, arrival_us)\n--\n\nA sender report of the source: "
                "its NTP time and when it arrived, for LSR and DLSR."),
    fast_method("report", rtp_reception_stats_report,
                "report($self, now_us)\n--\n\nThe report block at `now_us` (the dict `rtcp_rr` "
                "takes), starting the next interval of\n`fraction_lost`; `None` before the "
                "first packet."),
    fast_method("stats", rtp_reception_stats_stats,
                "stats($self)\n--\n\nThe counts: `received` (duplicates included), `expected`, "
                "`lost`, `extended_highest_seq`,\n`jitter` (timestamp units), `restarts`, "
                "`jumps_ignored`, `sender_reports`."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rtp_reception_stats_getset[] = {
    {"ssrc", rtp_reception_stats_ssrc, nullptr, "The source's SSRC, put into every report block.",
     nullptr},
    {"clock_rate", rtp_reception_stats_clock_rate, nullptr, "The timestamps' clock rate in Hz.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kRtpReceptionStatsDoc =
    "RtpReceptionStats(ssrc, clock_rate=90000)\n--\n\n"
    "What a receiver counts of one RTP source for its receiver reports: packets expected and\n"
    "received, the fraction lost since the previous report, the interarrival jitter and the\n"
    "echo of the last sender report (LSR, DLSR). Times are µs on one monotonic clock.";

PyType_Slot rtp_reception_stats_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRtpReceptionStatsDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rtp_reception_stats_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RtpReceptionStatsObject>)},
    {Py_tp_methods, rtp_reception_stats_methods},
    {Py_tp_getset, rtp_reception_stats_getset},
    {Py_tp_members, weakref_members},
    {Py_tp_repr, reinterpret_cast<void*>(rtp_reception_stats_repr)},
    {0, nullptr},
};

PyType_Spec rtp_reception_stats_spec = {"talmiro_sdk_video._rtp.RtpReceptionStats",
                                        sizeof(Box<RtpReceptionStatsObject>), 0, kTypeFlags,
                                        rtp_reception_stats_slots};

PyObject* g_rtp_reception_stats_type = nullptr;

}  // namespace

PyObject* rtp_reception_stats_type() {
    return once_type(g_rtp_reception_stats_type, rtp_reception_stats_spec);
}


}  // namespace talmiro_py
