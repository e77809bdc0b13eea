// What the codec rows of bare_bench and core_bench share: the tally of a pass, its CRC-32, the
// counters a row reports and how a row is registered (warm-up untimed, then --frames
// iterations, one picture or access unit each, on the wall clock).
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

extern "C" {
#include <libavutil/crc.h>
}

#include "inputs.hpp"

namespace bench {

// zlib's crc32 of a byte run continued from `crc`, so that Python's zlib.crc32 agrees.
inline std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    return ~av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), ~crc, bytes.data(), bytes.size());
}

// The codec side of one pass: what came out and after how many inputs the first output did.
struct Tally {
    std::uint64_t outputs = 0;
    std::uint64_t bytes = 0;
    std::int64_t delay = -1;
    std::uint32_t crc = 0;

    void out(std::size_t input, std::size_t bytes_out) {
        if (delay < 0) delay = static_cast<std::int64_t>(input);
        ++outputs;
        bytes += bytes_out;
    }
};

// The warm-up pass's delay and CRC, the timed pass's outputs and their mean size.
inline void set_counters(benchmark::State& state, const Tally& warm, const Tally& timed) {
    state.counters["delay"] = static_cast<double>(warm.delay);
    state.counters["warmup_crc"] = static_cast<double>(warm.crc);
    state.counters["outputs"] = static_cast<double>(timed.outputs);
    state.counters["bytes_per_output"] =
        timed.outputs ? static_cast<double>(timed.bytes) / static_cast<double>(timed.outputs) : 0;
}

// Inputs run untimed before the clock starts: --warmup, or one run of the `inputs`.
inline std::size_t warmup_of(const Options& options, std::size_t inputs) {
    return options.warmup ? options.warmup : inputs;
}

// Registers the codec row `name`/WxH: --frames iterations (120 unless told) on the wall clock.
template <typename Body>
void register_codec_row(const Options& options, const std::string& name, Size size, Body body) {
    benchmark::RegisterBenchmark((name + "/" + size.name()).c_str(), std::move(body))
        ->Iterations(static_cast<benchmark::IterationCount>(options.frames ? options.frames : 120))
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace bench
