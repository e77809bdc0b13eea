// Tests of RTP header extensions: the transport-wide sequence number as written, elements found
// in both forms among others and padding, and every cut or damaged block read within bounds.
#include "talmiro_media/rtp_header_extension.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "byte_vectors.hpp"

using namespace talmiro_media;
using talmiro_test::Bytes;
using talmiro_test::cat;

namespace {

// A fixed header with the extension bit and `csrcs` CSRC words, then `block` and a payload.
Bytes packet_with(const Bytes& block, std::uint8_t csrcs = 0) {
    Bytes p{static_cast<std::uint8_t>(0x90 | csrcs), 96, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
    p.insert(p.end(), 4u * csrcs, 0xCC);
    return cat({p, block, {0x65, 1, 2, 3}});
}

// The data of element `id`, copied; {0xEE} when there is none.
Bytes data_of(const Bytes& packet, std::uint8_t id) {
    const auto found = find_rtp_header_extension(packet, id);
    return found ? Bytes(found->begin(), found->end()) : Bytes{0xEE};
}

}  // namespace

TEST(RtpHeaderExtension, TransportSeqWrittenAndRead) {
    Bytes block;
    append_transport_seq_extension(block, 3, 0xABCD);
    EXPECT_EQ(block, (Bytes{0xBE, 0xDE, 0, 1, 0x31, 0xAB, 0xCD, 0}));
    EXPECT_EQ(read_transport_seq(packet_with(block), 3), 0xABCD);
    EXPECT_EQ(read_transport_seq(packet_with(block, 2), 3), 0xABCD);
    EXPECT_FALSE(read_transport_seq(packet_with(block), 4));
    // Without the extension bit the same bytes are payload.
    Bytes plain = packet_with(block);
    plain[0] = 0x80;
    EXPECT_FALSE(read_transport_seq(plain, 3));
}

TEST(RtpHeaderExtension, FindsElementsOfBothForms) {
    // One-byte form: padding, a 3-byte element of id 2, padding, id 7 with 2 bytes, then id 15
    // that ends the reading before id 9.
    const Bytes one{0xBE, 0xDE, 0, 3, 0, 0x22, 1, 2, 3, 0, 0x71, 0xAA, 0xBB, 0xF0, 0x90, 0x55};
    EXPECT_EQ(data_of(packet_with(one), 2), (Bytes{1, 2, 3}));
    EXPECT_EQ(read_transport_seq(packet_with(one), 7), 0xAABB);
    EXPECT_FALSE(find_rtp_header_extension(packet_with(one), 9));
    EXPECT_FALSE(read_transport_seq(packet_with(one), 2));  // not two bytes
    // Two-byte form (appbits 5): padding, id 2 empty, id 7 with 2 bytes, id 200 with 1.
    const Bytes two{0x10, 0x05, 0, 3, 0, 2, 0, 7, 2, 0x12, 0x34, 200, 1, 9, 0, 0};
    EXPECT_EQ(data_of(packet_with(two), 2), Bytes{});
    EXPECT_EQ(read_transport_seq(packet_with(two), 7), 0x1234);
    EXPECT_EQ(data_of(packet_with(two), 200), (Bytes{9}));
    // Another profile is nobody's elements.
    Bytes other = two;
    other[0] = 0x20;
    EXPECT_FALSE(find_rtp_header_extension(packet_with(other), 7));
}

// Every cut of a packet and every value of each block byte: what is found lies inside the
// packet (AddressSanitizer checks the reads), and a cut inside the block finds nothing.
TEST(RtpHeaderExtension, BoundedOnEveryCutAndByte) {
    const Bytes one{0xBE, 0xDE, 0, 2, 0x12, 0xAB, 0xCD, 0x51, 1, 2, 0, 0};
    const Bytes two{0x10, 0x00, 0, 2, 5, 2, 1, 2, 7, 1, 3, 0};
    for (const Bytes& block : {one, two}) {
        const Bytes whole = packet_with(block);
        for (std::size_t cut = 0; cut < whole.size(); ++cut) {
            const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            for (std::uint8_t id : {1, 5, 7}) {
                const auto found = find_rtp_header_extension(part, id);
                if (cut < 12 + block.size()) {
                    EXPECT_FALSE(found) << cut << " " << int{id};
                }
            }
        }
        for (std::size_t at = 12; at < 12 + block.size(); ++at)
            for (int v = 0; v < 256; ++v) {
                Bytes damaged = whole;
                damaged[at] = static_cast<std::uint8_t>(v);
                for (std::uint8_t id = 0; id < 16; ++id) {
                    const auto found = find_rtp_header_extension(damaged, id);
                    if (found && !found->empty()) {
                        EXPECT_GE(found->data(), damaged.data());
                        EXPECT_LE(found->data() + found->size(), damaged.data() + damaged.size());
                    }
                }
            }
    }
}
