// The receiving side of transport-wide congestion feedback: the arrival time of every packet's
// transport-wide sequence number is recorded as it comes, and on request the feedback packets
// that report everything since the previous request are made (the caller sends them, every
// 50-100 ms or so, beside its receiver reports).
//
// No clocks: arrival times are arguments, in µs on any one clock of the receiver's. The
// sequence numbers come from the network: duplicates, reordering, wraps and jumps are all
// taken, in bounded memory and bounded work per packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/rtcp_transport_feedback.hpp"

namespace talmiro_media {

struct TransportFeedbackBuilderConfig {
    std::uint32_t sender_ssrc = 0;
    // The stream reported on (the feedback covers every stream of the sender; this is the
    // media SSRC field).
    std::uint32_t media_ssrc = 0;
    // Statuses per feedback packet, 1..65535; more make several packets. A packet of n
    // statuses is at most 20 + 2*ceil(n/7) + 2n bytes (rounded up to 4): 936 for the default,
    // within any path's MTU with a receiver report beside it.
    std::size_t max_statuses = 400;
    // Sequence numbers remembered, 1..32768: those not reported yet and those reported, so
    // that a packet arriving late (after its loss was reported) is reported again with its
    // time. 8 bytes each. A packet further behind the highest one is not reported (counted),
    // and a jump further ahead starts over from it.
    std::size_t window = 8192;
};

class TransportFeedbackBuilder {
public:
    struct Counts {
        std::uint64_t arrivals = 0;
        // Arrivals of a sequence number already recorded (the first arrival is kept).
        std::uint64_t duplicates = 0;
        // Arrivals more than `window` behind the highest sequence number, not recorded.
        std::uint64_t too_old = 0;
        // Arrivals pushed out of the window (by later sequence numbers) before being reported.
        std::uint64_t dropped = 0;
        // Jumps ahead by more than the window, which start over.
        std::uint64_t restarts = 0;
        std::uint64_t feedback_packets = 0;

        Counts& operator+=(const Counts& other) noexcept;
        bool operator==(const Counts&) const = default;
    };

    // max_statuses must be within 1..65535 and window within 1..32768.
    static Result<TransportFeedbackBuilder> create(const TransportFeedbackBuilderConfig& config);

    // A packet carrying transport-wide sequence number `seq` arrived at `arrival_us`.
    void packet_arrived(std::uint16_t seq, std::int64_t arrival_us);

    // Whether a packet arrived since the last feedback (build() makes some).
    bool pending() const noexcept { return pending_; }

    // The feedback for everything since the last: every sequence number from the first one not
    // yet reported (or the lowest arrived late since) to the highest arrived, each received or
    // not, in packets of at most max_statuses, a new one also where the step between two
    // arrivals does not fit one. None when nothing arrived since the last call. The reference
    // time is that of each packet's first arrival, rounded down to 64 ms; arrival times are
    // rounded down to 250 µs. Each value writes without refusal (append_rtcp).
    std::vector<RtcpTransportFeedback> build();

    const Counts& counts() const noexcept { return counts_; }
    const TransportFeedbackBuilderConfig& config() const noexcept { return config_; }

private:
    explicit TransportFeedbackBuilder(const TransportFeedbackBuilderConfig& config)
        : config_(config) {}

    // The sequence number `seq` extended to 64 bits, nearest the highest one recorded.
    std::int64_t unwrap(std::uint16_t seq) const noexcept;
    std::int64_t end() const noexcept {
        return begin_ + static_cast<std::int64_t>(times_.size());
    }
    void start_over(std::int64_t ext, std::int64_t arrival_us);
    void extend_to(std::int64_t ext, std::int64_t arrival_us);
    // One packet from extended sequence number `from`; `from` ends past its last status.
    RtcpTransportFeedback build_one(std::int64_t& from);

    TransportFeedbackBuilderConfig config_;
    // Arrival times of extended sequence numbers begin_, begin_+1, ...; kNotArrived for none.
    std::deque<std::int64_t> times_;
    std::int64_t begin_ = 0;
    // The first extended sequence number the next feedback reports.
    std::int64_t report_from_ = 0;
    bool pending_ = false;
    std::uint8_t feedback_count_ = 0;
    Counts counts_;
};

}  // namespace talmiro_media
