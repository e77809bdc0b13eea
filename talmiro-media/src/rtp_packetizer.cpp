// Cuts Annex-B access units into RTP packets (single, STAP-A, FU-A) and keeps them for resending.
#include "talmiro_media/rtp_packetizer.hpp"

#include <algorithm>
#include <random>

#include "byte_order.hpp"
#include "rtp_nal_types.hpp"
#include "talmiro_media/rtp_header_extension.hpp"

namespace talmiro_media {

namespace {

constexpr std::size_t kRtxOverhead = 2;
constexpr std::size_t kMaxHistoryPackets = 32768;

std::uint32_t random_u32() {
    std::random_device rd;
    return rd();
}

// The NAL units of an access unit that can be sent (types 1..23, no start code emulated inside),
// without the zero bytes that may trail them; `skipped` counts the others.
std::vector<std::span<const std::uint8_t>> nal_spans(std::span<const std::uint8_t> annexb,
                                                     std::uint64_t& skipped) {
    std::vector<std::span<const std::uint8_t>> out;
    for (const NalUnit& u : nal_units(annexb)) {
        const auto nal = trim_nal(annexb.subspan(u.begin, u.end - u.begin));
        if (nal.empty()) continue;
        if (u.type == 0 || u.type >= 24 || !nal_emulation_free(nal)) {
            skipped += 1;
            continue;
        }
        out.push_back(nal);
    }
    return out;
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 |
                                bytes[i + 2];
        for (int k = 18; k >= 0; k -= 6) out.push_back(kAlphabet[v >> k & 63]);
    }
    if (const std::size_t rest = bytes.size() - i) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out.push_back(rest == 2 ? kAlphabet[v >> 6 & 63] : '=');
        out.push_back('=');
    }
    return out;
}

Result<RtpPacketizer> RtpPacketizer::create(const RtpPacketizerConfig& config) {
    if (config.mtu < kMinRtpMtu || config.mtu > kMaxRtpMtu)
        return std::unexpected(MediaError::unsupported(
            "RTP MTU must be within " + std::to_string(kMinRtpMtu) + ".." +
            std::to_string(kMaxRtpMtu) + " bytes, got " + std::to_string(config.mtu)));
    if (config.payload_type > 127 || config.rtx_payload_type > 127 ||
        config.payload_type == config.rtx_payload_type)
        return std::unexpected(MediaError::unsupported(
            "RTP payload types must be 0..127 and differ between media and retransmission"));
    if (const auto id = config.transport_cc_extension_id;
        id && (*id < kRtpMinExtensionId || *id > kRtpMaxExtensionId))
        return std::unexpected(MediaError::unsupported(
            "the transport-wide sequence number's extension id must be 1..14, got " +
            std::to_string(*id)));
    return RtpPacketizer(config);
}

RtpPacketizer::RtpPacketizer(const RtpPacketizerConfig& config)
    : config_(config),
      ssrc_(config.ssrc ? *config.ssrc : random_u32()),
      rtx_ssrc_(config.rtx_ssrc ? *config.rtx_ssrc : random_u32()),
      seq_(config.first_seq ? *config.first_seq : static_cast<std::uint16_t>(random_u32())),
      rtx_seq_(config.rtx_first_seq ? *config.rtx_first_seq
                                    : static_cast<std::uint16_t>(random_u32())),
      transport_seq_(config.transport_first_seq ? *config.transport_first_seq
                                                : static_cast<std::uint16_t>(random_u32())),
      header_size_(kRtpHeaderSize +
                   (config.transport_cc_extension_id ? kTransportSeqExtensionSize : 0)),
      ts_offset_(config.timestamp_offset ? *config.timestamp_offset : random_u32()) {
    // Two independent draws can collide; the two streams must be told apart.
    if (!config.rtx_ssrc && rtx_ssrc_ == ssrc_) rtx_ssrc_ = ~ssrc_;
}

std::uint32_t RtpPacketizer::timestamp_of(std::int64_t capture_us) const noexcept {
    // capture_us * 90000 / 1e6 rounded down, without overflow for any int64 input.
    std::int64_t q = capture_us / 100, r = capture_us % 100;
    if (r < 0) {
        r += 100;
        --q;
    }
    const std::uint64_t ticks =
        static_cast<std::uint64_t>(q) * 9 + static_cast<std::uint64_t>(r * 9 / 100);
    return static_cast<std::uint32_t>(ticks + ts_offset_);
}

std::optional<std::uint16_t> RtpPacketizer::next_transport_seq() const noexcept {
    if (!config_.transport_cc_extension_id) return std::nullopt;
    return transport_seq_;
}

