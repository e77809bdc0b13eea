// The receive_rtp function: a receiving thread's socket loop in native code. It waits for RTP
// datagrams without the interpreter lock, feeds each straight into an RtpDepacketizer and runs
// the depacketizer's timers, and returns only when the caller has something to do: access units
// to decode, sequence numbers to NACK, a watched descriptor readable, or its time up. A thread
// in Python otherwise wakes up once per packet, and each wake-up (the interpreter lock taken
// back, the loop's bytecode run cold, the datagram made an object) costs several times what
// the packet itself does; this way it wakes up about once per access unit, and no packet
// becomes a Python object.
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

struct ReceivePlan {
    int fd = -1;
    std::int64_t until_us = 0;
    std::vector<int> watched;
    DepacketizerRef depack;
    // The sender's address (any port when none); when there is no host, the first heard.
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::size_t max_datagrams = 256;
    // The last datagram's source, and its text.
    sockaddr_storage last{};
    socklen_t last_len = 0;
    Address last_text;
};

struct ReceiveResult {
    RtpOutput out;
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
    auto work = [&] { return !r.out.units.empty() || !r.out.nacks.empty(); };
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

// (units, nacks, ready, foreign, source, fresh, rtt_samples); takes `fresh` over.
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
    PyObject* out = Py_BuildValue("(OONKNNK)", units, nacks, ready,
                                  static_cast<unsigned long long>(r.foreign), source, fresh,
                                  static_cast<unsigned long long>(samples));
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

PyObject* receive_rtp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t fd = 0, max_datagrams = 256;
        std::int64_t until_us = 0, nack_rtt_until_us = 0;
        PyObject *depack = nullptr, *watch = nullptr, *host = nullptr, *reception = nullptr,
                 *nack_rtt = nullptr;
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
                        param("max_datagrams", max_datagrams, Need::Optional)},
                       args, nargs, kwnames))
            return nullptr;
        ReceivePlan plan;
        talmiro_media::RtpReceptionStats* stats = nullptr;
        talmiro_media::NackRtt* rtt = nullptr;
        if (!read_objects(depack, reception, nack_rtt, plan, stats, rtt)) return nullptr;
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
            r.out.nacks.empty()) {
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
    "reception=None, nack_rtt=None, nack_rtt_until_us=0, max_datagrams=256)\n"
    "--\n\n"
    "Reads RTP datagrams from the socket `fileno` without the interpreter lock and pushes each\n"
    "into `depacketizer` as it arrives, running its timers when due, until the caller has\n"
    "something to do: access units or NACKs out, a descriptor of `watch` readable, the monotonic\n"
    "clock past `until_us` (µs, as time.monotonic_ns() // 1000), `max_datagrams` read, or a\n"
    "signal. Only datagrams from `host` (and `port`, when given) are taken; with no host, the\n"
    "first address heard is. The media packets go into `reception` when it counts their SSRC,\n"
    "and retransmissions (RTX, or plain resends before `nack_rtt_until_us`) into `nack_rtt`.\n"
    "Returns (units, nacks, ready, foreign, source, fresh, rtt_samples): `(units, nacks)` as\n"
    "from `RtpDepacketizer.push`, the descriptors of `watch` found readable, the datagrams\n"
    "dropped as from elsewhere, the (host, port) of the last one taken or None, the media\n"
    "packets of the depacketizer's stream that `reception` did not count, as (seq, timestamp,\n"
    "ssrc, arrival_us), and the round trips `nack_rtt` measured. A failed read raises OSError\n"
    "when it comes before anything else.");

}  // namespace talmiro_py
