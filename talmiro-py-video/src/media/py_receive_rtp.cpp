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
#include "socket_address.hpp"
#include "talmiro_media/rtcp.hpp"

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
    // The sender's address (any port when none); when there is no host, the first host heard.
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

// Where the NACKs go when the call sends them itself (with the interpreter lock, between two
// waits): the RTCP socket, the sender's RTCP address, our SSRC and SDES packet, and the jitter
// last reported, which the round trip's wait is made of.
struct FeedbackPlan {
    int fd = -1;
    SocketAddress to;
    std::uint32_t ssrc = 0;
    std::vector<std::uint8_t> sdes;
    std::int64_t jitter_us = 0;
    // What was sent: whether NACKs were, the NACK packets that went, and until when a plain
    // packet may answer one.
    bool nacked = false;
    std::uint64_t nack_messages = 0;
    std::int64_t nack_rtt_until_us = 0;
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

// Adds what one wait brought to what the call brought so far.
void merge(ReceiveResult& total, ReceiveResult&& r) {
    append(total.out, std::move(r.out));
    total.ready.insert(total.ready.end(), r.ready.begin(), r.ready.end());
    total.datagrams += r.datagrams;
    total.foreign += r.foreign;
    if (r.source) total.source = std::move(r.source);
    if (r.error != 0) total.error = r.error;
    total.decoded.units += r.decoded.units;
    total.decoded.errors += r.decoded.errors;
    total.decoded.idr_requests += r.decoded.idr_requests;
    total.decoded.resets += r.decoded.resets;
    total.caller_decodes = total.caller_decodes || r.caller_decodes;
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
    // The first host heard is the sender's, any port: a sender that restarts comes from a new
    // one, and the depacketizer's SSRC rule tells its new stream from another's.
    if (!plan.host) {
        plan.host = source.host;
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
ReceiveResult receive(ReceivePlan& plan) {
    ReceiveResult r;
    // One buffer per thread, left unzeroed: a receiving thread calls this once per access unit.
    thread_local const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kDatagramBytes);
    std::vector<pollfd> fds;
    fds.push_back({plan.fd, POLLIN, 0});
    for (const int w : plan.watched) fds.push_back({w, POLLIN, 0});
    // What the caller must do: send NACKs or a PLI, decode units. NACKs go before any decoding:
    // their answer is a round trip away, and a picture's decoding would delay it.
    auto work = [&] {
        if (!r.out.nacks.empty()) return true;
        if (plan.decode && !r.out.units.empty()) decode_units(plan, r);
        return !r.out.units.empty() || r.decoded.errors != 0 || r.decoded.idr_requests != 0;
    };
    while (r.datagrams + r.foreign < plan.max_datagrams) {
        // The clock is read before the socket: when the read finds nothing, nothing had come
        // by `now`, so a timer due by then is due indeed. Read after, a thread descheduled in
        // between would find a packet overdue that sat in the socket all along.
        const std::int64_t now = monotonic_us();
        sockaddr_storage from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(plan.fd, buffer.get(), kDatagramBytes, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n >= 0) {
            take(plan, r, {buffer.get(), static_cast<std::size_t>(n)}, from,
                 std::min<socklen_t>(from_len, sizeof from), now);
            if (work()) break;
            continue;
        }
        if (errno == EINTR) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            r.error = errno;
            break;
        }
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
// taken; appends to `fresh` the packets of the stream that `reception` does not count (the
// caller starts counting the stream) as (seq, timestamp, ssrc, arrival_us) tuples, and counts
// the round-trip samples. False with an exception set.
bool account(const ReceiveResult& r, talmiro_media::RtpReceptionStats* reception,
             talmiro_media::NackRtt* rtt, bool plain_resends, std::int64_t nack_rtt_until,
             PyObject* fresh, std::uint64_t& samples) {
    for (const Taken& t : r.taken) {
        if (!t.rtx && reception && reception->ssrc() == t.ssrc) {
            reception->packet(t.seq, t.ts, t.arrival_us);
        } else if (!t.rtx && t.stream) {
            PyObject* item = Py_BuildValue("(HkkL)", t.seq, static_cast<unsigned long>(t.ts),
                                           static_cast<unsigned long>(t.ssrc),
                                           static_cast<long long>(t.arrival_us));
            const bool ok = item && PyList_Append(fresh, item) == 0;
            Py_XDECREF(item);
            if (!ok) return false;
        }
        // A plain resend reads as the packet itself: looked up only while a NACK may be answered.
        if (rtt && (t.rtx || (plain_resends && t.arrival_us < nack_rtt_until)) &&
            rtt->retransmission(t.seq, t.arrival_us))
            samples += 1;
    }
    return true;
}

// Gives the depacketizer the round trip measured and the jitter last reported: it makes the
// wait for a missing packet and the NACK repeat interval of them.
void retime(const FeedbackPlan& fb, const talmiro_media::NackRtt* rtt,
            const DepacketizerRef& depack) {
    const auto rtt_us = rtt ? rtt->rtt_us() : std::nullopt;
    copied_out(*depack.mutex, [&] {
        depack.core->set_round_trip(rtt_us, fb.jitter_us);
        return true;
    });
}

// With the interpreter lock: sends `seqs` as NACK packets (at most 256 numbers each, after a
// receiver report and our SDES, one compound per datagram), tells the round trip when they
// went, and gives the depacketizer the jitter reported and the round trip measured.
void send_nacks(FeedbackPlan& fb, talmiro_media::RtpReceptionStats& reception,
                talmiro_media::NackRtt* rtt, const DepacketizerRef& depack,
                std::span<const std::uint16_t> seqs) {
    namespace tm = talmiro_media;
    const std::int64_t now = monotonic_us();
    fb.nacked = true;
    tm::RtcpReceiverReport rr{fb.ssrc, {}};
    if (const auto block = reception.report(now)) {
        rr.reports.push_back(*block);
        fb.jitter_us = static_cast<std::int64_t>(block->jitter) * 1'000'000 / 90'000;
    }
    if (rtt) {
        rtt->nack_sent(seqs, now);
        fb.nack_rtt_until_us = now + rtt->config().max_age_us;
    }
    retime(fb, rtt, depack);
    for (const std::vector<std::uint8_t>& nack : tm::write_nacks(fb.ssrc, reception.ssrc(), seqs)) {
        std::vector<std::uint8_t> datagram;
        if (!tm::append_rtcp(datagram, rr)) return;
        datagram.insert(datagram.end(), fb.sdes.begin(), fb.sdes.end());
        datagram.insert(datagram.end(), nack.begin(), nack.end());
        // A full socket buffer drops the NACK as the network would; nothing waits here.
        if (sendto(fb.fd, datagram.data(), datagram.size(), MSG_DONTWAIT, fb.to.get(),
                   fb.to.length) >= 0)
            fb.nack_messages += 1;
    }
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

// (units, nacks, ready, foreign, source, fresh, rtt_samples, decoded, fed_back); takes `fresh`
// over.
PyObject* result_tuple(const ReceiveResult& r, PyObject* fresh, std::uint64_t samples,
                       const std::optional<FeedbackPlan>& fb) {
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
    PyObject* fed_back = fb && fb->nacked
                             ? Py_BuildValue("(KLL)", static_cast<ull>(fb->nack_messages),
                                             static_cast<long long>(fb->nack_rtt_until_us),
                                             static_cast<long long>(fb->jitter_us))
                             : Py_NewRef(Py_None);
    PyObject* out = fed_back ? Py_BuildValue("(OONKNNK(KKKK)N)", units, nacks, ready,
                                             static_cast<ull>(r.foreign), source, fresh,
                                             static_cast<ull>(samples), static_cast<ull>(d.units),
                                             static_cast<ull>(d.errors),
                                             static_cast<ull>(d.idr_requests),
                                             static_cast<ull>(d.resets), fed_back)
                             : nullptr;
    if (!fed_back) {
        Py_DECREF(ready);
        Py_DECREF(source);
        Py_DECREF(fresh);
    }
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

// The feedback part of the plan: None (the caller sends the NACKs), or (rtcp_fileno, host, port,
// ssrc, sdes, jitter_us) with a numeric host. Absent with an exception set on a bad value; a
// host that is not a numeric address leaves the NACKs to the caller.
std::optional<std::optional<FeedbackPlan>> read_feedback(PyObject* feedback) {
    std::optional<FeedbackPlan> none;
    if (!feedback || feedback == Py_None) return none;
    FeedbackPlan fb;
    int fd = -1;
    const char* host = nullptr;
    unsigned int port = 0;
    unsigned long ssrc = 0;
    PyObject* sdes = nullptr;
    long long jitter = 0;
    if (!PyTuple_Check(feedback) ||
        !PyArg_ParseTuple(feedback, "isIkSL", &fd, &host, &port, &ssrc, &sdes, &jitter) ||
        port > 0xFFFF || fd < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "receive_rtp() needs feedback=(rtcp_fileno, host, "
                                             "port, ssrc, sdes, jitter_us) or None");
        return std::nullopt;
    }
    const auto to = numeric_address(host, static_cast<std::uint16_t>(port));
    if (!to) return none;
    fb.to = *to;
    fb.fd = fd;
    fb.ssrc = static_cast<std::uint32_t>(ssrc);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(sdes));
    fb.sdes.assign(bytes, bytes + PyBytes_Size(sdes));
    fb.jitter_us = jitter;
    return std::optional<FeedbackPlan>(std::move(fb));
}

// Until the caller has work: waits without the interpreter lock, then with it tells the
// statistics and the round trip what came and sends the NACKs itself when it may, and waits on.
// False with an exception set.
bool receive_until_work(ReceivePlan& plan, ReceiveResult& total, std::optional<FeedbackPlan>& fb,
                        talmiro_media::RtpReceptionStats* stats, talmiro_media::NackRtt* rtt,
                        std::int64_t nack_rtt_until, PyObject* fresh, std::uint64_t& samples) {
    const bool plain_resends = !plan.depack.core->config().rtx_payload_type;
    for (bool first = true;; first = false) {
        ReceiveResult r = without_gil([&] { return receive(plan); });
        if (first && r.error != 0 && r.datagrams == 0 && r.foreign == 0 &&
            r.out.units.empty() && r.out.nacks.empty() && r.decoded.units == 0) {
            errno = r.error;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        if (fb) nack_rtt_until = std::max(nack_rtt_until, fb->nack_rtt_until_us);
        const Py_ssize_t fresh_before = PyList_Size(fresh);
        const std::uint64_t samples_before = samples;
        if (!account(r, stats, rtt, plain_resends, nack_rtt_until, fresh, samples)) return false;
        if (fb && samples != samples_before) retime(*fb, rtt, plan.depack);
        merge(total, std::move(r));
        if (fb && stats && !total.out.nacks.empty()) {
            send_nacks(*fb, *stats, rtt, plan.depack, total.out.nacks);
            total.out.nacks.clear();
            // The units that came with the NACKs are decoded now that those went.
            if (plan.decode && !total.out.units.empty())
                without_gil([&] { decode_units(plan, total); });
        }
        const bool caller_work = !total.out.units.empty() || !total.out.nacks.empty() ||
                                 !total.ready.empty() || total.decoded.errors != 0 ||
                                 total.decoded.idr_requests != 0 || total.error != 0 ||
                                 PyList_Size(fresh) != fresh_before;
        if (caller_work || !fb || monotonic_us() >= plan.until_us ||
            total.datagrams + total.foreign >= plan.max_datagrams)
            return true;
    }
}

PyObject* receive_rtp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint32_t fd = 0, max_datagrams = 256;
        std::int64_t until_us = 0, nack_rtt_until_us = 0;
        PyObject *depack = nullptr, *watch = nullptr, *host = nullptr, *reception = nullptr,
                 *nack_rtt = nullptr, *decoder = nullptr, *pictures = nullptr, *stamp = nullptr,
                 *feedback = nullptr;
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
                        param("stamp", stamp, Kind::Object, Need::Optional),
                        param("feedback", feedback, Kind::Object, Need::Optional)},
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
        auto fb = read_feedback(feedback);
        if (!fb) return nullptr;
        PyObject* fresh = PyList_New(0);
        if (!fresh) return nullptr;
        ReceiveResult total;
        std::uint64_t samples = 0;
        if (!receive_until_work(plan, total, *fb, stats, rtt, nack_rtt_until_us, fresh, samples)) {
            Py_DECREF(fresh);
            return nullptr;
        }
        return result_tuple(total, fresh, samples, *fb);
    });
}

}  // namespace

