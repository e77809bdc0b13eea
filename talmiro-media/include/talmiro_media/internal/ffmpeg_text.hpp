// The two text conversions behind `set_log_level` and `version_string`, on their own for the
// tests: a log-level name to libav's level, and a packed libav version to its text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace talmiro_media {

// The libav level a name selects (see `set_log_level`).
int log_level_value(std::string_view name);

// The text form of a packed libav version number: "major.minor.micro".
std::string format_version(std::uint32_t packed);

}  // namespace talmiro_media
