// Untrusted RTP datagrams of an H.264 stream in, Annex-B access units out, knowing what was lost:
// the header and source checks here, the order in `RtpReorderWindow`, the timing of NACKs and
// waits in `NackScheduler`, the units in `H264UnitAssembler`.
#include "talmiro_media/rtp_depacketizer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "byte_order.hpp"
#include "saturating.hpp"

namespace talmiro_media {

namespace {

using Place = RtpReorderWindow::Place;

RtpDepacketizerConfig normalized(RtpDepacketizerConfig config) noexcept {
    config.window_packets =
        std::bit_ceil(std::clamp<std::size_t>(config.window_packets, 64, 32768));
    config.max_nacks = std::min<std::uint32_t>(config.max_nacks, 255);
    return config;
}

}  // namespace

RtpDepacketizer::RtpDepacketizer(const RtpDepacketizerConfig& config)
    : config_(normalized(config)),
      window_(config_.window_packets),
      scheduler_(config_, config_.window_packets),
      assembler_(config_.max_unit_bytes) {}

void RtpDepacketizer::set_timing(std::int64_t max_wait_us, std::int64_t nack_interval_us) noexcept {
    scheduler_.set_timing(max_wait_us, nack_interval_us);
    config_.max_wait_us = max_wait_us;
    config_.nack_interval_us = nack_interval_us;
}

void RtpDepacketizer::set_round_trip(std::optional<std::int64_t> rtt_us,
                                     std::int64_t jitter_us) noexcept {
    scheduler_.set_round_trip(rtt_us, jitter_us);
    config_.max_wait_us = scheduler_.max_wait_us();
    config_.nack_interval_us = scheduler_.interval_us();
}

// ---- parsing ----

// The fixed header, then the CSRC list, an extension (its length in words after a 16-bit
// profile field) and padding (its length in the last byte), each when its bit says so. A
// retransmission in RTX form carries the original sequence number first in its payload.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|X|  CC   |M|     PT      |       sequence number         |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                           timestamp                           |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                             SSRC                              |
//  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//  |                  CSRC list (CC words), extension              |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  (RTX: original sequence no.) |  payload ...  | padding, count|
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
std::optional<RtpRefusal> RtpDepacketizer::parse(std::span<const std::uint8_t> d,
                                                 Packet& p) const noexcept {
    if (d.size() < 12) return RtpRefusal::Truncated;
    if (d[0] >> 6 != 2) return RtpRefusal::BadVersion;
    const std::uint8_t pt = d[1] & 0x7F;
    p.marker = (d[1] & 0x80) != 0;
    p.seq = be16(d, 2);
    p.ts = be32(d, 4);
    p.ssrc = be32(d, 8);
    std::size_t begin = 12 + 4 * std::size_t{d[0] & 0x0Fu};
    if (begin > d.size()) return RtpRefusal::Truncated;
    if (d[0] & 0x10) {
        if (d.size() - begin < 4) return RtpRefusal::Truncated;
        const std::size_t words = be16(d, begin + 2);
        begin += 4;
        if (d.size() - begin < 4 * words) return RtpRefusal::Truncated;
        begin += 4 * words;
    }
    std::size_t end = d.size();
    if (d[0] & 0x20) {
        if (end == begin) return RtpRefusal::BadPadding;
        const std::size_t pad = d[end - 1];
        if (pad == 0 || pad > end - begin) return RtpRefusal::BadPadding;
        end -= pad;
    }
    if (pt == config_.payload_type) {
        p.rtx = false;
    } else if (config_.rtx_payload_type && pt == *config_.rtx_payload_type) {
        p.rtx = true;
        if (end - begin < 2) return RtpRefusal::Truncated;
        p.seq = be16(d, begin);
        begin += 2;
    } else {
        return RtpRefusal::WrongPayloadType;
    }
    const auto payload = parse_h264_payload(d.subspan(begin, end - begin));
    if (!payload) return payload.error();
    p.payload = *payload;
    return std::nullopt;
}

// ---- the stream ----

std::optional<RtpRefusal> RtpDepacketizer::accept_source(const Packet& p, std::int64_t arrival_us,
                                                         RtpOutput& out) {
    if (p.rtx) {
        const std::optional<std::uint32_t> want = config_.rtx_ssrc ? config_.rtx_ssrc : rtx_ssrc_;
        if (want && p.ssrc != *want) return RtpRefusal::ForeignSsrc;
        // Retransmissions belong to a media stream that is running.
        if (!started_ || p.ssrc == ssrc_) return RtpRefusal::ForeignSsrc;
        rtx_ssrc_ = p.ssrc;
        return std::nullopt;
    }
    if (config_.ssrc && p.ssrc != *config_.ssrc) return RtpRefusal::ForeignSsrc;
    if (!started_ || p.ssrc == ssrc_) return std::nullopt;
    if (config_.ssrc ||
        (!ended_ && saturating_add(last_packet_us_, config_.ssrc_silence_us) > arrival_us))
        return RtpRefusal::ForeignSsrc;
    restart(arrival_us, out);
    return std::nullopt;
}

void RtpDepacketizer::restart(std::int64_t now_us, RtpOutput& out) {
    RtpOutput flushed = give_up(now_us);
    for (RtpAccessUnit& u : flushed.units) out.units.push_back(std::move(u));
    started_ = false;
    ended_ = false;
    rtx_ssrc_.reset();
    jitter_ts_.reset();
    window_.restart();
    scheduler_.restart();
    assembler_.restart();
    spacing_.restart();
    stats_.restarts += 1;
}

// The interarrival jitter estimates how much the transit time of the stream's packets varies
// (RFC 3550, 6.4.1): the receiver reports it, and it is the margin the waits and the tail wait
// keep for a packet that is merely late. The running mean of |D| with gain 1/16, where D is the
// change in transit time between two packets, in 90 kHz units (in doubles: any time is allowed).
void RtpDepacketizer::update_jitter(std::uint32_t ts, std::int64_t arrival_us) noexcept {
    const double arrival = static_cast<double>(arrival_us) * 0.09;
    if (jitter_ts_) {
        const double stamps = static_cast<double>(static_cast<std::int32_t>(ts - *jitter_ts_));
        const double d = (arrival - jitter_arrival_) - stamps;
        stats_.jitter += (std::fabs(d) - stats_.jitter) / 16.0;
    }
    jitter_ts_ = ts;
    jitter_arrival_ = arrival;
}

std::int64_t RtpDepacketizer::jitter_us() const noexcept {
    // In integers (the fuzzing build traces no floating-point comparisons). The jitter in
    // 90 kHz units fits (it is a mean of differences of stamps and scaled times), held to
    // about three hours before it becomes µs.
    return std::min<std::int64_t>(static_cast<std::int64_t>(stats_.jitter), 1'000'000'000) * 100 /
           9;
}

void RtpDepacketizer::start_stream(const Packet& p, std::int64_t ext, bool unknown_start,
                                   std::int64_t arrival_us) noexcept {
    started_ = true;
    ssrc_ = p.ssrc;
    window_.start(ext, arrival_us);
    assembler_.start(ssrc_, unknown_start);
    stats_.ssrc = ssrc_;
    stats_.first_seq = ext;
}

std::optional<std::int64_t> RtpDepacketizer::locate(const Packet& p, std::int64_t arrival_us,
                                                    RtpOutput& out) {
    std::int64_t ext = p.seq;
    bool unknown_start = false;
    if (started_) {
        ext = window_.extend_seq(p.seq);
        // How long a released place may still see a late packet or an answer to a NACK.
        const std::int64_t horizon =
            std::max({saturating_add(scheduler_.max_wait_us(), config_.max_delay_us),
                      saturating_add(config_.max_delay_us, config_.max_delay_us),
                      config_.ssrc_silence_us});
        switch (window_.check(p.seq, ext, p.rtx, arrival_us, horizon, config_.max_dropout)) {
            case RtpReorderWindow::SeqCheck::InStream: break;
            case RtpReorderWindow::SeqCheck::Refused: return std::nullopt;
            case RtpReorderWindow::SeqCheck::NewBase:
                // Two in a row: the sender jumped. Start over at this packet; what came before
                // it (the refused one) may have begun its access unit.
                restart(arrival_us, out);
                ext = p.seq;
                unknown_start = true;
                break;
        }
    }
    if (!started_) start_stream(p, ext, unknown_start, arrival_us);
    return ext;
}

bool RtpDepacketizer::extend(const Packet& p, std::int64_t ext, std::int64_t arrival_us,
                             RtpOutput& out) {
    if (ext - window_.next() >= window_.size())
        advance(arrival_us, ext - window_.size() + 1, out);
    if (!p.rtx) {
        update_jitter(p.ts, arrival_us);
        // A tail asked for says nothing of the spacing when it may be the answer, a round
        // trip later; with RTX on, the answer comes as RTX and the original was only late
        // (the very pause the tail wait must learn to sit out).
        const bool asked = scheduler_.tail_asked(ext) && !config_.rtx_payload_type;
        if (ext == window_.highest() + 1 && !asked)
            spacing_.add(p.ts, arrival_us);
        else
            spacing_.interrupt();
    }
    const std::size_t asked_before = out.nacks.size();
    scheduler_.open(window_.extend(ext), ext, arrival_us, out.nacks);
    stats_.nacks += out.nacks.size() - asked_before;
    const bool recovered = scheduler_.end_tail(ext, p.rtx, config_.rtx_payload_type.has_value());
    if (recovered) stats_.packets_recovered += 1;
    stats_.highest_seq = ext;
    return recovered;
}

std::optional<RtpRefusal> RtpDepacketizer::insert(const Packet& p, std::int64_t arrival_us,
                                                  RtpOutput& out) {
    const std::optional<std::int64_t> ext = locate(p, arrival_us, out);
    if (!ext) return RtpRefusal::SeqJump;
    bool recovered = false;
    switch (window_.place(*ext)) {
        case Place::Behind:
            // A duplicate if its place was filled, else late.
            (window_.arrive_behind(*ext) ? stats_.packets_duplicated : stats_.packets_late) += 1;
            return std::nullopt;
        case Place::Held: stats_.packets_duplicated += 1; return std::nullopt;
        case Place::Missing:
            stats_.packets_reordered += 1;
            recovered = scheduler_.asked(*ext);
            if (recovered) stats_.packets_recovered += 1;
            break;
        case Place::Ahead: recovered = extend(p, *ext, arrival_us, out); break;
    }
    if (*ext == window_.next()) {
        // At the release point: used straight from the datagram.
        window_.release_arrived(arrival_us);
        assemble(p.payload, p.ts, p.marker, arrival_us, recovered, out);
        return std::nullopt;
    }
    const auto bytes = p.payload.bytes;
    window_.hold(*ext, {p.ts, p.marker, recovered, arrival_us, {bytes.begin(), bytes.end()}});
    while (window_.buffered_bytes() > config_.max_buffered_bytes && !window_.drained())
        advance(arrival_us, window_.next() + 1, out);
    return std::nullopt;
}

// ---- the release point ----

void RtpDepacketizer::advance(std::int64_t now_us, std::int64_t force_until, RtpOutput& out) {
    while (!window_.drained()) {
        const std::int64_t next = window_.next();
        if (window_.place(next) == Place::Held) {
            const RtpReorderWindow::Held h = window_.release_held(now_us);
            // Its payload was read when it arrived: it reads the same again.
            if (const auto payload = parse_h264_payload(h.payload))
                assemble(*payload, h.ts, h.marker, h.arrival_us, h.recovered, out);
            continue;
        }
        if (pass_cut_short_tail(now_us)) continue;
        const bool forced = next < force_until;
        const bool waited = now_us >= scheduler_.give_up_at(next);
        if (!forced && !waited) break;
        if (!waited) stats_.forced += 1;
        window_.release_missing(now_us);
        stats_.packets_lost += 1;
        pass_gap();
    }
    if (window_.next() < force_until) {
        // Sequence numbers never seen, beyond the highest: lost as well.
        const std::uint64_t n = window_.skip_to(force_until, now_us);
        stats_.packets_lost += n;
        stats_.forced += n;
        pass_gap(n);
    }
}

bool RtpDepacketizer::pass_cut_short_tail(std::int64_t now_us) {
    // The unit before was let go without its marker packet and the next packet, already here,
    // is of another unit: the one sequence number between them was the marker packet of a unit
    // that is gone, and the next unit need not wait for it (it counts as late if it comes).
    const std::optional<std::uint32_t> cut = assembler_.cut_short_ts();
    if (!cut || window_.next() + 1 > window_.highest()) return false;
    const std::optional<std::uint32_t> after = window_.held_ts(window_.next() + 1);
    if (!after || *after == *cut) return false;
    window_.release_missing(now_us);
    stats_.packets_lost += 1;
    pass_gap();
    return true;
}

void RtpDepacketizer::pass_gap(std::uint64_t n) { assembler_.pass_gap(n, stats_); }

void RtpDepacketizer::assemble(const H264Payload& payload, std::uint32_t ts, bool marker,
                               std::int64_t arrival_us, bool recovered, RtpOutput& out) {
    const std::size_t first = out.units.size();
    assembler_.add(payload, ts, marker, arrival_us, recovered, out.units, stats_);
    units_done(out, first);
}

void RtpDepacketizer::give_up_unit(RtpOutput& out) {
    const std::size_t first = out.units.size();
    assembler_.give_up(out.units, stats_);
    units_done(out, first);
}

void RtpDepacketizer::units_done(const RtpOutput& out, std::size_t first) noexcept {
    for (std::size_t i = first; i < out.units.size(); ++i)
        spacing_.unit_done(out.units[i].rtp_timestamp, out.units[i].complete);
}

// ---- NACKs ----

std::optional<NackScheduler::Stall> RtpDepacketizer::stall() const noexcept {
    // Only while the unit's last packet heard is the stream's last.
    if (!assembler_.active() || !window_.drained() || !assembler_.markers_seen())
        return std::nullopt;
    return NackScheduler::Stall{assembler_.unit_number(), assembler_.last_arrival_us(),
                                window_.highest() + 1, spacing_.wait_us(jitter_us())};
}

std::int64_t RtpDepacketizer::tail_wait_us() const noexcept {
    return scheduler_.tail_wait_us(spacing_.wait_us(jitter_us()));
}

void RtpDepacketizer::ask_due(std::int64_t now_us, RtpOutput& out) {
    const NackScheduler::Asked asked = scheduler_.ask_due(now_us, window_, stall(), out.nacks);
    stats_.nacks += asked.gaps + (asked.tail ? 1 : 0);
    if (asked.tail) stats_.tail_nacks += 1;
}

// ---- the calls ----

RtpOutput RtpDepacketizer::poll(std::int64_t now_us) {
    RtpOutput out;
    if (!started_) return out;
    advance(now_us, window_.next(), out);
    // A unit whose end has not come, with nothing after it in sight: its last packets were lost.
    if (assembler_.active() && window_.drained() &&
        now_us > saturating_add(assembler_.last_arrival_us(), scheduler_.max_wait_us()))
        give_up_unit(out);
    ask_due(now_us, out);
    return out;
}

RtpOutput RtpDepacketizer::give_up(std::int64_t now_us) {
    RtpOutput out;
    if (!started_) return out;
    advance(now_us, window_.highest() + 1, out);
    give_up_unit(out);
    scheduler_.clear();
    return out;
}

std::optional<std::int64_t> RtpDepacketizer::next_deadline_us() const noexcept {
    if (!started_) return std::nullopt;
    std::optional<std::int64_t> due;
    auto earliest = [&](std::int64_t t) { due = due ? std::min(*due, t) : t; };
    if (!window_.drained()) {
        if (window_.place(window_.next()) == Place::Missing)
            earliest(scheduler_.give_up_at(window_.next()));
    } else if (assembler_.active()) {
        earliest(saturating_add(
            saturating_add(assembler_.last_arrival_us(), scheduler_.max_wait_us()), 1));
    }
    if (const auto repeat = scheduler_.next_repeat_us()) earliest(*repeat);
    if (const auto tail = scheduler_.tail_due(stall())) earliest(*tail);
    return due;
}

RtpOutput RtpDepacketizer::push(std::span<const std::uint8_t> datagram, std::int64_t arrival_us) {
    RtpOutput out;
    Packet p;
    std::optional<RtpRefusal> refused = parse(datagram, p);
    if (!refused) out.header = RtpHeaderFacts{p.seq, p.ts, p.ssrc, p.rtx};
    if (!refused) refused = accept_source(p, arrival_us, out);
    if (!refused) refused = insert(p, arrival_us, out);
    if (refused) {
        stats_.packets_refused += 1;
        stats_.refused[static_cast<std::size_t>(*refused)] += 1;
        out.refused = refused;
    } else {
        stats_.packets_received += 1;
        stats_.bytes_received += datagram.size();
        if (p.rtx) stats_.rtx_received += 1;
        last_packet_us_ = arrival_us;
    }
    RtpOutput later = poll(arrival_us);
    for (RtpAccessUnit& u : later.units) out.units.push_back(std::move(u));
    out.nacks.insert(out.nacks.end(), later.nacks.begin(), later.nacks.end());
    return out;
}

}  // namespace talmiro_media
