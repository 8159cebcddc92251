// src/core/text/utf8.hpp: UTF-8 stepping and the host's whitespace set.
#pragma once
#include <cstddef>
#include <string_view>

namespace zorvane::core {

// Decodes the code point starting at `i`; sets `len` to its byte length.
// Malformed bytes decode as themselves with length 1, so scanning never stalls.
char32_t decode_utf8(std::string_view s, std::size_t i, std::size_t &len) noexcept;

// True for the code points that str.split() and str.strip() treat as whitespace.
bool is_py_space(char32_t c) noexcept;

// Byte length of the whitespace code point at `i`, or 0 when it is not whitespace.
std::size_t space_len(std::string_view s, std::size_t i) noexcept;

// True when the code point that ends at `i`, as a forward scan decodes it, is whitespace:
// the longest well-formed sequence ending there, else the byte before `i` alone.
bool space_ends_at(std::string_view s, std::size_t i) noexcept;

// Byte length of the code point at `i` (1 for a malformed byte).
inline std::size_t code_point_len(std::string_view s, std::size_t i) noexcept {
    std::size_t len = 1;
    if (static_cast<unsigned char>(s[i]) >= 0x80)
        decode_utf8(s, i, len);
    return len;
}

// `s` without leading and trailing host whitespace.
std::string_view strip_py(std::string_view s) noexcept;

// ASCII letters, digits, underscore; every non-ASCII byte counts as a word byte.
inline bool is_word_byte(unsigned char c) noexcept {
    return c >= 0x80 || c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

}  // namespace zorvane::core
