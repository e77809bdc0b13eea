// RTCP compound packets: writing them, parsing them bounded and total, NACK pairs, NTP time.
#include "talmiro_media/rtcp.hpp"

#include <algorithm>
#include <string>
#include <type_traits>

#include "byte_order.hpp"
#include "rtcp_packet_io.hpp"

namespace talmiro_media {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kHeader = 4;
constexpr std::size_t kReportBlock = 24;
// Sender SSRC, then NTP, RTP timestamp and two counts.
constexpr std::size_t kSrFixed = kHeader + 4 + 20;
constexpr std::size_t kRrFixed = kHeader + 4;
// Sender and media-source SSRC.
constexpr std::size_t kFbFixed = kHeader + 8;
constexpr std::size_t kFirEntry = 8;
// The length field counts 32-bit words minus one.
constexpr std::size_t kMaxPacketBytes = (std::size_t{0xFFFF} + 1) * 4;

std::string text_at(Bytes d, std::size_t at, std::size_t len) {
    return std::string(reinterpret_cast<const char*>(d.data() + at), len);
}

// A report block (24 bytes), in sender and receiver reports alike:
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                 SSRC of the source reported on                |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  | fraction lost |       cumulative number of packets lost       |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |           extended highest sequence number received           |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                      interarrival jitter                      |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                         last SR (LSR)                         |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                   delay since last SR (DLSR)                  |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
RtcpReportBlock read_block(Bytes d, std::size_t at) noexcept {
    RtcpReportBlock b;
    b.ssrc = be32(d, at);
    b.fraction_lost = d[at + 4];
    // 24-bit two's complement, sign-extended.
    const std::uint32_t lost = be32(d, at + 4) & 0xFFFFFF;
    b.cumulative_lost = static_cast<std::int32_t>(lost ^ 0x800000) - 0x800000;
    b.extended_highest_seq = be32(d, at + 8);
    b.jitter = be32(d, at + 12);
    b.lsr = be32(d, at + 16);
    b.dlsr = be32(d, at + 20);
    return b;
}

// Reads `count` report blocks starting at `at`; false when they run past the packet.
bool read_blocks(Bytes p, std::size_t at, std::size_t count,
                 std::vector<RtcpReportBlock>& out) {
    if (count * kReportBlock > p.size() - at) return false;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(read_block(p, at + i * kReportBlock));
    return true;
}

using rtcp_io::Refusal;

// Sender report (PT 200), RC report blocks after the sender info:
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|    RC   |   PT=SR=200   |             length            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                         SSRC of sender                        |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |              NTP timestamp, most significant word             |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |             NTP timestamp, least significant word             |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                         RTP timestamp                         |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                     sender's packet count                     |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                      sender's octet count                     |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |                  report blocks (RC x 24 bytes)                |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
Refusal read_sr(Bytes p, std::size_t count, std::vector<RtcpPacket>& out) {
    if (p.size() < kSrFixed) return &RtcpCounts::too_short;
    RtcpSenderReport sr;
    sr.ssrc = be32(p, 4);
    sr.ntp = be64(p, 8);
    sr.rtp_timestamp = be32(p, 16);
    sr.packet_count = be32(p, 20);
    sr.octet_count = be32(p, 24);
    if (!read_blocks(p, kSrFixed, count, sr.reports)) return &RtcpCounts::count_past_end;
    out.emplace_back(std::move(sr));
    return nullptr;
}

// Receiver report (PT 201): the sender report without its sender info.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|    RC   |   PT=RR=201   |             length            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                     SSRC of packet sender                     |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |                  report blocks (RC x 24 bytes)                |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
Refusal read_rr(Bytes p, std::size_t count, std::vector<RtcpPacket>& out) {
    if (p.size() < kRrFixed) return &RtcpCounts::too_short;
    RtcpReceiverReport rr;
    rr.ssrc = be32(p, 4);
    if (!read_blocks(p, kRrFixed, count, rr.reports)) return &RtcpCounts::count_past_end;
    out.emplace_back(std::move(rr));
    return nullptr;
}

// Source description (PT 202): SC chunks, each an SSRC and its items (type, length, text; PRIV
// items start their text with a prefix length and prefix), ended by a zero octet and padded to
// the next word.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|    SC   |  PT=SDES=202  |             length            |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |                          SSRC/CSRC_1                          |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |     type      |     length    |  text ...                     |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  ... more items ...           |       0       |  pad to word  |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |                          SSRC/CSRC_2 ...                      |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
// Chunks start on a word boundary; each ends with a zero octet and the zeros up to the next
// boundary. A chunk whose items end exactly at the packet's end is taken without its end.
Refusal read_sdes(Bytes p, std::size_t count, std::vector<RtcpPacket>& out) {
    RtcpSdes sdes;
    sdes.chunks.reserve(count);
    std::size_t at = kHeader;
    for (std::size_t c = 0; c < count; ++c) {
        if (p.size() - at < 4) return &RtcpCounts::count_past_end;
        RtcpSdesChunk chunk;
        chunk.ssrc = be32(p, at);
        at += 4;
        while (at < p.size()) {
            const std::uint8_t type = p[at];
            if (type == 0) {
                at = std::min(p.size(), (at + 1 + 3) & ~std::size_t{3});
                break;
            }
            if (p.size() - at < 2) return &RtcpCounts::malformed;
            const std::size_t len = p[at + 1];
            if (p.size() - at - 2 < len) return &RtcpCounts::malformed;
            RtcpSdesItem item;
            item.type = type;
            if (type == kSdesPriv) {
                const std::size_t prefix = len ? p[at + 2] : 0;
                if (len == 0 || prefix > len - 1) return &RtcpCounts::malformed;
                item.prefix = text_at(p, at + 3, prefix);
                item.value = text_at(p, at + 3 + prefix, len - 1 - prefix);
            } else {
                item.value = text_at(p, at + 2, len);
            }
            chunk.items.push_back(std::move(item));
            at += 2 + len;
        }
        sdes.chunks.push_back(std::move(chunk));
    }
    out.emplace_back(std::move(sdes));
    return nullptr;
}

// Goodbye (PT 203): SC sources leaving, then an optional reason (length, text, padding).
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|    SC   |   PT=BYE=203  |             length            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                           SSRC/CSRC                           |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  :                              ...                              :
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |     length    |               reason for leaving            ...
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
Refusal read_bye(Bytes p, std::size_t count, std::vector<RtcpPacket>& out) {
    if (count * 4 > p.size() - kHeader) return &RtcpCounts::count_past_end;
    RtcpBye bye;
    bye.ssrcs.reserve(count);
    for (std::size_t i = 0; i < count; ++i) bye.ssrcs.push_back(be32(p, kHeader + i * 4));
    const std::size_t at = kHeader + count * 4;
    if (at < p.size()) {
        const std::size_t len = p[at];
        if (p.size() - at - 1 < len) return &RtcpCounts::malformed;
        bye.reason = text_at(p, at + 1, len);
    }
    out.emplace_back(std::move(bye));
    return nullptr;
}

// Transport-layer feedback (PT 205) of format 1, the generic NACK: after the common feedback
// header, one or more FCI words, each a lost packet's sequence number (PID) and a bitmask of
// the 16 that follow it (BLP: bit i set when PID+i+1 is lost too).
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P| FMT=1   | PT=RTPFB=205  |             length            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                  SSRC of packet sender                        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                  SSRC of media source                         |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |            PID                |             BLP               |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  :            ... more PID/BLP words                             :
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// `room`: the NACK pairs the datagram may still give. Transport-wide feedback (format 15) is
// read by rtcp_transport_feedback.cpp.
Refusal read_rtpfb(Bytes p, std::uint8_t fmt, std::vector<RtcpPacket>& out, RtcpCounts& counts,
                   std::size_t& room) {
    if (fmt != kRtcpFmtNack) {
        ++counts.unknown_feedback;
        return nullptr;
    }
    if (p.size() < kFbFixed + 4) return &RtcpCounts::too_short;
    if ((p.size() - kFbFixed) % 4 != 0) return &RtcpCounts::malformed;
    const std::size_t pairs = (p.size() - kFbFixed) / 4;
    const std::size_t taken = std::min(pairs, room);
    counts.nack_pairs_dropped += pairs - taken;
    room -= taken;
    if (taken == 0) return nullptr;
    RtcpNack nack;
    nack.sender_ssrc = be32(p, 4);
    nack.media_ssrc = be32(p, 8);
    nack.pairs.reserve(taken);
    for (std::size_t i = 0; i < taken; ++i)
        nack.pairs.push_back({be16(p, kFbFixed + i * 4), be16(p, kFbFixed + i * 4 + 2)});
    out.emplace_back(std::move(nack));
    return nullptr;
}

// Payload-specific feedback (PT 206): picture loss indication (format 1), the common feedback
// header alone, and full intra request (format 4), whose FCI entries name each source asked
// and a request number (media source SSRC 0). REMB (format 15) is read by rtcp_remb.cpp.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P| FMT=1/4 | PT=PSFB=206   |             length            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                  SSRC of packet sender                        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                  SSRC of media source                         |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |                    FIR only: SSRC of a source                 |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  Seq nr.      |    reserved (0)                               |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  :                   ... more FIR entries                        :
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
Refusal read_psfb(Bytes p, std::uint8_t fmt, std::vector<RtcpPacket>& out, RtcpCounts& counts) {
    if (fmt != kRtcpFmtPli && fmt != kRtcpFmtFir) {
        ++counts.unknown_feedback;
        return nullptr;
    }
    if (p.size() < kFbFixed + (fmt == kRtcpFmtFir ? kFirEntry : 0)) return &RtcpCounts::too_short;
    const std::uint32_t sender = be32(p, 4);
    const std::uint32_t media = be32(p, 8);
    if (fmt == kRtcpFmtPli) {
        out.emplace_back(RtcpPli{sender, media});
        return nullptr;
    }
    if ((p.size() - kFbFixed) % kFirEntry != 0) return &RtcpCounts::malformed;
    RtcpFir fir{sender, media, {}};
    fir.entries.reserve((p.size() - kFbFixed) / kFirEntry);
    for (std::size_t at = kFbFixed; at < p.size(); at += kFirEntry)
        fir.entries.push_back({be32(p, at), p[at + 4]});
    out.emplace_back(std::move(fir));
    return nullptr;
}

// What one datagram may still give: NACK pairs and transport-wide feedback statuses.
struct Room {
    std::size_t nack_pairs = kRtcpMaxNackPairs;
    std::size_t feedback_statuses = kRtcpMaxFeedbackStatuses;
};

// One packet, its padding already removed (at least the four header bytes).
void read_packet(Bytes p, RtcpParsed& parsed, Room& room) {
    const std::size_t count = p[0] & 0x1F;
    const auto fmt = static_cast<std::uint8_t>(count);
    Refusal refusal = nullptr;
    const std::size_t before = parsed.packets.size();
    switch (p[1]) {
        case kRtcpSr: refusal = read_sr(p, count, parsed.packets); break;
        case kRtcpRr: refusal = read_rr(p, count, parsed.packets); break;
        case kRtcpSdes: refusal = read_sdes(p, count, parsed.packets); break;
        case kRtcpBye: refusal = read_bye(p, count, parsed.packets); break;
        case kRtcpRtpfb:
            refusal = fmt == kRtcpFmtTransportFeedback
                          ? rtcp_io::read_transport_feedback(p, parsed.packets, parsed.counts,
                                                             room.feedback_statuses)
                          : read_rtpfb(p, fmt, parsed.packets, parsed.counts, room.nack_pairs);
            break;
        case kRtcpPsfb:
            refusal = fmt == kRtcpFmtApplication
                          ? rtcp_io::read_application(p, parsed.packets, parsed.counts)
                          : read_psfb(p, fmt, parsed.packets, parsed.counts);
            break;
        default: ++parsed.counts.unknown_type; return;
    }
    if (refusal) ++(parsed.counts.*refusal);
    else if (parsed.packets.size() > before) ++parsed.counts.parsed;
}

// --- writing ---

std::unexpected<MediaError> refuse(std::string what) {
    return std::unexpected(MediaError::unsupported("rtcp: " + std::move(what)));
}

void put_text(std::vector<std::uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
}
void pad_to_word(std::vector<std::uint8_t>& out) {
    while (out.size() % 4) out.push_back(0);
}

void header(std::vector<std::uint8_t>& out, std::size_t count, std::uint8_t type) {
    put8(out, 0x80 | count);
    put8(out, type);
    put16(out, 0);  // the length, filled in at the end
}

Result<void> check_count(std::size_t n, const char* what) {
    if (n > kRtcpMaxCount)
        return refuse(std::to_string(n) + " " + what + ", at most " +
                      std::to_string(kRtcpMaxCount));
    return {};
}

Result<void> check_text(std::size_t n, const char* what) {
    if (n > kRtcpMaxText)
        return refuse(std::string(what) + " of " + std::to_string(n) + " bytes, at most " +
                      std::to_string(kRtcpMaxText));
    return {};
}

// Report blocks, laid out as `read_block` draws one.
Result<void> write_blocks(std::vector<std::uint8_t>& out,
                          const std::vector<RtcpReportBlock>& blocks) {
    for (const RtcpReportBlock& b : blocks) {
        if (b.cumulative_lost < -0x800000 || b.cumulative_lost > 0x7FFFFF)
            return refuse("cumulative loss " + std::to_string(b.cumulative_lost) +
                          " outside 24 bits");
        put32(out, b.ssrc);
        put32(out, std::uint32_t{b.fraction_lost} << 24 |
                       (static_cast<std::uint32_t>(b.cumulative_lost) & 0xFFFFFF));
        put32(out, b.extended_highest_seq);
        put32(out, b.jitter);
        put32(out, b.lsr);
        put32(out, b.dlsr);
    }
    return {};
}

// A sender report, laid out as `read_sr` draws it.
Result<void> write(std::vector<std::uint8_t>& out, const RtcpSenderReport& sr) {
    if (auto ok = check_count(sr.reports.size(), "report blocks"); !ok) return ok;
    header(out, sr.reports.size(), kRtcpSr);
    put32(out, sr.ssrc);
    put32(out, static_cast<std::uint32_t>(sr.ntp >> 32));
    put32(out, static_cast<std::uint32_t>(sr.ntp));
    put32(out, sr.rtp_timestamp);
    put32(out, sr.packet_count);
    put32(out, sr.octet_count);
    return write_blocks(out, sr.reports);
}

// A receiver report, laid out as `read_rr` draws it.
Result<void> write(std::vector<std::uint8_t>& out, const RtcpReceiverReport& rr) {
    if (auto ok = check_count(rr.reports.size(), "report blocks"); !ok) return ok;
    header(out, rr.reports.size(), kRtcpRr);
    put32(out, rr.ssrc);
    return write_blocks(out, rr.reports);
}

// A source description, laid out as `read_sdes` draws it.
Result<void> write(std::vector<std::uint8_t>& out, const RtcpSdes& sdes) {
    if (auto ok = check_count(sdes.chunks.size(), "SDES chunks"); !ok) return ok;
    header(out, sdes.chunks.size(), kRtcpSdes);
    for (const RtcpSdesChunk& chunk : sdes.chunks) {
        put32(out, chunk.ssrc);
        for (const RtcpSdesItem& item : chunk.items) {
            if (item.type == 0) return refuse("an SDES item of type 0");
            const bool priv = item.type == kSdesPriv;
            if (priv) {
                if (auto ok = check_text(item.prefix.size(), "a PRIV prefix"); !ok) return ok;
            }
            const std::size_t len = item.value.size() + (priv ? 1 + item.prefix.size() : 0);
            if (auto ok = check_text(len, "an SDES item"); !ok) return ok;
            put8(out, item.type);
            put8(out, static_cast<std::uint32_t>(len));
            if (priv) {
                put8(out, static_cast<std::uint32_t>(item.prefix.size()));
                put_text(out, item.prefix);
            }
            put_text(out, item.value);
        }
        put8(out, 0);
        pad_to_word(out);
    }
    return {};
}

// A goodbye, laid out as `read_bye` draws it.
Result<void> write(std::vector<std::uint8_t>& out, const RtcpBye& bye) {
    if (auto ok = check_count(bye.ssrcs.size(), "BYE sources"); !ok) return ok;
    if (bye.reason) {
        if (auto ok = check_text(bye.reason->size(), "a BYE reason"); !ok) return ok;
    }
    header(out, bye.ssrcs.size(), kRtcpBye);
    for (std::uint32_t ssrc : bye.ssrcs) put32(out, ssrc);
    if (bye.reason) {
        put8(out, static_cast<std::uint32_t>(bye.reason->size()));
        put_text(out, *bye.reason);
        pad_to_word(out);
    }
    return {};
}

// A generic NACK, laid out as `read_rtpfb` draws it (`write_nacks` splits a long one).
Result<void> write(std::vector<std::uint8_t>& out, const RtcpNack& nack) {
    if (nack.pairs.empty()) return refuse("a NACK without pairs");
    header(out, kRtcpFmtNack, kRtcpRtpfb);
    put32(out, nack.sender_ssrc);
    put32(out, nack.media_ssrc);
    for (const NackPair& pair : nack.pairs) {
        put16(out, pair.pid);
        put16(out, pair.blp);
    }
    return {};
}

// A picture loss indication, laid out as `read_psfb` draws it (no FCI).
Result<void> write(std::vector<std::uint8_t>& out, const RtcpPli& pli) {
    header(out, kRtcpFmtPli, kRtcpPsfb);
    put32(out, pli.sender_ssrc);
    put32(out, pli.media_ssrc);
    return {};
}

// A full intra request, laid out as `read_psfb` draws it.
Result<void> write(std::vector<std::uint8_t>& out, const RtcpFir& fir) {
    if (fir.entries.empty()) return refuse("a FIR without entries");
    header(out, kRtcpFmtFir, kRtcpPsfb);
    put32(out, fir.sender_ssrc);
    put32(out, fir.media_ssrc);
    for (const RtcpFirEntry& e : fir.entries) {
        put32(out, e.ssrc);
        put32(out, std::uint32_t{e.seq} << 24);
    }
    return {};
}

Result<void> write(std::vector<std::uint8_t>& out, const RtcpTransportFeedback& feedback) {
    return rtcp_io::write_transport_feedback(out, feedback);
}

Result<void> write(std::vector<std::uint8_t>& out, const RtcpRemb& remb) {
    return rtcp_io::write_remb(out, remb);
}

constexpr std::int64_t kUsPerSecond = 1'000'000;
// Seconds from 1900 (NTP's epoch) to 1970.
constexpr std::int64_t kNtpUnixOffset = 2'208'988'800;

}  // namespace

