// A path with a bottleneck, in simulated time, for driving the rate controller: a sender that
// makes pictures at the controller's target (30 a second, cut into packets of up to 1,200
// bytes) and paces them out at 2.5 times the target; a link whose capacity follows a schedule,
// behind a drop-tail queue holding `queue_us` of data at the current capacity; random loss
// after the queue (loss that is not congestion); a one-way delay each way; a receiver that
// answers with transport-wide feedback every `feedback_interval_us`, or only with receiver
// reports every `report_interval_us`. Time steps by `tick_us`; 100 s run in tens of ms.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

#include "talmiro_media/packet_feedback.hpp"
#include "talmiro_media/rate_controller.hpp"

namespace bottleneck_sim {

using talmiro_media::PacketFeedback;
using talmiro_media::RateController;

// From `at_us` on, the link carries `bps` (0: no cap).
struct CapacityStep {
    std::int64_t at_us = 0;
    std::int64_t bps = 0;
};

struct Config {
    std::vector<CapacityStep> capacity{{0, 0}};
    std::int64_t queue_us = 300'000;
    std::int64_t one_way_us = 50'000;
    double random_loss = 0.0;
    std::uint32_t seed = 1;
    bool transport_feedback = true;
    std::int64_t feedback_interval_us = 75'000;
    std::int64_t report_interval_us = 1'000'000;
    double frame_rate = 30.0;
    std::size_t packet_bytes = 1200;
    double pacing_factor = 2.5;
    std::int64_t tick_us = 250;
    // The receiver's clock is this far from the sender's.
    std::int64_t receiver_clock_offset_us = 7'000'000'000;
};

struct SentPacket {
    std::int64_t send_us = 0;
    std::size_t bytes = 0;
    std::int64_t enter_us = 0;
    // Time spent in the bottleneck's queue and on its link.
    std::int64_t queue_us = 0;
    // On the simulation's clock; absent when dropped or lost.
    std::optional<std::int64_t> arrival_us;
};

inline double bits_of(const SentPacket& p) { return 8.0 * static_cast<double>(p.bytes); }

// What `bps` carries in `us`.
inline double bits_in(std::int64_t bps, std::int64_t us) {
    return static_cast<double>(bps) * static_cast<double>(us) / 1e6;
}

struct Sample {
    std::int64_t at_us = 0;
    std::int64_t target_bps = 0;
    std::int64_t capacity_bps = 0;
};

struct Trace {
    std::vector<SentPacket> packets;
    std::vector<Sample> samples;

    double sent_bps(std::int64_t from_us, std::int64_t to_us) const {
        double bits = 0;
        for (const SentPacket& p : packets) {
            if (p.send_us >= from_us && p.send_us < to_us) bits += bits_of(p);
        }
        return bits * 1e6 / static_cast<double>(to_us - from_us);
    }
    double delivered_bps(std::int64_t from_us, std::int64_t to_us) const {
        double bits = 0;
        for (const SentPacket& p : packets) {
            const bool in = p.arrival_us && *p.arrival_us >= from_us && *p.arrival_us < to_us;
            if (in) bits += bits_of(p);
        }
        return bits * 1e6 / static_cast<double>(to_us - from_us);
    }
    // The queueing delay of the packets sent in the window, at quantile `q` (0..1).
    std::int64_t queue_quantile_us(std::int64_t from_us, std::int64_t to_us, double q) const {
        std::vector<std::int64_t> delays;
        for (const SentPacket& p : packets) {
            if (p.arrival_us && p.send_us >= from_us && p.send_us < to_us) {
                delays.push_back(p.queue_us);
            }
        }
        if (delays.empty()) return 0;
        std::sort(delays.begin(), delays.end());
        return delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))];
    }
    // How long after `from_us` the last packet sent before `to_us` waited `limit_us` or more
    // (0 if none did).
    std::int64_t settled_after_us(std::int64_t from_us, std::int64_t to_us,
                                  std::int64_t limit_us) const {
        std::int64_t last = from_us;
        for (const SentPacket& p : packets) {
            if (p.send_us >= from_us && p.send_us < to_us && p.queue_us >= limit_us) {
                last = p.send_us;
            }
        }
        return last - from_us;
    }
    double lost_share(std::int64_t from_us, std::int64_t to_us) const {
        double sent = 0, lost = 0;
        for (const SentPacket& p : packets) {
            if (p.send_us < from_us || p.send_us >= to_us) continue;
            ++sent;
            if (!p.arrival_us) ++lost;
        }
        return sent > 0 ? lost / sent : 0.0;
    }
    // The first time at or after `from_us` the target was at least `bps`.
    std::optional<std::int64_t> target_reached_us(std::int64_t from_us, std::int64_t bps) const {
        for (const Sample& s : samples) {
            if (s.at_us >= from_us && s.target_bps >= bps) return s.at_us;
        }
        return std::nullopt;
    }
    std::int64_t min_target_bps(std::int64_t from_us, std::int64_t to_us) const {
        std::int64_t low = INT64_MAX;
        for (const Sample& s : samples) {
            if (s.at_us >= from_us && s.at_us < to_us) low = std::min(low, s.target_bps);
        }
        return low;
    }
    std::int64_t max_target_bps(std::int64_t from_us, std::int64_t to_us) const {
        std::int64_t high = 0;
        for (const Sample& s : samples) {
            if (s.at_us >= from_us && s.at_us < to_us) high = std::max(high, s.target_bps);
        }
        return high;
    }
};

