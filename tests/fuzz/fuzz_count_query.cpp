// tests/fuzz/fuzz_count_query.cpp: the count rewrite against a backtracking regex on ASCII text.
// GCC 12 reports a false -Wmaybe-uninitialized inside libstdc++'s regex when sanitizing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>

#include "fuzz/harness.hpp"
#include "paging/count_query.hpp"
#include "text/utf8.hpp"

using namespace zorvane::core;
using zorvane::fuzz::check;

namespace {

bool no_word(char32_t) noexcept { return false; }

// ECMAScript's \s and \w equal the host's on this alphabet: ASCII without 0x1C-0x1F.
bool regex_alphabet(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80 || (c >= 0x1C && c <= 0x1F) || c == 0)
            return false;
    return true;
}

const std::regex &select_from() {
    static const std::regex re(R"(^\s*SELECT\s+([\s\S]*?)\s+FROM\s+)", std::regex::icase);
    return re;
}

const std::regex &grouping() {
    static const std::regex re(R"(\b(distinct|group\s+by|having|union)\b)", std::regex::icase);
    return re;
}

}  // namespace

ZORVANE_FUZZ_TARGET(count_query) {
    std::string out = count_query(data, &no_word);
    if (zorvane::fuzz::is_utf8(data))
        check(zorvane::fuzz::is_utf8(out) && zorvane::fuzz::is_utf8(count_query(data, &no_word, true)),
              "count statements keep code points whole", data);
    const std::string_view simple = "SELECT COUNT(*) as count FROM ", head = "select count(*) from ( ", tail = " ) temp";
    std::string_view t = strip_py(data);
    while (!t.empty() && t.back() == ';')
        t.remove_suffix(1);
    SelectFrom m = match_select_from(t);
    if (m.found)
        check(m.list_begin <= m.list_end && m.list_end < m.end && m.end <= t.size(), "match offsets ordered", data);
    if (out.compare(0, simple.size(), simple) == 0) {
        check(m.found && t.substr(m.end) == std::string_view(out).substr(simple.size()), "simple form keeps the tail",
              data);
    } else {
        check(out == std::string(head) + std::string(t) + std::string(tail), "wrapped form holds the text", data);
    }
    std::string source = page_source(data, &no_word);
    check(source.empty() != limits_own_rows(data, &no_word), "a sub-select exactly for own limits", data);
    const std::string_view sub_head = "SELECT * FROM (", sub_tail = ") AS page_q";
    if (!source.empty())
        check(source.size() >= sub_head.size() + sub_tail.size() && source.compare(0, sub_head.size(), sub_head) == 0 &&
                  std::string_view(source).substr(source.size() - sub_tail.size()) == sub_tail &&
                  (!zorvane::fuzz::is_utf8(data) || zorvane::fuzz::is_utf8(source)),
              "the sub-select wraps the statement", data);
    // libstdc++'s regex recurses per character: keep the reference to short inputs.
    if (t.size() > 256 || !regex_alphabet(t))
        return;
    std::string text(t);
    std::smatch sm;
    bool found = std::regex_search(text, sm, select_from());
    check(found == m.found, "select-from match agrees with the regex", data);
    if (found)
        check(static_cast<std::size_t>(sm.position(1)) == m.list_begin &&
                  static_cast<std::size_t>(sm.position(1) + sm.length(1)) == m.list_end &&
                  static_cast<std::size_t>(sm.length(0)) == m.end,
              "select-from groups agree with the regex", data);
    check(has_grouping_keyword(t, &no_word) == std::regex_search(text, grouping()), "grouping agrees with the regex",
          data);
}