RtcpCounts& RtcpCounts::operator+=(const RtcpCounts& o) noexcept {
    parsed += o.parsed;
    truncated += o.truncated;
    bad_version += o.bad_version;
    bad_padding += o.bad_padding;
    count_past_end += o.count_past_end;
    too_short += o.too_short;
    malformed += o.malformed;
    unknown_type += o.unknown_type;
    unknown_feedback += o.unknown_feedback;
    chunks_missing += o.chunks_missing;
    deltas_missing += o.deltas_missing;
    nack_pairs_dropped += o.nack_pairs_dropped;
    feedback_statuses_dropped += o.feedback_statuses_dropped;
    return *this;
}

RtcpParsed parse_rtcp(std::span<const std::uint8_t> d) {
    RtcpParsed parsed;
    std::size_t at = 0;
    Room room;
    while (at < d.size()) {
        if (d.size() - at < kHeader) {
            ++parsed.counts.truncated;
            break;
        }
        if (d[at] >> 6 != 2) {
            ++parsed.counts.bad_version;
            break;
        }
        const std::size_t len = (std::size_t{be16(d, at + 2)} + 1) * 4;
        if (len > d.size() - at) {
            ++parsed.counts.truncated;
            break;
        }
        Bytes p = d.subspan(at, len);
        at += len;
        if (p[0] & 0x20) {
            // The last octet counts the padding octets, itself included.
            const std::size_t pad = p[len - 1];
            if (pad == 0 || pad > len - kHeader) {
                ++parsed.counts.bad_padding;
                continue;
            }
            p = p.first(len - pad);
        }
        read_packet(p, parsed, room);
    }
    return parsed;
}

