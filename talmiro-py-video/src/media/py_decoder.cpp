// The H264Decoder class: one core decoder (with its sync policy) behind a mutex of its own.
// Access units come in as bytes with their header facts, pictures go out as Image objects,
// signals as short strings and counters as a dict.
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "protocols.hpp"
#include "py_image.hpp"
#include "values.hpp"
#include "talmiro_media/decode.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::H264Decoder;
using talmiro_media::Image;
using talmiro_media::Result;
using talmiro_media::SyncSignal;

struct DecoderObject {
    explicit DecoderObject(H264Decoder&& d) noexcept : core(std::move(d)) {}

    // Guards every access to `core`, reads included. Not reentrant.
    std::mutex mutex;
    // Absent once closed, for good.
    std::optional<H264Decoder> core;
    // Thread CPU time spent in decode calls, whichever thread made them.
    std::uint64_t cpu_ns = 0;
};

DecoderObject& decoder_of(PyObject* self) noexcept { return unbox<DecoderObject>(self); }

PyObject* signal_text(std::optional<SyncSignal> signal) {
    if (!signal) Py_RETURN_NONE;
    return str_of(talmiro_media::sync_signal_name(*signal));
}

// Pictures, or absent when the decoder was closed.
using Outcome = std::optional<Result<std::vector<Image>>>;

PyObject* pictures_or_raise(Outcome&& outcome) {
    return converted_or_raise(std::move(outcome), "decoder closed",
                              [](std::vector<Image>&& images) {
                                  return new_image_list(std::move(images));
                              });
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        bool output_corrupt = true;
        talmiro_media::SyncConfig config;
        std::uint64_t max_pixels = talmiro_media::kDefaultMaxPixels;
        if (!read_args("H264Decoder",
                       {param("output_corrupt", output_corrupt, Need::Optional),
                        param("stuck_frames", config.stuck_frames, Need::Optional),
                        param("wedged_frames", config.wedged_frames, Need::Optional),
                        param("recovery_silence_frames", config.recovery_silence_frames,
                              Need::Optional),
                        param("start_at_recovery", config.start_at_recovery, Need::Optional),
                        param("request_idr_on_loss", config.request_idr_on_loss,
                              Need::Optional),
                        param("max_pixels", max_pixels, Need::Optional)},
                       args, kwargs))
            return nullptr;
        Result<H264Decoder> opened =
            without_gil([&] { return H264Decoder::open(config, output_corrupt, max_pixels); });
        if (!opened) return raise_media_error(opened.error());
        return box_new<DecoderObject>(type, std::move(*opened));
    });
}

PyObject* decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* data = nullptr;
        talmiro_media::AccessUnit au;
        if (!read_args("decode",
                       {param("data", data, Kind::Bytes), param("t_us", au.t_us, Need::Optional),
                        param("key", au.key, Need::Optional),
                        param("config", au.config, Need::Optional),
                        param("recovery", au.recovery, Need::Optional),
                        param("complete", au.complete, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
        // The caller's object is not touched once the interpreter lock is given up.
        au.data = talmiro_media::SharedBytes::copy_of(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(size)));
        DecoderObject& d = decoder_of(self);
        return pictures_or_raise(without_gil_locked(d.mutex, [&]() -> Outcome {
            if (!d.core) return std::nullopt;
            return decode_counted({&d.mutex, &d.core, &d.cpu_ns}, au);
        }));
    });
}

PyObject* decoder_flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("flush", {}, args, nargs, kwnames)) return nullptr;
        DecoderObject& d = decoder_of(self);
        return pictures_or_raise(without_gil_locked(d.mutex, [&]() -> Outcome {
            if (!d.core) return std::nullopt;
            return d.core->flush();
        }));
    });
}

PyObject* decoder_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("close", {}, args, nargs, kwnames)) return nullptr;
        DecoderObject& d = decoder_of(self);
        // libavcodec's teardown runs without the interpreter lock; the core holds no Python
        // object.
        without_gil_locked(d.mutex, [&] {
            d.core.reset();
            return true;
        });
        Py_RETURN_NONE;
    });
}

// The shared body of take_signal and signal.
PyObject* read_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* fn, bool clear) {
    return guarded([&]() -> PyObject* {
        if (!read_args(fn, {}, args, nargs, kwnames)) return nullptr;
        DecoderObject& d = decoder_of(self);
        const std::optional<SyncSignal> signal =
            copied_out(d.mutex, [&]() -> std::optional<SyncSignal> {
                if (!d.core) return std::nullopt;
                return clear ? d.core->take_signal() : d.core->signal();
            });
        return signal_text(signal);
    });
}

