// The sender's record of the packets stamped with a transport-wide sequence number.
#include "talmiro_media/sent_packet_log.hpp"

#include <algorithm>
#include <limits>

namespace talmiro_media {

namespace {

constexpr std::int64_t kReferenceModulo = std::int64_t{1} << 24;

}  // namespace

SentPacketLog::SentPacketLog(std::int64_t max_age_us)
    : max_age_us_(max_age_us), entries_(std::size_t{1} << 16) {}

void SentPacketLog::sent(std::uint16_t seq, std::size_t bytes, std::int64_t send_us) {
    const auto size = static_cast<std::uint32_t>(
        std::min<std::size_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
    entries_[seq] = Entry{send_us, size, true};
    counts_.recorded += 1;
}

std::int64_t SentPacketLog::reference_us(std::uint32_t reference_time) noexcept {
    const std::int64_t wire = std::int64_t{reference_time} % kReferenceModulo;
    std::int64_t unwrapped = wire;
    if (reference_) {
        // The step from the newest one, taken modulo 2^24 into -2^23 .. 2^23-1.
        std::int64_t step = (wire - *reference_ % kReferenceModulo + kReferenceModulo) %
                            kReferenceModulo;
        if (step >= kReferenceModulo / 2) step -= kReferenceModulo;
        unwrapped = *reference_ + step;
    }
    if (!reference_ || unwrapped > *reference_) reference_ = unwrapped;
    return unwrapped * kTransportFeedbackReferenceUs;
}

void SentPacketLog::feedback_of(const RtcpTransportFeedback& feedback, std::int64_t now_us,
                                std::vector<PacketFeedback>& out) {
    out.clear();
    const std::int64_t reference = reference_us(feedback.reference_time);
    for (const TransportFeedbackStatus& status : feedback.statuses) {
        counts_.reported += 1;
        const Entry& e = entries_[status.seq];
        if (!e.used || now_us - e.send_us > max_age_us_ || e.send_us > now_us) {
            counts_.unknown += 1;
            continue;
        }
        std::optional<std::int64_t> arrival;
        if (status.arrival_us) arrival = reference + *status.arrival_us;
        out.push_back(PacketFeedback{e.send_us, arrival, e.bytes});
    }
    std::stable_sort(out.begin(), out.end(), [](const PacketFeedback& a, const PacketFeedback& b) {
        return a.send_us < b.send_us;
    });
}

}  // namespace talmiro_media
