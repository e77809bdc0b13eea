// The sending side of H.264 over RTP: access units in, RTP packets out (RTP version 2 with the
// H.264 payload format in non-interleaved mode: single NAL unit packets, STAP-A and FU-A only),
// plus the history that answers retransmission requests, plain or as RTX packets (own payload
// type, SSRC and sequence numbers, the original sequence number in front of the payload).
// Optionally every packet carries a transport-wide sequence number for congestion feedback.
//
// No sockets and no clocks: the caller passes each access unit's capture time and sends the
// packets it gets back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/ffmpeg_util.hpp"

namespace talmiro_media {

// 1,200 bytes of UDP payload: the smallest path MTU IPv6 guarantees is 1,280 bytes, which leaves
// 1,232 after the IPv6 and UDP headers; the rest is room for the tunnels and VPNs a robot's
// uplink often runs through (IPsec, WireGuard, TURN), so that no packet is fragmented on the
// way, where the loss of one fragment loses the whole packet.
inline constexpr std::size_t kDefaultRtpMtu = 1200;
inline constexpr std::size_t kRtpHeaderSize = 12;
// The smallest and largest MTU accepted: room for a header, an FU-A header, a payload byte
// and the two bytes of a retransmission's original sequence number; the largest UDP payload.
inline constexpr std::size_t kMinRtpMtu = 64;
inline constexpr std::size_t kMaxRtpMtu = 65507;
inline constexpr std::uint8_t kDefaultRtpPayloadType = 96;
inline constexpr std::uint8_t kDefaultRtxPayloadType = 97;
// RTP clock rate of H.264 video.
inline constexpr std::uint32_t kRtpVideoClock = 90000;

struct RtpPacketizerConfig {
    std::uint8_t payload_type = kDefaultRtpPayloadType;
    // Bytes of UDP payload per packet, the RTP header included. Every packet leaves two bytes
    // spare, so that its RTX form fits the same MTU.
    std::size_t mtu = kDefaultRtpMtu;
    // Drawn at random when absent.
    std::optional<std::uint32_t> ssrc;
    std::optional<std::uint16_t> first_seq;
    // Added to the 90 kHz clock of the capture times; drawn at random when absent.
    std::optional<std::uint32_t> timestamp_offset;
    // The retransmission stream (RTX); its SSRC and first sequence number are drawn at random
    // when absent.
    std::uint8_t rtx_payload_type = kDefaultRtxPayloadType;
    std::optional<std::uint32_t> rtx_ssrc;
    std::optional<std::uint16_t> rtx_first_seq;
    // Bytes of sent packets kept for retransmission: at least the last second of an 8 Mbit/s
    // stream by default. At most 32,768 packets are kept whatever the size, so that a 16-bit
    // sequence number names one of them.
    std::size_t history_bytes = 2'000'000;
    // When set (1..14), every packet made, media and RTX, carries a transport-wide sequence
    // number in a one-byte-form header extension under this id: one counter for both streams,
    // in the order the packets are made. The extension takes kTransportSeqExtensionSize bytes
    // of the MTU. A plain resend is the original packet and carries its number again.
    std::optional<std::uint8_t> transport_cc_extension_id;
    // The first transport-wide sequence number; drawn at random when absent.
    std::optional<std::uint16_t> transport_first_seq;
};

struct RtpPacketizerStats {
    std::uint64_t access_units = 0;
    // Access units that held no NAL unit (nothing was sent for them).
    std::uint64_t empty_units = 0;
    std::uint64_t nal_units = 0;
    // NAL units not sent: types 0 and 24..31, which have no meaning in H.264 and which the
    // payload format uses for its own packet types, and units holding 00 00 00, 00 00 01 or
    // 00 00 02 (invalid, and refused by receivers).
    std::uint64_t nal_units_skipped = 0;
    // Media packets sent, by kind, and their bytes (`payload_bytes` without the RTP headers,
    // the octet count of a sender report).
    std::uint64_t packets = 0;
    std::uint64_t single_packets = 0;
    std::uint64_t stap_a_packets = 0;
    std::uint64_t fu_a_packets = 0;
    std::uint64_t bytes = 0;
    std::uint64_t payload_bytes = 0;
    // Retransmission requests answered from the history (plain or RTX), and those for packets
    // no longer (or never) in it.
    std::uint64_t resent = 0;
    std::uint64_t rtx_packets = 0;
    std::uint64_t history_misses = 0;
    // Packets held in the history now, and their bytes.
    std::uint64_t history_packets = 0;
    std::uint64_t history_size = 0;
};

// One H.264 stream's RTP sender state. Not thread-safe; one instance per stream.
class RtpPacketizer {
public:
    // The MTU must be within [kMinRtpMtu, kMaxRtpMtu], the payload types 0..127 and different,
    // a transport-wide extension id 1..14.
    static Result<RtpPacketizer> create(const RtpPacketizerConfig& config);

