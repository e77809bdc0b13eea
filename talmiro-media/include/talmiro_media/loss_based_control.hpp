// The loss-based rate: loss below `low` (2 %) is not congestion and the rate grows by
// `growth` (5 %) per report; above `high` (10 %) the path drops what it cannot carry and the
// rate becomes rate x (1 - loss / 2); in between it holds. It works from the rate the sender
// sends now (the lower of its own and the final target), so that it never grows ahead of
// what was sent unseen; the first report starts from what is sent. Cuts are at least a round
// trip plus `cut_interval_us` apart: the reports that follow a cut still count the loss from
// before it.
#pragma once

#include <cstdint>
#include <optional>

namespace talmiro_media {

class LossBasedControl {
public:
    struct Tuning {
        double low = 0.02;
        double high = 0.10;
        double growth = 0.05;
        std::int64_t cut_interval_us = 300'000;
    };

    LossBasedControl(std::int64_t start_bps, std::int64_t min_bps, std::int64_t max_bps,
                     Tuning tuning) noexcept;

    // A loss fraction (0..1) measured over a report's packets, with the target the sender
    // uses now; returns the loss-based rate.
    std::int64_t update(double loss, std::int64_t sending_bps, std::int64_t rtt_us,
                        std::int64_t now_us) noexcept;

    std::int64_t bitrate_bps() const noexcept { return rate_; }
    // Whether a loss fraction was taken yet.
    bool judged() const noexcept { return judged_; }

private:
    Tuning tuning_;
    std::int64_t min_bps_;
    std::int64_t max_bps_;
    std::int64_t rate_;
    std::optional<std::int64_t> last_cut_us_;
    bool judged_ = false;
};

}  // namespace talmiro_media