Result<void> append_rtcp(std::vector<std::uint8_t>& out, const RtcpPacket& packet) {
    std::vector<std::uint8_t> one;
    auto ok = std::visit([&](const auto& p) { return write(one, p); }, packet);
    if (!ok) return ok;
    if (one.size() > kMaxPacketBytes)
        return refuse("a packet of " + std::to_string(one.size()) + " bytes, at most " +
                      std::to_string(kMaxPacketBytes));
    const std::size_t words = one.size() / 4 - 1;
    one[2] = static_cast<std::uint8_t>(words >> 8);
    one[3] = static_cast<std::uint8_t>(words);
    out.insert(out.end(), one.begin(), one.end());
    return {};
}

Result<std::vector<std::uint8_t>> build_rtcp(std::span<const RtcpPacket> packets) {
    std::vector<std::uint8_t> out;
    for (const RtcpPacket& p : packets)
        if (auto ok = append_rtcp(out, p); !ok) return std::unexpected(std::move(ok).error());
    return out;
}

std::vector<NackPair> nack_pairs(std::span<const std::uint16_t> missing) {
    std::vector<NackPair> out;
    for (const std::uint16_t seq : missing) {
        if (!out.empty()) {
            const auto ahead = static_cast<std::uint16_t>(seq - out.back().pid);
            if (ahead == 0) continue;
            if (ahead <= 16) {
                out.back().blp = static_cast<std::uint16_t>(out.back().blp | 1u << (ahead - 1));
                continue;
            }
        }
        out.push_back({seq, 0});
    }
    return out;
}

