// Access units as records in a file: the one layout of the sample clips the Python tests
// decode, the benchmarks' streams and the decoder fuzz target's input. Header-only and free of
// the media core, so the bare libavcodec benchmark reads the same bytes; au_records.py beside
// it is the Python reader.
//
//   record:  1 flags byte: bit 0 key, bit 1 config, bit 2 recovery (bits 3-7 are written as 0;
//            the decoder fuzz target gives them meanings of its own);
//            8 bytes t_us (signed, little endian); 4 bytes length (little endian);
//            the access unit's Annex-B bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

namespace talmiro_testing {

enum AuFlag : std::uint8_t { kKey = 1, kConfig = 2, kRecovery = 4 };

// The same records hold datagrams recorded off the network (tests/data/rtp/): t_us is the
// arrival time, and the flags say what the datagram is.
enum DatagramFlag : std::uint8_t { kRtcp = 1, kFromReceiver = 2 };

inline constexpr std::size_t kAuRecordHead = 13;

struct AuRecord {
    std::uint8_t flags = 0;
    std::int64_t t_us = 0;
    std::span<const std::uint8_t> bytes;

    bool key() const noexcept { return flags & kKey; }
    bool config() const noexcept { return flags & kConfig; }
    bool recovery() const noexcept { return flags & kRecovery; }
};

inline std::uint8_t au_flags(bool key, bool config, bool recovery) noexcept {
    return static_cast<std::uint8_t>((key ? kKey : 0) | (config ? kConfig : 0) |
                                     (recovery ? kRecovery : 0));
}

// Takes the record at the front of `in` off it. Input that ends inside the head reads as zeros
// past its end, and the bytes are cut at its end, so any input is a sequence of records; the
// result is whole when `in` held all of it.
inline AuRecord take_au_record(std::span<const std::uint8_t>& in, bool* whole = nullptr) noexcept {
    std::uint8_t head[kAuRecordHead] = {};
    const std::size_t got = in.size() < kAuRecordHead ? in.size() : kAuRecordHead;
    for (std::size_t i = 0; i < got; ++i) head[i] = in[i];
    in = in.subspan(got);
    std::uint64_t stamp = 0;
    for (int i = 7; i >= 0; --i) stamp = stamp << 8 | head[1 + i];
    std::size_t size = 0;
    for (int i = 3; i >= 0; --i) size = size << 8 | head[9 + i];
    AuRecord r;
    r.flags = head[0];
    r.t_us = static_cast<std::int64_t>(stamp);
    if (whole) *whole = got == kAuRecordHead && size <= in.size();
    r.bytes = in.first(size < in.size() ? size : in.size());
    in = in.subspan(r.bytes.size());
    return r;
}

// The bytes of a whole file (a clip or a recording); empty when it cannot be read.
inline std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every record of a file's bytes; absent when the last one is cut short.
inline std::optional<std::vector<AuRecord>> read_au_records(std::span<const std::uint8_t> file) {
    std::vector<AuRecord> out;
    while (!file.empty()) {
        bool whole = false;
        out.push_back(take_au_record(file, &whole));
        if (!whole) return std::nullopt;
    }
    return out;
}

inline void append_au_record(std::vector<std::uint8_t>& out, const AuRecord& r) {
    out.push_back(r.flags);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(r.t_us) >> (8 * i)));
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(r.bytes.size()) >> (8 * i)));
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
}

}  // namespace talmiro_testing
