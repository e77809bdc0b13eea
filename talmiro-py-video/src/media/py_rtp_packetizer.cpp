// The RtpPacketizer class: one core packetizer behind a mutex; access units in as any buffer,
// RTP packets out as bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "box.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "locks.hpp"
#include "cores.hpp"
#include "picture_args.hpp"
#include "protocols.hpp"
#include "values.hpp"
#include "talmiro_media/rtp_packetizer.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::RtpPacketizer;
using talmiro_media::SharedBytes;

// Access units at least this large are cut with the interpreter lock released (about 100 µs of
// copying at 256 KiB, a large IDR picture); a usual unit takes a few microseconds, less than
// giving the lock up and taking it back costs when other threads want it.
constexpr std::size_t kUnlockedUnitBytes = 256 * 1024;

struct RtpPacketizerObject {
    explicit RtpPacketizerObject(RtpPacketizer&& p) noexcept : core(std::move(p)) {}
    std::mutex mutex;
    RtpPacketizer core;
};

RtpPacketizerObject& rtp_packetizer_of(PyObject* self) noexcept {
    return unbox<RtpPacketizerObject>(self);
}

PyObject* packet_list(const std::vector<SharedBytes>& packets) {
    return new_list(packets.size(), [&](std::size_t i) { return bytes_of(packets[i].bytes()); });
}

PyObject* optional_bytes(const std::optional<SharedBytes>& packet) {
    if (!packet) Py_RETURN_NONE;
    return bytes_of(packet->bytes());
}

PyObject* optional_str(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return str_of(*text);
}

PyObject* rtp_packetizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        talmiro_media::RtpPacketizerConfig cfg;
        std::uint32_t payload_type = cfg.payload_type, rtx_payload_type = cfg.rtx_payload_type;
        std::uint64_t mtu = cfg.mtu, history_bytes = cfg.history_bytes;
        std::optional<std::uint32_t> first_seq, rtx_first_seq, transport_id, transport_first_seq;
        if (!read_args("RtpPacketizer",
                       {param("payload_type", payload_type, Need::Optional),
                        param("mtu", mtu, Need::Optional), param("ssrc", cfg.ssrc, Need::Optional),
                        param("first_seq", first_seq, Need::Optional),
                        param("timestamp_offset", cfg.timestamp_offset, Need::Optional),
                        param("rtx_payload_type", rtx_payload_type, Need::Optional),
                        param("rtx_ssrc", cfg.rtx_ssrc, Need::Optional),
                        param("rtx_first_seq", rtx_first_seq, Need::Optional),
                        param("history_bytes", history_bytes, Need::Optional),
                        param("transport_cc_extension_id", transport_id, Need::Optional),
                        param("transport_first_seq", transport_first_seq, Need::Optional)},
                       args, kwargs))
            return nullptr;
        if (!fits("payload_type", payload_type, 127) ||
            !fits("rtx_payload_type", rtx_payload_type, 127) ||
            !fits("first_seq", first_seq, 0xFFFF) || !fits("rtx_first_seq", rtx_first_seq, 0xFFFF) ||
            !fits("transport_cc_extension_id", transport_id, 0xFF) ||
            !fits("transport_first_seq", transport_first_seq, 0xFFFF))
            return nullptr;
        if (transport_id) cfg.transport_cc_extension_id = static_cast<std::uint8_t>(*transport_id);
        if (transport_first_seq)
            cfg.transport_first_seq = static_cast<std::uint16_t>(*transport_first_seq);
        cfg.payload_type = static_cast<std::uint8_t>(payload_type);
        cfg.rtx_payload_type = static_cast<std::uint8_t>(rtx_payload_type);
        if (first_seq) cfg.first_seq = static_cast<std::uint16_t>(*first_seq);
        if (rtx_first_seq) cfg.rtx_first_seq = static_cast<std::uint16_t>(*rtx_first_seq);
        cfg.mtu = static_cast<std::size_t>(std::min<std::uint64_t>(mtu, SIZE_MAX));
        cfg.history_bytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(history_bytes, SIZE_MAX));
        auto created = RtpPacketizer::create(cfg);
        if (!created) return raise_media_error(created.error());
        return box_new<RtpPacketizerObject>(type, std::move(*created));
    });
}

PyObject* rtp_packetizer_packetize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* data = nullptr;
        std::int64_t capture_us = 0;
        if (!read_args("packetize",
                       {param("data", data, Kind::Object), param("capture_us", capture_us)}, args,
                       nargs, kwnames))
            return nullptr;
        const auto held = acquire_bytes(data, "data");
        if (!held) return nullptr;
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        const auto bytes = held->bytes();
        auto cut = [&] { return p.core.packetize(bytes, capture_us); };
        const std::vector<SharedBytes> packets =
            bytes.size() >= kUnlockedUnitBytes ? without_gil_locked(p.mutex, cut)
                                               : copied_out(p.mutex, cut);
        return packet_list(packets);
    });
}

