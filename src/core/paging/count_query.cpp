// src/core/paging/count_query.cpp: the count statement for a textual select.
#include "paging/count_query.hpp"

#include "text/sql_text.hpp"
#include "text/utf8.hpp"

namespace zorvane::core {
namespace {

constexpr std::size_t npos = std::string_view::npos;

std::size_t skip_spaces(std::string_view s, std::size_t i) noexcept {
    while (i < s.size()) {
        std::size_t l = space_len(s, i);
        if (!l)
            break;
        i += l;
    }
    return i;
}

// Byte length of the code point at `i` when it equals the lowercase ASCII letter `lo`
// with case ignored, else 0. Besides the two ASCII cases the host's engine accepts
// U+0130 and U+0131 for 'i', U+017F for 's' and U+212A for 'k'.
std::size_t letter_len(std::string_view s, std::size_t i, char lo) noexcept {
    if (i >= s.size())
        return 0;
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80)
        return (b | 0x20) == static_cast<unsigned char>(lo) ? 1 : 0;
    std::size_t len;
    char32_t c = decode_utf8(s, i, len);
    bool eq = (lo == 'i' && (c == 0x130 || c == 0x131)) || (lo == 's' && c == 0x17F) || (lo == 'k' && c == 0x212A);
    return eq ? len : 0;
}

// End of `word` (lowercase ASCII) matched at `i` with case ignored, or npos.
std::size_t match_ci(std::string_view s, std::size_t i, std::string_view word) noexcept {
    for (char lo : word) {
        std::size_t l = letter_len(s, i, lo);
        if (!l)
            return npos;
        i += l;
    }
    return i;
}

// End of \s+ + `word` + \s+ starting at `i` (the trailing run taken whole), or npos.
std::size_t spaced_word(std::string_view s, std::size_t i, std::string_view word) noexcept {
    std::size_t f = skip_spaces(s, i);
    if (f == i)
        return npos;
    std::size_t g = match_ci(s, f, word);
    if (g == npos)
        return npos;
    std::size_t h = skip_spaces(s, g);
    return h == g ? npos : h;
}

bool is_word_at(std::string_view s, std::size_t i, IsWordChar is_word, std::size_t &len) noexcept {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        len = 1;
        return b == '_' || (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
    }
    return is_word(decode_utf8(s, i, len));
}

// End of one of the grouping keywords at `i`, followed by a non-word or the end.
bool keyword_at(std::string_view s, std::size_t i, IsWordChar is_word) noexcept {
    std::size_t ends[4] = {match_ci(s, i, "distinct"), match_ci(s, i, "having"), match_ci(s, i, "union"), npos};
    std::size_t g = match_ci(s, i, "group");
    if (g != npos) {
        std::size_t f = skip_spaces(s, g);
        if (f > g)
            ends[3] = match_ci(s, f, "by");
    }
    for (std::size_t e : ends) {
        if (e == npos)
            continue;
        std::size_t len;
        if (e == s.size() || !is_word_at(s, e, is_word, len))
            return true;
    }
    return false;
}

// Byte offset of the first word start outside parentheses, quoted runs and comments at
// which `ends` (the end of a match there, or npos) ends a whole word; npos when none does.
template <class Ends>
std::size_t find_top_level(std::string_view s, IsWordChar is_word, Ends ends) noexcept {
    int depth = 0;
    bool prev_word = false;
    for (std::size_t i = 0; i < s.size();) {
        QuoteOpener q = open_quote(s, i);
        if (q.len || comment_at(s, i).end) {
            i = q.len ? quoted_run_end(s, i, q) : comment_at(s, i).end;
            prev_word = false;
            continue;
        }
        depth += s[i] == '(' ? 1 : s[i] == ')' ? -1 : 0;
        std::size_t len;
        bool w = is_word_at(s, i, is_word, len);
        if (w && !prev_word && depth == 0) {
            std::size_t e = ends(i), tail;
            if (e != npos && (e == s.size() || !is_word_at(s, e, is_word, tail)))
                return i;
        }
        prev_word = w;
        i += len;
    }
    return npos;
}

}  // namespace

