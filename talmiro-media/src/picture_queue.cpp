// The bounded picture queue between a receiving thread and the application.
#include "talmiro_media/picture_queue.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace talmiro_media {

PictureQueue::PictureQueue(Config config) : config_(config) {
    config_.capacity = std::max<std::size_t>(config_.capacity, 1);
    config_.stamps = std::max<std::size_t>(config_.stamps, 1);
}

void PictureQueue::stamp(std::int64_t t_us, Stamp stamp) {
    std::lock_guard<std::mutex> held(mutex_);
    stamps_.emplace_back(t_us, stamp);
    if (stamps_.size() > config_.stamps) stamps_.pop_front();
}

std::optional<PictureQueue::Stamp> PictureQueue::stamp_of(std::int64_t t_us) const {
    std::lock_guard<std::mutex> held(mutex_);
    // The newest first: a picture is looked up soon after its unit was stamped, and a time
    // stamped twice (a stream started over) means its latest unit.
    const auto it = std::find_if(stamps_.rbegin(), stamps_.rend(),
                                 [t_us](const auto& s) { return s.first == t_us; });
    if (it == stamps_.rend()) return std::nullopt;
    return it->second;
}

void PictureQueue::push(std::vector<SharedImage>&& pictures, std::int64_t now_wall_us) {
    if (pictures.empty()) return;
    {
        std::lock_guard<std::mutex> held(mutex_);
        for (SharedImage& pic : pictures) {
            if (!pic) continue;
            counts_.pictures += 1;
            if (pic->recovering) counts_.flagged += 1;
            const auto it = std::find_if(stamps_.rbegin(), stamps_.rend(),
                                         [&](const auto& s) { return s.first == pic->t_us; });
            if (it != stamps_.rend() && it->second.exact && config_.latencies > 0) {
                latencies_.push_back(now_wall_us - pic->t_us);
                if (latencies_.size() > config_.latencies) latencies_.pop_front();
            }
            if (pictures_.size() >= config_.capacity) {
                pictures_.pop_front();
                counts_.dropped += 1;
            }
            pictures_.push_back(std::move(pic));
        }
    }
    ready_.notify_all();
}

std::vector<SharedImage> PictureQueue::take(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> held(mutex_);
    const auto ready = [this] { return closed_ || !pictures_.empty(); };
    // No deadline is waited for as such: the far ends of the clock's range do not convert to
    // the system's time values everywhere.
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        ready_.wait(held, ready);
    } else if (!ready() && deadline > std::chrono::steady_clock::now()) {
        ready_.wait_until(held, deadline, ready);
    }
    std::vector<SharedImage> out(std::make_move_iterator(pictures_.begin()),
                                 std::make_move_iterator(pictures_.end()));
    pictures_.clear();
    return out;
}

void PictureQueue::close() {
    {
        std::lock_guard<std::mutex> held(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool PictureQueue::closed() const {
    std::lock_guard<std::mutex> held(mutex_);
    return closed_;
}

PictureQueue::Counts PictureQueue::counts() const {
    std::lock_guard<std::mutex> held(mutex_);
    return counts_;
}

std::vector<std::int64_t> PictureQueue::latencies() const {
    std::lock_guard<std::mutex> held(mutex_);
    return {latencies_.begin(), latencies_.end()};
}

std::optional<PictureQueue::Latency> PictureQueue::latency() const {
    std::vector<std::int64_t> lat = latencies();
    if (lat.empty()) return std::nullopt;
    const auto at = [&](double q) {
        const auto k = std::min(lat.size() - 1, static_cast<std::size_t>(q * lat.size()));
        std::nth_element(lat.begin(), lat.begin() + static_cast<std::ptrdiff_t>(k), lat.end());
        return lat[k];
    };
    const double mean = std::accumulate(lat.begin(), lat.end(), 0.0) / lat.size();
    const std::int64_t p50 = at(0.50);
    const std::int64_t p99 = at(0.99);
    return Latency{p50, p99, mean};
}

}  // namespace talmiro_media
