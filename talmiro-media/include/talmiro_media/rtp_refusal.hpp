// Why the RTP receiver refused a datagram: its header, its source, its sequence number or its
// H.264 payload structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talmiro_media {

// Why a datagram was refused.
enum class RtpRefusal : std::uint8_t {
    Truncated,        // shorter than its header, CSRC list, extension or padding say
    BadVersion,       // RTP version other than 2
    BadPadding,       // a padding count of 0 or past the payload
    WrongPayloadType, // neither the media nor the retransmission payload type
    ForeignSsrc,      // another stream while the current one is alive
    SeqJump,          // a sequence number far from the stream's, not (yet) confirmed by the next
    StapB,            // NAL type 25
    Mtap,             // NAL types 26 and 27
    FuB,              // NAL type 29
    ReservedType,     // NAL types 0, 30 and 31
    BadStapA,         // an aggregated unit empty, of an aggregation type, or past the end
    BadFuA,           // shorter than its two headers, or fragmenting a type other than 1..23
    BadNal,           // a NAL unit holding 00 00 00, 00 00 01 or 00 00 02 (a start code inside)
    Count_,
};
inline constexpr std::size_t kRtpRefusalCount = static_cast<std::size_t>(RtpRefusal::Count_);

// "truncated", "bad_version", "bad_padding", "wrong_payload_type", "foreign_ssrc", "seq_jump",
// "stap_b", "mtap", "fu_b", "reserved_type", "bad_stap_a", "bad_fu_a", "bad_nal".
std::string_view rtp_refusal_name(RtpRefusal cause) noexcept;

}  // namespace talmiro_media
