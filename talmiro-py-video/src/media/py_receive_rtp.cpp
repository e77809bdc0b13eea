// The receive_rtp function: a receiving thread's socket loop in native code. It waits for RTP
// datagrams without the interpreter lock, feeds each straight into an RtpDepacketizer and runs
// the depacketizer's timers; given a decoder and a picture queue, it also decodes the access
// units the depacketizer releases and queues their pictures. It returns only when the caller
// has something to do: sequence numbers to NACK, an IDR picture to ask for, units it must
// decode itself, a watched descriptor readable, or its time up. A thread in Python otherwise
// wakes up once per packet, or once per access unit, and each wake-up (the interpreter lock
// taken back, the loop's bytecode run cold, the datagram made an object) costs several times
// what the packet itself does.
#include "py.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <utility>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "cores.hpp"
#include "errors.hpp"
#include "locks.hpp"

namespace talmiro_py {

namespace {

using talmiro_media::RtpOutput;

constexpr std::size_t kMaxWatched = 4;
constexpr std::size_t kDatagramBytes = 65536;

// What the reception statistics and the round trip need of a datagram the depacketizer took;
// they are told once the interpreter lock is back (they are guarded by it).
struct Taken {
    std::uint16_t seq = 0;  // an RTX packet's: the original sequence number
    std::uint32_t ts = 0;
    std::uint32_t ssrc = 0;
    std::int64_t arrival_us = 0;
    bool rtx = false;
    bool stream = false;  // of the stream the depacketizer follows (after this datagram)
};

struct Address {
    std::string host;
    std::uint16_t port = 0;
};

// The decoder and queue the access units go to, and the sender report's mapping that stamps
// them with their capture time.
struct DecodePlan {
    DecoderRef decoder;
    talmiro_media::PictureQueue* pictures = nullptr;
    std::uint32_t ssrc = 0;      // the stream the mapping is for
    std::int64_t wall_us = 0;    // a capture time (µs since 1970) ...
    std::uint32_t rtp_ts = 0;    // ... and its RTP timestamp
    bool exact = false;          // a sender report's mapping, not a provisional one
};

struct ReceivePlan {
    int fd = -1;
    std::int64_t until_us = 0;
    std::vector<int> watched;
    DepacketizerRef depack;
    // The sender's address (any port when none); when there is no host, the first heard.
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::size_t max_datagrams = 256;
    std::optional<DecodePlan> decode;
    // The last datagram's source, and its text.
    sockaddr_storage last{};
    socklen_t last_len = 0;
    Address last_text;
};

struct Decoded {
    std::uint64_t units = 0;         // decoded here
    std::uint64_t errors = 0;        // refused by libavcodec (the decoder starts over)
    std::uint64_t idr_requests = 0;  // "request_idr" signals
    std::uint64_t resets = 0;        // "reset" signals
};

struct ReceiveResult {
    RtpOutput out;  // its units: those left for the caller to decode, in decode order
    Decoded decoded;
    // A unit came that the mapping does not stamp (or the decoder was closed): it and every
    // unit after it go to the caller.
    bool caller_decodes = false;
    std::vector<Taken> taken;
    std::vector<int> ready;        // the watched descriptors found readable
    std::uint64_t datagrams = 0;   // read from the sender
    std::uint64_t foreign = 0;     // read from anywhere else, and dropped
    std::optional<Address> source; // of the last datagram from the sender
    int error = 0;                 // errno of a failed read or wait, 0 if none
};

std::int64_t monotonic_us() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

Address text_address(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = {};
    std::uint16_t port = 0;
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
    }
    return {host, port};
}

void append(RtpOutput& to, RtpOutput&& from) {
    for (auto& u : from.units) to.units.push_back(std::move(u));
    to.nacks.insert(to.nacks.end(), from.nacks.begin(), from.nacks.end());
}

// One datagram read: dropped when it is not from the sender, else pushed. The source's text is
// made only when it differs from the last datagram's (a sender's packets share one address).
void take(ReceivePlan& plan, ReceiveResult& r, std::span<const std::uint8_t> bytes,
          const sockaddr_storage& from, socklen_t from_len, std::int64_t arrival_us) {
    if (from_len != plan.last_len || std::memcmp(&from, &plan.last, from_len) != 0) {
        plan.last = from;
        plan.last_len = from_len;
        plan.last_text = text_address(from);
    }
    const Address& source = plan.last_text;
    if (!plan.host) {
        plan.host = source.host;
        plan.port = source.port;
    } else if (source.host != *plan.host || (plan.port && source.port != *plan.port)) {
        r.foreign += 1;
        return;
    }
    r.datagrams += 1;
    r.source = source;
    std::lock_guard<std::mutex> held(*plan.depack.mutex);
    talmiro_media::RtpDepacketizer& d = *plan.depack.core;
    RtpOutput out = d.push(bytes, arrival_us);
    if (const auto& h = out.header)
        r.taken.push_back({h->seq, h->ts, h->ssrc, arrival_us, h->rtx, h->ssrc == d.stats().ssrc});
    append(r.out, std::move(out));
}

// Python's floor division, for the stamps of units before the mapping's.
std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The capture time of a unit on the sender's clock, by the mapping (timestamps within half the
// 32-bit range either side of it).
std::int64_t stamp_of(const DecodePlan& p, std::uint32_t rtp_ts) noexcept {
    const auto ticks = static_cast<std::int32_t>(rtp_ts - p.rtp_ts);
    return p.wall_us + floor_div(static_cast<std::int64_t>(ticks) * 1'000'000, 90'000);
}

// Decodes one unit and queues its pictures; false when the decoder is closed (the caller gets
// the unit).
bool decode_one(const DecodePlan& p, Decoded& d, talmiro_media::RtpAccessUnit& u) {
    u.unit.t_us = stamp_of(p, u.rtp_timestamp);
    u.unit.complete = u.complete;
    std::optional<talmiro_media::Result<std::vector<talmiro_media::Image>>> out;
    std::optional<talmiro_media::SyncSignal> signal;
    {
        std::lock_guard<std::mutex> held(*p.decoder.mutex);
        if (!*p.decoder.core) return false;
        // A unit that lost every NAL unit says only that something was lost; an empty complete
        // one says nothing.
        if (u.unit.data.bytes().empty() && u.complete) return true;
        p.pictures->stamp(u.unit.t_us, {u.rtp_timestamp, p.exact});
        out.emplace(decode_counted(p.decoder, u.unit));
        signal = (*p.decoder.core)->take_signal();
    }
    d.units += 1;
    if (!*out) d.errors += 1;
    if (signal == talmiro_media::SyncSignal::RequestIdr) d.idr_requests += 1;
    if (signal == talmiro_media::SyncSignal::Reset) d.resets += 1;
    if (*out && !(*out)->empty()) {
        std::vector<talmiro_media::SharedImage> shared;
        shared.reserve((*out)->size());
        for (talmiro_media::Image& image : **out)
            shared.push_back(std::make_shared<const talmiro_media::Image>(std::move(image)));
        p.pictures->push(std::move(shared), wall_clock_us());
    }
    return true;
}

// Decodes the units taken so far, in order, until one is the caller's to decode.
void decode_units(const ReceivePlan& plan, ReceiveResult& r) {
    auto& units = r.out.units;
    std::size_t done = 0;
    while (done < units.size() && !r.caller_decodes) {
        if (units[done].ssrc != plan.decode->ssrc ||
            !decode_one(*plan.decode, r.decoded, units[done])) {
            r.caller_decodes = true;
            break;
        }
        ++done;
    }
    units.erase(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(done));
}

// Runs the depacketizer's timers when due; when it next has work.
std::optional<std::int64_t> run_timers(const ReceivePlan& plan, ReceiveResult& r,
                                       std::int64_t now_us) {
    std::lock_guard<std::mutex> held(*plan.depack.mutex);
    talmiro_media::RtpDepacketizer& d = *plan.depack.core;
    auto due = d.next_deadline_us();
    if (due && now_us >= *due) {
        append(r.out, d.poll(now_us));
        due = d.next_deadline_us();
        // A deadline that polling leaves behind would spin the loop: look again in a ms.
        if (due && *due <= now_us) due = now_us + 1'000;
    }
    return due;
}

// Without the interpreter lock: reads until the caller has something to do (see the doc).
ReceiveResult receive(ReceivePlan plan) {
    ReceiveResult r;
    // One buffer per thread, left unzeroed: a receiving thread calls this once per access unit.
    thread_local const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kDatagramBytes);
    std::vector<pollfd> fds;
    fds.push_back({plan.fd, POLLIN, 0});
    for (const int w : plan.watched) fds.push_back({w, POLLIN, 0});
    // What the caller must do: send NACKs or a PLI, decode units.
    auto work = [&] {
        if (plan.decode && !r.out.units.empty()) decode_units(plan, r);
        return !r.out.units.empty() || !r.out.nacks.empty() || r.decoded.errors != 0 ||
               r.decoded.idr_requests != 0;
    };
    while (r.datagrams + r.foreign < plan.max_datagrams) {
        sockaddr_storage from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(plan.fd, buffer.get(), kDatagramBytes, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n >= 0) {
            take(plan, r, {buffer.get(), static_cast<std::size_t>(n)}, from,
                 std::min<socklen_t>(from_len, sizeof from), monotonic_us());
            if (work()) break;
            continue;
        }
        if (errno == EINTR) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            r.error = errno;
            break;
        }
        const std::int64_t now = monotonic_us();
        const auto due = run_timers(plan, r, now);
        if (work() || now >= plan.until_us) break;
        const std::int64_t wait_us = std::min(plan.until_us, due.value_or(plan.until_us)) - now;
        const timespec wait{static_cast<time_t>(wait_us / 1'000'000),
                            static_cast<long>(wait_us % 1'000'000) * 1000};
        const int got = ppoll(fds.data(), fds.size(), &wait, nullptr);
        if (got < 0) {
            if (errno != EINTR) r.error = errno;
            break;
        }
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0) r.ready.push_back(fds[i].fd);
        if (!r.ready.empty()) break;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            r.error = (fds[0].revents & POLLNVAL) ? EBADF : EIO;
            break;
        }
    }
    return r;
}

