// src/core/text/sql_text.cpp: placeholder scans, marker rewrite and whitespace rules for SQL text.
#include "text/sql_text.hpp"

#include "text/utf8.hpp"

#include <algorithm>

namespace zorvane::core {
namespace {

bool is_name_byte(char c) noexcept {
    auto b = static_cast<unsigned char>(c);
    return b == '_' || b == '-' || (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
}

std::vector<std::string_view> find_names(std::string_view sql, char lead) {
    std::vector<std::string_view> names;
    const std::size_t n = sql.size();
    for (std::size_t i = 0; i + 2 < n; ++i) {
        if (sql[i] != lead || sql[i + 1] != '{')
            continue;
        std::size_t j = i + 2;
        while (j < n && is_name_byte(sql[j]))
            ++j;
        if (j > i + 2 && j < n && sql[j] == '}') {
            names.push_back(sql.substr(i + 2, j - i - 2));
            i = j;
        }
    }
    return names;
}

// End (exclusive) of a #{...} marker starting at i, or 0 when none starts there.
std::size_t marker_end(std::string_view s, std::size_t i) noexcept {
    if (s[i] != '#' || i + 2 >= s.size() || s[i + 1] != '{' || s[i + 2] == '}')
        return 0;
    std::size_t close = s.find('}', i + 3);
    return close == std::string_view::npos ? 0 : close + 1;
}

// Would the toolkit's text() read the colon at `i` as a bind marker? Mirrors its
// pattern (?<![:\w\\]):(\w+)(?!:), except that a run followed by ':' is left alone:
// escaping it could not be undone by the toolkit and would leave a backslash behind.
// Any non-ASCII byte before the colon escapes it: "«" is no word character, and the
// toolkit undoes the escape after a letter such as "é" all the same.
bool colon_needs_escape(std::string_view s, std::size_t i) noexcept {
    if (i > 0) {
        auto p = static_cast<unsigned char>(s[i - 1]);
        if (p == ':' || p == '\\' || (p < 0x80 && is_word_byte(p)))
            return false;
    }
    std::size_t j = i + 1;
    while (j < s.size() && is_word_byte(static_cast<unsigned char>(s[j])))
        ++j;
    return j > i + 1 && (j == s.size() || s[j] != ':');
}

// Appends text with whitespace collapsing outside quoted runs.
struct Collapser {
    std::string out;
    bool pending = false;

    void put(std::string_view bytes) {
        if (pending && !out.empty())
            out.push_back(' ');
        pending = false;
        out.append(bytes);
    }
};

}  // namespace

std::vector<std::string_view> find_bind_names(std::string_view sql) { return find_names(sql, '#'); }

std::vector<std::string_view> find_splice_names(std::string_view sql) { return find_names(sql, '$'); }

QuoteOpener open_quote(std::string_view s, std::size_t i) noexcept {
    const std::size_t n = s.size();
    const char c = s[i];
    if (c == '\'' || c == '"' || c == '`')
        return {1, s.substr(i, 1), false};
    if (i > 0) {  // after an identifier byte or '$' no run opens; multi-byte whitespace ends in bytes >= 0x80
        auto p = static_cast<unsigned char>(s[i - 1]);
        if ((is_word_byte(p) || p == '$') && !(p >= 0x80 && space_ends_at(s, i)))
            return {};
    }
    if ((c == 'E' || c == 'e') && i + 1 < n && s[i + 1] == '\'')
        return {2, s.substr(i + 1, 1), true};
    if (c == '$') {
        std::size_t j = i + 1;
        if (j < n && is_word_byte(static_cast<unsigned char>(s[j])) && !(s[j] >= '0' && s[j] <= '9'))
            while (j < n && is_word_byte(static_cast<unsigned char>(s[j])))
                ++j;
        if (j < n && s[j] == '$')
            return {j + 1 - i, s.substr(i, j + 1 - i), false};
    }
    return {};
}

std::size_t quoted_run_end(std::string_view s, std::size_t i, const QuoteOpener &q) noexcept {
    const std::size_t n = s.size();
    for (std::size_t k = i + q.len; k < n;) {
        if (q.backslash && s[k] == '\\') {
            k += 2;
        } else if (s.compare(k, q.close.size(), q.close) == 0) {
            if (q.backslash && k + 1 < n && s[k + 1] == '\'')  // '' inside E'...'
                k += 2;
            else
                return k + q.close.size();
        } else {
            ++k;
        }
    }
    return n;
}

std::vector<std::string_view> split_sql_words(std::string_view sql) {
    std::vector<std::string_view> words;
    const std::size_t n = sql.size();
    std::size_t i = 0, start = std::string_view::npos;
    while (i < n) {
        if (std::size_t ws = space_len(sql, i)) {
            if (start != std::string_view::npos) {
                words.push_back(sql.substr(start, i - start));
                start = std::string_view::npos;
            }
            i += ws;
            continue;
        }
        if (start == std::string_view::npos)
            start = i;
        QuoteOpener q = open_quote(sql, i);
        i = q.len ? quoted_run_end(sql, i, q) : i + code_point_len(sql, i);
    }
    if (start != std::string_view::npos)
        words.push_back(sql.substr(start));
    return words;
}

std::string format_sql(std::string_view sql) {
    std::string out;
    out.reserve(sql.size());
    for (std::string_view w : split_sql_words(sql)) {
        if (!out.empty())
            out.push_back(' ');
        out.append(w);
    }
    return out;
}

std::string prepare_sql(std::string_view sql) {
    std::string_view s = strip_py(sql);
    Collapser c;
    c.out.reserve(s.size() + 8);
    const std::size_t n = s.size();
    QuoteOpener q;  // the quoted run we are in; q.len == 0 outside
    std::size_t i = 0;
    while (i < n) {
        if (std::size_t end = marker_end(s, i)) {
            // ":" + the marker's content; quotes inside it do not open a quoted run.
            c.put(":");
            for (std::size_t k = i + 2; k + 1 < end;) {
                std::size_t ws = q.len ? 0 : space_len(s, k);
                if (ws) {
                    c.pending = true;
                    k += ws;
                } else {
                    std::size_t len = q.len ? 1 : code_point_len(s, k);
                    c.put(s.substr(k, len));
                    k += len;
                }
            }
            i = end;
            if (!q.len && s.compare(i, 2, "::") == 0) {
                c.put("\\:\\:");
                i += 2;
            }
            continue;
        }
        if (q.len) {
            std::size_t step = 1;
            if (q.backslash && s[i] == '\\') {
                step = 2;
            } else if (s.compare(i, q.close.size(), q.close) == 0) {
                step = q.close.size();
                if (q.backslash && i + 1 < n && s[i + 1] == '\'')
                    step = 2;
                else
                    q = {};
            } else if (s[i] == ':' && colon_needs_escape(s, i)) {
                c.put("\\:");
                ++i;
                continue;
            }
            step = std::min(step, n - i);
            c.put(s.substr(i, step));
            i += step;
            continue;
        }
        if (std::size_t ws = space_len(s, i)) {
            c.pending = true;
            i += ws;
            continue;
        }
        q = open_quote(s, i);
        std::size_t step = q.len ? q.len : code_point_len(s, i);
        c.put(s.substr(i, step));
        i += step;
    }
    return std::move(c.out);
}

}  // namespace zorvane::core
