// The receiver's round trip from NACK to retransmission, with bounded request bookkeeping.
#include "talmiro_media/nack_rtt.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace talmiro_media {

NackRtt::NackRtt(Config config) noexcept : config_(config) {
    config_.capacity = std::max<std::size_t>(config_.capacity, 1);
}

void NackRtt::forget_old(std::int64_t now_us) {
    const std::int64_t oldest = saturating_sub(now_us, config_.max_age_us);
    while (!requests_.empty() && requests_.front().sent_us < oldest) requests_.pop_front();
}

void NackRtt::nack_sent(std::span<const std::uint16_t> seqs, std::int64_t now_us) {
    forget_old(now_us);
    for (const std::uint16_t seq : seqs) {
        const auto it = std::find_if(requests_.begin(), requests_.end(),
                                     [seq](const Request& r) { return r.seq == seq; });
        if (it != requests_.end()) {
            if (saturating_sub(now_us, it->sent_us) > config_.copy_window_us) ++it->times;
            continue;
        }
        requests_.push_back({seq, 1, now_us});
        if (requests_.size() > config_.capacity) requests_.pop_front();
    }
}

std::optional<std::int64_t> NackRtt::retransmission(std::uint16_t seq, std::int64_t now_us) {
    forget_old(now_us);
    const auto it = std::find_if(requests_.begin(), requests_.end(),
                                 [seq](const Request& r) { return r.seq == seq; });
    if (it == requests_.end()) {
        ++counts_.unmatched;
        return std::nullopt;
    }
    const Request request = *it;
    requests_.erase(it);
    if (request.times > 1) {
        ++counts_.ambiguous;
        return std::nullopt;
    }
    const std::int64_t sample = std::max<std::int64_t>(saturating_sub(now_us, request.sent_us), 0);
    latest_ = sample;
    smoothed_ = smoothed_ ? *smoothed_ + (sample - *smoothed_) / 8 : sample;
    ++counts_.samples;
    return sample;
}

}  // namespace talmiro_media