bool read_fds(PyObject* watch, std::vector<int>& out) {
    PyObject* seq = PySequence_Fast(watch, "receive_rtp() argument 'watch' must be a sequence");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Size(seq);
    bool ok = n >= 0;
    if (ok && static_cast<std::size_t>(n) > kMaxWatched) {
        PyErr_Format(PyExc_ValueError, "receive_rtp() watches at most %d descriptors",
                     static_cast<int>(kMaxWatched));
        ok = false;
    }
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        const long fd = item ? PyLong_AsLong(item) : -1;
        Py_XDECREF(item);
        if (fd == -1 && PyErr_Occurred()) ok = false;
        else if (fd < 0 || fd > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "receive_rtp() needs descriptors of 0 and above");
            ok = false;
        } else out.push_back(static_cast<int>(fd));
    }
    Py_DECREF(seq);
    return ok;
}

// With the interpreter lock: tells the reception statistics and the round trip of the packets
// taken; returns the packets of the stream that `reception` does not count (the caller starts
// counting the stream) as (seq, timestamp, ssrc, arrival_us) tuples, and the round-trip samples.
PyObject* account(const ReceiveResult& r, talmiro_media::RtpReceptionStats* reception,
                  talmiro_media::NackRtt* rtt, bool plain_resends, std::int64_t nack_rtt_until,
                  std::uint64_t& samples) {
    PyObject* fresh = PyList_New(0);
    for (const Taken& t : r.taken) {
        if (!fresh) return nullptr;
        if (!t.rtx && reception && reception->ssrc() == t.ssrc) {
            reception->packet(t.seq, t.ts, t.arrival_us);
        } else if (!t.rtx && t.stream) {
            PyObject* item = Py_BuildValue("(HkkL)", t.seq, static_cast<unsigned long>(t.ts),
                                           static_cast<unsigned long>(t.ssrc),
                                           static_cast<long long>(t.arrival_us));
            if (!item || PyList_Append(fresh, item) < 0) Py_CLEAR(fresh);
            Py_XDECREF(item);
        }
        // A plain resend reads as the packet itself: looked up only while a NACK may be answered.
        if (rtt && (t.rtx || (plain_resends && t.arrival_us < nack_rtt_until)) &&
            rtt->retransmission(t.seq, t.arrival_us))
            samples += 1;
    }
    return fresh;
}