class SimulatedBottleneck {
public:
    explicit SimulatedBottleneck(Config config) : config_(std::move(config)), rng_(config_.seed) {}

    Trace run(RateController& controller, std::int64_t duration_us) {
        for (std::int64_t t = 0; t < duration_us; t += config_.tick_us) {
            const std::int64_t target = controller.target_bps();
            make_picture(t, target);
            pace(t, target);
            drain(t);
            receive(t);
            answer(t);
            hand_over(t, controller);
            if (t % 100'000 == 0) {
                trace_.samples.push_back({t, controller.target_bps(), capacity(t)});
            }
        }
        return std::move(trace_);
    }

    std::int64_t capacity(std::int64_t t) const {
        std::int64_t bps = 0;
        for (const CapacityStep& s : config_.capacity) {
            if (s.at_us <= t) bps = s.bps;
        }
        return bps;
    }

private:
    struct Message {
        std::int64_t at_us = 0;
        std::vector<PacketFeedback> feedback;
        std::uint8_t fraction_lost = 0;
        std::int64_t rtt_us = 0;
    };

    void make_picture(std::int64_t t, std::int64_t target) {
        if (t < next_picture_us_) return;
        next_picture_us_ += static_cast<std::int64_t>(1e6 / config_.frame_rate);
        const auto bytes =
            static_cast<std::size_t>(static_cast<double>(target) / 8.0 / config_.frame_rate);
        const std::size_t max = config_.packet_bytes;
        const std::size_t count = std::max<std::size_t>((bytes + max - 1) / max, 1);
        for (std::size_t i = 0; i < count; ++i) {
            pacer_.push_back(trace_.packets.size());
            SentPacket packet;
            packet.bytes = std::max<std::size_t>(bytes / count, 100);
            trace_.packets.push_back(packet);
        }
    }

    void pace(std::int64_t t, std::int64_t target) {
        if (pacer_.empty()) next_send_us_ = std::max(next_send_us_, t);
        while (!pacer_.empty() && next_send_us_ <= t) {
            SentPacket& p = trace_.packets[pacer_.front()];
            p.send_us = t;
            enter(pacer_.front(), t);
            pacer_.pop_front();
            const double pace_bps = config_.pacing_factor * static_cast<double>(target);
            next_send_us_ += static_cast<std::int64_t>(bits_of(p) * 1e6 / pace_bps);
        }
    }

    void enter(std::size_t seq, std::int64_t t) {
        SentPacket& p = trace_.packets[seq];
        p.enter_us = t;
        const std::int64_t cap = capacity(t);
        if (cap == 0) return leave(seq, t);
        const double limit_bits = bits_in(cap, config_.queue_us);
        const double bits = bits_of(p);
        if (backlog_bits_ + bits > limit_bits) return;  // dropped at the tail
        backlog_bits_ += bits;
        queue_.push_back(seq);
    }

