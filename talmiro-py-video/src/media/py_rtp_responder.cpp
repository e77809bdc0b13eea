// The RtpResponder class: the core's rules for answering feedback on the sending side (IDR
// requests coalesced, resends limited and paced). Every method is a few comparisons or a hash
// lookup and runs no Python code once its arguments are read, so the interpreter lock is all
// the locking it needs.
#include "py.hpp"

#include <cstdint>
#include <optional>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "values.hpp"
#include "talmiro_media/rtp_responder.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::ResendVerdict;
using talmiro_media::RtpResponder;

struct RtpResponderObject {
    explicit RtpResponderObject(const talmiro_media::RtpResponderConfig& c) : core(c) {}
    RtpResponder core;
};

RtpResponderObject& rtp_responder_of(PyObject* self) noexcept {
    return unbox<RtpResponderObject>(self);
}

PyObject* rtp_responder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        talmiro_media::RtpResponderConfig c;
        std::uint64_t rate = static_cast<std::uint64_t>(c.resend_min_rate);
        std::uint64_t burst = static_cast<std::uint64_t>(c.resend_burst);
        std::uint64_t entries = c.max_resend_entries;
        if (!read_args("RtpResponder",
                       {param("max_resends", c.max_resends, Need::Optional),
                        param("default_rtt_us", c.default_rtt_us, Need::Optional),
                        param("idr_pending_limit_us", c.idr_pending_limit_us, Need::Optional),
                        param("resend_min_rate", rate, Need::Optional),
                        param("resend_burst", burst, Need::Optional),
                        param("max_resend_entries", entries, Need::Optional)},
                       args, kwargs))
            return nullptr;
        c.resend_min_rate = static_cast<double>(rate);
        c.resend_burst = static_cast<double>(burst);
        c.max_resend_entries = static_cast<std::size_t>(std::min<std::uint64_t>(entries, 1u << 24));
        return box_new<RtpResponderObject>(type, c);
    });
}

PyObject* rtp_responder_request_idr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t now = 0;
        PyObject* rtt = Py_None;
        if (!read_args("request_idr",
                       {param("now_us", now), param("rtt_us", rtt, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        std::optional<std::int64_t> rtt_us;
        if (rtt != Py_None) {
            std::int64_t us = 0;
            if (!read_value("request_idr", param("rtt_us", us), rtt)) return nullptr;
            rtt_us = us;
        }
        return PyBool_FromLong(rtp_responder_of(self).core.request_idr(now, rtt_us));
    });
}

PyObject* rtp_responder_idr_sent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t now = 0;
        bool first = false;
        if (!read_args("idr_sent", {param("now_us", now), param("first", first, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        rtp_responder_of(self).core.idr_sent(now, first);
        Py_RETURN_NONE;
    });
}

PyObject* rtp_responder_media_sent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t now = 0;
        std::uint64_t bytes = 0;
        if (!read_args("media_sent", {param("now_us", now), param("bytes", bytes)}, args, nargs,
                       kwnames))
            return nullptr;
        rtp_responder_of(self).core.media_sent(now, static_cast<std::size_t>(bytes));
        Py_RETURN_NONE;
    });
}

PyObject* rtp_responder_may_resend(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t receiver = 0;
        std::uint16_t seq = 0;
        std::int64_t now = 0;
        if (!read_args("may_resend",
                       {param("receiver", receiver), param("seq", seq), param("now_us", now)},
                       args, nargs, kwnames))
            return nullptr;
        switch (rtp_responder_of(self).core.may_resend(receiver, seq, now)) {
            case ResendVerdict::Resend: return PyUnicode_FromString("resend");
            case ResendVerdict::OverBudget: return PyUnicode_FromString("over_budget");
            case ResendVerdict::Limited: break;
        }
        return PyUnicode_FromString("limited");
    });
}

PyObject* rtp_responder_resent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t receiver = 0;
        std::uint16_t seq = 0;
        std::uint64_t bytes = 0;
        if (!read_args("resent",
                       {param("receiver", receiver), param("seq", seq), param("bytes", bytes)},
                       args, nargs, kwnames))
            return nullptr;
        rtp_responder_of(self).core.resent(receiver, seq, static_cast<std::size_t>(bytes));
        Py_RETURN_NONE;
    });
}

PyObject* rtp_responder_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const auto& s = rtp_responder_of(self).core.stats();
        return new_dict([&](PyObject* d) {
            return dict_put_counts(d, {{"idr_requests", s.idr_requests},
                                       {"idr_requests_coalesced", s.idr_requests_coalesced},
                                       {"resends", s.resends},
                                       {"resend_limited", s.resend_limited},
                                       {"resend_over_budget", s.resend_over_budget}});
        });
    });
}

PyMethodDef rtp_responder_methods[] = {
    fast_method("request_idr", rtp_responder_request_idr,
                "request_idr($self, now_us, rtt_us=None)\n--\n\nA receiver asked for an IDR "
                "picture; `rtt_us` is the longest round trip measured to\nthe receivers (None: "
                "none yet). True when the encoder is to be asked: not while an IDR\npicture asked "
                "for is unsent (up to `idr_pending_limit_us`), nor within one round trip\nafter "
                "one was sent."),
    fast_method("idr_sent", rtp_responder_idr_sent,
                "idr_sent($self, now_us, first=False)\n--\n\nAn IDR picture went out; it "
                "answers the request pending. The stream's\nfirst picture (`first`) does not "
                "make the next request wait a round trip."),
    fast_method("media_sent", rtp_responder_media_sent,
                "media_sent($self, now_us, bytes)\n--\n\n`bytes` of media went out (the resend "
                "budget refills at twice the last second's)."),
    fast_method("may_resend", rtp_responder_may_resend,
                "may_resend($self, receiver, seq, now_us)\n--\n\n`\"resend\"`, `\"limited\"` "
                "(resent `max_resends` times to `receiver` already) or\n`\"over_budget\"`. Call "
                "`resent` once the packet went."),
    fast_method("resent", rtp_responder_resent,
                "resent($self, receiver, seq, bytes)\n--\n\nThe packet went out again: counted "
                "and paid from the budget."),
    fast_method("stats", rtp_responder_stats,
                "stats($self)\n--\n\n`idr_requests`, `idr_requests_coalesced`, `resends`, "
                "`resend_limited`, `resend_over_budget`."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kRtpResponderDoc =
    "RtpResponder(max_resends=3, default_rtt_us=100000, idr_pending_limit_us=1000000, "
    "resend_min_rate=125000, resend_burst=524288, max_resend_entries=65536)\n--\n\n"
    "How a sender answers feedback: requests for an IDR picture coalesce (at most one per\n"
    "round trip, none while one asked for is unsent), and each NACKed packet is resent at\n"
    "most `max_resends` times per receiver, from a budget of bytes that refills at twice the\n"
    "media rate of the last second (at least `resend_min_rate` bytes/s, at most\n"
    "`resend_burst` bytes). Times are µs on one monotonic clock.";

PyType_Slot rtp_responder_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRtpResponderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rtp_responder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RtpResponderObject>)},
    {Py_tp_methods, rtp_responder_methods},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec rtp_responder_spec = {"talmiro_sdk_video._codec.RtpResponder",
                                  sizeof(Box<RtpResponderObject>), 0, kTypeFlags,
                                  rtp_responder_slots};

PyObject* g_rtp_responder_type = nullptr;

}  // namespace

PyObject* rtp_responder_type() { return once_type(g_rtp_responder_type, rtp_responder_spec); }

}  // namespace talmiro_py