PyObject* ready_tuple(const std::vector<int>& ready) {
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(ready.size()));
    for (std::size_t i = 0; out && i < ready.size(); ++i) {
        PyObject* v = PyLong_FromLong(ready[i]);
        if (!v) Py_CLEAR(out);
        else PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), v);
    }
    return out;
}

// (units, nacks, ready, foreign, source, fresh, rtt_samples, decoded); takes `fresh` over.
PyObject* result_tuple(const ReceiveResult& r, PyObject* fresh, std::uint64_t samples) {
    PyObject* output = rtp_output_tuple(r.out);
    PyObject* ready = output ? ready_tuple(r.ready) : nullptr;
    PyObject* source = nullptr;
    if (ready) {
        source = r.source ? Py_BuildValue("(sH)", r.source->host.c_str(), r.source->port)
                          : Py_NewRef(Py_None);
    }
    if (!source) {
        Py_DECREF(fresh);
        Py_XDECREF(output);
        Py_XDECREF(ready);
        return nullptr;
    }
    PyObject* units = PyTuple_GetItem(output, 0);
    PyObject* nacks = PyTuple_GetItem(output, 1);
    using ull = unsigned long long;
    const Decoded& d = r.decoded;
    PyObject* out = Py_BuildValue("(OONKNNK(KKKK))", units, nacks, ready,
                                  static_cast<ull>(r.foreign), source, fresh,
                                  static_cast<ull>(samples), static_cast<ull>(d.units),
                                  static_cast<ull>(d.errors), static_cast<ull>(d.idr_requests),
                                  static_cast<ull>(d.resets));
    Py_DECREF(output);
    return out;
}

