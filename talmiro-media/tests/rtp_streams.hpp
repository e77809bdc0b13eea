// Synthetic H.264 access units for the RTP tests: NAL units of chosen types and sizes with
// bodies free of zero bytes (so no start code can appear inside), joined with the start codes a
// depacketizer writes (four bytes before the first unit and before SPS/PPS, three otherwise).
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace rtp_streams {

using Bytes = std::vector<std::uint8_t>;

// One NAL unit: its header byte and total size.
struct Nal {
    std::uint8_t header;
    std::size_t size;
};

inline constexpr std::uint8_t kSps = 0x67, kPps = 0x68, kSei = 0x06, kIdr = 0x65, kP = 0x41,
                              kNonRef = 0x01;

inline Bytes nal_bytes(Nal n, std::mt19937& rng) {
    Bytes out{n.header};
    if (n.header == kSps) {
        // profile 100, constraints 0, level 31, seq_parameter_set_id 0.
        out.insert(out.end(), {0x64, 0x00, 0x1F, 0xAC});
    } else if (n.header == kPps) {
        out.push_back(0xCE);  // pic_parameter_set_id 0, seq_parameter_set_id 0
    }
    std::uniform_int_distribution<int> byte(1, 255);
    while (out.size() < n.size) out.push_back(static_cast<std::uint8_t>(byte(rng)));
    return out;
}

// The units' bytes and the access unit made of them.
struct Au {
    std::vector<Bytes> nals;
    Bytes annexb;
};

inline Au make_au(const std::vector<Nal>& shape, std::mt19937& rng) {
    Au au;
    for (const Nal& n : shape) {
        Bytes nal = nal_bytes(n, rng);
        const std::uint8_t type = n.header & 0x1F;
        if (au.annexb.empty() || type == 7 || type == 8) au.annexb.push_back(0);
        au.annexb.insert(au.annexb.end(), {0, 0, 1});
        au.annexb.insert(au.annexb.end(), nal.begin(), nal.end());
        au.nals.push_back(std::move(nal));
    }
    return au;
}

}  // namespace rtp_streams
