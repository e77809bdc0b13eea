// The PictureQueue class: the core's bounded queue of decoded pictures between a receiving
// thread and the application. `RtpReceiveLoop` fills it without the interpreter lock; `take`
// waits for pictures without it. The core guards itself with a mutex that is only ever held
// for a short copy, so the accessors take it with the interpreter lock held.
#include "py.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "py_image.hpp"
#include "values.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::PictureQueue;
using talmiro_media::SharedImage;
using Clock = std::chrono::steady_clock;

// How long `take` waits without looking at the interpreter's signals (Ctrl-C).
constexpr auto kSignalCheck = std::chrono::milliseconds(50);

struct PictureQueueObject {
    explicit PictureQueueObject(PictureQueue::Config config) : core(config) {}
    PictureQueue core;
};

PictureQueue& queue_of(PyObject* self) noexcept { return unbox<PictureQueueObject>(self).core; }

PyObject* picture_queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::uint32_t capacity = 256, stamps = 1024, latencies = 100'000;
        if (!read_args("PictureQueue",
                       {param("capacity", capacity, Need::Optional),
                        param("stamps", stamps, Need::Optional),
                        param("latencies", latencies, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (capacity == 0 || stamps == 0)
            return raise(PyExc_ValueError, "PictureQueue: capacity and stamps must be 1 or more");
        return box_new<PictureQueueObject>(type, PictureQueue::Config{capacity, stamps, latencies});
    });
}

PyObject* picture_queue_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* pictures = nullptr;
        if (!read_args("put", {param("pictures", pictures, Kind::Object)}, args, nargs, kwnames))
            return nullptr;
        PyObject* seq = PySequence_Fast(pictures, "put() needs a sequence of Image objects");
        if (!seq) return nullptr;
        std::vector<SharedImage> images;
        const Py_ssize_t n = PySequence_Size(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_GetItem(seq, i);
            const SharedImage* image = item ? image_or_null(item) : nullptr;
            if (image) images.push_back(*image);
            Py_XDECREF(item);
            if (!image) break;
        }
        Py_DECREF(seq);
        if (n < 0 || static_cast<std::size_t>(n) != images.size()) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_TypeError, "put() needs a sequence of Image objects");
            return nullptr;
        }
        queue_of(self).push(std::move(images), wall_clock_us());
        Py_RETURN_NONE;
    });
}

// The deadline `timeout` (seconds, or None for none) sets; absent with an exception set.
std::optional<Clock::time_point> deadline_of(PyObject* timeout) {
    if (!timeout || timeout == Py_None) return Clock::time_point::max();
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) return std::nullopt;
    if (!(seconds >= 0)) {
        PyErr_SetString(PyExc_ValueError, "'timeout' must be a number of 0 or more, or None");
        return std::nullopt;
    }
    // Beyond a day is as good as for ever, and keeps the sum below from overflowing.
    if (seconds > 86'400.0) return Clock::time_point::max();
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds));
}

PyObject* picture_queue_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* timeout = nullptr;
        if (!read_args("take", {param("timeout", timeout, Kind::Object, Need::Optional)}, args,
                       nargs, kwnames))
            return nullptr;
        const auto deadline = deadline_of(timeout);
        if (!deadline) return nullptr;
        PictureQueue& q = queue_of(self);
        std::vector<SharedImage> got = q.take(Clock::time_point::min());
        // Waits in slices, so that Ctrl-C reaches a caller that waits for ever.
        while (got.empty() && !q.closed() && Clock::now() < *deadline) {
            const auto slice = std::min(*deadline, Clock::now() + kSignalCheck);
            got = without_gil([&] { return q.take(slice); });
            if (got.empty() && PyErr_CheckSignals() < 0) return nullptr;
        }
        return new_list(got.size(), [&](std::size_t i) { return new_image(std::move(got[i])); });
    });
}

PyObject* picture_queue_stamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t t_us = 0;
        std::uint32_t rtp_ts = 0;
        bool exact = false;
        if (!read_args("stamp",
                       {param("t_us", t_us), param("rtp_ts", rtp_ts), param("exact", exact)},
                       args, nargs, kwnames))
            return nullptr;
        queue_of(self).stamp(t_us, {rtp_ts, exact});
        Py_RETURN_NONE;
    });
}

PyObject* picture_queue_stamp_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t t_us = 0;
        if (!read_args("stamp_of", {param("t_us", t_us)}, args, nargs, kwnames)) return nullptr;
        const auto s = queue_of(self).stamp_of(t_us);
        if (!s) Py_RETURN_NONE;
        return Py_BuildValue("(kO)", static_cast<unsigned long>(s->rtp_ts), bool_of(s->exact));
    });
}

