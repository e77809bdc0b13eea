// REMB packets: the estimated bitrate as exponent and mantissa, and the SSRCs it is for.
#include "byte_order.hpp"
#include "rtcp_packet_io.hpp"

namespace talmiro_media::rtcp_io {

namespace {

// The common feedback header, the identifier, then the count, exponent and mantissa.
constexpr std::size_t kIdentifierAt = 12;
constexpr std::size_t kRembFixed = 20;
constexpr unsigned kMantissaBits = 18;

}  // namespace

// Payload-specific feedback of format 15 whose FCI starts with "REMB":
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P| FMT=15  |   PT=206      |             length            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                  SSRC of packet sender                        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                  SSRC of media source (0)                     |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  Unique identifier 'R' 'E' 'M' 'B'                            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  Num SSRC     | BR Exp    |  BR Mantissa                      |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |   SSRC feedback                                               |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  ...                                                          |
//
// The bitrate is the mantissa times 2^exponent bits per second.
Refusal read_application(std::span<const std::uint8_t> p, std::vector<RtcpPacket>& out,
                         RtcpCounts& counts) {
    if (p.size() < kIdentifierAt + 4 || be32(p, kIdentifierAt) != kRembIdentifier) {
        ++counts.unknown_feedback;
        return nullptr;
    }
    if (p.size() < kRembFixed) return &RtcpCounts::too_short;
    const std::size_t n = p[16];
    if (kRembFixed + 4 * n > p.size()) return &RtcpCounts::count_past_end;
    if (kRembFixed + 4 * n < p.size()) return &RtcpCounts::malformed;
    const unsigned exponent = p[17] >> 2;
    const std::uint64_t mantissa = std::uint64_t{p[17] & 3u} << 16 | be16(p, 18);
    if (exponent > 0 && mantissa >> (64 - exponent) != 0) return &RtcpCounts::malformed;
    RtcpRemb remb{be32(p, 4), be32(p, 8), mantissa << exponent, {}};
    remb.ssrcs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) remb.ssrcs.push_back(be32(p, kRembFixed + 4 * i));
    out.emplace_back(std::move(remb));
    return nullptr;
}

Result<void> write_remb(std::vector<std::uint8_t>& out, const RtcpRemb& remb) {
    if (remb.ssrcs.size() > kRembMaxSsrcs)
        return std::unexpected(MediaError::unsupported(
            "rtcp: a REMB of " + std::to_string(remb.ssrcs.size()) + " SSRCs, at most 255"));
    unsigned exponent = 0;
    while (remb.bitrate_bps >> exponent >= std::uint64_t{1} << kMantissaBits) ++exponent;
    const auto mantissa = static_cast<std::uint32_t>(remb.bitrate_bps >> exponent);
    put8(out, 0x80 | kRtcpFmtApplication);
    put8(out, kRtcpPsfb);
    put16(out, 0);  // the length, filled in by append_rtcp
    put32(out, remb.sender_ssrc);
    put32(out, remb.media_ssrc);
    put32(out, kRembIdentifier);
    put32(out, static_cast<std::uint32_t>(remb.ssrcs.size()) << 24 | exponent << 18 | mantissa);
    for (const std::uint32_t ssrc : remb.ssrcs) put32(out, ssrc);
    return {};
}

}  // namespace talmiro_media::rtcp_io
