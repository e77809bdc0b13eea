// RTP header extensions: writing the transport-wide sequence number, finding an element by id.
#include "talmiro_media/rtp_header_extension.hpp"

#include "byte_order.hpp"

namespace talmiro_media {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kFixedHeader = 12;

// The elements of a one-byte-form block: a byte of id (high 4 bits) and length minus one,
// then the data. A zero byte is padding; id 15 ends the block.
std::optional<Bytes> find_one_byte(Bytes block, std::uint8_t id) noexcept {
    std::size_t at = 0;
    while (at < block.size()) {
        const std::uint8_t element_id = block[at] >> 4;
        if (element_id == 0) {
            ++at;
            continue;
        }
        if (element_id == 15) return std::nullopt;
        const std::size_t len = std::size_t{block[at] & 0x0Fu} + 1;
        ++at;
        if (len > block.size() - at) return std::nullopt;
        if (element_id == id) return block.subspan(at, len);
        at += len;
    }
    return std::nullopt;
}

// The elements of a two-byte-form block: a byte of id, a byte of length, then the data. A
// zero id byte is padding.
std::optional<Bytes> find_two_byte(Bytes block, std::uint8_t id) noexcept {
    std::size_t at = 0;
    while (at < block.size()) {
        if (block[at] == 0) {
            ++at;
            continue;
        }
        if (block.size() - at < 2) return std::nullopt;
        const std::uint8_t element_id = block[at];
        const std::size_t len = block[at + 1];
        at += 2;
        if (len > block.size() - at) return std::nullopt;
        if (element_id == id) return block.subspan(at, len);
        at += len;
    }
    return std::nullopt;
}

}  // namespace

void append_transport_seq_extension(std::vector<std::uint8_t>& out, std::uint8_t id,
                                    std::uint16_t seq) {
    put16(out, kRtpOneByteExtensionProfile);
    put16(out, 1);
    put8(out, std::uint32_t{id} << 4 | 1);
    put16(out, seq);
    put8(out, 0);
}

std::optional<Bytes> find_rtp_header_extension(Bytes d, std::uint8_t id) noexcept {
    if (id == 0 || d.size() < kFixedHeader || d[0] >> 6 != 2 || !(d[0] & 0x10))
        return std::nullopt;
    const std::size_t begin = kFixedHeader + 4 * std::size_t{d[0] & 0x0Fu};
    if (begin > d.size() || d.size() - begin < 4) return std::nullopt;
    const std::uint16_t profile = be16(d, begin);
    const std::size_t bytes = 4 * std::size_t{be16(d, begin + 2)};
    if (bytes > d.size() - begin - 4) return std::nullopt;
    const Bytes block = d.subspan(begin + 4, bytes);
    if (profile == kRtpOneByteExtensionProfile)
        return id <= kRtpMaxExtensionId ? find_one_byte(block, id) : std::nullopt;
    if ((profile & 0xFFF0) == kRtpTwoByteExtensionProfile) return find_two_byte(block, id);
    return std::nullopt;
}

std::optional<std::uint16_t> read_transport_seq(Bytes packet, std::uint8_t id) noexcept {
    const auto data = find_rtp_header_extension(packet, id);
    if (!data || data->size() != 2) return std::nullopt;
    return be16(*data, 0);
}

}  // namespace talmiro_media
