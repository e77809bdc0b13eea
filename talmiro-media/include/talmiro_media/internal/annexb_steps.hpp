// Two inner steps of the Annex-B readers on their own, for the tests and the fuzz target to
// compare with readings of their own: removing emulation-prevention bytes, and listing the
// SEI payload types of one SEI NAL unit. The product reads both through `au_facts`.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace talmiro_media {

// The bytes without emulation-prevention bytes: a 03 that follows two or more zero bytes is
// dropped and restarts the zero count (00 00 03 01 -> 00 00 01, 00 00 03 03 -> 00 00 03).
std::vector<std::uint8_t> unescape_rbsp(std::span<const std::uint8_t> bytes);

// The payload types of the SEI messages in the (unescaped) body of one SEI NAL unit, the
// one-byte NAL header excluded. A message whose type and size bytes are complete is listed
// even when its payload runs past the end; the scan stops at the trailing bits (0x80).
std::vector<std::uint64_t> sei_payload_types(std::span<const std::uint8_t> rbsp);

}  // namespace talmiro_media