template <typename F>
PyObject* resend_with(PyObject* self, const char* fn, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, F&& lookup) {
    return guarded([&]() -> PyObject* {
        std::uint32_t seq = 0;
        if (!read_args(fn, {param("seq", seq)}, args, nargs, kwnames)) return nullptr;
        if (!fits("seq", seq, 0xFFFF)) return nullptr;
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        const auto packet =
            copied_out(p.mutex, [&] { return lookup(p.core, static_cast<std::uint16_t>(seq)); });
        return optional_bytes(packet);
    });
}

PyObject* rtp_packetizer_resend(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return resend_with(self, "resend", args, nargs, kwnames,
                       [](RtpPacketizer& core, std::uint16_t seq) { return core.resend(seq); });
}

PyObject* rtp_packetizer_resend_rtx(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return resend_with(self, "resend_rtx", args, nargs, kwnames,
                       [](RtpPacketizer& core, std::uint16_t seq) { return core.resend_rtx(seq); });
}

PyObject* rtp_packetizer_timestamp_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t capture_us = 0;
        if (!read_args("timestamp_of", {param("capture_us", capture_us)}, args, nargs, kwnames))
            return nullptr;
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        return PyLong_FromUnsignedLong(
            copied_out(p.mutex, [&] { return p.core.timestamp_of(capture_us); }));
    });
}

PyObject* rtp_packetizer_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!read_args("stats", {}, args, nargs, kwnames)) return nullptr;
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        const auto s = copied_out(p.mutex, [&] { return p.core.stats(); });
        return new_dict([&](PyObject* dict) {
            return dict_put_counts(dict, {{"access_units", s.access_units},
                                          {"empty_units", s.empty_units},
                                          {"nal_units", s.nal_units},
                                          {"nal_units_skipped", s.nal_units_skipped},
                                          {"packets", s.packets},
                                          {"single_packets", s.single_packets},
                                          {"stap_a_packets", s.stap_a_packets},
                                          {"fu_a_packets", s.fu_a_packets},
                                          {"bytes", s.bytes},
                                          {"payload_bytes", s.payload_bytes},
                                          {"resent", s.resent},
                                          {"rtx_packets", s.rtx_packets},
                                          {"history_misses", s.history_misses},
                                          {"history_packets", s.history_packets},
                                          {"history_size", s.history_size}});
        });
    });
}

// ---- properties ----

// The SSRCs and the configuration are fixed at construction: read without the mutex.
template <typename F>
PyObject* read_core(PyObject* self, F&& read) {
    return guarded(
        [&]() -> PyObject* { return read(std::as_const(rtp_packetizer_of(self).core)); });
}

PyObject* rtp_packetizer_ssrc(PyObject* self, void*) {
    return read_core(self,
                     [](const RtpPacketizer& c) { return PyLong_FromUnsignedLong(c.ssrc()); });
}
PyObject* rtp_packetizer_rtx_ssrc(PyObject* self, void*) {
    return read_core(self, [](const RtpPacketizer& c) {
        return PyLong_FromUnsignedLong(c.rtx_ssrc());
    });
}
PyObject* rtp_packetizer_payload_type(PyObject* self, void*) {
    return read_core(self, [](const RtpPacketizer& c) {
        return PyLong_FromUnsignedLong(c.config().payload_type);
    });
}
PyObject* rtp_packetizer_rtx_payload_type(PyObject* self, void*) {
    return read_core(self, [](const RtpPacketizer& c) {
        return PyLong_FromUnsignedLong(c.config().rtx_payload_type);
    });
}
PyObject* rtp_packetizer_mtu(PyObject* self, void*) {
    return read_core(self,
                     [](const RtpPacketizer& c) { return PyLong_FromSize_t(c.config().mtu); });
}
PyObject* rtp_packetizer_next_seq(PyObject* self, void*) {
    return guarded([&] {
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        return PyLong_FromUnsignedLong(copied_out(p.mutex, [&] { return p.core.next_seq(); }));
    });
}
PyObject* rtp_packetizer_last_timestamp(PyObject* self, void*) {
    return guarded([&] {
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        return PyLong_FromUnsignedLong(
            copied_out(p.mutex, [&] { return p.core.last_timestamp(); }));
    });
}
PyObject* rtp_packetizer_profile_level_id(PyObject* self, void*) {
    return guarded([&] {
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        return optional_str(copied_out(p.mutex, [&] { return p.core.profile_level_id(); }));
    });
}
PyObject* rtp_packetizer_sprop_parameter_sets(PyObject* self, void*) {
    return guarded([&] {
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        return optional_str(copied_out(p.mutex, [&] { return p.core.sprop_parameter_sets(); }));
    });
}

