// A sender's congestion control for one stream sent to one or more receivers: the pacer every
// packet waits in, the log of when each stamped packet left, and a rate controller per
// receiver fed by what that receiver says (transport-wide feedback, REMB, the loss and round
// trip of its reports). The stream's target is the lowest of the targets of the receivers
// heard from (one that never answers does not hold the stream at its start rate), and the
// pacer paces at a multiple of it. Packets are the caller's: it pushes opaque handles and
// sends those `pop_due` gives back, then says which left (`sent`). Every call takes the time
// (µs on the sender's monotonic clock). Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "talmiro_media/pacer.hpp"
#include "talmiro_media/rate_controller.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/sent_packet_log.hpp"

namespace talmiro_media {

struct CongestionControllerConfig {
    // 1..256 receivers, named by their place 0..receivers-1.
    std::size_t receivers = 1;
    RateController::Config rate;
    PacerConfig pacer;
    std::int64_t log_max_age_us = 2'000'000;
};

struct CongestionControllerCounts {
    std::uint64_t transport_feedback = 0;
    std::uint64_t rembs = 0;
    std::uint64_t receiver_reports = 0;
    // Feedback naming a receiver past the list.
    std::uint64_t refused = 0;
    // Changes of the stream's target.
    std::uint64_t target_changes = 0;
};

class CongestionController {
public:
    using Handle = Pacer::Handle;

    // The receivers must be 1..256, and the rate's floor at most its start and its ceiling.
    static Result<CongestionController> create(const CongestionControllerConfig& config);

    // The pacer's face (see Pacer).
    std::optional<Handle> push(Handle handle, std::uint32_t bytes, PacketKind kind,
                               std::int64_t now_us);
    std::optional<std::int64_t> next_send_us() const noexcept { return pacer_.next_send_us(); }
    void pop_due(std::int64_t now_us, std::vector<Handle>& out,
                 std::vector<Handle>* dropped = nullptr) {
        pacer_.pop_due(now_us, out, dropped);
    }
    // A packet left: stamped with `transport_seq`, it can be found in feedback.
    void sent(std::optional<std::uint16_t> transport_seq, std::size_t bytes,
              std::int64_t now_us);

    // One packet of an RTCP datagram from `receiver`: transport-wide feedback and REMB are
    // read, anything else is left alone.
    void on_rtcp(std::size_t receiver, const RtcpPacket& packet, std::int64_t now_us);
    // Whether a parsed datagram says nothing but congestion feedback: transport-wide feedback
    // or REMB, beside at most empty receiver reports and SDES, and nothing refused.
    static bool only_feedback(const RtcpParsed& parsed) noexcept;
    // A report block about our stream: its fraction lost (n/256) and the round trip it gave.
    void on_receiver_report(std::size_t receiver, std::uint8_t fraction_lost,
                            std::optional<std::int64_t> rtt_us, std::int64_t now_us);

    std::int64_t target_bps() const noexcept { return target_bps_; }
    const RateController& receiver(std::size_t i) const { return receivers_.at(i).rate; }
    std::size_t receiver_count() const noexcept { return receivers_.size(); }
    PacerStats pacer_stats(std::int64_t now_us) const noexcept { return pacer_.stats(now_us); }
    const SentPacketLog::Counts& log_counts() const noexcept { return log_.counts(); }
    const CongestionControllerCounts& counts() const noexcept { return counts_; }

private:
    struct Receiver {
        RateController rate;
        bool heard = false;
    };
    explicit CongestionController(const CongestionControllerConfig& config);
    Receiver* receiver_at(std::size_t i) noexcept;
    void update_target(std::int64_t now_us);

    Pacer pacer_;
    SentPacketLog log_;
    std::vector<Receiver> receivers_;
    std::vector<PacketFeedback> scratch_;
    std::int64_t target_bps_;
    CongestionControllerCounts counts_;
};

}  // namespace talmiro_media
