// RTCP packets (RTP's control protocol and its feedback messages): the values of the packets
// the link sends and acts on, a writer that appends them to a compound packet, a parser of
// compound packets from the network, the conversion between a list of missing sequence numbers
// and generic-NACK PID/BLP pairs, and NTP-time arithmetic for sender reports and round trips.
//
// The parser reads untrusted bytes: it never reads outside the span it is given and never
// throws for any input (only std::bad_alloc can leave it). What it cannot read is refused and
// counted by cause; a packet of a type it does not act on is skipped, trusting its length, and
// counted too. A compound packet need not start with a report (reduced-size feedback is
// accepted), and padding is accepted in any packet whose padding count fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "talmiro_media/ffmpeg_util.hpp"
#include "talmiro_media/rtcp_remb.hpp"
#include "talmiro_media/rtcp_transport_feedback.hpp"

namespace talmiro_media {

// Packet types.
inline constexpr std::uint8_t kRtcpSr = 200;
inline constexpr std::uint8_t kRtcpRr = 201;
inline constexpr std::uint8_t kRtcpSdes = 202;
inline constexpr std::uint8_t kRtcpBye = 203;
inline constexpr std::uint8_t kRtcpApp = 204;
inline constexpr std::uint8_t kRtcpRtpfb = 205;  // transport-layer feedback
inline constexpr std::uint8_t kRtcpPsfb = 206;   // payload-specific feedback
// Feedback formats acted on: generic NACK and transport-wide feedback (RTPFB), picture loss,
// full intra request and REMB (PSFB); the last two in rtcp_transport_feedback.hpp and
// rtcp_remb.hpp.
inline constexpr std::uint8_t kRtcpFmtNack = 1;
inline constexpr std::uint8_t kRtcpFmtPli = 1;
inline constexpr std::uint8_t kRtcpFmtFir = 4;

// SDES item types (0 ends a chunk and is never an item).
inline constexpr std::uint8_t kSdesCname = 1;
inline constexpr std::uint8_t kSdesName = 2;
inline constexpr std::uint8_t kSdesEmail = 3;
inline constexpr std::uint8_t kSdesPhone = 4;
inline constexpr std::uint8_t kSdesLoc = 5;
inline constexpr std::uint8_t kSdesTool = 6;
inline constexpr std::uint8_t kSdesNote = 7;
inline constexpr std::uint8_t kSdesPriv = 8;

// Count fields are 5 bits wide; an SDES text, a PRIV prefix with its value, and a BYE reason
// are at most 255 bytes.
inline constexpr std::size_t kRtcpMaxCount = 31;
inline constexpr std::size_t kRtcpMaxText = 255;
// The generic-NACK pairs read from one datagram, in all its NACKs together: 4 kB of them, far
// more than a receiver's loss fills (a full 1,200-byte NACK holds 297), and enough to name
// every packet a sender's history holds. The rest are not read (counted).
inline constexpr std::size_t kRtcpMaxNackPairs = 1024;

// What a receiver says about one source it hears.
struct RtcpReportBlock {
    std::uint32_t ssrc = 0;
    // Share of the packets expected since the previous report that were lost, in 1/256.
    std::uint8_t fraction_lost = 0;
    // Packets expected minus packets received since the start, in -2^23 .. 2^23-1 (duplicates
    // make it negative).
    std::int32_t cumulative_lost = 0;
    // 16 bits of sequence-number cycles above the highest sequence number received.
    std::uint32_t extended_highest_seq = 0;
    // Interarrival jitter in timestamp units.
    std::uint32_t jitter = 0;
    // The middle 32 bits of the NTP time of the last sender report received (0: none), and the
    // time since it arrived in 1/65536 s.
    std::uint32_t lsr = 0;
    std::uint32_t dlsr = 0;

    bool operator==(const RtcpReportBlock&) const = default;
};

struct RtcpSenderReport {
    std::uint32_t ssrc = 0;
    // The sender's wall-clock time of the report (64-bit NTP) and the same instant on the
    // stream's timestamp clock.
    std::uint64_t ntp = 0;
    std::uint32_t rtp_timestamp = 0;
    // Packets and payload bytes sent since the start.
    std::uint32_t packet_count = 0;
    std::uint32_t octet_count = 0;
    std::vector<RtcpReportBlock> reports;

    bool operator==(const RtcpSenderReport&) const = default;
};

struct RtcpReceiverReport {
    std::uint32_t ssrc = 0;
    std::vector<RtcpReportBlock> reports;