std::vector<std::vector<std::uint8_t>> write_nacks(std::uint32_t sender_ssrc,
                                                   std::uint32_t media_ssrc,
                                                   std::span<const std::uint16_t> lost,
                                                   std::size_t max_bytes) {
    const std::vector<NackPair> pairs = nack_pairs(lost);
    const std::size_t bytes = std::clamp(max_bytes, kFbFixed + 4, kMaxPacketBytes);
    const std::size_t per_packet = (bytes - kFbFixed) / 4;
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t i = 0; i < pairs.size(); i += per_packet) {
        const auto these = std::span(pairs).subspan(i, std::min(per_packet, pairs.size() - i));
        std::vector<std::uint8_t>& out = packets.emplace_back();
        // Cannot be refused: pairs there are, and the packet is within the length field's reach.
        (void)append_rtcp(out, RtcpNack{sender_ssrc, media_ssrc, {these.begin(), these.end()}});
    }
    return packets;
}

std::vector<std::uint16_t> nack_seqs(std::span<const NackPair> pairs) {
    std::vector<std::uint16_t> out;
    for (const NackPair& pair : pairs) {
        out.push_back(pair.pid);
        for (unsigned bit = 0; bit < 16; ++bit)
            if (pair.blp >> bit & 1) out.push_back(static_cast<std::uint16_t>(pair.pid + bit + 1));
    }
    return out;
}

