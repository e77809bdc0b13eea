// Transport-wide feedback packets: packet status chunks (run length and status vectors) and
// receive deltas, read bounded and written with the fewest chunks a greedy pass finds.
#include <algorithm>
#include <string>

#include "byte_order.hpp"
#include "rtcp_packet_io.hpp"

namespace talmiro_media::rtcp_io {

namespace {

using Bytes = std::span<const std::uint8_t>;

// The common feedback header, then base sequence number, status count, reference time and
// feedback packet count.
constexpr std::size_t kFixed = 20;
// Packet status symbols: not received, received with a 1-byte delta (0 .. 63.75 ms), received
// with a 2-byte signed delta; the fourth value is reserved.
constexpr std::uint8_t kNotReceived = 0;
constexpr std::uint8_t kSmallDelta = 1;
constexpr std::uint8_t kLargeDelta = 2;
constexpr std::uint8_t kReserved = 3;
constexpr std::size_t kMaxRunLength = 0x1FFF;
constexpr std::size_t kOneBitSymbols = 14;
constexpr std::size_t kTwoBitSymbols = 7;

std::unexpected<MediaError> refuse(std::string what) {
    return std::unexpected(MediaError::unsupported("rtcp: transport-wide feedback " +
                                                   std::move(what)));
}

// The symbols of `count` statuses from the chunks at `at`, keeping the first `keep` of them;
// `at` ends after the last chunk. A refusal when the chunks end first or hold a reserved
// symbol for a status counted.
Refusal read_chunks(Bytes p, std::size_t& at, std::size_t count, std::size_t keep,
                    std::vector<std::uint8_t>& symbols) {
    std::size_t seen = 0;
    auto add = [&](std::uint8_t symbol) {
        if (symbols.size() < keep) symbols.push_back(symbol);
        ++seen;
    };
    while (seen < count) {
        if (p.size() - at < 2) return &RtcpCounts::chunks_missing;
        const std::uint16_t chunk = be16(p, at);
        at += 2;
        const std::size_t left = count - seen;
        if (!(chunk & 0x8000)) {
            const auto symbol = static_cast<std::uint8_t>(chunk >> 13 & 3);
            const std::size_t run = std::min<std::size_t>(chunk & kMaxRunLength, left);
            if (symbol == kReserved && run > 0) return &RtcpCounts::malformed;
            const std::size_t kept = std::min(run, keep - std::min(keep, symbols.size()));
            symbols.insert(symbols.end(), kept, symbol);
            seen += run;
        } else if (!(chunk & 0x4000)) {
            const std::size_t n = std::min(kOneBitSymbols, left);
            for (std::size_t i = 0; i < n; ++i) add(chunk >> (13 - i) & 1);
        } else {
            const std::size_t n = std::min(kTwoBitSymbols, left);
            for (std::size_t i = 0; i < n; ++i) {
                const auto symbol = static_cast<std::uint8_t>(chunk >> (12 - 2 * i) & 3);
                if (symbol == kReserved) return &RtcpCounts::malformed;
                add(symbol);
            }
        }
    }
    return nullptr;
}

// The statuses of `symbols` from base `seq`, their receive deltas read from `at` on.
Refusal read_deltas(Bytes p, std::size_t at, std::uint16_t seq,
                    std::span<const std::uint8_t> symbols,
                    std::vector<TransportFeedbackStatus>& out) {
    out.reserve(symbols.size());
    std::int64_t arrival = 0;
    for (const std::uint8_t symbol : symbols) {
        TransportFeedbackStatus& s = out.emplace_back(TransportFeedbackStatus{seq++, {}});
        if (symbol == kNotReceived) continue;
        const std::size_t size = symbol == kSmallDelta ? 1 : 2;
        if (p.size() - at < size) return &RtcpCounts::deltas_missing;
        const std::int64_t delta =
            size == 1 ? p[at] : static_cast<std::int16_t>(be16(p, at));
        at += size;
        arrival += delta * kTransportFeedbackDeltaUs;
        s.arrival_us = arrival;
    }
    return nullptr;
}

}  // namespace

//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|  FMT=15 |    PT=205     |           length              |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                     SSRC of packet sender                     |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                      SSRC of media source                     |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |      base sequence number     |      packet status count      |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                 reference time                | fb pkt. count |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |          packet chunk         |         packet chunk          |
//  :              ... as many as the status count needs            :
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  recv delta   |  recv delta   |   recv delta (2 bytes)        |
//  :      ... one per packet received, in order     | zero padding :
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//
// A chunk is a run (0, symbol in 2 bits, run length in 13) or a status vector (1, then 0 and
// fourteen 1-bit symbols, not received / small delta, or 1 and seven 2-bit symbols). Deltas
// are in 250 µs, the first from the reference time (64 ms units), each next from the one
// before; a small one is unsigned 8 bits, a large one signed 16. Bytes after the deltas are
// padding, not read.
Refusal read_transport_feedback(Bytes p, std::vector<RtcpPacket>& out, RtcpCounts& counts,
                                std::size_t& room) {
    if (p.size() < kFixed) return &RtcpCounts::too_short;
    const std::size_t count = be16(p, 14);
    if (count == 0) return &RtcpCounts::malformed;
    // The statuses past the room are walked over (their chunks, to find the deltas) but not
    // kept, and cost the room nothing more.
    const std::size_t keep = std::min(count, room);
    room -= keep;
    counts.feedback_statuses_dropped += count - keep;
    std::vector<std::uint8_t> symbols;
    symbols.reserve(keep);
    std::size_t at = kFixed;
    if (Refusal r = read_chunks(p, at, count, keep, symbols)) return r;
    if (keep == 0) return nullptr;
    RtcpTransportFeedback fb{be32(p, 4), be32(p, 8), be16(p, 12),
                             be32(p, 16) >> 8, p[19], {}};
    if (Refusal r = read_deltas(p, at, fb.base_seq, symbols, fb.statuses)) return r;
    out.emplace_back(std::move(fb));
    return nullptr;
}

namespace {

// Chunks for `symbols`, greedily: a status vector when the next fourteen fit 1-bit symbols
// and are not all one symbol, a run when at least as many as a vector would hold are one
// symbol, a 2-bit vector otherwise.
void write_chunks(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> symbols) {
    std::size_t i = 0;
    while (i < symbols.size()) {
        const std::size_t left = symbols.size() - i;
        std::size_t run = 1;
        while (run < std::min(left, kMaxRunLength) && symbols[i + run] == symbols[i]) ++run;
        const std::size_t n1 = std::min(kOneBitSymbols, left);
        const bool one_bit = std::all_of(symbols.begin() + static_cast<std::ptrdiff_t>(i),
                                         symbols.begin() + static_cast<std::ptrdiff_t>(i + n1),
                                         [](std::uint8_t s) { return s <= kSmallDelta; });
        if (one_bit && run < n1) {
            std::uint32_t chunk = 0x8000;
            for (std::size_t k = 0; k < n1; ++k) chunk |= std::uint32_t{symbols[i + k]} << (13 - k);
            put16(out, chunk);
            i += n1;
        } else if (one_bit || run >= std::min(kTwoBitSymbols, left)) {
            put16(out, std::uint32_t{symbols[i]} << 13 | static_cast<std::uint32_t>(run));
            i += run;
        } else {
            const std::size_t n2 = std::min(kTwoBitSymbols, left);
            std::uint32_t chunk = 0xC000;
            for (std::size_t k = 0; k < n2; ++k)
                chunk |= std::uint32_t{symbols[i + k]} << (12 - 2 * k);
            put16(out, chunk);
            i += n2;
        }
    }
}

// Arrival times in 250 µs units, rounded down.
std::int64_t ticks_of(std::int64_t us) noexcept {
    std::int64_t q = us / kTransportFeedbackDeltaUs;
    if (us % kTransportFeedbackDeltaUs < 0) --q;
    return q;
}

// Each status's symbol and the deltas of those received; a refusal for a status out of
// sequence or a step that does not fit 16 bits.
Result<void> symbols_and_deltas(const RtcpTransportFeedback& fb, std::vector<std::uint8_t>& symbols,
                                std::vector<std::uint8_t>& deltas) {
    std::int64_t previous = 0;
    std::uint16_t seq = fb.base_seq;
    for (const TransportFeedbackStatus& s : fb.statuses) {
        if (s.seq != seq++) return refuse("with sequence number " + std::to_string(s.seq) +
                                          " out of sequence");
        if (!s.arrival_us) {
            symbols.push_back(kNotReceived);
            continue;
        }
        const std::int64_t ticks = ticks_of(*s.arrival_us);
        const std::int64_t delta = ticks - previous;
        previous = ticks;
        if (delta >= 0 && delta <= 0xFF) {
            symbols.push_back(kSmallDelta);
            put8(deltas, static_cast<std::uint32_t>(delta));
        } else if (delta >= -0x8000 && delta <= 0x7FFF) {
            symbols.push_back(kLargeDelta);
            put16(deltas, static_cast<std::uint32_t>(delta));
        } else {
            return refuse("with a step of " + std::to_string(delta) + " x 250 us");
        }
    }
    return {};
}

}  // namespace

Result<void> write_transport_feedback(std::vector<std::uint8_t>& out,
                                      const RtcpTransportFeedback& fb) {
    if (fb.statuses.empty() || fb.statuses.size() > kTransportFeedbackMaxStatuses)
        return refuse("of " + std::to_string(fb.statuses.size()) +
                      " statuses, 1..65535 are written");
    if (fb.reference_time > 0xFFFFFF)
        return refuse("with reference time " + std::to_string(fb.reference_time) +
                      " past 24 bits");
    std::vector<std::uint8_t> symbols, deltas;
    symbols.reserve(fb.statuses.size());
    if (auto ok = symbols_and_deltas(fb, symbols, deltas); !ok) return ok;
    put8(out, 0x80 | kRtcpFmtTransportFeedback);
    put8(out, kRtcpRtpfb);
    put16(out, 0);  // the length, filled in by append_rtcp
    put32(out, fb.sender_ssrc);
    put32(out, fb.media_ssrc);
    put16(out, fb.base_seq);
    put16(out, static_cast<std::uint32_t>(fb.statuses.size()));
    put32(out, fb.reference_time << 8 | fb.feedback_count);
    write_chunks(out, symbols);
    out.insert(out.end(), deltas.begin(), deltas.end());
    while (out.size() % 4) out.push_back(0);
    return {};
}

}  // namespace talmiro_media::rtcp_io
