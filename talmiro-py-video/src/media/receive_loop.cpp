// The receiving thread's loop (see receive_loop.hpp).
#include "receive_loop.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace talmiro_py {

namespace {

namespace tm = talmiro_media;

// Datagrams one read takes at most, and the datagrams read before the timers run again (a
// flood must not hold them off for ever).
constexpr std::size_t kBatchDatagrams = 16;
constexpr std::size_t kDatagramsPerTurn = 256;
// RTCP datagrams kept until the sender's first packet says which host it is.
constexpr std::size_t kEarlyRtcp = 8;

}  // namespace

ReceiveLoop::ReceiveLoop(ReceiveLoopConfig config, std::int64_t now_us)
    : config_(std::move(config)),
      session_(config_.session, now_us),
      rtp_batch_(kBatchDatagrams, config_.rtp_max_size),
      rtcp_batch_(kBatchDatagrams, config_.rtcp_max_size) {}

ReceiveLoop::~ReceiveLoop() = default;

ReceiveLoop::Stop ReceiveLoop::run(std::vector<StampedUnit>& units) {
    for (;;) {
        // RTCP first: a sender report stamps the units that follow it, a BYE lets a new stream in.
        if (!read_rtcp() || !read_rtp(units)) return Stop::Failed;
        if (config_.decoder && config_.pictures) decode_here(units);
        if (!units.empty()) return Stop::Units;
        if (!wait()) return error_ != 0 ? Stop::Failed : Stop::Woken;
    }
}

// The clock is read before each read: when a read finds the socket empty, nothing had come by
// then, so a timer due by then is due indeed (read after, a thread descheduled in between would
// find a packet overdue that sat in the socket all along).
bool ReceiveLoop::read_rtp(std::vector<StampedUnit>& units) {
    std::size_t taken = 0;
    std::int64_t now = monotonic_us();
    for (;;) {
        const int n = config_.rtp->receive(rtp_batch_, kBatchDatagrams);
        if (n < 0) {
            error_ = errno;
            return false;
        }
        std::lock_guard<std::mutex> held(mutex_);
        for (std::size_t i = 0; i < rtp_batch_.size(); ++i) {
            const Source& s = source_of(rtp_batch_.from(i));
            if (!from_sender(s)) {
                counts_.refused_foreign_source += 1;
                continue;
            }
            if (!rtp_source_ || !same_address(*rtp_source_, s.address)) rtp_source_ = s.address;
            act_on(session_.rtp(rtp_batch_.bytes(i), now), units);
        }
        taken += static_cast<std::size_t>(n);
        // Fewer than asked for: the socket was empty when the clock was read.
        if (n < static_cast<int>(kBatchDatagrams) || taken >= kDatagramsPerTurn) {
            if (now >= session_.next_deadline_us()) {
                act_on(session_.poll(now), units);
                // A deadline that polling leaves behind would spin the loop: look again in a ms.
                if (session_.next_deadline_us() <= now) poll_floor_us_ = now + 1'000;
            }
            return true;
        }
        now = monotonic_us();
    }
}

bool ReceiveLoop::read_rtcp() {
    for (std::size_t taken = 0; taken < kDatagramsPerTurn;) {
        const std::int64_t now = monotonic_us();
        const int n = config_.rtcp->receive(rtcp_batch_, kBatchDatagrams);
        if (n < 0) {
            error_ = errno;
            return false;
        }
        std::lock_guard<std::mutex> held(mutex_);
        for (std::size_t i = 0; i < rtcp_batch_.size(); ++i)
            rtcp_from(rtcp_batch_.bytes(i), source_of(rtcp_batch_.from(i)), now);
        if (n < static_cast<int>(kBatchDatagrams)) return true;
        taken += static_cast<std::size_t>(n);
    }
    return true;
}

const Source& ReceiveLoop::source_of(const SocketAddress& from) {
    if (!same_address(from, last_.address)) {
        last_.address = from;
        // Written as the sender's host is given (a scoped IPv6 host with its zone too).
        auto text = host_port_of(from);
        last_.host = text ? std::move(text->host) : std::string();
        last_.port = text ? text->port : 0;
    }
    return last_;
}