std::optional<std::uint16_t> RtpPacketizer::transport_seq_of(
    std::span<const std::uint8_t> packet) const noexcept {
    if (!config_.transport_cc_extension_id) return std::nullopt;
    return read_transport_seq(packet, *config_.transport_cc_extension_id);
}

std::uint8_t RtpPacketizer::first_byte() const noexcept {
    return config_.transport_cc_extension_id ? 0x90 : 0x80;
}

void RtpPacketizer::put_extension(std::vector<std::uint8_t>& p) {
    if (config_.transport_cc_extension_id)
        append_transport_seq_extension(p, *config_.transport_cc_extension_id, transport_seq_++);
}

std::vector<std::uint8_t> RtpPacketizer::start_packet(std::uint32_t ts, std::size_t payload_size) {
    std::vector<std::uint8_t> p;
    p.reserve(header_size_ + payload_size);
    p.push_back(first_byte());
    p.push_back(config_.payload_type);
    put16(p, seq_++);
    put32(p, ts);
    put32(p, ssrc_);
    put_extension(p);
    return p;
}

void RtpPacketizer::emit(std::vector<SharedBytes>& out, std::vector<std::uint8_t> packet) {
    stats_.packets += 1;
    stats_.bytes += packet.size();
    stats_.payload_bytes += packet.size() - header_size_;
    const std::uint16_t seq = be16(packet, 2);
    SharedBytes shared(std::move(packet));
    history_.push_back({seq, shared});
    stats_.history_size += shared.size();
    while (history_.size() > kMaxHistoryPackets ||
           (stats_.history_size > config_.history_bytes && history_.size() > 1)) {
        stats_.history_size -= history_.front().packet.size();
        history_.pop_front();
    }
    stats_.history_packets = history_.size();
    out.push_back(std::move(shared));
}