PyObject* rtp_packetizer_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        RtpPacketizerObject& p = rtp_packetizer_of(self);
        const std::uint32_t ssrc = p.core.ssrc();
        const unsigned pt = p.core.config().payload_type;
        const std::size_t mtu = p.core.config().mtu;
        char ssrc_hex[16];
        std::snprintf(ssrc_hex, sizeof ssrc_hex, "%08x", ssrc);
        return repr_of(self, "ssrc=0x" + std::string(ssrc_hex) + ", pt=" + std::to_string(pt) +
                                 ", mtu=" + std::to_string(mtu));
    });
}

PyGetSetDef rtp_packetizer_getset[] = {
    {"ssrc", rtp_packetizer_ssrc, nullptr, "The media SSRC.", nullptr},
    {"rtx_ssrc", rtp_packetizer_rtx_ssrc, nullptr,
     "The SSRC of the retransmission (RTX) packets.", nullptr},
    {"payload_type", rtp_packetizer_payload_type, nullptr, nullptr, nullptr},
    {"rtx_payload_type", rtp_packetizer_rtx_payload_type, nullptr, nullptr, nullptr},
    {"mtu", rtp_packetizer_mtu, nullptr, "Bytes of UDP payload per packet at most.", nullptr},
    {"next_seq", rtp_packetizer_next_seq, nullptr,
     "The sequence number of the next media packet.", nullptr},
    {"last_timestamp", rtp_packetizer_last_timestamp, nullptr,
     "The RTP timestamp of the latest access unit sent (for a sender report).", nullptr},
    {"profile_level_id", rtp_packetizer_profile_level_id, nullptr,
     "`profile-level-id` for the SDP (six hex digits from the latest SPS), or None before one.",
     nullptr},
    {"sprop_parameter_sets", rtp_packetizer_sprop_parameter_sets, nullptr,
     "`sprop-parameter-sets` for the SDP (base64 SPS and PPS, comma-separated), or None before "
     "any.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef rtp_packetizer_methods[] = {
    fast_method("packetize", rtp_packetizer_packetize,
                "packetize($self, data, capture_us)\n--\n\nThe RTP packets (a list of bytes, in "
                "sending order) of one Annex-B access unit\n(any contiguous byte buffer): single "
                "NAL unit, STAP-A and FU-A packets, one timestamp\nfrom `capture_us` (90 kHz), "
                "the marker bit on the last. The packets are kept for\n`resend`. The interpreter "
                "lock is released for units of 256 KiB and more."),
    fast_method("resend", rtp_packetizer_resend,
                "resend($self, seq)\n--\n\nThe packet sent with sequence number `seq`, as it was "
                "sent, or None when the history\nno longer holds it."),
    fast_method("resend_rtx", rtp_packetizer_resend_rtx,
                "resend_rtx($self, seq)\n--\n\nThe same packet as an RTX retransmission (its own "
                "payload type, SSRC and sequence\nnumber, the original sequence number in front "
                "of the payload), or None."),
    fast_method("timestamp_of", rtp_packetizer_timestamp_of,
                "timestamp_of($self, capture_us)\n--\n\nThe RTP timestamp a capture time gets."),
    fast_method("stats", rtp_packetizer_stats, "stats($self)\n--\n\nThe packetizer's counters."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kRtpPacketizerDoc =
    "RtpPacketizer(payload_type=96, mtu=1200, ssrc=None, first_seq=None, timestamp_offset=None, "
    "rtx_payload_type=97, rtx_ssrc=None, rtx_first_seq=None, history_bytes=2000000,\n"
    "transport_cc_extension_id=None, transport_first_seq=None)\n--\n\n"
    "The sending side of H.264 over RTP: access units in, datagrams out. SSRCs, first sequence\n"
    "numbers and the timestamp offset are drawn at random when None. Every packet leaves two\n"
    "bytes of the MTU spare for its RTX form. With `transport_cc_extension_id` (1..14), every\n"
    "packet carries a transport-wide sequence number (from `transport_first_seq`, else\n"
    "random). No sockets and no clock: the caller sends.";

PyType_Slot rtp_packetizer_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRtpPacketizerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rtp_packetizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RtpPacketizerObject>)},
    {Py_tp_getset, rtp_packetizer_getset},
    {Py_tp_methods, rtp_packetizer_methods},
    {Py_tp_members, weakref_members},
    {Py_tp_repr, reinterpret_cast<void*>(rtp_packetizer_repr)},
    {0, nullptr},
};

PyType_Spec rtp_packetizer_spec = {"talmiro_sdk_video._rtp.RtpPacketizer",
                                   sizeof(Box<RtpPacketizerObject>), 0, kTypeFlags,
                                   rtp_packetizer_slots};

PyObject* g_rtp_packetizer_type = nullptr;

}  // namespace

PyObject* rtp_packetizer_type() { return once_type(g_rtp_packetizer_type, rtp_packetizer_spec); }

PacketizerRef rtp_packetizer_core(PyObject* obj) {
    PyObject* type = rtp_packetizer_type();
    if (!type || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return {};
    RtpPacketizerObject& p = rtp_packetizer_of(obj);
    return {&p.mutex, &p.core};
}

}  // namespace talmiro_py