// The first host heard is the sender's, any port: a sender that restarts comes from a new one,
// and the session's SSRC rule tells its new stream from another's.
bool ReceiveLoop::from_sender(const Source& s) {
    if (!config_.sender_host) {
        learn_sender(s);
        return true;
    }
    return s.host == *config_.sender_host &&
           (!config_.sender_port || s.port == *config_.sender_port);
}

void ReceiveLoop::learn_sender(const Source& s) {
    config_.sender_host = s.host;
    // RTCP that came before the first packet counts now if it came from the same host.
    std::vector<EarlyRtcp> early = std::exchange(early_, {});
    for (const EarlyRtcp& e : early) rtcp_from(e.bytes, e.source, e.arrival_us);
}

void ReceiveLoop::rtcp_from(std::span<const std::uint8_t> bytes, const Source& s,
                            std::int64_t arrival_us) {
    if (!config_.sender_host) {
        if (early_.size() < kEarlyRtcp)
            early_.push_back({std::vector<std::uint8_t>(bytes.begin(), bytes.end()), s,
                              arrival_us});
        return;
    }
    if (s.host != *config_.sender_host) {
        counts_.rtcp_foreign_source += 1;
        return;
    }
    tm::RtpSessionOutput out = session_.rtcp(bytes, arrival_us);
    if (out.sender_report) {
        sender_rtcp_ = s.address;
        sender_rtcp_ssrc_ = *out.sender_report;
    }
    std::vector<StampedUnit> none;
    act_on(std::move(out), none);
}

// With the mutex held: sends the feedback, and stamps the units for decoding.
void ReceiveLoop::act_on(tm::RtpSessionOutput&& out, std::vector<StampedUnit>& units) {
    // The old sender's RTCP port goes with its stream; the new one's is learnt again.
    if (out.new_stream && session_.media_ssrc() != sender_rtcp_ssrc_) sender_rtcp_.reset();
    for (const tm::FeedbackDatagram& d : out.feedback) send(d);
    if (out.units.empty()) return;
    const std::int64_t wall_minus_monotonic = wall_clock_us() - monotonic_us();
    for (tm::RtpAccessUnit& u : out.units) {
        const tm::CaptureTime t =
            session_.capture_time(u.rtp_timestamp, u.last_arrival_us, wall_minus_monotonic);
        units.push_back({std::move(u), t});
    }
}

// Every datagram the receiver sends leaves here, through the RTCP transport. A full socket
// buffer drops it as the network would; nothing waits.
void ReceiveLoop::send(const tm::FeedbackDatagram& d) {
    const auto to = rtcp_return_address(config_.rtcp_to, sender_rtcp_, rtp_source_);
    if (!to) return;
    const std::span<const std::uint8_t> bytes(d.bytes);
    const Destinations one{.every_peer = false, .peers = {}, .address = to};
    if (config_.rtcp->send({&bytes, 1}, one) != 0) return;
    switch (d.kind) {
        case tm::FeedbackKind::Report: counts_.receiver_reports += 1; break;
        case tm::FeedbackKind::Nack: counts_.nacks_sent += d.nack_packets; break;
        case tm::FeedbackKind::Pli: counts_.plis_sent += 1; break;
        case tm::FeedbackKind::TransportFeedback: counts_.transport_feedback_sent += 1; break;
        case tm::FeedbackKind::Bye: break;
    }
}

void ReceiveLoop::picture_loss() {
    if (auto d = session_.picture_loss(monotonic_us())) send(*d);
}

void ReceiveLoop::decoded(bool refused, bool request_idr, bool reset) {
    std::lock_guard<std::mutex> held(mutex_);
    if (refused) counts_.decode_errors += 1;
    if (reset) counts_.resets += 1;
    if (refused || request_idr) picture_loss();
}