// The objects of the call, checked.
bool read_objects(PyObject* depack, PyObject* reception, PyObject* nack_rtt, ReceivePlan& plan,
                  talmiro_media::RtpReceptionStats*& stats, talmiro_media::NackRtt*& rtt) {
    plan.depack = rtp_depacketizer_core(depack);
    stats = reception && reception != Py_None ? rtp_reception_stats_core(reception) : nullptr;
    rtt = nack_rtt && nack_rtt != Py_None ? nack_rtt_core(nack_rtt) : nullptr;
    if (plan.depack.core && (stats || !reception || reception == Py_None) &&
        (rtt || !nack_rtt || nack_rtt == Py_None))
        return true;
    PyErr_SetString(PyExc_TypeError,
                    "receive_rtp() needs an RtpDepacketizer, and an RtpReceptionStats and a "
                    "NackRtt or None");
    return false;
}

// The decoding part of the plan: `decoder` and `pictures` both None (the caller decodes), or an
// H264Decoder, a PictureQueue and the stamp (ssrc, wall_us, rtp_ts, exact), which may be None
// until the first sender report or provisional mapping (the caller decodes meanwhile).
bool read_decode(PyObject* decoder, PyObject* pictures, PyObject* stamp, ReceivePlan& plan) {
    const bool none = (!decoder || decoder == Py_None) && (!pictures || pictures == Py_None);
    if (none) return true;
    DecodePlan p;
    p.decoder = decoder ? decoder_core(decoder) : DecoderRef{};
    p.pictures = pictures ? picture_queue_core(pictures) : nullptr;
    if (!p.decoder.core || !p.pictures) {
        PyErr_SetString(PyExc_TypeError,
                        "receive_rtp() needs an H264Decoder and a PictureQueue, or neither");
        return false;
    }
    if (!stamp || stamp == Py_None) return true;
    unsigned long ssrc = 0, rtp_ts = 0;
    long long wall_us = 0;
    int exact = 0;
    if (!PyTuple_Check(stamp) ||
        !PyArg_ParseTuple(stamp, "kLkp;receive_rtp() needs stamp=(ssrc, wall_us, rtp_ts, exact)",
                          &ssrc, &wall_us, &rtp_ts, &exact)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError,
                            "receive_rtp() needs stamp=(ssrc, wall_us, rtp_ts, exact)");
        return false;
    }
    p.ssrc = static_cast<std::uint32_t>(ssrc);
    p.wall_us = wall_us;
    p.rtp_ts = static_cast<std::uint32_t>(rtp_ts);
    p.exact = exact != 0;
    plan.decode = p;
    return true;
}

