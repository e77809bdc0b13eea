// ASCII case for the texts that name formats and backends: only A-Z and a-z change, whatever
// the locale.
#pragma once

#include <algorithm>
#include <string_view>

namespace talmiro_media {

constexpr char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char ascii_upper(char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether `text` lowered is `lower` (which is already in lower case).
constexpr bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(),
                      [](char a, char b) { return ascii_lower(a) == b; });
}

}  // namespace talmiro_media