void ReceiveLoop::goodbye() {
    std::lock_guard<std::mutex> held(mutex_);
    send(session_.goodbye(monotonic_us()));
}

namespace {

// Decodes one unit and queues its pictures: what came of it in `asks` (an IDR picture wanted),
// `errors` and `resets`. A unit that lost every NAL unit says only that something was lost; an
// empty complete one says nothing. Nothing decodes once the decoder is closed.
void decode_one(const DecoderRef& decoder, tm::PictureQueue& pictures, StampedUnit& s,
                bool& asks, std::uint64_t& errors, std::uint64_t& resets) {
    tm::AccessUnit& unit = s.au.unit;
    unit.t_us = s.time.t_us;
    unit.complete = s.au.complete;
    std::optional<tm::Result<std::vector<tm::Image>>> out;
    std::optional<tm::SyncSignal> signal;
    {
        std::lock_guard<std::mutex> held(*decoder.mutex);
        if (!*decoder.core || (unit.bytes().empty() && unit.complete)) return;
        pictures.stamp(unit.t_us, {s.au.rtp_timestamp, s.time.exact});
        out.emplace(decode_counted(decoder, unit));
        signal = (*decoder.core)->take_signal();
    }
    if (!*out) errors += 1;
    if (!*out || signal == tm::SyncSignal::RequestIdr) asks = true;
    if (signal == tm::SyncSignal::Reset) resets += 1;
    if (*out && !(*out)->empty()) {
        std::vector<tm::SharedImage> shared;
        shared.reserve((*out)->size());
        for (tm::Image& image : **out)
            shared.push_back(std::make_shared<const tm::Image>(std::move(image)));
        pictures.push(std::move(shared), wall_clock_us());
    }
}

}  // namespace

// Decodes the units in order; one PLI for all that asked for an IDR picture.
void ReceiveLoop::decode_here(std::vector<StampedUnit>& units) {
    bool asks = false;
    std::uint64_t errors = 0, resets = 0;
    for (StampedUnit& s : units)
        decode_one(*config_.decoder, *config_.pictures, s, asks, errors, resets);
    units.clear();
    if (!asks && errors == 0 && resets == 0) return;
    std::lock_guard<std::mutex> held(mutex_);
    counts_.decode_errors += errors;
    counts_.resets += resets;
    if (asks) picture_loss();
}

// Sleeps until a socket is readable or the session's next deadline; false when woken (the wake
// descriptor is drained) or when a descriptor failed.
bool ReceiveLoop::wait() {
    std::int64_t due = 0;
    {
        std::lock_guard<std::mutex> held(mutex_);
        due = std::max(session_.next_deadline_us(), poll_floor_us_);
    }
    const std::int64_t wait_us = std::max<std::int64_t>(0, due - monotonic_us());
    const timespec timeout{static_cast<time_t>(wait_us / 1'000'000),
                           static_cast<long>(wait_us % 1'000'000) * 1000};
    std::array<pollfd, 3> fds{{{config_.rtp->descriptor(), POLLIN, 0},
                               {config_.rtcp->descriptor(), POLLIN, 0},
                               {config_.wake_fd, POLLIN, 0}}};
    if (fds[0].fd < 0 || fds[1].fd < 0) {  // a transport closed
        error_ = EBADF;
        return false;
    }
    const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
    {
        std::lock_guard<std::mutex> held(mutex_);
        counts_.wakeups += 1;
    }
    if (ready < 0) {
        if (errno == EINTR) return true;
        error_ = errno;
        return false;
    }
    for (const pollfd& p : fds) {
        if (p.revents & (POLLERR | POLLNVAL)) {
            error_ = (p.revents & POLLNVAL) ? EBADF : EIO;
            return false;
        }
    }
    if (fds[2].revents == 0) return true;
    std::array<std::uint8_t, 64> drained{};
    while (recv(config_.wake_fd, drained.data(), drained.size(), MSG_DONTWAIT) > 0) {
    }
    return false;
}

}  // namespace talmiro_py
