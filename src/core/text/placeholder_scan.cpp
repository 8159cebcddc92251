// src/core/text/placeholder_scan.cpp: #{...}, ${...} and $f{...} placeholders with their options.
#include "text/placeholder_scan.hpp"

#include <algorithm>
#include <unordered_set>

#include "text/literal_text.hpp"
#include "text/utf8.hpp"

namespace zorvane::core {
namespace {

constexpr PlaceholderKind kAllKinds[] = {PlaceholderKind::Bind, PlaceholderKind::Splice, PlaceholderKind::Function};

std::size_t skip_space(std::string_view s, std::size_t i) noexcept {
    for (std::size_t l; i < s.size() && (l = space_len(s, i)) != 0;)
        i += l;
    return i;
}

std::size_t skip_word(std::string_view s, std::size_t i, CodePointTest is_word) noexcept {
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            if (!is_word_byte(b))
                break;
            ++i;
            continue;
        }
        std::size_t len;
        if (!is_word(decode_utf8(s, i, len)))
            break;
        i += len;
    }
    return i;
}

}  // namespace

std::string_view placeholder_opener(PlaceholderKind kind) noexcept {
    switch (kind) {
        case PlaceholderKind::Bind: return "#{";
        case PlaceholderKind::Splice: return "${";
        default: return "$f{";
    }
}

std::vector<std::string_view> find_placeholders(std::string_view text, PlaceholderKind kind) {
    const std::string_view opener = placeholder_opener(kind);
    const std::size_t n = text.size();
    std::vector<std::string_view> found;
    for (std::size_t i = 0; (i = text.find(opener, i)) != std::string_view::npos;) {
        std::size_t first = i + opener.size();
        if (first < n && text[first] != '\n') {
            // The first inside character may itself be "}"; the continuation bytes of a
            // multi-byte first character can be neither "}" nor "\n".
            std::size_t k = first + 1;
            while (k < n && text[k] != '}' && text[k] != '\n')
                ++k;
            if (k < n && text[k] == '}') {
                found.push_back(text.substr(i, k + 1 - i));
                i = k + 1;
                continue;
            }
        }
        ++i;
    }
    return found;
}

std::vector<Placeholder> scan_placeholders(std::string_view text) {
    std::vector<Placeholder> out;
    std::unordered_set<std::string_view> seen;
    for (PlaceholderKind kind : kAllKinds) {
        seen.clear();
        for (std::string_view p : find_placeholders(text, kind))
            if (seen.insert(p).second)
                out.push_back({kind, p});
    }
    return out;
}

std::string placeholder_inside(std::string_view param, std::string_view opener) {
    std::string out = replace_all(param, opener, "");
    out.erase(std::remove(out.begin(), out.end(), '}'), out.end());
    return out;
}

bool is_call(std::string_view inside) noexcept {
    const std::size_t line_end = inside.find('\n');
    // The earliest "(" after the first character leaves the most room for ")".
    const std::size_t open = inside.find('(', 1);
    if (open == std::string_view::npos || open >= line_end)
        return false;
    const std::size_t close = inside.find(')', open + 2);
    return close != std::string_view::npos && close < line_end;
}

std::string_view before_first(std::string_view s, char c) noexcept { return s.substr(0, s.find(c)); }

bool ascii_only_word(char32_t) noexcept { return false; }

std::optional<std::string_view> option_value(std::string_view placeholder, std::string_view keyword,
                                             CodePointTest is_word) {
    for (std::size_t k = 0; (k = placeholder.find(keyword, k)) != std::string_view::npos; ++k) {
        std::size_t eq = skip_space(placeholder, k + keyword.size());
        if (eq >= placeholder.size() || placeholder[eq] != '=')
            continue;
        std::size_t v = skip_space(placeholder, eq + 1);
        std::size_t e = skip_word(placeholder, v, is_word);
        if (e == v)
            return std::nullopt;
        return placeholder.substr(v, e - v);
    }
    return std::nullopt;
}

}  // namespace zorvane::core