PyObject* decoder_take_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return read_signal(self, args, nargs, kwnames, "take_signal", true);
}

PyObject* decoder_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return read_signal(self, args, nargs, kwnames, "signal", false);
}

PyObject* decoder_state(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        DecoderObject& d = decoder_of(self);
        const std::string_view name = copied_out(d.mutex, [&]() -> std::string_view {
            if (!d.core) return "closed";
            return talmiro_media::sync_state_name(d.core->sync().state());
        });
        return str_of(name);
    });
}

PyObject* decoder_param_sets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("param_sets", {}, args, nargs, kwnames)) return nullptr;
        DecoderObject& d = decoder_of(self);
        const std::optional<std::vector<std::uint8_t>> sets =
            copied_out(d.mutex, [&]() -> std::optional<std::vector<std::uint8_t>> {
                if (!d.core) return std::nullopt;
                return d.core->sync().param_sets();
            });
        if (!sets) Py_RETURN_NONE;
        return bytes_of(*sets);
    });
}

struct StatsSnapshot {
    std::uint64_t cpu_ns;
    talmiro_media::DecoderStats decoder;
    talmiro_media::SyncCounters sync;
    talmiro_media::SyncState state;
    std::uint32_t fed_since_output;
};

// A new dict of the sync counters; null with an exception set.
PyObject* sync_dict(const talmiro_media::SyncCounters& c) {
    return new_dict([&](PyObject* sync) {
        return dict_put_counts(sync, {{"frames", c.frames},
                                      {"dropped", c.dropped},
                                      {"fed", c.fed},
                                      {"output", c.output},
                                      {"starts", c.starts},
                                      {"starts_at_recovery", c.starts_at_recovery},
                                      {"resets", c.resets},
                                      {"idr_requests", c.idr_requests},
                                      {"losses", c.losses}});
    });
}

PyObject* stats_dict(const StatsSnapshot& s) {
    return new_dict([&](PyObject* dict) {
        return dict_put_counts(dict, {{"fed", s.decoder.fed},
                                      {"images", s.decoder.images},
                                      {"errors", s.decoder.errors},
                                      {"resets", s.sync.resets},
                                      {"recovering", s.decoder.recovering},
                                      {"cpu_us", s.cpu_ns / 1000}}) &&
               dict_put(dict, "sync", sync_dict(s.sync)) &&
               dict_put(dict, "state", str_of(talmiro_media::sync_state_name(s.state))) &&
               dict_put_count(dict, "fed_since_output", s.fed_since_output);
    });
}

PyObject* decoder_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        DecoderObject& d = decoder_of(self);
        const std::optional<StatsSnapshot> snapshot =
            copied_out(d.mutex, [&]() -> std::optional<StatsSnapshot> {
                if (!d.core) return std::nullopt;
                const talmiro_media::DecoderSync& sync = d.core->sync();
                return StatsSnapshot{d.cpu_ns, d.core->stats(), sync.counters(), sync.state(),
                                     sync.fed_since_output()};
            });
        if (snapshot) return stats_dict(*snapshot);
        return new_dict(
            [](PyObject* closed) { return dict_put(closed, "state", str_of("closed")); });
    });
}

// "H264Decoder(state=streaming)", or "H264Decoder(closed)".
PyObject* decoder_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        DecoderObject& d = decoder_of(self);
        const std::string_view state = copied_out(d.mutex, [&]() -> std::string_view {
            if (!d.core) return {};
            return talmiro_media::sync_state_name(d.core->sync().state());
        });
        return repr_of(self, state.empty() ? std::string("closed") : "state=" + std::string(state));
    });
}

