// The receiver's SPS and PPS by id, and the parameter-set bytes a picture needs.
#include "talmiro_media/param_set_store.hpp"

#include <algorithm>
#include <array>

namespace talmiro_media {

namespace {

constexpr std::array<std::uint8_t, 4> kStartCode{0, 0, 0, 1};
constexpr std::size_t kSpsIds = 32;
constexpr std::size_t kPpsIds = 256;

void append_set(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal) {
    out.insert(out.end(), kStartCode.begin(), kStartCode.end());
    out.insert(out.end(), nal.begin(), nal.end());
}

// Replaces `slot` with `nal`; whether that changed it.
bool store(std::vector<std::uint8_t>& slot, std::span<const std::uint8_t> nal) {
    if (std::ranges::equal(slot, nal)) return false;
    slot.assign(nal.begin(), nal.end());
    return true;
}

}  // namespace

bool ParamSetStore::take(std::span<const std::uint8_t> data, std::span<const NalUnit> units,
                         bool& changed) {
    bool found = false;
    bool any_change = false;
    for (const NalUnit& unit : units) {
        if (unit.type != kNalSps && unit.type != kNalPps) continue;
        found = true;
        const std::span<const std::uint8_t> nal = data.subspan(unit.begin, unit.end - unit.begin);
        if (nal.size() > kMaxSetBytes) continue;
        if (unit.type == kNalSps) {
            const std::optional<SpsFacts> sps = parse_sps(nal);
            if (!sps) continue;
            sps_.resize(kSpsIds);
            if (!store(sps_[sps->id], nal)) continue;
        } else {
            const std::optional<PpsFacts> pps = parse_pps(nal);
            if (!pps) continue;
            pps_.resize(kPpsIds);
            if (!store(pps_[pps->id], nal)) continue;
        }
        facts_.learn(nal);
        any_change = true;
    }
    if (any_change) rebuild_all();
    changed = any_change;
    return found;
}

void ParamSetStore::rebuild_all() {
    std::vector<std::uint8_t> out;
    for (const auto& table : {&sps_, &pps_})
        for (const std::vector<std::uint8_t>& nal : *table)
            if (!nal.empty()) append_set(out, nal);
    all_ = std::move(out);
}

std::optional<std::vector<std::uint8_t>> ParamSetStore::for_pps(std::uint32_t pps_id) const {
    if (pps_id >= pps_.size() || pps_[pps_id].empty()) return std::nullopt;
    std::vector<std::uint8_t> out;
    if (const std::optional<PpsFacts> pps = facts_.pps(pps_id);
        pps && pps->sps_id < sps_.size() && !sps_[pps->sps_id].empty())
        append_set(out, sps_[pps->sps_id]);
    append_set(out, pps_[pps_id]);
    return out;
}

}  // namespace talmiro_media