std::uint64_t ntp_from_us(std::int64_t unix_us) noexcept {
    // Floor division, so that times before 1970 keep a fraction in 0..1 s.
    std::int64_t seconds = unix_us / kUsPerSecond;
    std::int64_t rest = unix_us % kUsPerSecond;
    if (rest < 0) {
        rest += kUsPerSecond;
        --seconds;
    }
    seconds += kNtpUnixOffset;
    if (seconds < 0) return 0;
    // Rounded up, so that us_from_ntp gives the same µs back.
    const std::uint64_t fraction =
        ((static_cast<std::uint64_t>(rest) << 32) + kUsPerSecond - 1) / kUsPerSecond;
    return static_cast<std::uint64_t>(seconds) << 32 | fraction;
}

std::int64_t us_from_ntp(std::uint64_t ntp) noexcept {
    std::int64_t seconds = static_cast<std::int64_t>(ntp >> 32);
    if (seconds < 0x80000000LL) seconds += std::int64_t{1} << 32;
    const auto fraction_us =
        static_cast<std::int64_t>(((ntp & 0xFFFFFFFFu) * kUsPerSecond) >> 32);
    return (seconds - kNtpUnixOffset) * kUsPerSecond + fraction_us;
}

std::int64_t us_from_compact(std::uint32_t compact) noexcept {
    return static_cast<std::int64_t>((std::uint64_t{compact} * kUsPerSecond) >> 16);
}

std::uint32_t compact_from_us(std::int64_t us) noexcept {
    if (us <= 0) return 0;
    // 2^32 units are 65,536 s; anything longer saturates before the shift could overflow.
    if (us >= std::int64_t{65536} * kUsPerSecond) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(us) << 16) / kUsPerSecond);
}

std::optional<std::int64_t> rtt_us(std::uint32_t lsr, std::uint32_t dlsr,
                                   std::uint64_t arrival_ntp) noexcept {
    if (lsr == 0) return std::nullopt;
    const std::uint32_t rtt = compact_ntp(arrival_ntp) - lsr - dlsr;
    if (rtt & 0x80000000u) return std::nullopt;
    return us_from_compact(rtt);
}

}  // namespace talmiro_media
