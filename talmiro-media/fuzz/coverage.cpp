// Coverage feedback for libFuzzer from code compiled by g++.
//
// The media core needs g++'s standard library (std::expected), which the clang that ships the
// libFuzzer runtime cannot compile, so the core and the targets are built by g++ with
// -fsanitize-coverage=trace-pc: every basic block calls __sanitizer_cov_trace_pc. The link
// redirects that call here (--wrap), and each call bumps a counter chosen by hashing the
// block's address. The counters are handed to libFuzzer as one module of inline 8-bit
// counters, with a table of one synthetic "PC" per counter, so its "cov:" figure is the number
// of counters hit: the distinct basic blocks reached, up to rare hash collisions.
//
// This file itself is compiled without coverage or sanitizers.

#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* begin, std::uint8_t* end);
extern "C" void __sanitizer_cov_pcs_init(const std::uintptr_t* begin, const std::uintptr_t* end);

namespace {

constexpr unsigned kCounterBits = 18;
constexpr std::size_t kCounters = std::size_t{1} << kCounterBits;

alignas(64) std::uint8_t counters[kCounters];

// libFuzzer's PC table layout: one (pc, flags) pair per counter.
struct PcEntry {
    std::uintptr_t pc;
    std::uintptr_t flags;
};
PcEntry pc_table[kCounters];

__attribute__((constructor)) void register_counters() {
    for (std::size_t i = 0; i < kCounters; ++i) pc_table[i] = {i + 1, 0};
    __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
    __sanitizer_cov_pcs_init(reinterpret_cast<const std::uintptr_t*>(pc_table),
                             reinterpret_cast<const std::uintptr_t*>(pc_table + kCounters));
}

}  // namespace

extern "C" void __wrap___sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    // Fibonacci hashing: the top bits of the product spread nearby addresses over the table.
    std::uint8_t& c = counters[(pc * 0x9E3779B97F4A7C15ull) >> (64 - kCounterBits)];
    c = static_cast<std::uint8_t>(c + 1);
}

// trace-cmp also instruments floating-point comparisons, which libFuzzer has no hook for:
// they give it nothing to learn from, so they do nothing.
extern "C" void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" void __sanitizer_cov_trace_cmpd(double, double) {}
