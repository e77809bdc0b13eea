// The RtpResponder class: the core's rules for answering feedback on the sending side (IDR
// requests coalesced, resends limited and paced, a NACK list answered in one call). The core
// responder sits behind a mutex of its own: `answer_nack` works without the interpreter lock
// (it builds the retransmissions from the packetizer's history, under the packetizer's mutex
// too), so that a sender's media thread never waits behind a NACK's packets. The other methods
// are a few comparisons or a hash lookup, taken through `copied_out`.
#include "py.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "cores.hpp"
#include "values.hpp"
#include "talmiro_media/rtp_responder.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::NackAnswer;
using talmiro_media::NackPair;
using talmiro_media::ResendVerdict;
using talmiro_media::RtpResponder;
using talmiro_media::SharedBytes;

struct RtpResponderObject {
    explicit RtpResponderObject(const talmiro_media::RtpResponderConfig& c) : core(c) {}
    std::mutex mutex;
    RtpResponder core;
};

RtpResponderObject& rtp_responder_of(PyObject* self) noexcept {
    return unbox<RtpResponderObject>(self);
}

// Runs `body(core)` with the responder's mutex held (see locks.hpp).
template <typename F>
auto with_core(PyObject* self, F&& body) {
    RtpResponderObject& r = rtp_responder_of(self);
    return copied_out(r.mutex, [&] { return body(r.core); });
}

PyObject* rtp_responder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        talmiro_media::RtpResponderConfig c;
        std::uint64_t rate = static_cast<std::uint64_t>(c.resend_min_rate);
        std::uint64_t burst = static_cast<std::uint64_t>(c.resend_burst);
        std::uint64_t entries = c.max_resend_entries;
        std::uint64_t nack_rate = static_cast<std::uint64_t>(c.nack_min_rate);
        std::uint64_t pairs = c.max_nack_pairs;
        if (!read_args("RtpResponder",
                       {param("max_resends", c.max_resends, Need::Optional),
                        param("default_rtt_us", c.default_rtt_us, Need::Optional),
                        param("idr_pending_limit_us", c.idr_pending_limit_us, Need::Optional),
                        param("resend_min_rate", rate, Need::Optional),
                        param("resend_burst", burst, Need::Optional),
                        param("max_resend_entries", entries, Need::Optional),
                        param("min_idr_interval_us", c.min_idr_interval_us, Need::Optional),
                        param("nack_min_rate", nack_rate, Need::Optional),
                        param("max_nack_pairs", pairs, Need::Optional)},
                       args, kwargs))
            return nullptr;
        c.resend_min_rate = static_cast<double>(rate);
        c.resend_burst = static_cast<double>(burst);
        c.max_resend_entries = static_cast<std::size_t>(std::min<std::uint64_t>(entries, 1u << 24));
        c.nack_min_rate = static_cast<double>(nack_rate);
        c.max_nack_pairs = static_cast<std::size_t>(std::min<std::uint64_t>(pairs, 1u << 16));
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
        return PyBool_FromLong(
            with_core(self, [&](RtpResponder& core) { return core.request_idr(now, rtt_us); }));
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
        with_core(self, [&](RtpResponder& core) { core.idr_sent(now, first); });
        Py_RETURN_NONE;
    });
}

PyObject* rtp_responder_media_sent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t now = 0;
        std::uint64_t bytes = 0, packets = 1;
        if (!read_args("media_sent",
                       {param("now_us", now), param("bytes", bytes),
                        param("packets", packets, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        with_core(self, [&](RtpResponder& core) {
            core.media_sent(now, static_cast<std::size_t>(bytes),
                            static_cast<std::size_t>(packets));
        });
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
        switch (with_core(self, [&](RtpResponder& core) {
                    return core.may_resend(receiver, seq, now);
                })) {
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
        with_core(self, [&](RtpResponder& core) {
            core.resent(receiver, seq, static_cast<std::size_t>(bytes));
        });
        Py_RETURN_NONE;
    });
}

// One (pid, blp) item of a NACK list; false with an exception set.
bool read_pair(PyObject* item, NackPair& pair) {
    if (!PySequence_Check(item) || PySequence_Size(item) != 2) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "answer_nack: pairs must hold (pid, blp) pairs");
        return false;
    }
    const Owned pid(PySequence_GetItem(item, 0)), blp(PySequence_GetItem(item, 1));
    return pid && blp && read_value("answer_nack", param("pid", pair.pid), pid.get()) &&
           read_value("answer_nack", param("blp", pair.blp), blp.get());
}

}  // namespace

