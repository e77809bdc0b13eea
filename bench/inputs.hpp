// The inputs every benchmark shares, as files written once by make_inputs: per picture size a
// run of test-pattern pictures (tightly packed I420, and the same pictures as RGB24) and the
// access units our encoder made of them (as au_records.hpp lays them out). Header-only and
// free of the media core, so the bare libavcodec loop reads exactly the same bytes.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "au_records.hpp"

namespace bench {

struct Size {
    std::uint32_t width;
    std::uint32_t height;

    std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
    std::size_t i420_bytes() const {
        const std::size_t cw = width - width / 2, ch = height - height / 2;
        return std::size_t{width} * height + 2 * cw * ch;
    }
    std::size_t rgb24_bytes() const { return std::size_t{width} * height * 3; }
};

inline constexpr std::array<Size, 3> kSizes{{{640, 480}, {1280, 720}, {1920, 1080}}};

// The encoder settings both loops use: our encoder's defaults.
inline constexpr int kFps = 30;
inline constexpr std::int64_t kBitrateBps = 2'000'000;

// A stream file and its access units, which are views into `file` (so it moves, never copies).
struct Stream {
    std::vector<std::uint8_t> file;
    std::vector<talmiro_testing::AuRecord> units;

    Stream() = default;
    Stream(Stream&&) = default;
    Stream(const Stream&) = delete;
};

// A run of equally sized pictures in one buffer.
struct Pictures {
    std::vector<std::uint8_t> data;
    std::size_t picture_bytes = 0;

    std::size_t count() const { return picture_bytes ? data.size() / picture_bytes : 0; }
    const std::uint8_t* picture(std::size_t i) const {
        return data.data() + (i % count()) * picture_bytes;
    }
};

// Memory the cold-picture loops cycle through: four times the last-level cache of these
// machines (32 MiB), so that every picture comes from memory, as from a camera.
inline constexpr std::size_t kColdBytes = std::size_t{128} << 20;

// Whole copies of the pictures, in order, until they fill `kColdBytes`: the same sequence of
// pictures, none of them still in a cache when its turn comes again.
inline Pictures cold(const Pictures& warm) {
    Pictures out;
    out.picture_bytes = warm.picture_bytes;
    const std::size_t copies = std::max<std::size_t>(1, (kColdBytes + warm.data.size() - 1) /
                                                            std::max<std::size_t>(1, warm.data.size()));
    out.data.reserve(copies * warm.data.size());
    for (std::size_t i = 0; i < copies; ++i)
        out.data.insert(out.data.end(), warm.data.begin(), warm.data.end());
    return out;
}

[[noreturn]] inline void fail(const std::string& text) {
    std::fprintf(stderr, "bench: %s\n", text.c_str());
    std::exit(2);
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path + " (run make_inputs first)");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path);
}

inline std::string pictures_path(const std::string& dir, Size size, std::string_view format) {
    return dir + "/pictures_" + size.name() + "." + std::string(format);
}
inline std::string stream_path(const std::string& dir, Size size) {
    return dir + "/stream_" + size.name() + ".au";
}

inline Pictures read_pictures(const std::string& dir, Size size, std::string_view format) {
    Pictures p;
    p.picture_bytes = format == "rgb24" ? size.rgb24_bytes() : size.i420_bytes();
    p.data = read_file(pictures_path(dir, size, format));
    if (p.count() == 0 || p.data.size() % p.picture_bytes != 0)
        fail(pictures_path(dir, size, format) + ": not a whole number of pictures");
    return p;
}

inline Stream read_stream(const std::string& dir, Size size) {
    Stream stream;
    stream.file = read_file(stream_path(dir, size));
    auto units = talmiro_testing::read_au_records(stream.file);
    if (!units) fail(stream_path(dir, size) + ": truncated");
    if (units->empty()) fail(stream_path(dir, size) + ": no access units");
    stream.units = std::move(*units);
    return stream;
}

// The options of the benchmark binaries that are not Google Benchmark's own, as --name=value.
struct Options {
    std::string inputs = "bench/out/inputs";
    // Pictures encoded (access units decoded) before timing starts; 0: one run of the inputs.
    std::size_t warmup = 0;
    // Pictures (access units) timed per run; 0: the binary's default.
    std::size_t frames = 0;
};

inline Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value_of = [&](std::string_view key) -> std::string_view {
            return arg.substr(key.size());
        };
        const auto number = [&](std::string_view text) {
            std::size_t n = 0;
            const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
            if (ec != std::errc() || ptr != text.data() + text.size())
                fail("not a number: " + std::string(arg));
            return n;
        };
        if (arg.starts_with("--inputs="))
            o.inputs = value_of("--inputs=");
        else if (arg.starts_with("--warmup="))
            o.warmup = number(value_of("--warmup="));
        else if (arg.starts_with("--frames="))
            o.frames = number(value_of("--frames="));
        else
            fail("unknown argument " + std::string(arg));
    }
    return o;
}

}  // namespace bench
