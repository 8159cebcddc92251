// tests/fuzz/fuzz_placeholder_scan.cpp: placeholder finding, options and call detection against plain rereadings.
#include <set>
#include <vector>

#include "fuzz/harness.hpp"
#include "text/placeholder_scan.hpp"
#include "text/utf8.hpp"

using namespace zorvane::core;
using zorvane::fuzz::check;

namespace {

// The definition read literally: at each opener try every later "}" as the end.
std::vector<std::string_view> naive_find(std::string_view s, std::string_view opener) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i + opener.size() < s.size() + 1) {
        if (s.substr(i, opener.size()) != opener) {
            ++i;
            continue;
        }
        std::size_t first = i + opener.size();
        std::size_t end = std::string_view::npos;
        for (std::size_t k = first + 1; k < s.size(); ++k) {
            if (s[k] == '\n' || s[first] == '\n')
                break;
            if (s[k] == '}') {
                end = k;
                break;
            }
        }
        if (end == std::string_view::npos) {
            ++i;
            continue;
        }
        out.push_back(s.substr(i, end + 1 - i));
        i = end + 1;
    }
    return out;
}

bool naive_is_call(std::string_view s) {
    s = s.substr(0, s.find('\n'));
    for (std::size_t o = 1; o < s.size(); ++o)
        for (std::size_t c = o + 2; c < s.size(); ++c)
            if (s[o] == '(' && s[c] == ')')
                return true;
    return false;
}

bool is_word_cp(char32_t c) noexcept { return c == U'é' || c == U'中'; }

}  // namespace

ZORVANE_FUZZ_TARGET(placeholder_scan) {
    const PlaceholderKind kinds[] = {PlaceholderKind::Bind, PlaceholderKind::Splice, PlaceholderKind::Function};
    std::vector<Placeholder> all = scan_placeholders(data);
    std::size_t at = 0;
    for (PlaceholderKind kind : kinds) {
        std::string_view opener = placeholder_opener(kind);
        std::vector<std::string_view> found = find_placeholders(data, kind);
        check(found == naive_find(data, opener), "find_placeholders agrees with the definition", data);
        std::set<std::string_view> distinct;
        for (std::string_view p : found) {
            check(p.data() >= data.data() && p.data() + p.size() <= data.data() + data.size(), "view inside", data);
            if (!distinct.insert(p).second)
                continue;
            check(at < all.size() && all[at].kind == kind && all[at].text == p, "scan groups and dedups", data);
            ++at;
            std::string inside = placeholder_inside(p, opener);
            check(inside.find('}') == std::string::npos && inside.size() < p.size(), "inside drops braces", data);
            check(is_call(inside) == naive_is_call(inside), "is_call agrees with the definition", data);
        }
    }
    check(at == all.size(), "scan reports nothing else", data);

    // Options: the keyword is the input's first bytes, the rest the placeholder text.
    zorvane::fuzz::Bytes in(data);
    std::string_view keyword = in.text(8);
    if (keyword.empty())
        return;
    std::string_view text = in.rest();
    for (CodePointTest is_word : {&ascii_only_word, &is_word_cp}) {
        auto value = option_value(text, keyword, is_word);
        if (!value)
            continue;
        check(!value->empty() && value->data() > text.data() && value->data() + value->size() <= text.data() + text.size(),
              "option value inside the text", data);
        std::size_t end = value->data() + value->size() - text.data();
        check(end == text.size() || space_len(text, end) || !is_word_byte(static_cast<unsigned char>(text[end])) ||
                  static_cast<unsigned char>(text[end]) >= 0x80,
              "option value is a maximal word run", data);
        std::string_view before = text.substr(0, value->data() - text.data());
        check(before.find(keyword) != std::string_view::npos && before.find('=') != std::string_view::npos,
              "option value follows keyword and '='", data);
    }
}
