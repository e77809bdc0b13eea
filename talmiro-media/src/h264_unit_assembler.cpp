// H.264 access units from the payloads of one stream, with what was lost between them.
#include "talmiro_media/internal/h264_unit_assembler.hpp"

#include <algorithm>

namespace talmiro_media {

namespace {

// The start code written before a NAL unit: four bytes for the first of a unit and for
// parameter sets, three for the others.
constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

std::size_t start_code_size(bool first, std::uint8_t type) noexcept {
    return first || type == kNalSps || type == kNalPps ? 4 : 3;
}

}  // namespace

void H264UnitAssembler::start(std::uint32_t ssrc, bool unknown_start) noexcept {
    ssrc_ = ssrc;
    gap_ = unknown_start ? 1 : 0;
    last_marked_ = true;
}

void H264UnitAssembler::restart() noexcept {
    last_released_ts_.reset();
    markers_seen_ = false;
}

std::optional<std::uint32_t> H264UnitAssembler::cut_short_ts() const noexcept {
    if (unit_.active || last_marked_ || !markers_seen_ || gap_ != 0) return std::nullopt;
    return last_released_ts_;
}

bool H264UnitAssembler::late_for_released(std::uint32_t ts, RtpDepacketizerStats& stats) noexcept {
    // A unit let go before its end does not come out again under the same timestamp: what
    // arrives for it later is late, and nothing of it was lost between it and the next unit.
    if (unit_.active || last_marked_ || !last_released_ts_ || *last_released_ts_ != ts)
        return false;
    stats.packets_late += 1;
    gap_ = 0;
    return true;
}

void H264UnitAssembler::drop_fragment(RtpDepacketizerStats& stats, bool counted) noexcept {
    if (!unit_.fu_start) return;
    unit_.bytes.resize(*unit_.fu_start);
    unit_.fu_start.reset();
    unit_.ok = false;
    if (counted) stats.nals_dropped += 1;
}

void H264UnitAssembler::pass_gap(std::uint64_t n, RtpDepacketizerStats& stats) {
    gap_ += n;
    if (unit_.active) drop_fragment(stats);
}

void H264UnitAssembler::append_nal(std::span<const std::uint8_t> nal, RtpDepacketizerStats& stats) {
    const std::uint8_t type = nal[0] & 0x1F;
    const std::size_t code = start_code_size(unit_.bytes.empty(), type);
    if (unit_.bytes.size() + code + nal.size() > max_unit_bytes_) {
        stats.nals_dropped += 1;
        if (!unit_.oversized) stats.units_oversized += 1;
        unit_.oversized = true;
        unit_.ok = false;
        return;
    }
    const std::size_t at = unit_.bytes.size();
    unit_.bytes.insert(unit_.bytes.end(), kStartCode + (4 - code), kStartCode + 4);
    unit_.bytes.insert(unit_.bytes.end(), nal.begin(), nal.end());
    unit_.nals.push_back({at, at + code, unit_.bytes.size(), type});
}

void H264UnitAssembler::orphan_fragment(const FuAFragment& fu,
                                        RtpDepacketizerStats& stats) noexcept {
    // The fragment in progress, if any, is another NAL unit's: it cannot go on either. Counted
    // once per NAL unit: at its first fragment heard when nothing was amiss, or else at its end;
    // not again once counted (for the unit cap, or at that first one).
    const bool counted = !unit_.fu_dropped && (unit_.ok || fu.end);
    drop_fragment(stats, false);
    if (counted) stats.nals_dropped += 1;
    unit_.fu_dropped = !fu.end && (counted || unit_.fu_dropped);
    unit_.ok = false;
}

bool H264UnitAssembler::add_fragment(const FuAFragment& fu, bool marker,
                                     std::vector<RtpAccessUnit>& units,
                                     RtpDepacketizerStats& stats) {
    if (fu.start) {
        unit_.fu_dropped = false;
        drop_fragment(stats);
        const std::size_t code = start_code_size(unit_.bytes.empty(), fu.type);
        unit_.fu_start = unit_.bytes.size();
        unit_.fu_type = fu.type;
        unit_.bytes.insert(unit_.bytes.end(), kStartCode + (4 - code), kStartCode + 4);
        unit_.bytes.push_back(fu.nal_header);
    } else if (!unit_.fu_start || unit_.fu_type != fu.type) {
        orphan_fragment(fu, stats);
        if (marker) {
            markers_seen_ = true;
            finish(false, true, units, stats);
        }
        return false;
    }
    if (unit_.bytes.size() + fu.data.size() > max_unit_bytes_) {
        drop_fragment(stats);
        if (!unit_.oversized) stats.units_oversized += 1;
        unit_.oversized = true;
        unit_.fu_dropped = !fu.end;
    } else {
        unit_.bytes.insert(unit_.bytes.end(), fu.data.begin(), fu.data.end());
        if (fu.end) end_fragment(stats);
    }
    return true;
}

void H264UnitAssembler::end_fragment(RtpDepacketizerStats& stats) {
    const std::size_t at = *unit_.fu_start;
    const std::size_t code = unit_.bytes[at + 2] == 1 ? 3 : 4;
    while (unit_.bytes.back() == 0) unit_.bytes.pop_back();  // the header is not 0
    const auto nal = std::span<const std::uint8_t>(unit_.bytes).subspan(at + code);
    if (!nal_emulation_free(nal)) return drop_fragment(stats);
    unit_.nals.push_back({at, at + code, unit_.bytes.size(), unit_.fu_type});
    unit_.fu_start.reset();
}

void H264UnitAssembler::begin(std::uint32_t ts, std::int64_t arrival_us,
                              std::size_t payload_bytes) {
    // Its start is known when nothing was lost since the previous unit ended on its marker
    // packet or on a change of timestamp, or when the one packet lost was that unit's marker
    // packet. A unit let go before its end does not go on under the same timestamp.
    const bool same_ts = last_released_ts_ && *last_released_ts_ == ts;
    const bool clean = gap_ == 0 ? last_marked_ || !same_ts
                                 : gap_ == 1 && !last_marked_ && markers_seen_ && !same_ts;
    units_begun_ += 1;
    unit_.active = true;
    unit_.ts = ts;
    unit_.ok = clean;
    unit_.bytes.reserve(
        std::min(last_unit_bytes_ + last_unit_bytes_ / 4 + 2 * payload_bytes, max_unit_bytes_));
    unit_.first_arrival_us = arrival_us;
}

void H264UnitAssembler::add(const H264Payload& payload, std::uint32_t ts, bool marker,
                            std::int64_t arrival_us, bool recovered,
                            std::vector<RtpAccessUnit>& units, RtpDepacketizerStats& stats) {
    using Kind = H264Payload::Kind;
    if (payload.kind == Kind::Empty || late_for_released(ts, stats)) return;
    if (unit_.active && ts != unit_.ts) finish(unit_.ok && gap_ == 0, false, units, stats);
    if (!unit_.active) begin(ts, arrival_us, payload.bytes.size());
    else if (gap_ > 0) unit_.ok = false;
    gap_ = 0;
    unit_.last_arrival_us = arrival_us;
    unit_.recovered = unit_.recovered || recovered;

    if (payload.kind != Kind::FuA) {
        // A fragmented unit interrupted before its end fragment.
        unit_.fu_dropped = false;
        drop_fragment(stats);
    }
    if (payload.kind == Kind::Single) {
        append_nal(payload.nal, stats);
    } else if (payload.kind == Kind::StapA) {
        for (const auto nal : payload.stap) append_nal(nal, stats);
    } else if (!add_fragment(payload.fu, marker, units, stats)) {
        return;
    }
    if (marker) {
        markers_seen_ = true;
        finish(unit_.ok, true, units, stats);
    }
}

void H264UnitAssembler::give_up(std::vector<RtpAccessUnit>& units, RtpDepacketizerStats& stats) {
    if (unit_.active) finish(false, false, units, stats);
}

void H264UnitAssembler::finish(bool complete, bool marked, std::vector<RtpAccessUnit>& units,
                               RtpDepacketizerStats& stats) {
    drop_fragment(stats);
    RtpAccessUnit au;
    au.rtp_timestamp = unit_.ts;
    au.ssrc = ssrc_;
    au.first_arrival_us = unit_.first_arrival_us;
    au.last_arrival_us = unit_.last_arrival_us;
    au.complete = complete && unit_.ok;
    au.recovered = unit_.recovered;
    au.unit.t_us = unit_.last_arrival_us;
    last_unit_bytes_ = unit_.bytes.size();
    au.unit.data = SharedBytes(std::move(unit_.bytes));
    const AuFacts facts = au_facts(au.unit.bytes(), unit_.nals);
    au.unit.key = facts.key;
    au.unit.recovery = facts.recovery;
    au.unit.config = std::any_of(unit_.nals.begin(), unit_.nals.end(), [](const NalUnit& u) {
        return u.type == kNalSps || u.type == kNalPps;
    });
    (au.complete ? stats.units_complete : stats.units_incomplete) += 1;
    last_released_ts_ = unit_.ts;
    last_marked_ = marked;
    unit_ = Unit{};
    units.push_back(std::move(au));
}

}  // namespace talmiro_media
