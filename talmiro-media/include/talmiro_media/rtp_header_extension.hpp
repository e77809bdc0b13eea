// RTP header extensions (RFC 8285) and the one this link writes: the transport-wide sequence
// number, which counts every packet a sender sends on the path, media and retransmissions
// alike, so that the receiver's feedback can name each one.
//
// The reading side takes untrusted packets: it never reads outside the span it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace talmiro_media {

// The profile fields of the one-byte and the two-byte forms (the low 4 bits of the latter are
// "appbits", any value).
inline constexpr std::uint16_t kRtpOneByteExtensionProfile = 0xBEDE;
inline constexpr std::uint16_t kRtpTwoByteExtensionProfile = 0x1000;
// The ids an element of the one-byte form may have (0 is padding, 15 stops the reading).
inline constexpr std::uint8_t kRtpMinExtensionId = 1;
inline constexpr std::uint8_t kRtpMaxExtensionId = 14;
// The transport-wide sequence number as written: the 4-byte extension header, one element of
// two data bytes, one byte of padding.
inline constexpr std::size_t kTransportSeqExtensionSize = 8;
// The extmap URI that names it in a session description.
inline constexpr const char* kTransportSeqExtensionUri =
    "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";

// The header extension block holding only the transport-wide sequence number `seq` under
// `id` (1..14), one-byte form:
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |       0xBE    |    0xDE       |           length=1            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |  ID   | L=1   |transport-wide sequence number | zero padding  |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
void append_transport_seq_extension(std::vector<std::uint8_t>& out, std::uint8_t id,
                                    std::uint16_t seq);

// The data of the element `id` in an RTP packet's header extension, in either form; absent
// when the packet has no extension, no such element, or is cut short before it. Ids of the
// one-byte form are 1..14; an id outside 1..255 is never found.
std::optional<std::span<const std::uint8_t>> find_rtp_header_extension(
    std::span<const std::uint8_t> packet, std::uint8_t id) noexcept;

// The transport-wide sequence number carried under `id`; absent when there is none or its
// element is not two bytes long.
std::optional<std::uint16_t> read_transport_seq(std::span<const std::uint8_t> packet,
                                                std::uint8_t id) noexcept;

}  // namespace talmiro_media
