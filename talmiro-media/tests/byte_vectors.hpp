// Byte vectors for the tests: the one `cat` that joins them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace talmiro_test {

using Bytes = std::vector<std::uint8_t>;

// The parts one after another.
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace talmiro_test
