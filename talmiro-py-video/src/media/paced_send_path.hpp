// The sender's datagrams under congestion control: every packet waits in the core's pacer and
// leaves when it is due, from a thread the package runs (`run` blocks until `stop`, without
// the interpreter lock); the packets that left are written in the sent-packet log, so that the
// receivers' feedback finds them. Feedback and reports reach the core's CongestionController
// through the same lock. Everything here is below Python.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "datagram_socket.hpp"
#include "talmiro_media/congestion_controller.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/rtp_packetizer.hpp"

namespace talmiro_py {

class PacedSendPath {
public:
    // `transport_cc_id`: the header extension that stamps the packets, if any.
    PacedSendPath(talmiro_media::CongestionController controller, DatagramSocket& socket,
                  std::optional<std::uint8_t> transport_cc_id);

    // Queues `packets` for `to` (the pacer counts each once per destination); wakes `run`.
    void enqueue(std::span<const talmiro_media::SharedBytes> packets, const Destinations& to,
                 talmiro_media::PacketKind kind, std::int64_t now_us);
    // Sends what is due until `stop`, then what is still queued, and returns.
    void run();
    void stop();

    // One RTCP datagram from receiver `receiver` (its place in the peer list).
    void feedback(std::size_t receiver, std::span<const std::uint8_t> datagram,
                  std::int64_t now_us);
    void feedback(std::size_t receiver, const talmiro_media::RtcpParsed& parsed,
                  std::int64_t now_us);
    void report(std::size_t receiver, std::uint8_t fraction_lost,
                std::optional<std::int64_t> rtt_us, std::int64_t now_us);

    std::int64_t target_bps() const {
        std::lock_guard held(mutex_);
        return controller_.target_bps();
    }
    // Reads the controller with the lock held (`body` copies out what it needs).
    template <typename F>
    auto with_controller(F&& body) const {
        std::lock_guard held(mutex_);
        return body(controller_);
    }

private:
    struct Queued {
        talmiro_media::SharedBytes packet;
        Destinations to;
    };
    using Handle = talmiro_media::CongestionController::Handle;
    // The packets due at `now_us` (all, with `all`) out of the queue, with the lock held.
    std::vector<Queued> take_due(std::int64_t now_us, bool all);
    void send(const std::vector<Queued>& packets);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    talmiro_media::CongestionController controller_;
    DatagramSocket& socket_;
    std::optional<std::uint8_t> transport_cc_id_;
    std::unordered_map<Handle, Queued> queued_;
    Handle next_handle_ = 0;
    bool stopping_ = false;
    std::vector<Handle> due_, dropped_;
};

}  // namespace talmiro_py
