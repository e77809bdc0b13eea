// The sender's datagrams through the pacer, and the feedback that sets its rate.
#include "paced_send_path.hpp"

#include <chrono>
#include <limits>

#include "cores.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/rtp_header_extension.hpp"

namespace talmiro_py {

namespace tm = talmiro_media;

namespace {

std::uint32_t wire_bytes(std::size_t bytes, std::size_t copies) {
    const std::size_t total = bytes * (copies == 0 ? 1 : copies);
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(total, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

PacedSendPath::PacedSendPath(tm::CongestionController controller, DatagramSocket& socket,
                             std::optional<std::uint8_t> transport_cc_id)
    : controller_(std::move(controller)), socket_(socket), transport_cc_id_(transport_cc_id) {}

void PacedSendPath::enqueue(std::span<const tm::SharedBytes> packets, const Destinations& to,
                            tm::PacketKind kind, std::int64_t now_us) {
    const std::size_t copies = to.every_peer ? socket_.peer_count()
                               : to.address ? 1 : to.peers.size();
    {
        std::lock_guard held(mutex_);
        for (const tm::SharedBytes& p : packets) {
            const Handle h = next_handle_++;
            queued_.emplace(h, Queued{p, to});
            if (const auto pushed_out = controller_.push(h, wire_bytes(p.size(), copies), kind,
                                                         now_us))
                queued_.erase(*pushed_out);
        }
    }
    wake_.notify_one();
}

std::vector<PacedSendPath::Queued> PacedSendPath::take_due(std::int64_t now_us, bool all) {
    due_.clear();
    dropped_.clear();
    controller_.pop_due(all ? std::numeric_limits<std::int64_t>::max() / 2 : now_us, due_,
                        &dropped_);
    for (const Handle h : dropped_) queued_.erase(h);
    std::vector<Queued> out;
    out.reserve(due_.size());
    for (const Handle h : due_) {
        const auto it = queued_.find(h);
        if (it == queued_.end()) continue;
        const tm::SharedBytes& p = it->second.packet;
        std::optional<std::uint16_t> seq;
        if (transport_cc_id_) seq = tm::read_transport_seq(p.bytes(), *transport_cc_id_);
        controller_.sent(seq, p.size(), now_us);
        out.push_back(std::move(it->second));
        queued_.erase(it);
    }
    return out;
}

void PacedSendPath::send(const std::vector<Queued>& packets) {
    // Runs of packets for the same destinations go in one batch.
    std::size_t from = 0;
    std::vector<std::span<const std::uint8_t>> spans;
    while (from < packets.size()) {
        std::size_t to = from + 1;
        while (to < packets.size() && packets[to].to.every_peer && packets[from].to.every_peer)
            ++to;
        spans.clear();
        for (std::size_t i = from; i < to; ++i) spans.push_back(packets[i].packet.bytes());
        socket_.send(spans, packets[from].to);
        from = to;
    }
}

void PacedSendPath::run() {
    std::unique_lock held(mutex_);
    for (;;) {
        const bool stopping = stopping_;
        std::vector<Queued> due = take_due(monotonic_us(), stopping);
        if (!due.empty()) {
            held.unlock();
            send(due);
            held.lock();
            continue;
        }
        if (stopping) return;
        if (const auto next = controller_.next_send_us()) {
            const std::int64_t wait = std::max<std::int64_t>(0, *next - monotonic_us());
            wake_.wait_for(held, std::chrono::microseconds(wait));
        } else {
            wake_.wait(held);
        }
    }
}

void PacedSendPath::stop() {
    {
        std::lock_guard held(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void PacedSendPath::feedback(std::size_t receiver, std::span<const std::uint8_t> datagram,
                             std::int64_t now_us) {
    feedback(receiver, tm::parse_rtcp(datagram), now_us);
}

void PacedSendPath::feedback(std::size_t receiver, const tm::RtcpParsed& parsed,
                             std::int64_t now_us) {
    std::lock_guard held(mutex_);
    for (const tm::RtcpPacket& packet : parsed.packets)
        controller_.on_rtcp(receiver, packet, now_us);
}

void PacedSendPath::report(std::size_t receiver, std::uint8_t fraction_lost,
                           std::optional<std::int64_t> rtt_us, std::int64_t now_us) {
    std::lock_guard held(mutex_);
    controller_.on_receiver_report(receiver, fraction_lost, rtt_us, now_us);
}

}  // namespace talmiro_py
