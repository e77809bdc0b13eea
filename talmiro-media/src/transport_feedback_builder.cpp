// Records transport-wide sequence numbers' arrivals and writes the feedback that reports them.
#include "talmiro_media/transport_feedback_builder.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace talmiro_media {

namespace {

constexpr std::int64_t kNotArrived = std::numeric_limits<std::int64_t>::min();
constexpr std::size_t kMaxWindow = 32768;
constexpr std::int64_t kReferenceWrap = std::int64_t{1} << 24;
constexpr std::int64_t kTimeLimit = std::int64_t{1} << 62;

// Rounded down (toward minus infinity).
std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if (a % b < 0) --q;
    return q;
}

}  // namespace

TransportFeedbackBuilder::Counts& TransportFeedbackBuilder::Counts::operator+=(
    const Counts& o) noexcept {
    arrivals += o.arrivals;
    duplicates += o.duplicates;
    too_old += o.too_old;
    dropped += o.dropped;
    restarts += o.restarts;
    feedback_packets += o.feedback_packets;
    return *this;
}

Result<TransportFeedbackBuilder> TransportFeedbackBuilder::create(
    const TransportFeedbackBuilderConfig& config) {
    if (config.max_statuses < 1 || config.max_statuses > kTransportFeedbackMaxStatuses)
        return std::unexpected(MediaError::unsupported(
            "transport-wide feedback: max_statuses must be 1..65535, got " +
            std::to_string(config.max_statuses)));
    if (config.window < 1 || config.window > kMaxWindow)
        return std::unexpected(MediaError::unsupported(
            "transport-wide feedback: window must be 1..32768, got " +
            std::to_string(config.window)));
    return TransportFeedbackBuilder(config);
}

std::int64_t TransportFeedbackBuilder::unwrap(std::uint16_t seq) const noexcept {
    const std::int64_t highest = end() - 1;
    const auto step = static_cast<std::int16_t>(seq - static_cast<std::uint16_t>(highest));
    return highest + step;
}

void TransportFeedbackBuilder::start_over(std::int64_t ext, std::int64_t arrival_us) {
    for (std::size_t i = 0; i < times_.size(); ++i)
        if (times_[i] != kNotArrived && begin_ + static_cast<std::int64_t>(i) >= report_from_)
            ++counts_.dropped;
    times_.assign(1, arrival_us);
    begin_ = ext;
    report_from_ = ext;
}

// Records an arrival at or past the end, forgetting the oldest numbers past the window.
void TransportFeedbackBuilder::extend_to(std::int64_t ext, std::int64_t arrival_us) {
    times_.insert(times_.end(), static_cast<std::size_t>(ext - end()), kNotArrived);
    times_.push_back(arrival_us);
    while (times_.size() > config_.window) {
        if (times_.front() != kNotArrived && begin_ >= report_from_) ++counts_.dropped;
        times_.pop_front();
        ++begin_;
    }
    report_from_ = std::max(report_from_, begin_);
}

void TransportFeedbackBuilder::packet_arrived(std::uint16_t seq, std::int64_t arrival_us) {
    ++counts_.arrivals;
    // Within ±2^62 µs (146,000 years), so that no difference of two overflows.
    arrival_us = std::clamp(arrival_us, -kTimeLimit, kTimeLimit);
    if (times_.empty()) {
        start_over(seq, arrival_us);
        pending_ = true;
        return;
    }
    const std::int64_t ext = unwrap(seq);
    const auto window = static_cast<std::int64_t>(config_.window);
    if (ext >= end()) {
        // So far ahead that everything held would leave the window: start over from it.
        if (ext - end() + 1 >= window) {
            ++counts_.restarts;
            start_over(ext, arrival_us);
        } else {
            extend_to(ext, arrival_us);
        }
    } else if (ext < begin_) {
        if (end() - ext > window) {
            ++counts_.too_old;
            return;
        }
        times_.insert(times_.begin(), static_cast<std::size_t>(begin_ - ext), kNotArrived);
        times_.front() = arrival_us;
        begin_ = ext;
        report_from_ = std::min(report_from_, ext);
    } else {
        std::int64_t& slot = times_[static_cast<std::size_t>(ext - begin_)];
        if (slot != kNotArrived) {
            ++counts_.duplicates;
            return;
        }
        slot = arrival_us;
        report_from_ = std::min(report_from_, ext);
    }
    pending_ = true;
}

RtcpTransportFeedback TransportFeedbackBuilder::build_one(std::int64_t& from) {
    const std::int64_t stop =
        std::min(end(), from + static_cast<std::int64_t>(config_.max_statuses));
    RtcpTransportFeedback fb{config_.sender_ssrc, config_.media_ssrc,
                             static_cast<std::uint16_t>(from), 0, feedback_count_++, {}};
    const auto time_at = [&](std::int64_t ext) {
        return times_[static_cast<std::size_t>(ext - begin_)];
    };
    // The reference: the first arrival's time in 64 ms units (none arrived: any will do).
    std::int64_t reference = 0;
    for (std::int64_t ext = from; ext < stop; ++ext)
        if (time_at(ext) != kNotArrived) {
            reference = floor_div(time_at(ext), kTransportFeedbackReferenceUs);
            break;
        }
    fb.reference_time = static_cast<std::uint32_t>(
        ((reference % kReferenceWrap) + kReferenceWrap) % kReferenceWrap);
    const std::int64_t reference_us = reference * kTransportFeedbackReferenceUs;
    std::int64_t previous = 0;
    for (; from < stop; ++from) {
        TransportFeedbackStatus status{static_cast<std::uint16_t>(from), {}};
        if (const std::int64_t t = time_at(from); t != kNotArrived) {
            const std::int64_t ticks = floor_div(t - reference_us, kTransportFeedbackDeltaUs);
            const std::int64_t step = ticks - previous;
            if ((step < -0x8000 || step > 0x7FFF) && !fb.statuses.empty()) break;
            previous = ticks;
            status.arrival_us = ticks * kTransportFeedbackDeltaUs;
        }
        fb.statuses.push_back(status);
    }
    return fb;
}

std::vector<RtcpTransportFeedback> TransportFeedbackBuilder::build() {
    std::vector<RtcpTransportFeedback> out;
    if (!pending_) return out;
    std::int64_t from = std::max(report_from_, begin_);
    while (from < end()) out.push_back(build_one(from));
    counts_.feedback_packets += out.size();
    report_from_ = end();
    pending_ = false;
    return out;
}

}  // namespace talmiro_media