    void drain(std::int64_t t) {
        const std::int64_t cap = capacity(t);
        if (queue_.empty()) {
            credit_bits_ = 0;
            return;
        }
        credit_bits_ += cap == 0 ? 1e18 : bits_in(cap, config_.tick_us);
        while (!queue_.empty()) {
            const double bits = bits_of(trace_.packets[queue_.front()]);
            if (bits > credit_bits_) break;
            credit_bits_ -= bits;
            backlog_bits_ -= bits;
            leave(queue_.front(), t);
            queue_.pop_front();
        }
    }

    void leave(std::size_t seq, std::int64_t t) {
        SentPacket& p = trace_.packets[seq];
        p.queue_us = t - p.enter_us;
        if (config_.random_loss > 0 &&
            std::uniform_real_distribution<double>(0, 1)(rng_) < config_.random_loss) {
            return;
        }
        p.arrival_us = t + config_.one_way_us;
        in_flight_.push_back(seq);
    }

    void receive(std::int64_t t) {
        while (!in_flight_.empty() && *trace_.packets[in_flight_.front()].arrival_us <= t) {
            highest_ = in_flight_.front();
            ++received_;
            in_flight_.pop_front();
        }
    }

    void answer(std::int64_t t) {
        if (!highest_) return;
        if (config_.transport_feedback && t >= next_feedback_us_) send_feedback(t);
        if (!config_.transport_feedback && t >= next_report_us_) send_report(t);
    }

    void send_feedback(std::int64_t t) {
        next_feedback_us_ = t + config_.feedback_interval_us;
        Message m{t + config_.one_way_us, {}, 0, 0};
        for (std::size_t seq = next_report_; seq <= *highest_; ++seq) {
            const SentPacket& p = trace_.packets[seq];
            std::optional<std::int64_t> arrival;
            if (p.arrival_us) arrival = *p.arrival_us + config_.receiver_clock_offset_us;
            m.feedback.push_back({p.send_us, arrival, p.bytes});
        }
        next_report_ = *highest_ + 1;
        if (!m.feedback.empty()) messages_.push_back(std::move(m));
    }

    // The loss since the last report, and a round trip that has the queue in it.
    void send_report(std::int64_t t) {
        next_report_us_ = t + config_.report_interval_us;
        const double expected = static_cast<double>(*highest_ + 1 - report_base_);
        const double lost = std::max(expected - static_cast<double>(received_), 0.0);
        const double fraction = std::min(255.0, 256.0 * lost / std::max(expected, 1.0));
        const std::int64_t cap = capacity(t);
        const double queue_us = cap ? backlog_bits_ * 1e6 / static_cast<double>(cap) : 0.0;
        messages_.push_back({t + config_.one_way_us, {}, static_cast<std::uint8_t>(fraction),
                             2 * config_.one_way_us + static_cast<std::int64_t>(queue_us)});
        report_base_ = *highest_ + 1;
        received_ = 0;
    }

    void hand_over(std::int64_t t, RateController& controller) {
        while (!messages_.empty() && messages_.front().at_us <= t) {
            const Message& m = messages_.front();
            if (config_.transport_feedback) {
                controller.on_transport_feedback(m.feedback, t);
            } else {
                controller.on_receiver_report(m.fraction_lost, m.rtt_us, t);
            }
            messages_.pop_front();
        }
    }

    Config config_;
    std::mt19937 rng_;
    Trace trace_;
    std::deque<std::size_t> pacer_;
    std::deque<std::size_t> queue_;
    std::deque<std::size_t> in_flight_;
    std::deque<Message> messages_;
    std::int64_t next_picture_us_ = 0;
    std::int64_t next_send_us_ = 0;
    double backlog_bits_ = 0;
    double credit_bits_ = 0;
    std::optional<std::size_t> highest_;
    std::size_t next_report_ = 0;
    std::size_t report_base_ = 0;
    std::size_t received_ = 0;
    std::int64_t next_feedback_us_ = 0;
    std::int64_t next_report_us_ = 0;
};

}  // namespace bottleneck_sim