    bool operator==(const RtcpReceiverReport&) const = default;
};

struct RtcpSdesItem {
    std::uint8_t type = kSdesCname;
    // The item's text as sent (UTF-8 by convention, not checked); for PRIV the value after
    // the prefix.
    std::string value;
    // PRIV only: the prefix naming the private extension.
    std::string prefix;

    bool operator==(const RtcpSdesItem&) const = default;
};

struct RtcpSdesChunk {
    std::uint32_t ssrc = 0;
    std::vector<RtcpSdesItem> items;

    bool operator==(const RtcpSdesChunk&) const = default;
};

struct RtcpSdes {
    std::vector<RtcpSdesChunk> chunks;

    bool operator==(const RtcpSdes&) const = default;
};

struct RtcpBye {
    std::vector<std::uint32_t> ssrcs;
    std::optional<std::string> reason;

    bool operator==(const RtcpBye&) const = default;
};

// One generic-NACK field: `pid` is lost, and so is pid+i+1 for every bit i set in `blp`.
struct NackPair {
    std::uint16_t pid = 0;
    std::uint16_t blp = 0;

    bool operator==(const NackPair&) const = default;
};

struct RtcpNack {
    std::uint32_t sender_ssrc = 0;
    std::uint32_t media_ssrc = 0;
    // At least one.
    std::vector<NackPair> pairs;

    bool operator==(const RtcpNack&) const = default;
};

// Picture loss indication: the receiver asks for a picture that does not depend on lost data.
struct RtcpPli {
    std::uint32_t sender_ssrc = 0;
    std::uint32_t media_ssrc = 0;

    bool operator==(const RtcpPli&) const = default;
};

struct RtcpFirEntry {
    // The source asked for an intra picture.
    std::uint32_t ssrc = 0;
    // Counts the requests to that source (modulo 256); a repeat of one request keeps it.
    std::uint8_t seq = 0;

    bool operator==(const RtcpFirEntry&) const = default;
};

// Full intra request. `media_ssrc` is 0 by definition (the sources are in the entries); the
// writer writes what it is given and the parser reports what it read.
struct RtcpFir {
    std::uint32_t sender_ssrc = 0;
    std::uint32_t media_ssrc = 0;
    // At least one.
    std::vector<RtcpFirEntry> entries;

    bool operator==(const RtcpFir&) const = default;
};

using RtcpPacket = std::variant<RtcpSenderReport, RtcpReceiverReport, RtcpSdes, RtcpBye,
                                RtcpNack, RtcpPli, RtcpFir, RtcpTransportFeedback, RtcpRemb>;

// The parser's counts, per packet read or refused. A refusal of the header (`truncated`,
// `bad_version`) ends the datagram: the rest counts as that one refusal. Every other refusal
// skips one packet by its length.
struct RtcpCounts {
    // Packets read into a value.
    std::uint64_t parsed = 0;
    // Fewer than four bytes left for a header, or a length past the end of the datagram.
    std::uint64_t truncated = 0;
    // A version other than 2.
    std::uint64_t bad_version = 0;
    // A padding count of 0 or past the packet's body.
    std::uint64_t bad_padding = 0;
    // A report, source or chunk count past the end of the packet.
    std::uint64_t count_past_end = 0;
    // Shorter than its type's fixed part (a feedback message without its one required field).
    std::uint64_t too_short = 0;
    // Inside it, something runs past its end or breaks its format: an SDES item or PRIV
    // prefix, a BYE reason, a FIR entry cut short; a transport-wide feedback of no status or
    // with the reserved status symbol; a REMB longer than its SSRCs or of a bitrate past 64
    // bits.
    std::uint64_t malformed = 0;
    // Transport-wide feedback: a status count beyond what its chunks describe, and receive
    // deltas missing for the packets its statuses say arrived.
    std::uint64_t chunks_missing = 0;
    std::uint64_t deltas_missing = 0;
    // Skipped: a packet type not acted on (APP, extended reports, anything unknown).
    std::uint64_t unknown_type = 0;
    // Skipped: a feedback message of a format not acted on (application-layer feedback other
    // than REMB among them).
    std::uint64_t unknown_feedback = 0;
    // NACK pairs past the first kRtcpMaxNackPairs of the datagram, not read (a NACK left with
    // none is not reported). Not a refusal: the packets they are in count as parsed.
    std::uint64_t nack_pairs_dropped = 0;
    // Transport-wide feedback statuses past the first kRtcpMaxFeedbackStatuses of the datagram,
    // not read (a feedback left with none is not reported). Not a refusal either.
    std::uint64_t feedback_statuses_dropped = 0;