PyObject* picture_queue_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("close", {}, args, nargs, kwnames)) return nullptr;
        queue_of(self).close();
        Py_RETURN_NONE;
    });
}

PyObject* optional_int(std::optional<std::int64_t> v) {
    return v ? PyLong_FromLongLong(*v) : Py_NewRef(Py_None);
}

PyObject* picture_queue_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        const PictureQueue& q = queue_of(self);
        const PictureQueue::Counts c = q.counts();
        const auto lat = q.latency();
        return new_dict([&](PyObject* d) {
            return dict_put_counts(d, {{"pictures", c.pictures},
                                       {"flagged", c.flagged},
                                       {"pictures_dropped", c.dropped}}) &&
                   dict_put(d, "latency_p50_us",
                            optional_int(lat ? std::optional(lat->p50_us) : std::nullopt)) &&
                   dict_put(d, "latency_p99_us",
                            optional_int(lat ? std::optional(lat->p99_us) : std::nullopt)) &&
                   dict_put(d, "latency_mean_us",
                            lat ? PyFloat_FromDouble(lat->mean_us) : Py_NewRef(Py_None));
        });
    });
}

PyObject* picture_queue_latencies(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("latencies", {}, args, nargs, kwnames)) return nullptr;
        const std::vector<std::int64_t> lat = queue_of(self).latencies();
        return new_list(lat.size(), [&](std::size_t i) { return PyLong_FromLongLong(lat[i]); });
    });
}

PyMethodDef picture_queue_methods[] = {
    fast_method("put", picture_queue_put,
                "put($self, pictures)\n--\n\nQueues the Image objects of `pictures`, shown now; "
                "a full queue drops its oldest\n(counted in `pictures_dropped`)."),
    fast_method("take", picture_queue_take,
                "take($self, timeout=None)\n--\n\nEvery queued picture, oldest first; waits up "
                "to `timeout` seconds (None: for ever)\nfor the first when there is none. "
                "Returns `[]` at once once closed and empty."),
    fast_method("stamp", picture_queue_stamp,
                "stamp($self, t_us, rtp_ts, exact)\n--\n\nThe access unit whose pictures are "
                "stamped `t_us` had the RTP timestamp `rtp_ts`;\n`exact`: the stamp is the "
                "capture time on the sender's clock (only such pictures count\nin the latency)."),
    fast_method("stamp_of", picture_queue_stamp_of,
                "stamp_of($self, t_us)\n--\n\n(rtp_ts, exact) of a recent stamp, or None."),
    fast_method("close", picture_queue_close,
                "close($self)\n--\n\nWakes every `take` for good: they return what is queued "
                "without waiting."),
    fast_method("stats", picture_queue_stats,
                "stats($self)\n--\n\n`pictures` and `flagged` (recovering) queued, "
                "`pictures_dropped`, and the capture to\nqueue latency of the pictures with an "
                "exact stamp: `latency_p50_us`, `latency_p99_us`,\n`latency_mean_us` (None "
                "without one)."),
    fast_method("latencies", picture_queue_latencies,
                "latencies($self)\n--\n\nThe latencies kept (µs), in the order their pictures "
                "were queued."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kPictureQueueDoc =
    "PictureQueue(capacity=256, stamps=1024, latencies=100000)\n--\n\n"
    "Decoded pictures on their way from a receiving thread to the application: at most\n"
    "`capacity` wait (the oldest is dropped for a new one), with the RTP timestamps of the last\n"
    "`stamps` access units and the last `latencies` capture to queue latencies.\n"
    "`RtpReceiveLoop` fills it without the interpreter lock.";

PyType_Slot picture_queue_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPictureQueueDoc)},
    {Py_tp_new, reinterpret_cast<void*>(picture_queue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PictureQueueObject>)},
    {Py_tp_methods, picture_queue_methods},
    {Py_tp_members, weakref_members},
    {0, nullptr},
};

PyType_Spec picture_queue_spec = {"talmiro_sdk_video._rtp.PictureQueue",
                                  sizeof(Box<PictureQueueObject>), 0, kTypeFlags,
                                  picture_queue_slots};

PyObject* g_picture_queue_type = nullptr;

}  // namespace

PyObject* picture_queue_type() { return once_type(g_picture_queue_type, picture_queue_spec); }

talmiro_media::PictureQueue* picture_queue_core(PyObject* obj) {
    PyObject* type = picture_queue_type();
    if (!type || !PyObject_TypeCheck(obj, as_type(type))) return nullptr;
    return &queue_of(obj);
}

}  // namespace talmiro_py
