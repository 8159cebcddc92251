// src/core/text/placeholder_scan.hpp: #{...}, ${...} and $f{...} placeholders with their options.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::core {

enum class PlaceholderKind { Bind, Splice, Function };  // "#{", "${", "$f{"

// The opening text of a kind: its prefix and "{".
std::string_view placeholder_opener(PlaceholderKind kind) noexcept;

// Every placeholder of one kind in UTF-8 `text`, left to right, non-overlapping,
// duplicates kept; views point into `text`. A placeholder is the opener, at least one
// character, then everything up to the first "}" after that character; none of it may
// be "\n" (a "\r" or any other line end is an ordinary character). So "#{}" is none,
// "#{}}" is one, and "#{a{b}}" yields "#{a{b}".
std::vector<std::string_view> find_placeholders(std::string_view text, PlaceholderKind kind);

struct Placeholder {
    PlaceholderKind kind;
    std::string_view text;
};

// All placeholders of `text`, grouped by kind (Bind, Splice, Function); within a kind
// each distinct text once, at its first occurrence.
std::vector<Placeholder> scan_placeholders(std::string_view text);

// `param` without every occurrence of `opener`, then without every "}".
std::string placeholder_inside(std::string_view param, std::string_view opener);

// Whether `inside` starts with a call: at least one character, "(", at least one
// character, ")", all before the first "\n".
bool is_call(std::string_view inside) noexcept;

// The part of `s` before the first `c` (all of `s` when there is none).
std::string_view before_first(std::string_view s, char c) noexcept;

// Decides whether a non-ASCII code point is a word character.
using CodePointTest = bool (*)(char32_t);
bool ascii_only_word(char32_t c) noexcept;

// The value of option `keyword` in `placeholder`: at the first occurrence of `keyword`
// followed by optional whitespace and "=", the run of word characters after optional
// whitespace. nullopt when there is no such occurrence or the run is empty. Keywords
// match case-sensitively anywhere, even inside a longer word. Whitespace is the host's
// set; ASCII word characters are letters, digits and "_", others are asked of `is_word`.
std::optional<std::string_view> option_value(std::string_view placeholder, std::string_view keyword,
                                             CodePointTest is_word = ascii_only_word);

}  // namespace zorvane::core