PyObject* receive_rtp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t fd = 0, max_datagrams = 256;
        std::int64_t until_us = 0, nack_rtt_until_us = 0;
        PyObject *depack = nullptr, *watch = nullptr, *host = nullptr, *reception = nullptr,
                 *nack_rtt = nullptr, *decoder = nullptr, *pictures = nullptr, *stamp = nullptr;
        std::optional<std::uint32_t> port;
        if (!read_args("receive_rtp",
                       {param("fileno", fd), param("until_us", until_us),
                        param("depacketizer", depack, Kind::Object),
                        param("watch", watch, Kind::Object, Need::Optional),
                        param("host", host, Kind::OptStr, Need::Optional),
                        param("port", port, Need::Optional),
                        param("reception", reception, Kind::Object, Need::Optional),
                        param("nack_rtt", nack_rtt, Kind::Object, Need::Optional),
                        param("nack_rtt_until_us", nack_rtt_until_us, Need::Optional),
                        param("max_datagrams", max_datagrams, Need::Optional),
                        param("decoder", decoder, Kind::Object, Need::Optional),
                        param("pictures", pictures, Kind::Object, Need::Optional),
                        param("stamp", stamp, Kind::Object, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        ReceivePlan plan;
        talmiro_media::RtpReceptionStats* stats = nullptr;
        talmiro_media::NackRtt* rtt = nullptr;
        if (!read_objects(depack, reception, nack_rtt, plan, stats, rtt) ||
            !read_decode(decoder, pictures, stamp, plan))
            return nullptr;
        plan.fd = static_cast<int>(std::min<std::uint32_t>(fd, INT32_MAX));
        plan.until_us = until_us;
        if (watch && !read_fds(watch, plan.watched)) return nullptr;
        if (!fits("port", port, 0xFFFF)) return nullptr;
        if (max_datagrams == 0) {
            PyErr_SetString(PyExc_ValueError, "receive_rtp() needs max_datagrams of 1 or more");
            return nullptr;
        }
        if (host) {
            const auto text = utf8_of(host, true);
            if (!text) return nullptr;
            plan.host = std::string(*text);
            if (port) plan.port = static_cast<std::uint16_t>(*port);
        }
        plan.max_datagrams = std::min<std::uint32_t>(max_datagrams, 4096);
        const bool plain_resends = !plan.depack.core->config().rtx_payload_type;
        const ReceiveResult r = without_gil([&] { return receive(std::move(plan)); });
        if (r.error != 0 && r.datagrams == 0 && r.foreign == 0 && r.out.units.empty() &&
            r.out.nacks.empty() && r.decoded.units == 0) {
            errno = r.error;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        std::uint64_t samples = 0;
        PyObject* fresh = account(r, stats, rtt, plain_resends, nack_rtt_until_us, samples);
        return fresh ? result_tuple(r, fresh, samples) : nullptr;
    });
}

}  // namespace

PyMethodDef receive_rtp_def = fast_method(
    "receive_rtp", receive_rtp,
    "receive_rtp(fileno, until_us, depacketizer, watch=(), host=None, port=None, "
    "reception=None, nack_rtt=None, nack_rtt_until_us=0, max_datagrams=256, decoder=None, "
    "pictures=None, stamp=None)\n"
    "--\n\n"
    "Reads RTP datagrams from the socket `fileno` without the interpreter lock and pushes each\n"
    "into `depacketizer` as it arrives, running its timers when due, until the caller has\n"
    "something to do: access units or NACKs out, a descriptor of `watch` readable, the monotonic\n"
    "clock past `until_us` (µs, as time.monotonic_ns() // 1000), `max_datagrams` read, or a\n"
    "signal. Only datagrams from `host` (and `port`, when given) are taken; with no host, the\n"
    "first address heard is. The media packets go into `reception` when it counts their SSRC,\n"
    "and retransmissions (RTX, or plain resends before `nack_rtt_until_us`) into `nack_rtt`.\n"
    "With `decoder` (an H264Decoder), `pictures` (a PictureQueue) and `stamp` = (ssrc, wall_us,\n"
    "rtp_ts, exact), the access units of that SSRC are decoded here, stamped with their capture\n"
    "time by that mapping (90 kHz), and their pictures queued; the call then returns for a\n"
    "refused unit or a \"request_idr\" signal too, and leaves a unit of another stream, and\n"
    "those after it, to the caller.\n"
    "Returns (units, nacks, ready, foreign, source, fresh, rtt_samples, decoded): `(units,\n"
    "nacks)` as from `RtpDepacketizer.push` (the units left to the caller), the descriptors of\n"
    "`watch` found readable, the datagrams dropped as from elsewhere, the (host, port) of the\n"
    "last one taken or None, the media packets of the depacketizer's stream that `reception`\n"
    "did not count, as (seq, timestamp, ssrc, arrival_us), the round trips `nack_rtt`\n"
    "measured, and (units decoded, refused, \"request_idr\" signals, \"reset\" signals). A\n"
    "failed read raises OSError when it comes before anything else.");

}  // namespace talmiro_py
