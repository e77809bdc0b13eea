// Untrusted RTP datagrams of an H.264 stream in, Annex-B access units out, knowing what was lost.
#include "talmiro_media/rtp_depacketizer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "byte_order.hpp"
#include "rtp_nal_types.hpp"
#include "saturating.hpp"

namespace talmiro_media {

namespace {


bool is_single_type(std::uint8_t t) noexcept { return t >= 1 && t <= 23; }

}  // namespace

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

RtpDepacketizer::RtpDepacketizer(const RtpDepacketizerConfig& config) : config_(config) {
    const std::size_t window =
        std::bit_ceil(std::clamp<std::size_t>(config.window_packets, 64, 32768));
    config_.window_packets = window;
    config_.max_nacks = std::min<std::uint32_t>(config.max_nacks, 255);
    slots_.resize(window);
    released_arrived_.assign(window, false);
    released_us_.assign(window, 0);
}

void RtpDepacketizer::set_timing(std::int64_t max_wait_us, std::int64_t nack_interval_us) noexcept {
    config_.max_wait_us = max_wait_us;
    config_.nack_interval_us = nack_interval_us;
}

void RtpDepacketizer::set_round_trip(std::optional<std::int64_t> rtt_us,
                                     std::int64_t jitter_us) noexcept {
    // Each held to a day, so that nothing overflows (any value is allowed). In integers: the
    // fuzzing build traces no floating-point comparisons.
    constexpr std::int64_t kDay = 86'400'000'000;
    const std::int64_t jitter = std::clamp<std::int64_t>(jitter_us, 0, kDay);
    std::int64_t wait = 0, interval = 0;
    if (config_.nack && rtt_us) {
        const std::int64_t rtt = std::clamp<std::int64_t>(*rtt_us, 0, kDay);
        interval = std::max<std::int64_t>(5'000, rtt * 5 / 4 + 2 * jitter);
        // The first NACK's retransmission is due a round trip after the gap, with a margin for
        // jitter; a second NACK's, an interval later. Waiting on for a round that cannot come
        // before the cap only delays the unit that gives up anyway.
        const std::int64_t first = rtt + std::max(4 * jitter, rtt / 2);
        wait = first + interval <= config_.max_delay_us ? first + interval : first;
    } else if (config_.nack) {
        // No round trip yet: the whole cap, with one repeat half-way, so that a lost
        // retransmission is asked for again while an answer to the first NACK that comes
        // sooner still measures the round trip.
        wait = config_.max_delay_us;
        interval = std::max<std::int64_t>(5'000, config_.max_delay_us / 2);
    } else {
        wait = 4 * jitter;
        interval = config_.min_wait_us;
    }
    wait = std::min(std::max(wait, config_.min_wait_us), config_.max_delay_us);
    set_timing(wait, interval);
}

// ---- parsing ----

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
    p.payload = d.subspan(begin, end - begin);
    return check_payload(p.payload);
}

std::optional<RtpRefusal> RtpDepacketizer::check_payload(
    std::span<const std::uint8_t> payload) noexcept {
    // An empty payload (padding only) holds its sequence number and nothing else.
    if (payload.empty()) return std::nullopt;
    const std::uint8_t type = payload[0] & 0x1F;
    if (is_single_type(type))
        return nal_emulation_free(trim_nal(payload)) ? std::nullopt
                                                     : std::optional(RtpRefusal::BadNal);
    switch (type) {
        case kStapA: {
            std::size_t i = 1;
            if (i == payload.size()) return RtpRefusal::BadStapA;
            while (i < payload.size()) {
                if (payload.size() - i < 2) return RtpRefusal::BadStapA;
                const std::size_t n = be16(payload, i);
                i += 2;
                if (n == 0 || n > payload.size() - i || !is_single_type(payload[i] & 0x1F))
                    return RtpRefusal::BadStapA;
                if (!nal_emulation_free(trim_nal(payload.subspan(i, n)))) return RtpRefusal::BadNal;
                i += n;
            }
            return std::nullopt;
        }
        case kFuA:
            if (payload.size() < 2 || !is_single_type(payload[1] & 0x1F)) return RtpRefusal::BadFuA;
            return std::nullopt;
        case kStapB: return RtpRefusal::StapB;
        case kMtap16:
        case kMtap24: return RtpRefusal::Mtap;
        case kFuB: return RtpRefusal::FuB;
        default: return RtpRefusal::ReservedType;
    }
}

// ---- the stream ----

std::optional<RtpRefusal> RtpDepacketizer::accept_source(Packet& p, std::int64_t arrival_us,
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
    bad_seq_.reset();
    jitter_ts_.reset();
    std::fill(released_arrived_.begin(), released_arrived_.end(), false);
    nacks_pending_ = false;
    last_released_ts_.reset();
    markers_seen_ = false;
    tail_seq_.reset();
    spacing_ts_.reset();
    pause_ts_.reset();
    stats_.restarts += 1;
}

void RtpDepacketizer::update_jitter(std::uint32_t ts, std::int64_t arrival_us) noexcept {
    // Interarrival jitter in 90 kHz units: the running mean of |D| with gain 1/16, where D is
    // the change in transit time between two packets (in doubles: any time is allowed).
    const double arrival = static_cast<double>(arrival_us) * 0.09;
    if (jitter_ts_) {
        const double stamps = static_cast<double>(static_cast<std::int32_t>(ts - *jitter_ts_));
        const double d = (arrival - jitter_arrival_) - stamps;
        stats_.jitter += (std::fabs(d) - stats_.jitter) / 16.0;
    }
    jitter_ts_ = ts;
    jitter_arrival_ = arrival;
}

// Sequence validation in the manner of RFC 3550 (A.1): a packet far from the stream is on
// probation, and the next packet of the media stream continuing from it (its sequence number
// plus one) confirms a new base. Far is more than `max_dropout` ahead, or behind the window, or
// behind the release point at a place passed longer ago than anything still worth waiting for
// can come: an answer to a NACK comes within a round trip of the wait for a gap (both held to
// the cap on delay), a late packet within the wait, and `ssrc_silence_us` is already how long
// this receiver takes a quiet stream to be gone. Closer behind, a packet is late or a duplicate
// whatever follows it: two consecutive resends of an older pair come well within that time. A
// retransmission in RTX form carries an old sequence number by design: it never confirms.
RtpDepacketizer::SeqCheck RtpDepacketizer::check_seq(const Packet& p, std::int64_t ext,
                                                     std::int64_t arrival_us) noexcept {
    const std::int64_t window = static_cast<std::int64_t>(slots_.size());
    const std::int64_t delta = ext - highest_;
    const std::int64_t horizon = std::max(
        {saturating_add(config_.max_wait_us, config_.max_delay_us),
         saturating_add(config_.max_delay_us, config_.max_delay_us),
         config_.ssrc_silence_us});
    const bool far = delta > static_cast<std::int64_t>(config_.max_dropout) || ext < next_ - window;
    const bool stale =
        !far && ext < next_ &&
        saturating_sub(arrival_us, released_us_[static_cast<std::uint64_t>(ext) &
                                                (slots_.size() - 1)]) > horizon;
    if (!far && !stale) {
        if (!p.rtx) bad_seq_.reset();
        return SeqCheck::InStream;
    }
    if (p.rtx) return far ? SeqCheck::Refused : SeqCheck::InStream;
    if (bad_seq_ && p.seq == *bad_seq_) return SeqCheck::NewBase;
    bad_seq_ = static_cast<std::uint16_t>(p.seq + 1);
    return far ? SeqCheck::Refused : SeqCheck::InStream;
}

void RtpDepacketizer::mark_released(std::int64_t ext, bool arrived, std::int64_t now_us) noexcept {
    const std::size_t index = static_cast<std::uint64_t>(ext) & (slots_.size() - 1);
    released_arrived_[index] = arrived;
    released_us_[index] = now_us;
}

void RtpDepacketizer::start_stream(const Packet& p, std::int64_t ext, bool fresh_unknown,
                                   std::int64_t arrival_us) noexcept {
    started_ = true;
    ssrc_ = p.ssrc;
    next_ = ext;
    highest_ = ext - 1;
    gap_ = fresh_unknown ? 1 : 0;
    last_marked_ = true;
    stats_.ssrc = ssrc_;
    stats_.first_seq = ext;
    // Places before the first packet count as passed now.
    std::fill(released_us_.begin(), released_us_.end(), arrival_us);
}

bool RtpDepacketizer::extend(const Packet& p, std::int64_t ext, std::int64_t arrival_us,
                             RtpOutput& out) {
    const std::int64_t window = static_cast<std::int64_t>(slots_.size());
    bool recovered = false;
    if (ext - next_ >= window) advance(arrival_us, ext - window + 1, out);
    if (!p.rtx) {
        update_jitter(p.ts, arrival_us);
        // A tail asked for says nothing of the spacing when it may be the answer, a round
        // trip later; with RTX on, the answer comes as RTX and the original was only late
        // (the very pause the tail wait must learn to sit out).
        const bool asked = tail_seq_ && ext == *tail_seq_ && !config_.rtx_payload_type;
        if (ext == highest_ + 1 && !asked)
            update_spacing(p.ts, arrival_us);
        else
            spacing_ts_.reset();
    }
    const std::int64_t gap_begin = std::max(highest_ + 1, next_);
    const bool askable = ext - gap_begin <= static_cast<std::int64_t>(config_.max_nack_run);
    for (std::int64_t g = gap_begin; g < ext; ++g) {
        Slot& s = slot(g);
        s = Slot{};
        s.state = SlotState::Missing;
        s.time_us = arrival_us;
        if (!askable) s.nack_count = 255;  // never asked for
        if (tail_seq_ && g == *tail_seq_ && askable) {
            // Asked for already, as the tail of the unit before.
            s.nacked = true;
            s.nack_count = tail_count_;
            s.last_nack_us = tail_asked_us_;
        }
        if (config_.nack) ask(s, g, arrival_us, out);
    }
    if (tail_seq_ && ext >= *tail_seq_) {
        // With RTX on, the original packet merely late is no recovery.
        if (ext == *tail_seq_ && (p.rtx || !config_.rtx_payload_type)) {
            recovered = true;
            stats_.packets_recovered += 1;
        }
        tail_seq_.reset();
    }
    highest_ = ext;
    stats_.highest_seq = highest_;
    return recovered;
}

std::optional<RtpRefusal> RtpDepacketizer::insert(const Packet& p, std::int64_t arrival_us,
                                                  RtpOutput& out) {
    std::int64_t ext = p.seq;
    bool fresh_unknown = false;
    if (started_) {
        ext = highest_ + static_cast<std::int16_t>(p.seq - static_cast<std::uint16_t>(highest_));
        const SeqCheck check = check_seq(p, ext, arrival_us);
        if (check == SeqCheck::Refused) return RtpRefusal::SeqJump;
        if (check == SeqCheck::NewBase) {
            // Two in a row: the sender jumped. Start over at this packet; what came before it
            // (the refused one) may have begun its access unit.
            restart(arrival_us, out);
            ext = p.seq;
            fresh_unknown = true;
        }
    }
    if (!started_) start_stream(p, ext, fresh_unknown, arrival_us);
    bool recovered = false;
    if (ext < next_) {
        // Behind the release point: a duplicate if its place was filled, else late.
        const std::size_t index = static_cast<std::uint64_t>(ext) & (slots_.size() - 1);
        (released_arrived_[index] ? stats_.packets_duplicated : stats_.packets_late) += 1;
        released_arrived_[index] = true;
        return std::nullopt;
    }
    if (ext <= highest_) {
        Slot& s = slot(ext);
        if (s.state == SlotState::Present) {
            stats_.packets_duplicated += 1;
            return std::nullopt;
        }
        stats_.packets_reordered += 1;
        recovered = s.nacked;
        if (recovered) stats_.packets_recovered += 1;
    } else {
        recovered = extend(p, ext, arrival_us, out);
    }

    if (ext == next_) {
        // At the release point: used straight from the datagram.
        slot(ext) = Slot{};
        mark_released(ext, true, arrival_us);
        next_ += 1;
        consume(p.ts, p.marker, p.payload, arrival_us, recovered, out);
        return std::nullopt;
    }
    Slot& s = slot(ext);
    s.state = SlotState::Present;
    s.marker = p.marker;
    s.ts = p.ts;
    s.time_us = arrival_us;
    s.nacked = recovered;
    s.payload.assign(p.payload.begin(), p.payload.end());
    buffered_bytes_ += s.payload.size();
    while (buffered_bytes_ > config_.max_buffered_bytes && next_ <= highest_)
        advance(arrival_us, next_ + 1, out);
    return std::nullopt;
}

void RtpDepacketizer::advance(std::int64_t now_us, std::int64_t force_until, RtpOutput& out) {
    while (next_ <= highest_) {
        Slot& s = slot(next_);
        if (s.state == SlotState::Present) {
            std::vector<std::uint8_t> payload = std::move(s.payload);
            buffered_bytes_ -= payload.size();
            const Slot taken{SlotState::Empty, s.marker, s.nacked, 0, s.ts, s.time_us, 0, {}};
            s = Slot{};
            mark_released(next_, true, now_us);
            next_ += 1;
            consume(taken.ts, taken.marker, payload, taken.time_us, taken.nacked, out);
            continue;
        }
        if (pass_given_up_tail(now_us, out)) continue;
        const bool forced = next_ < force_until;
        if (!forced && now_us < saturating_add(s.time_us, config_.max_wait_us)) break;
        if (forced && now_us < saturating_add(s.time_us, config_.max_wait_us)) stats_.forced += 1;
        s = Slot{};
        mark_released(next_, false, now_us);
        next_ += 1;
        stats_.packets_lost += 1;
        pass_gap(out);
    }
    if (next_ < force_until) {
        // Sequence numbers never seen, beyond the highest: lost as well.
        const std::int64_t n = force_until - next_;
        const std::int64_t window = static_cast<std::int64_t>(slots_.size());
        for (std::int64_t g = std::max(next_, force_until - window); g < force_until; ++g)
            mark_released(g, false, now_us);
        stats_.packets_lost += static_cast<std::uint64_t>(n);
        stats_.forced += static_cast<std::uint64_t>(n);
        next_ = force_until;
        highest_ = std::max(highest_, next_ - 1);
        pass_gap(out);
        gap_ += static_cast<std::uint64_t>(n - 1);
    }
}

bool RtpDepacketizer::pass_given_up_tail(std::int64_t now_us, RtpOutput& out) {
    // The unit before was let go without its marker packet and the next packet, already here,
    // is of another unit: the one sequence number between them was the marker packet of a unit
    // that is gone, and the next unit need not wait for it (it counts as late if it comes).
    if (unit_.active || last_marked_ || !markers_seen_ || gap_ != 0 || !last_released_ts_ ||
        next_ + 1 > highest_)
        return false;
    const Slot& after = slot(next_ + 1);
    if (after.state != SlotState::Present || after.ts == *last_released_ts_) return false;
    slot(next_) = Slot{};
    mark_released(next_, false, now_us);
    next_ += 1;
    stats_.packets_lost += 1;
    pass_gap(out);
    return true;
}

bool RtpDepacketizer::late_for_released(std::uint32_t ts) noexcept {
    // A unit let go before its end does not come out again under the same timestamp: what
    // arrives for it later is late, and nothing of it was lost between it and the next unit.
    if (unit_.active || last_marked_ || !last_released_ts_ || *last_released_ts_ != ts)
        return false;
    stats_.packets_late += 1;
    gap_ = 0;
    return true;
}

void RtpDepacketizer::drop_fragment() noexcept {
    if (!unit_.fu_start) return;
    unit_.bytes.resize(*unit_.fu_start);
    unit_.fu_start.reset();
    unit_.ok = false;
    stats_.nals_dropped += 1;
}

void RtpDepacketizer::pass_gap(RtpOutput&) {
    gap_ += 1;
    // A fragmented unit cannot go on across a gap.
    if (unit_.active) drop_fragment();
}

void RtpDepacketizer::append_nal(std::span<const std::uint8_t> whole) {
    const auto nal = trim_nal(whole);
    const std::uint8_t type = nal[0] & 0x1F;
    const bool long_code = unit_.bytes.empty() || type == kNalSps || type == kNalPps;
    const std::size_t code = long_code ? 4 : 3;
    if (unit_.bytes.size() + code + nal.size() > config_.max_unit_bytes) {
        stats_.nals_dropped += 1;
        if (!unit_.oversized) stats_.units_oversized += 1;
        unit_.oversized = true;
        unit_.ok = false;
        return;
    }
    const std::size_t at = unit_.bytes.size();
    static constexpr std::uint8_t kCode[4] = {0, 0, 0, 1};
    unit_.bytes.insert(unit_.bytes.end(), kCode + (4 - code), kCode + 4);
    unit_.bytes.insert(unit_.bytes.end(), nal.begin(), nal.end());
    unit_.nals.push_back({at, at + code, unit_.bytes.size(), type});
}

bool RtpDepacketizer::consume_fu(std::span<const std::uint8_t> payload, bool marker,
                                 RtpOutput& out) {
    const std::uint8_t header = payload[1], nal_type = header & 0x1F;
    const auto data = payload.subspan(2);
    if (header & 0x80) {
        unit_.fu_dropped = false;
        drop_fragment();
        const auto nal_header = static_cast<std::uint8_t>((payload[0] & 0xE0) | nal_type);
        const bool long_code = unit_.bytes.empty() || nal_type == kNalSps || nal_type == kNalPps;
        unit_.fu_start = unit_.bytes.size();
        unit_.fu_type = nal_type;
        static constexpr std::uint8_t kCode[4] = {0, 0, 0, 1};
        unit_.bytes.insert(unit_.bytes.end(), kCode + (long_code ? 0 : 1), kCode + 4);
        unit_.bytes.push_back(nal_header);
    } else if (!unit_.fu_start || unit_.fu_type != nal_type) {
        // A fragment without its start: the unit it belongs to is lost whole.
        if (unit_.fu_start) {
            unit_.bytes.resize(*unit_.fu_start);
            unit_.fu_start.reset();
        }
        // Counted once per NAL unit: at its first fragment heard when nothing was amiss, or
        // else at its end; not again once counted (for the unit cap, or at that first one).
        const bool counted = !unit_.fu_dropped && (unit_.ok || (header & 0x40));
        if (counted) stats_.nals_dropped += 1;
        unit_.fu_dropped = (header & 0x40) == 0 && (counted || unit_.fu_dropped);
        unit_.ok = false;
        if (marker) {
            markers_seen_ = true;
            finish(false, true, out);
        }
        return false;
    }
    if (unit_.bytes.size() + data.size() > config_.max_unit_bytes) {
        drop_fragment();
        if (!unit_.oversized) stats_.units_oversized += 1;
        unit_.oversized = true;
        unit_.fu_dropped = (header & 0x40) == 0;
    } else {
        unit_.bytes.insert(unit_.bytes.end(), data.begin(), data.end());
        if (header & 0x40) end_fu(nal_type);
    }
    return true;
}

void RtpDepacketizer::end_fu(std::uint8_t nal_type) {
    const std::size_t at = *unit_.fu_start;
    const std::size_t code = unit_.bytes[at + 2] == 1 ? 3 : 4;
    unit_.fu_start.reset();
    while (unit_.bytes.back() == 0) unit_.bytes.pop_back();  // the header is not 0
    const auto nal = std::span<const std::uint8_t>(unit_.bytes).subspan(at + code);
    if (nal_emulation_free(nal)) {
        unit_.nals.push_back({at, at + code, unit_.bytes.size(), nal_type});
    } else {
        unit_.bytes.resize(at);
        unit_.ok = false;
        stats_.nals_dropped += 1;
    }
}

void RtpDepacketizer::consume(std::uint32_t ts, bool marker, std::span<const std::uint8_t> payload,
                              std::int64_t arrival_us, bool recovered, RtpOutput& out) {
    if (payload.empty() || late_for_released(ts)) return;
    if (unit_.active && ts != unit_.ts) finish(unit_.ok && gap_ == 0, false, out);
    if (!unit_.active) {
        // Its start is known when nothing was lost since the previous unit ended on its marker
        // packet or on a change of timestamp, or when the one packet lost was that unit's
        // marker packet. A unit let go before its end does not go on under the same timestamp.
        const bool same_ts = last_released_ts_ && *last_released_ts_ == ts;
        const bool clean = gap_ == 0 ? last_marked_ || !same_ts
                                     : gap_ == 1 && !last_marked_ && markers_seen_ && !same_ts;
        unit_.active = true;
        unit_.ts = ts;
        unit_.ok = clean;
        unit_.bytes.reserve(std::min(last_unit_bytes_ + last_unit_bytes_ / 4 + 2 * payload.size(),
                                     config_.max_unit_bytes));
        unit_.first_arrival_us = arrival_us;
    } else if (gap_ > 0) {
        unit_.ok = false;
    }
    gap_ = 0;
    unit_.last_arrival_us = arrival_us;
    unit_.recovered = unit_.recovered || recovered;

    const std::uint8_t type = payload[0] & 0x1F;
    if (type != kFuA) unit_.fu_dropped = false;
    // A fragmented unit interrupted before its end fragment.
    if (type != kFuA) drop_fragment();
    if (is_single_type(type)) {
        append_nal(payload);
    } else if (type == kStapA) {
        for (std::size_t i = 1; i + 2 <= payload.size();) {
            const std::size_t n = be16(payload, i);
            append_nal(payload.subspan(i + 2, n));
            i += 2 + n;
        }
    } else if (!consume_fu(payload, marker, out)) {
        return;
    }
    if (marker) {
        markers_seen_ = true;
        finish(unit_.ok, true, out);
    }
}

void RtpDepacketizer::finish(bool complete, bool marked, RtpOutput& out) {
    drop_fragment();
    RtpAccessUnit au;
    au.rtp_timestamp = unit_.ts;
    au.ssrc = ssrc_;
    au.first_arrival_us = unit_.first_arrival_us;
    au.last_arrival_us = unit_.last_arrival_us;
    au.complete = complete && unit_.ok;
    au.recovered = unit_.recovered;
    au.unit.t_us = unit_.last_arrival_us;
    last_unit_bytes_ = unit_.bytes.size();
    au.unit.data = SharedBytes(std::move(unit_.bytes));
    const AuFacts facts = au_facts(au.unit.bytes(), unit_.nals);
    au.unit.key = facts.key;
    au.unit.recovery = facts.recovery;
    au.unit.config = std::any_of(unit_.nals.begin(), unit_.nals.end(), [](const NalUnit& u) {
        return u.type == kNalSps || u.type == kNalPps;
    });
    (au.complete ? stats_.units_complete : stats_.units_incomplete) += 1;
    if (au.complete && pause_ts_ && *pause_ts_ == unit_.ts) {
        spacing_peak_us_ = std::max(unit_pause_us_, spacing_peak_us_ - spacing_peak_us_ / 256);
        pause_ts_.reset();
    }
    last_released_ts_ = unit_.ts;
    last_marked_ = marked;
    unit_ = Unit{};
    out.units.push_back(std::move(au));
}

std::optional<std::int64_t> RtpDepacketizer::nack_due(const Slot& s) const noexcept {
    if (s.state != SlotState::Missing || s.nack_count >= config_.max_nacks) return std::nullopt;
    if (s.nack_count == 0) return saturating_add(s.time_us, config_.nack_delay_us);
    if (s.nack_count == 1 && config_.nack_copy_us > 0)
        return saturating_add(s.last_nack_us, config_.nack_copy_us);
    if (config_.nack_interval_us <= 0) return std::nullopt;
    return saturating_add(s.last_nack_us, config_.nack_interval_us);
}

void RtpDepacketizer::ask(Slot& s, std::int64_t seq, std::int64_t now_us, RtpOutput& out) {
    if (const auto due = nack_due(s); due && now_us >= *due) {
        s.nacked = true;
        s.nack_count += 1;
        s.last_nack_us = now_us;
        out.nacks.push_back(static_cast<std::uint16_t>(seq));
        stats_.nacks += 1;
    }
    if (const auto due = nack_due(s)) {
        if (!nacks_pending_ || *due < nack_due_us_) nack_due_us_ = *due;
        nacks_pending_ = true;
    }
}

std::optional<std::int64_t> RtpDepacketizer::tail_due() const noexcept {
    // Only while the unit's last packet heard is the stream's last.
    if (!config_.nack || !unit_.active || next_ <= highest_ || !markers_seen_ ||
        unit_.tail_asks >= config_.max_nacks)
        return std::nullopt;
    if (!tail_seq_ || *tail_seq_ != highest_ + 1)
        return saturating_add(unit_.last_arrival_us, tail_wait_us());
    // Asked for already in this stall: again as a gap's first NACK would be.
    if (tail_count_ >= config_.max_nacks) return std::nullopt;
    if (tail_count_ == 1 && config_.nack_copy_us > 0)
        return saturating_add(tail_asked_us_, config_.nack_copy_us);
    if (config_.nack_interval_us <= 0) return std::nullopt;
    return saturating_add(tail_asked_us_, config_.nack_interval_us);
}

std::int64_t RtpDepacketizer::tail_wait_us() const noexcept {
    // In integers (the fuzzing build traces no floating-point comparisons). The jitter in
    // 90 kHz units fits (it is a mean of differences of stamps and scaled times), held to
    // about three hours before it becomes µs.
    const std::int64_t jitter_us =
        std::min<std::int64_t>(static_cast<std::int64_t>(stats_.jitter), 1'000'000'000) * 100 / 9;
    const std::int64_t wait =
        std::max(2 * spacing_us_ + 3 * jitter_us, spacing_peak_us_ + spacing_peak_us_ / 2);
    // Below half the wait for a gap too: a tail asked for must have time to come.
    const std::int64_t upper =
        std::max(config_.tail_wait_min_us,
                 std::min(config_.tail_wait_max_us, config_.max_wait_us / 2));
    return std::clamp(wait, config_.tail_wait_min_us, upper);
}

void RtpDepacketizer::ask_tail(std::int64_t now_us, RtpOutput& out) {
    const auto due = tail_due();
    if (!due || now_us < *due) return;
    if (tail_seq_ && *tail_seq_ == highest_ + 1) {
        tail_count_ += 1;
    } else {
        tail_seq_ = highest_ + 1;
        tail_count_ = 1;
    }
    tail_asked_us_ = now_us;
    unit_.tail_asks += 1;
    out.nacks.push_back(static_cast<std::uint16_t>(*tail_seq_));
    stats_.nacks += 1;
    stats_.tail_nacks += 1;
}

// How a sender and the path spread one picture's packets, for the tail wait: the mean spacing
// of consecutive packets within a unit, and the peak of the longest pause within a unit. The
// pause is the time between two packets of one unit arriving next in sequence; a unit's
// longest is taken only when the unit came out complete (an incomplete unit's pauses are
// losses and answers to NACKs, not spread), and the peak follows a longer one at once and
// fades by 1/256 per complete unit (to half in about 177 units, 6 s at 30 a second). A peak
// and not a mean: a jittery path or a pacing sender pauses long in one unit of many, and a
// tail asked for too soon costs a NACK, a resend and a duplicate each time, while one asked
// for late costs only that much wait on a tail really lost (bounded by the tail wait's cap).
// The wait is 1.5 times the peak: the longest pause of a jittery path is reached seldom, so
// the peak learnt sits below it. A tail asked for whose original then came (RTX on) is one of
// those pauses and is learnt too, or the wait would never learn past its own NACKs.
void RtpDepacketizer::update_spacing(std::uint32_t ts, std::int64_t arrival_us) noexcept {
    if (!pause_ts_ || *pause_ts_ != ts) {
        pause_ts_ = ts;
        unit_pause_us_ = 0;
    }
    if (spacing_ts_ && *spacing_ts_ == ts) {
        // Mean with gain 1/8, each sample held to a second (any time is allowed).
        const std::int64_t sample =
            std::clamp<std::int64_t>(saturating_sub(arrival_us, spacing_arrival_us_), 0, 1'000'000);
        spacing_us_ = spacing_learnt_ ? spacing_us_ + (sample - spacing_us_) / 8 : sample;
        spacing_learnt_ = true;
        unit_pause_us_ = std::max(unit_pause_us_, sample);
    }
    spacing_ts_ = ts;
    spacing_arrival_us_ = arrival_us;
}

void RtpDepacketizer::repeat_nacks(std::int64_t now_us, RtpOutput& out) {
    if (!config_.nack || !nacks_pending_ || now_us < nack_due_us_) return;
    nacks_pending_ = false;
    for (std::int64_t g = next_; g <= highest_; ++g) ask(slot(g), g, now_us, out);
}

RtpOutput RtpDepacketizer::poll(std::int64_t now_us) {
    RtpOutput out;
    if (!started_) return out;
    advance(now_us, next_, out);
    // A unit whose end has not come, with nothing after it in sight: its last packets were lost.
    if (unit_.active && next_ > highest_ &&
        now_us > saturating_add(unit_.last_arrival_us, config_.max_wait_us))
        finish(false, false, out);
    ask_tail(now_us, out);
    repeat_nacks(now_us, out);
    return out;
}

RtpOutput RtpDepacketizer::give_up(std::int64_t now_us) {
    RtpOutput out;
    if (!started_) return out;
    advance(now_us, highest_ + 1, out);
    if (unit_.active) finish(false, false, out);
    nacks_pending_ = false;
    return out;
}

std::optional<std::int64_t> RtpDepacketizer::next_deadline_us() const noexcept {
    if (!started_) return std::nullopt;
    std::optional<std::int64_t> due;
    auto take = [&](std::int64_t t) { due = due ? std::min(*due, t) : t; };
    if (next_ <= highest_) {
        const Slot& s = slots_[static_cast<std::uint64_t>(next_) & (slots_.size() - 1)];
        if (s.state == SlotState::Missing) take(saturating_add(s.time_us, config_.max_wait_us));
    } else if (unit_.active) {
        take(saturating_add(saturating_add(unit_.last_arrival_us, config_.max_wait_us), 1));
    }
    if (config_.nack && nacks_pending_) take(nack_due_us_);
    if (const auto tail = tail_due()) take(*tail);
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