bool read_nack_pairs(PyObject* list, std::size_t max, std::vector<NackPair>& out,
                     std::uint64_t& unread) {
    const Py_ssize_t n = PySequence_Check(list) ? PySequence_Size(list) : -1;
    if (n < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "answer_nack: pairs must be a sequence");
        return false;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(n), max);
    unread = static_cast<std::size_t>(n) - count;
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Owned item(PySequence_GetItem(list, static_cast<Py_ssize_t>(i)));
        if (!item || !read_pair(item.get(), out[i])) return false;
    }
    return true;
}

PyObject* nack_answer_dict(const NackAnswer& a) {
    return new_dict([&](PyObject* d) {
        return dict_put_counts(d, {{"named", a.named},
                                   {"not_held", a.not_held},
                                   {"resent", a.resent},
                                   {"limited", a.limited},
                                   {"over_budget", a.over_budget},
                                   {"nack_over_budget", a.nack_over_budget},
                                   {"pairs_dropped", a.pairs_dropped}});
    });
}

NackAnswer answer_from_history(const ResponderRef& r, const PacketizerRef& p,
                               std::uint32_t receiver, std::span<const NackPair> pairs,
                               std::int64_t now, bool rtx, std::vector<SharedBytes>& out) {
    std::scoped_lock both(*r.mutex, *p.mutex);
    const std::uint64_t count = p.core->stats().history_packets;
    // The history holds the newest `count` packets sent, up to the next number.
    const talmiro_media::SeqWindow held{static_cast<std::uint16_t>(p.core->next_seq() - count),
                                        static_cast<std::size_t>(count)};
    return r.core->answer_nack(receiver, pairs, held, now, [&](std::uint16_t seq) {
        auto packet = rtx ? p.core->resend_rtx(seq) : p.core->resend(seq);
        if (!packet) return std::size_t{0};
        out.push_back(std::move(*packet));
        return out.back().size();
    });
}

namespace {

PyObject* rtp_responder_answer_nack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* packetizer = nullptr;
        PyObject* pairs = nullptr;
        std::uint32_t receiver = 0;
        std::int64_t now = 0;
        bool rtx = true;
        if (!read_args("answer_nack",
                       {param("packetizer", packetizer, Kind::Object), param("receiver", receiver),
                        param("pairs", pairs, Kind::Object), param("now_us", now),
                        param("rtx", rtx, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        const PacketizerRef p = rtp_packetizer_core(packetizer);
        if (!p.core) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_TypeError,
                                "answer_nack: packetizer must be an RtpPacketizer");
            return nullptr;
        }
        RtpResponderObject& r = rtp_responder_of(self);
        std::vector<NackPair> list;
        std::uint64_t unread = 0;
        // The configuration is fixed at construction: read without the mutex.
        if (!read_nack_pairs(pairs, r.core.config().max_nack_pairs, list, unread)) return nullptr;
        std::vector<SharedBytes> out;
        NackAnswer a = without_gil([&] {
            return answer_from_history({&r.mutex, &r.core}, p, receiver, list, now, rtx, out);
        });
        a.pairs_dropped += unread;
        const Owned packets(
            new_list(out.size(), [&](std::size_t i) { return bytes_of(out[i].bytes()); }));
        const Owned counts(packets ? nack_answer_dict(a) : nullptr);
        return counts ? PyTuple_Pack(2, packets.get(), counts.get()) : nullptr;
    });
}

PyObject* rtp_responder_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const auto s = with_core(self, [](RtpResponder& core) { return core.stats(); });
        return new_dict([&](PyObject* d) {
            return dict_put_counts(d, {{"idr_requests", s.idr_requests},
                                       {"idr_requests_coalesced", s.idr_requests_coalesced},
                                       {"resends", s.resends},
                                       {"resend_limited", s.resend_limited},
                                       {"resend_over_budget", s.resend_over_budget},
                                       {"nack_over_budget", s.nack_over_budget}});
        });
    });
}