PyMethodDef receive_rtp_def = fast_method(
    "receive_rtp", receive_rtp,
    "receive_rtp(fileno, until_us, depacketizer, watch=(), host=None, port=None, "
    "reception=None, nack_rtt=None, nack_rtt_until_us=0, max_datagrams=256, decoder=None, "
    "pictures=None, stamp=None, feedback=None)\n"
    "--\n\n"
    "Reads RTP datagrams from the socket `fileno` without the interpreter lock and pushes each\n"
    "into `depacketizer` as it arrives, running its timers when due, until the caller has\n"
    "something to do: access units or NACKs out, a descriptor of `watch` readable, the monotonic\n"
    "clock past `until_us` (µs, as time.monotonic_ns() // 1000), `max_datagrams` read, or a\n"
    "signal. Only datagrams from `host` (and `port`, when given) are taken; with no host, those\n"
    "of the first host heard are (any port). The media packets go into `reception` when it\n"
    "counts their SSRC, and retransmissions (RTX, or plain resends before `nack_rtt_until_us`)\n"
    "into `nack_rtt`.\n"
    "With `decoder` (an H264Decoder), `pictures` (a PictureQueue) and `stamp` = (ssrc, wall_us,\n"
    "rtp_ts, exact), the access units of that SSRC are decoded here, stamped with their capture\n"
    "time by that mapping (90 kHz), and their pictures queued; the call then returns for a\n"
    "refused unit or a \"request_idr\" signal too, and leaves a unit of another stream, and\n"
    "those after it, to the caller. With `feedback` = (rtcp_fileno, host, port, ssrc, sdes,\n"
    "jitter_us) and `reception`, the NACKs are sent here (a receiver report, the SDES packet\n"
    "`sdes` and the NACK, from our `ssrc` to the numeric address host:port), `nack_rtt` is told,\n"
    "the depacketizer is given the round trip and the jitter, and the call waits on.\n"
    "Returns (units, nacks, ready, foreign, source, fresh, rtt_samples, decoded, fed_back):\n"
    "`(units, nacks)` as from `RtpDepacketizer.push` (those left to the caller), the descriptors\n"
    "of `watch` found readable, the datagrams dropped as from elsewhere, the (host, port) of the\n"
    "last one taken or None, the media packets of the depacketizer's stream that `reception`\n"
    "did not count, as (seq, timestamp, ssrc, arrival_us), the round trips `nack_rtt`\n"
    "measured, (units decoded, refused, \"request_idr\" signals, \"reset\" signals), and None\n"
    "or, when NACKs were sent here, (NACK packets sent, until when a plain packet may answer\n"
    "one, the jitter reported in µs). A failed read raises OSError when it comes before\n"
    "anything else.");

}  // namespace talmiro_py