    std::uint64_t refused() const noexcept {
        return truncated + bad_version + bad_padding + count_past_end + too_short + malformed +
               chunks_missing + deltas_missing;
    }
    RtcpCounts& operator+=(const RtcpCounts& other) noexcept;
    bool operator==(const RtcpCounts&) const = default;
};

struct RtcpParsed {
    std::vector<RtcpPacket> packets;
    RtcpCounts counts;
};

// Every packet of one datagram, in order.
RtcpParsed parse_rtcp(std::span<const std::uint8_t> datagram);

// Appends one packet to `out`. Refused, leaving `out` as it was, when a field does not fit its
// wire format: more than 31 report blocks, chunks or BYE sources; a text past 255 bytes; an
// SDES item of type 0; a cumulative loss outside 24 bits; a NACK without pairs or a FIR
// without entries; a transport-wide feedback without statuses, with more than 65,535, with
// sequence numbers not following its base one by one, a reference time past 24 bits or a
// step between arrivals past 16 bits of 250 µs; a REMB of more than 255 SSRCs; a packet past
// 65,536 words.
Result<void> append_rtcp(std::vector<std::uint8_t>& out, const RtcpPacket& packet);
// A compound packet of `packets` in order.
Result<std::vector<std::uint8_t>> build_rtcp(std::span<const RtcpPacket> packets);

// The pairs that name the sequence numbers `missing`, taken in the order given: each number
// within 16 after the current pair's PID is set in its mask, any other starts a new pair.
// Numbers in sequence order (across the wrap) give the fewest pairs; a number already named
// adds nothing.
std::vector<NackPair> nack_pairs(std::span<const std::uint16_t> missing);
// A NACK packet of 256 pairs: with a receiver report and an SDES chunk, a datagram well within
// the path's MTU.
inline constexpr std::size_t kRtcpNackBytes = 12 + 4 * 256;
// The NACK packets from `sender_ssrc` about `media_ssrc` that name every sequence number of
// `lost` (paired as `nack_pairs` pairs them), as few as hold them with none longer than
// `max_bytes` (held to at least 16, one pair's packet); none when `lost` is empty. Each is a
// whole RTCP packet, for a datagram of its own beside the reports it goes with.
std::vector<std::vector<std::uint8_t>> write_nacks(std::uint32_t sender_ssrc,
                                                   std::uint32_t media_ssrc,
                                                   std::span<const std::uint16_t> lost,
                                                   std::size_t max_bytes = kRtcpNackBytes);
// The sequence numbers the pairs name, pair by pair, each PID followed by its mask's numbers
// in bit order.
std::vector<std::uint16_t> nack_seqs(std::span<const NackPair> pairs);

// The NTP time (seconds since 1900 in the high 32 bits, fraction in the low) of a wall-clock
// time in µs since 1970; times before 1900 give 0. The seconds wrap in 2036 as NTP's do.
std::uint64_t ntp_from_us(std::int64_t unix_us) noexcept;
// The inverse, to the µs (rounded down). Seconds with the top bit clear are read as after the
// 2036 wrap, so the span 1968..2104 is unambiguous.
std::int64_t us_from_ntp(std::uint64_t ntp) noexcept;
// The middle 32 bits (16.16 fixed point): LSR, DLSR and round trips are in these units.
inline std::uint32_t compact_ntp(std::uint64_t ntp) noexcept {
    return static_cast<std::uint32_t>(ntp >> 16);
}
// A duration in 1/65536 s as µs (rounded down), and back (rounded down, saturating).
std::int64_t us_from_compact(std::uint32_t compact) noexcept;
std::uint32_t compact_from_us(std::int64_t us) noexcept;

// The round trip a sender reads from a report block about its stream: the report's arrival
// (NTP, on the clock its sender reports carry) minus the LSR it echoes minus the DLSR the
// receiver held it. Absent when the block echoes no sender report (LSR 0) or the result is
// negative (a block that lies or a clock that stepped back).
std::optional<std::int64_t> rtt_us(std::uint32_t lsr, std::uint32_t dlsr,
                                   std::uint64_t arrival_ntp) noexcept;

}  // namespace talmiro_media
