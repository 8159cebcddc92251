// src/core/text/utf8.cpp: UTF-8 stepping and the host's whitespace set.
#include "text/utf8.hpp"

namespace zorvane::core {

char32_t decode_utf8(std::string_view s, std::size_t i, std::size_t &len) noexcept {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t need = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : 99;
    if (need == 0 || need == 99 || i + need >= s.size()) {
        len = 1;
        return b;
    }
    char32_t c = need == 1 ? (b & 0x1F) : need == 2 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k <= need; ++k) {
        auto cb = static_cast<unsigned char>(s[i + k]);
        if ((cb & 0xC0) != 0x80) {
            len = 1;
            return b;
        }
        c = (c << 6) | (cb & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed too: an overlong
    // "\xC0\xA0" must not pass for a blank.
    constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[need] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        len = 1;
        return b;
    }
    len = need + 1;
    return c;
}

bool is_py_space(char32_t c) noexcept {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
        case 0x1C: case 0x1D: case 0x1E: case 0x1F: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::size_t space_len(std::string_view s, std::size_t i) noexcept {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80)
        return (b == ' ' || (b >= 0x09 && b <= 0x0D) || (b >= 0x1C && b <= 0x1F)) ? 1 : 0;
    std::size_t len;
    char32_t c = decode_utf8(s, i, len);
    return is_py_space(c) ? len : 0;
}

bool space_ends_at(std::string_view s, std::size_t i) noexcept {
    if (i == 0)
        return false;
    // Walk back over continuation bytes to a lead byte at most three bytes before the last.
    std::size_t lead = i - 1;
    while (lead > 0 && i - lead < 4 && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead < i - 1) {
        std::size_t len;
        char32_t c = decode_utf8(s, lead, len);
        if (lead + len == i)
            return is_py_space(c);
    }
    return space_len(s, i - 1) == 1;
}

std::string_view strip_py(std::string_view s) noexcept {
    std::size_t b = 0, n = s.size();
    while (b < n) {
        std::size_t l = space_len(s, b);
        if (!l)
            break;
        b += l;
    }
    std::size_t e = n;  // walk back to the start of the last code point
    while (e > b) {
        std::size_t start = e - 1;
        while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        std::size_t l = space_len(s, start);
        if (!l || start + l != e)
            break;
        e = start;
    }
    return s.substr(b, e - b);
}

}  // namespace zorvane::core
