// The names of the RTP receiver's refusals, as its counters are keyed.
#include "talmiro_media/rtp_refusal.hpp"

namespace talmiro_media {

std::string_view rtp_refusal_name(RtpRefusal cause) noexcept {
    switch (cause) {
        case RtpRefusal::Truncated: return "truncated";
        case RtpRefusal::BadVersion: return "bad_version";
        case RtpRefusal::BadPadding: return "bad_padding";
        case RtpRefusal::WrongPayloadType: return "wrong_payload_type";
        case RtpRefusal::ForeignSsrc: return "foreign_ssrc";
        case RtpRefusal::SeqJump: return "seq_jump";
        case RtpRefusal::StapB: return "stap_b";
        case RtpRefusal::Mtap: return "mtap";
        case RtpRefusal::FuB: return "fu_b";
        case RtpRefusal::ReservedType: return "reserved_type";
        case RtpRefusal::BadStapA: return "bad_stap_a";
        case RtpRefusal::BadFuA: return "bad_fu_a";
        case RtpRefusal::BadNal: return "bad_nal";
        case RtpRefusal::Count_: break;
    }
    return "unknown";
}

}  // namespace talmiro_media
