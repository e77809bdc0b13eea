// The stateless reading of one H.264 RTP payload: single NAL unit, STAP-A or FU-A.
#include "talmiro_media/internal/h264_payload.hpp"

#include "byte_order.hpp"
#include "rtp_nal_types.hpp"
#include "talmiro_media/annexb.hpp"

namespace talmiro_media {

std::span<const std::uint8_t> StapAUnits::Iterator::operator*() const noexcept {
    return trim_nal(rest_.subspan(2, size()));
}

namespace {

using Parsed = std::expected<H264Payload, RtpRefusal>;

// A single NAL unit packet: the payload is the NAL unit, header included.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |F|NRI|  Type   |                                               |
//  +-+-+-+-+-+-+-+-+                                               |
//  |               Bytes 2..n of a single NAL unit                 |
//  |                               +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                               :...OPTIONAL RTP padding        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
Parsed single(std::span<const std::uint8_t> payload) noexcept {
    H264Payload p;
    p.kind = H264Payload::Kind::Single;
    p.nal = trim_nal(payload);
    if (!nal_emulation_free(p.nal)) return std::unexpected(RtpRefusal::BadNal);
    return p;
}

// STAP-A: after a one-byte header of type 24, one or more NAL units, each after its size in
// two bytes. Each must be a plain NAL unit (1..23), none empty, none past the end.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |F|NRI| Type=24 |         NALU 1 Size           | NALU 1 HDR    |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                         NALU 1 Data                           |
//  :                                                               :
//  +               +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |               | NALU 2 Size                   | NALU 2 HDR    |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                         NALU 2 Data                           |
//  :                                                               :
//  |                               +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                               :...OPTIONAL RTP padding        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
Parsed stap_a(std::span<const std::uint8_t> payload) noexcept {
    const auto body = payload.subspan(1);
    if (body.empty()) return std::unexpected(RtpRefusal::BadStapA);
    for (std::size_t i = 0; i < body.size();) {
        if (body.size() - i < 2) return std::unexpected(RtpRefusal::BadStapA);
        const std::size_t n = be16(body, i);
        i += 2;
        if (n == 0 || n > body.size() - i || !is_single_nal_type(body[i] & 0x1F))
            return std::unexpected(RtpRefusal::BadStapA);
        if (!nal_emulation_free(trim_nal(body.subspan(i, n))))
            return std::unexpected(RtpRefusal::BadNal);
        i += n;
    }
    H264Payload p;
    p.kind = H264Payload::Kind::StapA;
    p.stap = StapAUnits(body);
    return p;
}

// FU-A: an indicator of type 28 (the NAL unit's F and NRI bits), then a header with the start
// (S) and end (E) bits, a reserved bit and the fragmented unit's type, then its share of the
// unit's body (the unit's own header byte is not sent).
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  | FU indicator  |   FU header   |                               |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+                               |
//  |F|NRI| Type=28 |S|E|R|  Type   |        FU payload             |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+                               |
//  |                               +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                               :...OPTIONAL RTP padding        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
Parsed fu_a(std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() < 2 || !is_single_nal_type(payload[1] & 0x1F))
        return std::unexpected(RtpRefusal::BadFuA);
    H264Payload p;
    p.kind = H264Payload::Kind::FuA;
    const std::uint8_t header = payload[1];
    p.fu.start = (header & 0x80) != 0;
    p.fu.end = (header & 0x40) != 0;
    p.fu.type = header & 0x1F;
    p.fu.nal_header = static_cast<std::uint8_t>((payload[0] & 0xE0) | p.fu.type);
    p.fu.data = payload.subspan(2);
    return p;
}

}  // namespace

std::expected<H264Payload, RtpRefusal> parse_h264_payload(
    std::span<const std::uint8_t> payload) noexcept {
    if (payload.empty()) return H264Payload{};
    const std::uint8_t type = payload[0] & 0x1F;
    auto whole = [payload](Parsed p) {
        if (p) p->bytes = payload;
        return p;
    };
    if (is_single_nal_type(type)) return whole(single(payload));
    switch (type) {
        case kStapA: return whole(stap_a(payload));
        case kFuA: return whole(fu_a(payload));
        case kStapB: return std::unexpected(RtpRefusal::StapB);
        case kMtap16:
        case kMtap24: return std::unexpected(RtpRefusal::Mtap);
        case kFuB: return std::unexpected(RtpRefusal::FuB);
        default: return std::unexpected(RtpRefusal::ReservedType);
    }
}

}  // namespace talmiro_media
