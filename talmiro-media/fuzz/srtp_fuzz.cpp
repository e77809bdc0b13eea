// SRTP and SRTCP unprotect of arbitrary datagrams: a read or write past the input
// (AddressSanitizer) or undefined arithmetic is a finding, and so is a datagram that opens
// without the key. The input's first byte picks the suite and RTP or RTCP; the rest is one
// datagram given to an inbound context, then protected and opened again by a pair that shares a
// key, which must give back exactly what was protected.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/srtp_context.hpp"

using namespace talmiro_media;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    talmiro_fuzz::FuzzInput in(data, size);
    const auto pick = in.take<std::uint8_t>();
    const auto suite = static_cast<SrtpSuite>(pick % 4);
    const bool rtcp = (pick >> 2) & 1;
    std::vector<std::uint8_t> key(srtp_key_salt_size(suite), 0x5A);
    auto inbound = SrtpContext::create(suite, key, SrtpContext::Direction::Inbound);
    auto outbound = SrtpContext::create(suite, key, SrtpContext::Direction::Outbound);
    FUZZ_CHECK(inbound && outbound);
    std::vector<std::uint8_t> datagram = in.take_vector(in.remaining());
    std::vector<std::uint8_t> copy = datagram;
    // Nothing the fuzzer writes carries a tag made with the key (it cannot know it).
    const auto n = inbound->unprotect(copy, rtcp);
    FUZZ_CHECK(!n);
    std::vector<std::uint8_t> wire;
    if (!outbound->protect(datagram, rtcp, wire)) return 0;
    const auto opened = inbound->unprotect(wire, rtcp);
    // libsrtp reads the header's CSRC count and extension: a header that claims more than
    // the packet holds is refused on either side.
    if (opened) {
        FUZZ_CHECK(*opened == datagram.size());
        FUZZ_CHECK(std::vector<std::uint8_t>(wire.begin(), wire.begin() + *opened) == datagram);
    }
    return 0;
}