void RtpPacketizer::remember_param_set(std::span<const std::uint8_t> nal) {
    const std::uint8_t type = nal[0] & 0x1F;
    std::optional<std::uint32_t> id;
    if (type == kNalSps) {
        if (const auto sps = parse_sps(nal)) id = sps->id;
    } else if (const auto pps = parse_pps(nal)) {
        id = pps->id;
    }
    if (!id) return;
    std::vector<std::uint8_t> bytes(nal.begin(), nal.end());
    if (type == kNalSps) latest_sps_id_ = id;
    for (ParamSet& p : param_sets_)
        if (p.type == type && p.id == *id) {
            p.nal = std::move(bytes);
            return;
        }
    param_sets_.push_back({type, *id, std::move(bytes)});
    // SPS before PPS, each by id, so the text does not depend on arrival order.
    std::sort(param_sets_.begin(), param_sets_.end(), [](const ParamSet& a, const ParamSet& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
}

void RtpPacketizer::pack(std::span<const std::span<const std::uint8_t>> group,
                         std::size_t stap_size, std::uint32_t ts,
                         std::vector<std::vector<std::uint8_t>>& built) {
    if (group.empty()) return;
    if (group.size() == 1) {
        auto p = start_packet(ts, group[0].size());
        p.insert(p.end(), group[0].begin(), group[0].end());
        stats_.single_packets += 1;
        built.push_back(std::move(p));
        return;
    }
    auto p = start_packet(ts, stap_size);
    std::uint8_t f = 0, nri = 0;
    for (const auto nal : group) {
        f |= nal[0] & 0x80;
        nri = std::max<std::uint8_t>(nri, nal[0] & 0x60);
    }
    p.push_back(static_cast<std::uint8_t>(f | nri | kStapA));
    for (const auto nal : group) {
        put16(p, static_cast<std::uint16_t>(nal.size()));
        p.insert(p.end(), nal.begin(), nal.end());
    }
    stats_.stap_a_packets += 1;
    built.push_back(std::move(p));
}

void RtpPacketizer::fragment(std::span<const std::uint8_t> nal, std::size_t max_payload,
                             std::uint32_t ts, std::vector<std::vector<std::uint8_t>>& built) {
    // The NAL header becomes the FU indicator and header; the body is cut into fragments of
    // near-equal size.
    const auto body = nal.subspan(1);
    const std::size_t room = max_payload - 2;
    const std::size_t count = (body.size() + room - 1) / room;
    const std::size_t base = body.size() / count, extra = body.size() % count;
    for (std::size_t k = 0, off = 0; k < count; ++k) {
        const std::size_t n = base + (k < extra ? 1 : 0);
        auto p = start_packet(ts, 2 + n);
        p.push_back(static_cast<std::uint8_t>((nal[0] & 0xE0) | kFuA));
        std::uint8_t header = nal[0] & 0x1F;
        if (off == 0) header |= 0x80;
        if (off + n == body.size()) header |= 0x40;
        p.push_back(header);
        p.insert(p.end(), body.begin() + static_cast<std::ptrdiff_t>(off),
                 body.begin() + static_cast<std::ptrdiff_t>(off + n));
        off += n;
        stats_.fu_a_packets += 1;
        built.push_back(std::move(p));
    }
}

std::vector<SharedBytes> RtpPacketizer::packetize(std::span<const std::uint8_t> annexb,
                                                  std::int64_t capture_us) {
    std::vector<SharedBytes> out;
    stats_.access_units += 1;
    const auto nals = nal_spans(annexb, stats_.nal_units_skipped);
    if (nals.empty()) {
        stats_.empty_units += 1;
        return out;
    }
    stats_.nal_units += nals.size();
    const std::uint32_t ts = timestamp_of(capture_us);
    last_ts_ = ts;
    const std::size_t max_payload = config_.mtu - header_size_ - kRtxOverhead;
    // Built first and kept once the last one is marked.
    std::vector<std::vector<std::uint8_t>> built;

    // Units waiting to go out together: [first, last) of `nals` and their STAP-A size.
    std::size_t group_begin = 0, group_end = 0, group_size = 1;
    auto flush_group = [&] {
        pack(std::span(nals).subspan(group_begin, group_end - group_begin), group_size, ts, built);
        group_begin = group_end;
        group_size = 1;
    };
    for (std::size_t i = 0; i < nals.size(); ++i) {
        const auto nal = nals[i];
        if ((nal[0] & 0x1F) == kNalSps || (nal[0] & 0x1F) == kNalPps) remember_param_set(nal);
        if (nal.size() <= max_payload) {
            // A STAP-A holds units of at most 65,535 bytes, each behind its 2-byte length.
            if (group_size + 2 + nal.size() > max_payload) flush_group();
            group_end = i + 1;
            group_size += 2 + nal.size();
            continue;
        }
        flush_group();
        group_begin = group_end = i + 1;
        fragment(nal, max_payload, ts, built);
    }
    flush_group();

    // The marker bit on the last packet of the access unit.
    built.back()[1] |= 0x80;
    out.reserve(built.size());
    for (auto& p : built) emit(out, std::move(p));
    return out;
}

const RtpPacketizer::Sent* RtpPacketizer::find(std::uint16_t seq) const noexcept {
    if (history_.empty()) return nullptr;
    const std::uint16_t index = static_cast<std::uint16_t>(seq - history_.front().seq);
    if (index >= history_.size()) return nullptr;
    return &history_[index];
}

std::optional<SharedBytes> RtpPacketizer::resend(std::uint16_t seq) {
    const Sent* sent = find(seq);
    if (!sent) {
        stats_.history_misses += 1;
        return std::nullopt;
    }
    stats_.resent += 1;
    return sent->packet;
}

std::optional<SharedBytes> RtpPacketizer::resend_rtx(std::uint16_t seq) {
    const Sent* sent = find(seq);
    if (!sent) {
        stats_.history_misses += 1;
        return std::nullopt;
    }
    const auto orig = sent->packet.bytes();
    std::vector<std::uint8_t> p;
    p.reserve(orig.size() + kRtxOverhead);
    p.push_back(first_byte());
    p.push_back(static_cast<std::uint8_t>((orig[1] & 0x80) | config_.rtx_payload_type));
    put16(p, rtx_seq_++);
    p.insert(p.end(), orig.begin() + 4, orig.begin() + 8);
    put32(p, rtx_ssrc_);
    // A number of its own: the feedback tells this packet's fate apart from the original's.
    put_extension(p);
    put16(p, seq);
    p.insert(p.end(), orig.begin() + static_cast<std::ptrdiff_t>(header_size_), orig.end());
    stats_.resent += 1;
    stats_.rtx_packets += 1;
    return SharedBytes(std::move(p));
}

std::optional<std::string> RtpPacketizer::profile_level_id() const {
    for (const ParamSet& p : param_sets_) {
        if (p.type != kNalSps || p.id != latest_sps_id_ || p.nal.size() < 4) continue;
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out;
        for (std::size_t i = 1; i < 4; ++i) {
            out.push_back(kHex[p.nal[i] >> 4]);
            out.push_back(kHex[p.nal[i] & 15]);
        }
        return out;
    }
    return std::nullopt;
}

std::optional<std::string> RtpPacketizer::sprop_parameter_sets() const {
    if (param_sets_.empty()) return std::nullopt;
    std::string out;
    for (const ParamSet& p : param_sets_) {
        if (!out.empty()) out.push_back(',');
        out += base64_encode(p.nal);
    }
    return out;
}

}  // namespace talmiro_media
