// Access units from the H.264 payloads of one stream, handed over in sequence order with the
// gaps between them: Annex-B with start codes, each unit marked complete or not. A NAL unit that
// lost a fragment is left out whole; so is one that would carry the unit past its byte cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/internal/h264_payload.hpp"
#include "talmiro_media/rtp_access_unit.hpp"
#include "talmiro_media/rtp_depacketizer_stats.hpp"

namespace talmiro_media {

class H264UnitAssembler {
public:
    explicit H264UnitAssembler(std::size_t max_unit_bytes) noexcept
        : max_unit_bytes_(max_unit_bytes) {}

    // A new stream of `ssrc` starts; `unknown_start` when what came before its first packet may
    // have begun that packet's unit (it then comes out incomplete).
    void start(std::uint32_t ssrc, bool unknown_start) noexcept;
    // The stream ended: what the previous one showed says nothing of the next.
    void restart() noexcept;

    // The payload of the packet next in sequence, of RTP timestamp `ts`. Units it ends go to
    // `units`; what it drops and passes on is counted in `stats`.
    void add(const H264Payload& payload, std::uint32_t ts, bool marker, std::int64_t arrival_us,
             bool recovered, std::vector<RtpAccessUnit>& units, RtpDepacketizerStats& stats);
    // `n` sequence numbers were lost before the next packet: a fragmented NAL unit cannot go on
    // across them.
    void pass_gap(std::uint64_t n, RtpDepacketizerStats& stats);
    // Passes on the unit being assembled, if any, as incomplete.
    void give_up(std::vector<RtpAccessUnit>& units, RtpDepacketizerStats& stats);

    bool active() const noexcept { return unit_.active; }
    // Counts the units begun, so that a caller can tell the unit it knows from a later one.
    std::uint64_t unit_number() const noexcept { return units_begun_; }
    std::int64_t last_arrival_us() const noexcept { return unit_.last_arrival_us; }
    std::size_t pending_bytes() const noexcept { return unit_.bytes.size(); }
    // Some packet of the stream carried the marker bit.
    bool markers_seen() const noexcept { return markers_seen_; }
    // The timestamp of the last unit when it was let go without its marker packet and nothing
    // was lost since: the one sequence number after it was that marker packet.
    std::optional<std::uint32_t> cut_short_ts() const noexcept;

private:
    struct Unit {
        bool active = false;
        std::uint32_t ts = 0;
        bool ok = true;
        bool recovered = false;
        std::int64_t first_arrival_us = 0;
        std::int64_t last_arrival_us = 0;
        std::vector<std::uint8_t> bytes;
        std::vector<NalUnit> nals;
        // An FU-A in progress: where its start code begins in `bytes`.
        std::optional<std::size_t> fu_start;
        std::uint8_t fu_type = 0;
        // Some NAL unit did not fit `max_unit_bytes`.
        bool oversized = false;
        // A fragmented NAL unit left out (counted) whose remaining fragments are still coming.
        bool fu_dropped = false;
    };

    void begin(std::uint32_t ts, std::int64_t arrival_us, std::size_t payload_bytes);
    // A packet at the release point for a unit already passed on incomplete: counted late.
    bool late_for_released(std::uint32_t ts, RtpDepacketizerStats& stats) noexcept;
    // Leaves out the fragmented NAL unit in progress, if any: the unit is damaged, and the loss
    // counted when `counted`.
    void drop_fragment(RtpDepacketizerStats& stats, bool counted = true) noexcept;
    void append_nal(std::span<const std::uint8_t> nal, RtpDepacketizerStats& stats);
    // An FU-A fragment; false when it ended the unit already.
    bool add_fragment(const FuAFragment& fu, bool marker, std::vector<RtpAccessUnit>& units,
                      RtpDepacketizerStats& stats);
    // A fragment whose NAL unit's start was not heard.
    void orphan_fragment(const FuAFragment& fu, RtpDepacketizerStats& stats) noexcept;
    // The end fragment of the fragmented NAL unit in progress has come: it is whole.
    void end_fragment(RtpDepacketizerStats& stats);
    // Passes the unit on; `marked` when its marker packet ended it.
    void finish(bool complete, bool marked, std::vector<RtpAccessUnit>& units,
                RtpDepacketizerStats& stats);

    std::size_t max_unit_bytes_;
    std::uint32_t ssrc_ = 0;
    Unit unit_;
    std::uint64_t units_begun_ = 0;
    // Sequence numbers lost since the last packet used.
    std::uint64_t gap_ = 0;
    // The last unit ended on a packet with the marker bit (or the stream just started).
    bool last_marked_ = true;
    bool markers_seen_ = false;
    std::optional<std::uint32_t> last_released_ts_;
    // Bytes of the last unit passed on: room a new unit's bytes start with, so that a picture's
    // bytes are not moved again at every doubling of their buffer as its packets come.
    std::size_t last_unit_bytes_ = 0;
};

}  // namespace talmiro_media