PyMethodDef rtp_responder_methods[] = {
    fast_method("request_idr", rtp_responder_request_idr,
                "request_idr($self, now_us, rtt_us=None)\n--\n\nA receiver asked for an IDR "
                "picture; `rtt_us` is the longest round trip measured to\nthe receivers (None: "
                "none yet). True when the encoder is to be asked: not while an IDR\npicture asked "
                "for is unsent (up to `idr_pending_limit_us`), nor within one round trip\nor "
                "`min_idr_interval_us` (whichever is longer) after one was sent."),
    fast_method("idr_sent", rtp_responder_idr_sent,
                "idr_sent($self, now_us, first=False)\n--\n\nAn IDR picture went out; it "
                "answers the request pending. The stream's\nfirst picture (`first`) does not "
                "make the next request wait a round trip."),
    fast_method("media_sent", rtp_responder_media_sent,
                "media_sent($self, now_us, bytes, packets=1)\n--\n\n`bytes` of media in "
                "`packets` packets went out (the resend budget refills at\ntwice the last "
                "second's bytes, the feedback budgets at its packets)."),
    fast_method("may_resend", rtp_responder_may_resend,
                "may_resend($self, receiver, seq, now_us)\n--\n\n`\"resend\"`, `\"limited\"` "
                "(resent `max_resends` times to `receiver` already) or\n`\"over_budget\"`. Call "
                "`resent` once the packet went."),
    fast_method("resent", rtp_responder_resent,
                "resent($self, receiver, seq, bytes)\n--\n\nThe packet went out again: counted "
                "and paid from the budget."),
    fast_method("answer_nack", rtp_responder_answer_nack,
                "answer_nack($self, packetizer, receiver, pairs, now_us, rtx=True)\n--\n\n"
                "Answers a NACK list from `receiver`, its (pid, blp) `pairs` (the first\n"
                "`max_nack_pairs` are read), from the history of the RtpPacketizer `packetizer`: "
                "of the\npackets named, those held and within the receiver's feedback budget are "
                "checked as\n`may_resend` does and paid as `resent` pays. Returns (packets, "
                "counts): the packets to\nsend to the receiver (RTX form with `rtx`), in sequence order, "
                "and what came of the\nnumbers named (`named`, `not_held`, `resent`, `limited`, "
                "`over_budget`,\n`nack_over_budget`, `pairs_dropped`). Runs without the "
                "interpreter lock."),
    fast_method("stats", rtp_responder_stats,
                "stats($self)\n--\n\n`idr_requests`, `idr_requests_coalesced`, `resends`, "
                "`resend_limited`, `resend_over_budget`, `nack_over_budget`."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kRtpResponderDoc =
    "RtpResponder(max_resends=3, default_rtt_us=100000, idr_pending_limit_us=1000000, "
    "resend_min_rate=125000, resend_burst=524288, max_resend_entries=65536, "
    "min_idr_interval_us=0, nack_min_rate=128, max_nack_pairs=1024)\n--\n\n"
    "How a sender answers feedback: requests for an IDR picture coalesce (at most one per\n"
    "round trip or `min_idr_interval_us`, whichever is longer, none while one asked for is\n"
    "unsent), and each NACKed packet is resent at most `max_resends` times per receiver, from\n"
    "a budget of bytes that refills at twice the media rate of the last second (at least\n"
    "`resend_min_rate` bytes/s, at most `resend_burst` bytes). A receiver's NACKed packets\n"
    "are handled up to its feedback budget, which refills at twice the media packet rate of\n"
    "the last second (at least `nack_min_rate` packets/s). Times are µs on one monotonic\n"
    "clock.";

PyType_Slot rtp_responder_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRtpResponderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rtp_responder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RtpResponderObject>)},
    {Py_tp_methods, rtp_responder_methods},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec rtp_responder_spec = {"talmiro_sdk_video._rtp.RtpResponder",
                                  sizeof(Box<RtpResponderObject>), 0, kTypeFlags,
                                  rtp_responder_slots};

PyObject* g_rtp_responder_type = nullptr;

}  // namespace

PyObject* rtp_responder_type() { return once_type(g_rtp_responder_type, rtp_responder_spec); }

ResponderRef rtp_responder_core(PyObject* obj) {
    PyObject* type = rtp_responder_type();
    if (!type || !PyObject_TypeCheck(obj, as_type(type))) return {};
    RtpResponderObject& r = rtp_responder_of(obj);
    return {&r.mutex, &r.core};
}

}  // namespace talmiro_py
