// The input layout of the decoder target: a stream of access units with their flags and stamp
// choices, shared by the target (which reads it) and the seed writer (which writes real
// encoded streams in it).
//
//   header:  4 bytes: [0] bit 0 output_corrupt, bit 1 start_at_recovery off;
//            [1] stuck_frames; [2] wedged_frames; [3] recovery_silence_frames
//   record:  1 flags byte: bit 0 key, bit 1 recovery, bit 2 config, bits 3-5 stamp rule,
//            bit 6 flush instead of decode;
//            8 bytes of raw stamp (only for stamp rule 5); 2 bytes length (little endian);
//            the access unit's bytes
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "fuzz_input.hpp"

namespace talmiro_fuzz {

enum StampRule : std::uint8_t {
    kStampNext = 0,   // previous + 33333
    kStampSame = 1,   // previous again
    kStampBack = 2,   // previous - 1000
    kStampMin = 3,    // the smallest 64-bit value
    kStampMax = 4,    // the largest 64-bit value
    kStampRaw = 5,    // eight bytes from the input
    kStampZero = 6,
    kStampPlusOne = 7,
};

struct AuRecord {
    bool key = false;
    bool recovery = false;
    bool config = false;
    bool flush = false;
    std::int64_t t_us = 0;
    std::span<const std::uint8_t> bytes;
};

// Reads the next record; `t_us` holds the previous stamp on entry.
inline AuRecord read_record(FuzzInput& in, std::int64_t previous) {
    AuRecord r;
    const std::uint8_t flags = in.take<std::uint8_t>();
    r.key = flags & 1;
    r.recovery = flags & 2;
    r.config = flags & 4;
    r.flush = flags & 64;
    // Wrapping arithmetic on the stamps, done unsigned.
    const auto prev = static_cast<std::uint64_t>(previous);
    switch ((flags >> 3) & 7) {
        case kStampNext: r.t_us = static_cast<std::int64_t>(prev + 33333); break;
        case kStampSame: r.t_us = previous; break;
        case kStampBack: r.t_us = static_cast<std::int64_t>(prev - 1000); break;
        case kStampMin: r.t_us = std::numeric_limits<std::int64_t>::min(); break;
        case kStampMax: r.t_us = std::numeric_limits<std::int64_t>::max(); break;
        case kStampRaw: r.t_us = in.take<std::int64_t>(); break;
        case kStampZero: r.t_us = 0; break;
        default: r.t_us = static_cast<std::int64_t>(prev + 1); break;
    }
    r.bytes = in.take_bytes(in.take<std::uint16_t>());
    return r;
}

inline void write_record(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes,
                         bool key, bool recovery, bool config) {
    out.push_back(static_cast<std::uint8_t>(key | recovery << 1 | config << 2 | kStampNext << 3));
    out.push_back(static_cast<std::uint8_t>(bytes.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace talmiro_fuzz
