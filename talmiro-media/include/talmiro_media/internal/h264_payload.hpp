// The structure of one H.264 RTP payload, read without state: a single NAL unit, an aggregation
// (STAP-A) or a fragment (FU-A), as views into the payload's bytes. The other packetizations
// (STAP-B, MTAP, FU-B) and the reserved types are refused, and so is any structure that runs
// past the payload's end or a NAL unit with a start code inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "talmiro_media/rtp_refusal.hpp"

namespace talmiro_media {

// The NAL units of a STAP-A body (its one-byte header excluded) that `parse_h264_payload`
// checked, each with its trailing zero bytes dropped.
class StapAUnits {
public:
    StapAUnits() = default;
    explicit StapAUnits(std::span<const std::uint8_t> body) noexcept : body_(body) {}

    class Iterator {
    public:
        explicit Iterator(std::span<const std::uint8_t> rest) noexcept : rest_(rest) {}
        std::span<const std::uint8_t> operator*() const noexcept;
        Iterator& operator++() noexcept {
            rest_ = rest_.subspan(2 + size());
            return *this;
        }
        bool operator==(const Iterator& other) const noexcept {
            return rest_.size() == other.rest_.size();
        }

    private:
        std::size_t size() const noexcept { return std::size_t{rest_[0]} << 8 | rest_[1]; }
        std::span<const std::uint8_t> rest_;
    };

    Iterator begin() const noexcept { return Iterator(body_); }
    Iterator end() const noexcept { return Iterator(body_.last(0)); }

private:
    std::span<const std::uint8_t> body_;
};

// One FU-A fragment: the header of the NAL unit it is part of (the indicator's F and NRI bits
// with the fragmented type) and its share of that unit's body.
struct FuAFragment {
    bool start = false;
    bool end = false;
    std::uint8_t type = 0;        // 1..23
    std::uint8_t nal_header = 0;  // what the first byte of the whole NAL unit is
    std::span<const std::uint8_t> data;
};

struct H264Payload {
    // Empty: padding only (the packet holds its sequence number and nothing else).
    enum class Kind : std::uint8_t { Empty, Single, StapA, FuA };
    Kind kind = Kind::Empty;
    // The whole payload.
    std::span<const std::uint8_t> bytes;
    // Single: the NAL unit, its trailing zero bytes dropped.
    std::span<const std::uint8_t> nal;
    StapAUnits stap;
    FuAFragment fu;
};

// Whether a NAL unit type is one of a plain NAL unit (1..23), as opposed to the payload-only
// aggregation and fragmentation types.
inline bool is_single_nal_type(std::uint8_t type) noexcept { return type >= 1 && type <= 23; }

// The payload read, or why it is refused (`StapB`, `Mtap`, `FuB`, `ReservedType`, `BadStapA`,
// `BadFuA`, `BadNal`). Every byte the views name lies inside `payload`.
std::expected<H264Payload, RtpRefusal> parse_h264_payload(
    std::span<const std::uint8_t> payload) noexcept;

}  // namespace talmiro_media