    // The RTP packets of one Annex-B access unit, in sending order: one timestamp (90 kHz from
    // `capture_us`, plus the offset, modulo 2^32), consecutive sequence numbers, the marker
    // bit on the last. Consecutive NAL units that fit one packet together go into a STAP-A;
    // a unit larger than a packet is cut into FU-A fragments of near-equal size. Zero bytes
    // trailing a NAL unit (stream padding) are not sent, nor are the units `nal_units_skipped`
    // counts. The packets are kept in the history.
    // An access unit without NAL units gives no packet.
    std::vector<SharedBytes> packetize(std::span<const std::uint8_t> annexb,
                                       std::int64_t capture_us);

    // The packet sent with sequence number `seq`, as it was sent; absent (a counted miss) when
    // the history no longer holds it.
    std::optional<SharedBytes> resend(std::uint16_t seq);
    // The same packet in RTX form: the RTX payload type, SSRC and next RTX sequence number,
    // the original timestamp and marker, and the original sequence number before its payload.
    std::optional<SharedBytes> resend_rtx(std::uint16_t seq);

    // The 90 kHz RTP timestamp of a capture time.
    std::uint32_t timestamp_of(std::int64_t capture_us) const noexcept;

    // From the latest SPS seen: its profile_idc, constraint flags and level_idc as six lowercase
    // hex digits ("42e01f"); absent before any SPS.
    std::optional<std::string> profile_level_id() const;
    // The latest SPS and PPS of each id, base64 (SPS first, then PPS, comma-separated);
    // absent before any.
    std::optional<std::string> sprop_parameter_sets() const;

    const RtpPacketizerConfig& config() const noexcept { return config_; }
    std::uint32_t ssrc() const noexcept { return ssrc_; }
    std::uint32_t rtx_ssrc() const noexcept { return rtx_ssrc_; }
    // The sequence number the next media packet will carry.
    std::uint16_t next_seq() const noexcept { return seq_; }
    // The transport-wide sequence number the next packet made will carry; absent when the
    // extension is off.
    std::optional<std::uint16_t> next_transport_seq() const noexcept;
    // The transport-wide sequence number a packet from this packetizer carries (the sender
    // keeps it with the packet's send time and size to read feedback); absent when the
    // extension is off.
    std::optional<std::uint16_t> transport_seq_of(
        std::span<const std::uint8_t> packet) const noexcept;
    // The timestamp of the latest access unit sent (for a sender report).
    std::uint32_t last_timestamp() const noexcept { return last_ts_; }
    const RtpPacketizerStats& stats() const noexcept { return stats_; }

private:
    explicit RtpPacketizer(const RtpPacketizerConfig& config);

    struct Sent {
        std::uint16_t seq;
        SharedBytes packet;
    };
    struct ParamSet {
        std::uint8_t type;
        std::uint32_t id;
        std::vector<std::uint8_t> nal;
    };

    // The first byte of a header (version 2, the extension bit) and, when on, the extension
    // with the next transport-wide sequence number after the fixed header.
    std::uint8_t first_byte() const noexcept;
    void put_extension(std::vector<std::uint8_t>& p);
    // Starts a packet: the header with the next sequence number; the caller appends the payload.
    std::vector<std::uint8_t> start_packet(std::uint32_t ts, std::size_t payload_size);
    void emit(std::vector<SharedBytes>& out, std::vector<std::uint8_t> packet);
    // One packet of NAL units that fit it: a single NAL unit packet for one, a STAP-A of
    // `stap_size` payload bytes for more.
    void pack(std::span<const std::span<const std::uint8_t>> group, std::size_t stap_size,
              std::uint32_t ts, std::vector<std::vector<std::uint8_t>>& built);
    // FU-A packets of one NAL unit longer than `max_payload`.
    void fragment(std::span<const std::uint8_t> nal, std::size_t max_payload, std::uint32_t ts,
                  std::vector<std::vector<std::uint8_t>>& built);
    void remember_param_set(std::span<const std::uint8_t> nal);
    const Sent* find(std::uint16_t seq) const noexcept;

    RtpPacketizerConfig config_;
    std::uint32_t ssrc_ = 0;
    std::uint32_t rtx_ssrc_ = 0;
    std::uint16_t seq_ = 0;
    std::uint16_t rtx_seq_ = 0;
    std::uint16_t transport_seq_ = 0;
    // The RTP header with its extension, if any.
    std::size_t header_size_ = kRtpHeaderSize;
    std::uint32_t ts_offset_ = 0;
    std::uint32_t last_ts_ = 0;
    std::deque<Sent> history_;
    std::vector<ParamSet> param_sets_;
    std::optional<std::uint32_t> latest_sps_id_;
    RtpPacketizerStats stats_;
};

// Standard base64 (with padding) of some bytes.
std::string base64_encode(std::span<const std::uint8_t> bytes);

}  // namespace talmiro_media
