// Reading a fuzzer's input as a stream of small decisions, and the check that turns a broken
// invariant into a crash libFuzzer records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace talmiro_fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::talmiro_fuzz::check_failed(#cond, __FILE__, __LINE__))

// Consumes the input front to back; past its end every read gives zeros (or nothing), so any
// input is a valid program.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) noexcept : data_(data, size) {}

    bool empty() const noexcept { return pos_ >= data_.size(); }
    std::size_t remaining() const noexcept { return data_.size() - pos_; }

    template <typename T>
    T take() noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        unsigned char raw[sizeof(T)] = {};
        const std::size_t n = remaining() < sizeof(T) ? remaining() : sizeof(T);
        if (n) std::memcpy(raw, data_.data() + pos_, n);
        pos_ += n;
        T value;
        std::memcpy(&value, raw, sizeof(T));
        return value;
    }
    bool take_bool() noexcept { return take<std::uint8_t>() & 1; }

    // Up to `n` bytes, fewer at the end of the input.
    std::span<const std::uint8_t> take_bytes(std::size_t n) noexcept {
        if (n > remaining()) n = remaining();
        const auto out = data_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::vector<std::uint8_t> take_vector(std::size_t n) {
        const auto b = take_bytes(n);
        return {b.begin(), b.end()};
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace talmiro_fuzz
