// The receiver's parameter sets: every SPS and PPS of a stream kept by id, as the decoding
// process keeps them, so that sets arriving in access units of their own, or one at a time,
// still make a later picture decodable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "talmiro_media/annexb.hpp"

namespace talmiro_media {

class ParamSetStore {
public:
    // A set longer than this is not kept (a real one is a few hundred bytes at most), so the
    // store never holds more than 288 of them.
    static constexpr std::size_t kMaxSetBytes = 4096;

    // Keeps every SPS and PPS NAL unit of `data` (`units` is its walk) whose id can be read; a
    // later one of the same id replaces the earlier. Returns whether `data` carried any SPS or
    // PPS, and sets `changed` when a kept set is new or differs from the one it replaced.
    bool take(std::span<const std::uint8_t> data, std::span<const NalUnit> units, bool& changed);

    // Every set kept: the SPS by id, then the PPS by id, each behind a four-byte start code.
    // Absent while none is kept.
    const std::optional<std::vector<std::uint8_t>>& all() const noexcept { return all_; }
    // What a picture whose slices name PPS `pps_id` needs: that PPS behind its SPS (when
    // known), in the layout of `all`; absent when the PPS is not kept.
    std::optional<std::vector<std::uint8_t>> for_pps(std::uint32_t pps_id) const;
    // The parsed facts of the kept sets.
    const ParamSetFacts& facts() const noexcept { return facts_; }

private:
    void rebuild_all();

    // By id (32 SPS, 256 PPS): the NAL unit without its start code. Allocated with the first
    // set, so an empty store costs nothing.
    std::vector<std::vector<std::uint8_t>> sps_;
    std::vector<std::vector<std::uint8_t>> pps_;
    ParamSetFacts facts_;
    std::optional<std::vector<std::uint8_t>> all_;
};

}  // namespace talmiro_media
