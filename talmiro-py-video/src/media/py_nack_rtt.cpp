// The NackRtt class: the core's NACK-to-retransmission round trip of a receiver. Every method is
// a short scan of a bounded list and runs no Python code once its arguments are read, so the
// interpreter lock is all the locking it needs.
#include "py.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "errors.hpp"
#include "protocols.hpp"
#include "values.hpp"
#include "talmiro_media/nack_rtt.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::NackRtt;

struct NackRttObject {
    explicit NackRttObject(NackRtt::Config config) noexcept : core(config) {}
    NackRtt core;
};

NackRttObject& nack_rtt_of(PyObject* self) noexcept { return unbox<NackRttObject>(self); }

PyObject* optional_us(std::optional<std::int64_t> us) {
    if (!us) Py_RETURN_NONE;
    return PyLong_FromLongLong(*us);
}

PyObject* nack_rtt_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::uint32_t capacity = 1024;
        std::int64_t max_age = 5'000'000, copy_window = 0;
        if (!read_args("NackRtt",
                       {param("capacity", capacity, Need::Optional),
                        param("max_age_us", max_age, Need::Optional),
                        param("copy_window_us", copy_window, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (capacity == 0) return raise(PyExc_ValueError, "NackRtt: capacity is 0");
        return box_new<NackRttObject>(type, NackRtt::Config{capacity, max_age, copy_window});
    });
}

PyObject* nack_rtt_nack_sent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* seqs = nullptr;
        std::int64_t now = 0;
        if (!read_args("nack_sent", {param("seqs", seqs, Kind::Object), param("now_us", now)},
                       args, nargs, kwnames))
            return nullptr;
        PyObject* it = PyObject_GetIter(seqs);
        if (!it) return nullptr;
        std::vector<std::uint16_t> list;
        while (PyObject* item = PyIter_Next(it)) {
            std::uint16_t seq = 0;
            const bool ok = read_value("nack_sent", param("seqs", seq), item);
            Py_DECREF(item);
            if (!ok) break;
            list.push_back(seq);
        }
        Py_DECREF(it);
        if (PyErr_Occurred()) return nullptr;
        nack_rtt_of(self).core.nack_sent(list, now);
        Py_RETURN_NONE;
    });
}

PyObject* nack_rtt_retransmission(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint16_t seq = 0;
        std::int64_t now = 0;
        if (!read_args("retransmission", {param("seq", seq), param("now_us", now)}, args, nargs,
                       kwnames))
            return nullptr;
        return optional_us(nack_rtt_of(self).core.retransmission(seq, now));
    });
}

PyObject* nack_rtt_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const NackRtt::Counts& c = nack_rtt_of(self).core.counts();
        return new_dict([&](PyObject* d) {
            return dict_put_counts(d, {{"samples", c.samples},
                                       {"ambiguous", c.ambiguous},
                                       {"unmatched", c.unmatched}});
        });
    });
}

PyObject* nack_rtt_rtt_us(PyObject* self, void*) {
    return optional_us(nack_rtt_of(self).core.rtt_us());
}

PyObject* nack_rtt_latest_us(PyObject* self, void*) {
    return optional_us(nack_rtt_of(self).core.latest_us());
}

// "NackRtt(rtt_us=45000, samples=2)" or "NackRtt(no sample)".
PyObject* nack_rtt_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const NackRtt& r = nack_rtt_of(self).core;
        if (!r.rtt_us()) return repr_of(self, "no sample");
        return repr_of(self, "rtt_us=" + std::to_string(*r.rtt_us()) +
                                 ", samples=" + std::to_string(r.counts().samples));
    });
}

PyMethodDef nack_rtt_methods[] = {
    fast_method("nack_sent", nack_rtt_nack_sent,
                "nack_sent($self, seqs, now_us)\n--\n\nA NACK naming the sequence numbers "
                "`seqs` went out at `now_us`."),
    fast_method("retransmission", nack_rtt_retransmission,
                "retransmission($self, seq, now_us)\n--\n\nA retransmission of `seq` arrived at "
                "`now_us`: the round trip in µs it measured, or\n`None` when it answers no "
                "single remembered request (asked more than once, never, or too\nlong ago)."),
    fast_method("stats", nack_rtt_stats,
                "stats($self)\n--\n\n`samples`, `ambiguous` (asked more than once) and "
                "`unmatched` retransmissions."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef nack_rtt_getset[] = {
    {"rtt_us", nack_rtt_rtt_us, nullptr,
     "The smoothed round trip in µs (each sample moves it an eighth of the way); `None` "
     "before the first sample.",
     nullptr},
    {"latest_us", nack_rtt_latest_us, nullptr, "The latest sample in µs, or `None`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kNackRttDoc =
    "NackRtt(capacity=1024, max_age_us=5000000, copy_window_us=0)\n--\n\n"
    "A receiver's round trip, measured from the NACK that asked for a packet to the\n"
    "retransmission that brought it. At most `capacity` requests are remembered, none longer\n"
    "than `max_age_us`. A packet asked for again gives no sample, unless within\n"
    "`copy_window_us` of the first request (a copy sent on purpose: timed from the first).\n"
    "Times are µs on one monotonic clock.";

PyType_Slot nack_rtt_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNackRttDoc)},
    {Py_tp_new, reinterpret_cast<void*>(nack_rtt_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<NackRttObject>)},
    {Py_tp_methods, nack_rtt_methods},
    {Py_tp_getset, nack_rtt_getset},
    {Py_tp_members, weakref_members},
    {Py_tp_repr, reinterpret_cast<void*>(nack_rtt_repr)},
    {0, nullptr},
};

PyType_Spec nack_rtt_spec = {"talmiro_sdk_video._rtp.NackRtt", sizeof(Box<NackRttObject>), 0,
                             kTypeFlags, nack_rtt_slots};

PyObject* g_nack_rtt_type = nullptr;

}  // namespace

PyObject* nack_rtt_type() { return once_type(g_nack_rtt_type, nack_rtt_spec); }

}  // namespace talmiro_py