SelectFrom match_select_from(std::string_view s) noexcept {
    SelectFrom r;
    std::size_t b = match_ci(s, skip_spaces(s, 0), "select");
    if (b == npos)
        return r;
    std::size_t e = skip_spaces(s, b);
    if (e == b)
        return r;
    // \s+ after SELECT takes the whole run first; the lazy group then grows one code
    // point at a time until \s+FROM\s+ follows. Inside a whitespace run every position
    // reaches the same FROM, so the scan jumps from run to run.
    for (std::size_t m = e; m < s.size();) {
        std::size_t f = skip_spaces(s, m);
        if (f > m) {
            std::size_t h = spaced_word(s, m, "from");
            if (h != npos) {
                r = {true, e, m, h};
                return r;
            }
            m = f;
            continue;
        }
        std::size_t len;
        decode_utf8(s, m, len);
        m += len;
    }
    // Backtracking: with two or more whitespace code points after SELECT, the last one
    // can serve as the \s+ before a FROM that directly follows, with an empty list.
    std::size_t last = e - 1;
    while (last > b && (static_cast<unsigned char>(s[last]) & 0xC0) == 0x80)
        --last;
    if (last > b) {
        std::size_t h = spaced_word(s, last, "from");
        if (h != npos)
            r = {true, last, last, h};
    }
    return r;
}

bool has_grouping_keyword(std::string_view s, IsWordChar is_word) noexcept {
    bool prev_word = false;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len;
        bool w = is_word_at(s, i, is_word, len);
        // Every keyword starts with a word character, so \b before it means a non-word
        // character (or the start) precedes it.
        if (w && !prev_word && keyword_at(s, i, is_word))
            return true;
        prev_word = w;
        i += len;
    }
    return false;
}

std::size_t find_top_level_order_by(std::string_view s, IsWordChar is_word) noexcept {
    return find_top_level(s, is_word, [s](std::size_t i) {
        std::size_t g = match_ci(s, i, "order");
        std::size_t f = g == npos ? npos : skip_spaces(s, g);
        return f == npos || f == g ? npos : match_ci(s, f, "by");
    });
}

bool limits_own_rows(std::string_view s, IsWordChar is_word) noexcept {
    return find_top_level(s, is_word, [s](std::size_t i) {
               for (std::string_view word : {"limit", "offset", "fetch"})
                   if (std::size_t e = match_ci(s, i, word); e != npos)
                       return e;
               return npos;
           }) != npos;
}

std::string page_source(std::string_view sql, IsWordChar is_word) {
    if (!limits_own_rows(sql, is_word))
        return {};
    std::string_view t = strip_py(sql);
    while (!t.empty() && t.back() == ';')
        t = strip_py(t.substr(0, t.size() - 1));
    constexpr std::string_view head = "SELECT * FROM (", tail = ") AS page_q";
    std::string out;
    out.reserve(head.size() + t.size() + tail.size());
    out.append(head).append(t).append(tail);
    return out;
}

std::string count_query(std::string_view sql, IsWordChar is_word, bool no_order_by) {
    std::string_view t = strip_py(sql);
    while (!t.empty() && t.back() == ';')
        t.remove_suffix(1);
    SelectFrom m = match_select_from(t);
    bool simple = m.found && t.substr(m.list_begin, m.list_end - m.list_begin).find_first_of("()") == npos &&
                  !has_grouping_keyword(t, is_word);
    std::string out;
    if (simple) {
        constexpr std::string_view head = "SELECT COUNT(*) as count FROM ";
        std::string_view rest = t.substr(m.end);
        if (no_order_by) {
            std::size_t order = find_top_level_order_by(t, is_word);
            if (order != npos && order >= m.end)
                rest = rest.substr(0, order - m.end);
            rest = strip_py(rest);  // the blanks before ORDER; rest starts past them already
        }
        out.reserve(head.size() + rest.size());
        out.append(head).append(rest);
    } else {
        constexpr std::string_view head = "select count(*) from ( ", tail = " ) temp";
        out.reserve(head.size() + t.size() + tail.size());
        out.append(head).append(t).append(tail);
    }
    return out;
}

}  // namespace zorvane::core