PyMethodDef decoder_methods[] = {
    fast_method("decode", decoder_decode,
                "decode($self, data, t_us=0, key=False, config=False, recovery=False, "
                "complete=True)\n--\n\n"
                "Feeds one access unit with its header facts; returns the pictures it released "
                "(with\n`LOW_DELAY` and our encoder settings, one per fed AU). Raises `MediaError` "
                "when libavcodec\nrejected the AU: the decoder has reset itself and waits for the "
                "next start point, so the\ncaller counts the error and carries on. An AU holding "
                "only SPS/PPS is kept for the\npictures that need them and returns `[]`. "
                "`complete=False` says part of the AU was lost\non the way (give what arrived, "
                "never a NAL unit spliced from pieces): its picture comes\nout `recovering`, and "
                "a reference picture damages the stream until an IDR picture or a\ncompleted "
                "recovery point, counted in `losses`, asking for an IDR at once with\n"
                "`request_idr_on_loss`. An IDR picture naming a PPS or SPS never seen (its "
                "sets lost on\nthe way) is not fed: it returns `[]` and counts as a loss, "
                "asking the same way."),
    fast_method("flush", decoder_flush,
                "flush($self)\n--\n\nDrains what the decoder still holds; the decoder stays "
                "usable. libavcodec forgets its\nreference pictures, so the decoder starts over: "
                "it waits for the next start point, as\nafter a reset."),
    fast_method("close", decoder_close, "close($self)\n--\n\n"),
    fast_method("take_signal", decoder_take_signal,
                "take_signal($self)\n--\n\nThe signal the last `decode` raised, cleared: "
                "`\"request_idr\"`, `\"reset\"` or `None`."),
    fast_method("signal", decoder_signal,
                "signal($self)\n--\n\nLike `take_signal` without clearing."),
    fast_method("param_sets", decoder_param_sets,
                "param_sets($self)\n--\n\nEvery SPS and PPS the sync policy kept, by id (from any "
                "frame that carried them),\nthe SPS first."),
    fast_method("stats", decoder_stats,
                "stats($self)\n--\n\nDecoder counters (`fed`, `images`, `errors`, `resets`, "
                "`recovering`, `cpu_us`: the\nthread CPU time decoding took), the policy's\n(`sync.frames/dropped/fed/output/starts/"
                "starts_at_recovery/resets/idr_requests/losses`),\n`state` and `fed_since_output`."),
    enter_method(),
    exit_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"state", decoder_state, nullptr,
     "`\"waiting\"` (no start point yet), `\"primed\"` (started, nothing out yet) or "
     "`\"streaming\"`.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDecoderDoc =
    "H264Decoder(output_corrupt=True, stuck_frames=10, wedged_frames=150, "
    "recovery_silence_frames=60, start_at_recovery=True, request_idr_on_loss=True, "
    "max_pixels=9437184)\n--\n\n"
    "`talmiro_media::H264Decoder` for Python: the sync policy (`DecoderSync`) is inside, so a\n"
    "frame before a start point is dropped, a bare recovery point is primed with cached "
    "SPS/PPS,\nand `take_signal()` says when to call the publisher's `<topic>/idr` service or to "
    "expect a\nreset. `decode` releases the GIL. A reference picture lost on the way shows as a "
    "gap in\n`frame_num`: the pictures it damages come out `recovering`, and with "
    "`request_idr_on_loss` the\nfirst access unit after the gap asks for an IDR at once. A "
    "picture of more than\n`max_pixels` pixels (default 4096x2304) is a libavcodec error.";

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDecoderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    // Collecting an open decoder frees the core decoder as close() does.
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DecoderObject>)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_members, weakref_members},
    {Py_tp_repr, reinterpret_cast<void*>(decoder_repr)},
    {0, nullptr},
};

PyType_Spec decoder_spec = {"talmiro_sdk_video._codec.H264Decoder", sizeof(Box<DecoderObject>),
                            0, kTypeFlags, decoder_slots};

PyObject* g_decoder_type = nullptr;

}  // namespace

PyObject* decoder_type() { return once_type(g_decoder_type, decoder_spec); }

DecoderRef decoder_core(PyObject* obj) {
    PyObject* type = decoder_type();
    if (!type || !PyObject_TypeCheck(obj, as_type(type))) return {};
    DecoderObject& d = decoder_of(obj);
    return {&d.mutex, &d.core, &d.cpu_ns};
}

talmiro_media::Result<std::vector<Image>> decode_counted(const DecoderRef& d,
                                                         const talmiro_media::AccessUnit& au) {
    const auto cpu_ns = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
               static_cast<std::uint64_t>(ts.tv_nsec);
    };
    const std::uint64_t start = cpu_ns();
    auto out = (*d.core)->decode(au);
    *d.cpu_ns += cpu_ns() - start;
    return out;
}

}  // namespace talmiro_py
