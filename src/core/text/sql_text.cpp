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

// End (exclusive) of a #{...} marker starting at i, or 0 when none starts there.
std::size_t marker_end(std::string_view s, std::size_t i) noexcept {
    if (s[i] != '#' || i + 2 >= s.size() || s[i + 1] != '{' || s[i + 2] == '}')
        return 0;
    std::size_t close = s.find('}', i + 3);
    return close == std::string_view::npos ? 0 : close + 1;
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

// Appends text with whitespace collapsing outside quoted runs; after a kept line comment
// the collapsed whitespace is a line break.
struct Collapser {
    std::string out;
    bool pending = false;
    bool line_break = false;

    void put(std::string_view bytes) {
        if (pending && !out.empty())
            out.push_back(line_break ? '\n' : ' ');
        pending = line_break = false;
        out.append(bytes);
    }
};

enum class Seg { Space, Marker, Quoted, LineComment, BlockComment, Code };

// Calls f(kind, begin, end, backslash) for the consecutive segments that cover `s`; a
// quoted run reports whether a backslash escapes inside it. With `markers`, a #{...}
// outside quoted runs and comments is one Marker segment, whatever it holds.
template <class F>
void scan(std::string_view s, SqlDialect d, bool markers, F &&f) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t end = space_len(s, i);
        if (end) {
            f(Seg::Space, i, i + end, false);
            i += end;
            continue;
        }
        if (markers && (end = marker_end(s, i))) {
            f(Seg::Marker, i, end, false);
            i = end;
            continue;
        }
        if (Comment c = comment_at(s, i, d); c.end) {
            f(c.line ? Seg::LineComment : Seg::BlockComment, i, c.end, false);
            i = c.end;
            continue;
        }
        if (QuoteOpener q = open_quote(s, i, d); q.len) {
            end = quoted_run_end(s, i, q);
            f(Seg::Quoted, i, end, q.backslash);
            i = end;
            continue;
        }
        end = i + code_point_len(s, i);
        f(Seg::Code, i, end, false);
        i = end;
    }
}

// MySQL reads "---- x" as two minus signs and a comment: dropping the comment would leave
// "--" before the next token, so a line comment right after a '-' is kept with its line break.
bool keep_line_comment(std::string_view s, std::size_t b, SqlDialect d) noexcept {
    return d.mysql && b > 0 && s[b - 1] == '-';
}

// Text of a quoted run or block comment, with the colons the toolkit would bind escaped.
void put_escaped(Collapser &c, std::string_view s, std::size_t b, std::size_t e, bool backslash) {
    c.put({});
    for (std::size_t k = b; k < e; ++k) {
        if (backslash && s[k] == '\\' && k + 1 < e) {
            c.out.append(s.substr(k, 2));
            ++k;
        } else if (s[k] == ':' && colon_needs_escape(s, k)) {
            c.out.append("\\:");
        } else {
            c.out.push_back(s[k]);
        }
    }
}

// ":" + the content of the marker at [b, e), its whitespace collapsed.
void put_marker(Collapser &c, std::string_view s, std::size_t b, std::size_t e) {
    c.put(":");
    for (std::size_t k = b + 2; k + 1 < e;) {
        if (std::size_t ws = space_len(s, k)) {
            c.pending = true;
            k += ws;
        } else {
            std::size_t len = code_point_len(s, k);
            c.put(s.substr(k, len));
            k += len;
        }
    }
}

}  // namespace

Comment comment_at(std::string_view s, std::size_t i, SqlDialect d) noexcept {
    const std::size_t n = s.size();
    const char c = s[i];
    bool line = false;
    if (c == '-' && i + 1 < n && s[i + 1] == '-')  // MySQL: a blank, a control character or the end must follow
        line = !d.mysql || i + 2 == n || static_cast<unsigned char>(s[i + 2]) <= 0x20;
    else if (c == '#')
        line = d.mysql && !marker_end(s, i);
    if (line) {
        // PostgreSQL also ends a line comment at a lone carriage return.
        std::size_t e = d.mysql ? s.find('\n', i) : s.find_first_of("\n\r", i);
        return {e == std::string_view::npos ? n : e, true};
    }
    if (c != '/' || i + 1 >= n || s[i + 1] != '*')
        return {};
    std::size_t depth = 1;
    for (std::size_t k = i + 2; k + 1 < n;) {
        if (s[k] == '*' && s[k + 1] == '/') {
            k += 2;
            if (--depth == 0)
                return {k, false};
        } else if (!d.mysql && s[k] == '/' && s[k + 1] == '*') {
            ++depth;
            k += 2;
        } else {
            ++k;
        }
    }
    return {n, false};
}

std::vector<std::string_view> find_bind_names(std::string_view sql, SqlDialect d) {
    std::vector<std::string_view> names;
    scan(sql, d, true, [&](Seg kind, std::size_t b, std::size_t e, bool) {
        if (kind != Seg::Marker)
            return;
        std::string_view name = sql.substr(b + 2, e - b - 3);
        if (std::all_of(name.begin(), name.end(), is_name_byte))
            names.push_back(name);
    });
    return names;
}

std::vector<std::string_view> find_splice_names(std::string_view sql) { return find_names(sql, '$'); }

QuoteOpener open_quote(std::string_view s, std::size_t i, SqlDialect d) noexcept {
    const std::size_t n = s.size();
    const char c = s[i];
    if (c == '\'' || c == '"')
        return {1, s.substr(i, 1), d.mysql};
    if (c == '`')
        return {1, s.substr(i, 1), false};
    if (d.mysql)
        return {};
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
            if (q.backslash && q.close.size() == 1 && k + 1 < n && s[k + 1] == q.close[0])  // a doubled quote
                k += 2;
            else
                return k + q.close.size();
        } else {
            ++k;
        }
    }
    return n;
}

std::vector<std::string_view> split_sql_words(std::string_view sql, SqlDialect d) {
    std::vector<std::string_view> words;
    std::size_t start = std::string_view::npos;
    scan(sql, d, true, [&](Seg kind, std::size_t b, std::size_t, bool) {
        if (kind != Seg::Space && (kind != Seg::LineComment || keep_line_comment(sql, b, d))) {
            if (start == std::string_view::npos)
                start = b;
        } else if (start != std::string_view::npos) {
            words.push_back(sql.substr(start, b - start));
            start = std::string_view::npos;
        }
    });
    if (start != std::string_view::npos)
        words.push_back(sql.substr(start));
    return words;
}

std::string format_sql(std::string_view sql, SqlDialect d) {
    Collapser c;
    c.out.reserve(sql.size());
    scan(sql, d, true, [&](Seg kind, std::size_t b, std::size_t e, bool) {
        if (kind == Seg::Space || (kind == Seg::LineComment && !keep_line_comment(sql, b, d))) {
            c.pending = true;
        } else {
            c.put(sql.substr(b, e - b));
            c.line_break = kind == Seg::LineComment;
        }
    });
    return std::move(c.out);
}

std::string prepare_sql(std::string_view sql, SqlDialect d) { return detail::prepare_sql(sql, d, {}); }

namespace {

// Significant tokens of a text: words, markers, quoted runs and single other characters.
enum class Tok { Word, Marker, Open, Close, Quoted, Other };
struct Token {
    Tok kind;
    std::size_t b, e;
};

bool word_is(std::string_view s, const Token &t, std::string_view upper) noexcept {
    if (t.kind != Tok::Word || t.e - t.b != upper.size())
        return false;
    for (std::size_t k = 0; k < upper.size(); ++k)
        if ((s[t.b + k] & ~0x20) != upper[k])
            return false;
    return true;
}

std::vector<Token> tokens(std::string_view s, SqlDialect d) {
    std::vector<Token> toks;
    scan(s, d, true, [&](Seg kind, std::size_t b, std::size_t e, bool) {
        if (kind == Seg::Space || kind == Seg::LineComment || kind == Seg::BlockComment)
            return;
        if (kind == Seg::Marker) {
            toks.push_back({Tok::Marker, b, e});
        } else if (kind == Seg::Code && is_word_byte(static_cast<unsigned char>(s[b]))) {
            if (!toks.empty() && toks.back().kind == Tok::Word && toks.back().e == b)
                toks.back().e = e;
            else
                toks.push_back({Tok::Word, b, e});
        } else {
            Tok t = kind == Seg::Quoted ? Tok::Quoted
                    : kind != Seg::Code ? Tok::Other
                    : s[b] == '('       ? Tok::Open
                    : s[b] == ')'       ? Tok::Close
                                        : Tok::Other;
            toks.push_back({t, b, e});
        }
    });
    return toks;
}

}  // namespace

InsertTarget insert_target(std::string_view sql, SqlDialect d) {
    std::vector<Token> toks = tokens(sql, d);
    InsertTarget out;
    std::size_t k = 0;
    while (k < toks.size() && !word_is(sql, toks[k], "INSERT"))
        ++k;
    while (k < toks.size() && !word_is(sql, toks[k], "INTO"))
        ++k;
    if (++k < toks.size()) {
        std::size_t b = toks[k].b, e = b;
        for (; k < toks.size() && toks[k].b == e; ++k) {  // adjacent name parts and dots
            const Token &t = toks[k];
            if (t.kind != Tok::Word && t.kind != Tok::Quoted && !(t.kind == Tok::Other && sql[t.b] == '.'))
                break;
            e = t.e;
        }
        out.table = sql.substr(b, e - b);
    }
    for (const Token &t : toks)
        out.returning = out.returning || word_is(sql, t, "RETURNING");
    return out;
}

std::vector<InList> find_in_lists(std::string_view sql, SqlDialect d) {
    std::string_view s = strip_py(sql);
    std::vector<Token> toks = tokens(s, d);
    std::vector<InList> out;
    for (std::size_t k = 1; k < toks.size(); ++k) {
        if (toks[k].kind != Tok::Marker)
            continue;
        std::string_view name = s.substr(toks[k].b + 2, toks[k].e - toks[k].b - 3);
        if (!std::all_of(name.begin(), name.end(), is_name_byte))
            continue;
        std::size_t in;
        InList l{name, 0, 0, 0, false};
        if (word_is(s, toks[k - 1], "IN")) {
            in = k - 1;
            l.list = toks[k].b;
            l.end = toks[k].e;
        } else if (k >= 2 && toks[k - 1].kind == Tok::Open && k + 1 < toks.size() && toks[k + 1].kind == Tok::Close &&
                   word_is(s, toks[k - 2], "IN")) {
            in = k - 2;
            l.list = toks[k - 1].b;
            l.end = toks[k + 1].e;
        } else {
            continue;
        }
        l.negated = in > 0 && word_is(s, toks[in - 1], "NOT");
        l.start = toks[l.negated ? in - 1 : in].b;
        out.push_back(l);
    }
    return out;
}

std::vector<Splice> find_splices(std::string_view sql, SqlDialect d) {
    std::vector<Splice> out;
    std::size_t skip_end = 0;
    scan(sql, d, true, [&](Seg kind, std::size_t b, std::size_t, bool) {
        if (kind != Seg::Code || b < skip_end || sql[b] != '$' || sql.compare(b + 1, 1, "{") != 0)
            return;
        std::size_t j = b + 2;
        while (j < sql.size() && is_name_byte(sql[j]))
            ++j;
        if (j > b + 2 && j < sql.size() && sql[j] == '}') {
            out.push_back({sql.substr(b + 2, j - b - 2), b, j + 1});
            skip_end = j + 1;
        }
    });
    return out;
}

namespace {

bool ident_start(char c) noexcept { return c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }
bool ident_byte(char c) noexcept { return ident_start(c) || c == '$' || (c >= '0' && c <= '9'); }
bool blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool same_word(std::string_view word, std::string_view upper) noexcept {
    if (word.size() != upper.size())
        return false;
    for (std::size_t k = 0; k < word.size(); ++k)
        if ((word[k] & ~0x20) != upper[k])
            return false;
    return true;
}

// Words that would change a statement's meaning where a column name is expected.
constexpr std::string_view kReserved[] = {"SELECT", "INSERT", "UPDATE", "DELETE", "DROP", "ALTER", "CREATE",
                                          "UNION",  "FROM",   "WHERE",  "AND",    "OR",   "NOT",   "NULL",
                                          "CASE",   "WHEN",   "THEN",   "ELSE",   "END",  "EXEC",  "EXECUTE",
                                          "GRANT",  "LIMIT",  "OFFSET", "INTO",   "TRUNCATE", "ASC", "DESC"};

bool reserved(std::string_view word) noexcept {
    for (std::string_view r : kReserved)
        if (same_word(word, r))
            return true;
    return false;
}

}  // namespace

bool is_identifier_list(std::string_view v) noexcept {
    std::size_t i = 0;
    const std::size_t n = v.size();
    auto skip_blanks = [&] {
        while (i < n && blank(v[i]))
            ++i;
    };
    auto word = [&]() -> std::string_view {
        std::size_t b = i;
        if (i < n && ident_start(v[i]))
            while (++i < n && ident_byte(v[i])) {
            }
        return v.substr(b, i - b);
    };
    for (;;) {
        skip_blanks();
        for (;;) {  // an identifier, qualified by dots
            std::string_view w = word();
            if (w.empty() || reserved(w))
                return false;
            if (i < n && v[i] == '.')
                ++i;
            else
                break;
        }
        std::size_t before = i;
        skip_blanks();
        if (i > before && i < n && v[i] != ',') {
            std::string_view dir = word();
            if (!same_word(dir, "ASC") && !same_word(dir, "DESC"))
                return false;
            skip_blanks();
        }
        if (i == n)
            return true;
        if (v[i] != ',')
            return false;
        ++i;
    }
}

std::string in_list_item(std::string_view name, std::size_t i) {
    return std::string(name).append("_in_").append(std::to_string(i));
}

namespace detail {

std::vector<Rewrite> in_list_rewrites(const std::vector<InList> &lists, SqlDialect d, const std::vector<long> &sizes) {
    std::vector<Rewrite> out;
    for (std::size_t k = 0; k < lists.size() && k < sizes.size(); ++k) {
        const InList &l = lists[k];
        if (sizes[k] < 0)
            continue;
        if (sizes[k] == 0 && d.arrays) {
            out.push_back({l.start, l.end, l.negated ? "<> ALL('{}')" : "= ANY('{}')"});
            continue;
        }
        std::string text = "(";
        for (long i = 0; i < sizes[k]; ++i)
            text.append(i ? ", :" : ":").append(in_list_item(l.name, static_cast<std::size_t>(i)));
        out.push_back({l.list, l.end, sizes[k] ? text + ")" : "(SELECT NULL WHERE 1=0)"});
    }
    return out;
}

std::string prepare_sql(std::string_view sql, SqlDialect d, const std::vector<Rewrite> &rewrites) {
    std::string_view s = strip_py(sql);
    Collapser c;
    c.out.reserve(s.size() + 8);
    std::size_t cast_end = 0;  // a "::" right after a marker, written already
    std::size_t next = 0, skip_end = 0;  // the next rewrite; the end of the one written last
    scan(s, d, true, [&](Seg kind, std::size_t b, std::size_t e, bool backslash) {
        if (b < skip_end)
            return;
        if (next < rewrites.size() && b == rewrites[next].begin) {
            c.put(rewrites[next].text);
            skip_end = rewrites[next++].end;
            return;
        }
        switch (kind) {
            case Seg::Space: c.pending = true; break;
            case Seg::LineComment:
                if (keep_line_comment(s, b, d)) {
                    c.put(s.substr(b, e - b));
                    c.line_break = true;
                } else {
                    c.pending = true;
                }
                break;
            case Seg::Marker:
                put_marker(c, s, b, e);
                if (s.compare(e, 2, "::") == 0) {
                    c.put("\\:\\:");
                    cast_end = e + 2;
                }
                break;
            case Seg::Quoted:
            case Seg::BlockComment: put_escaped(c, s, b, e, backslash); break;
            case Seg::Code:
                if (b >= cast_end)
                    c.put(s.substr(b, e - b));
                break;
        }
    });
    return std::move(c.out);
}

}  // namespace detail


}  // namespace zorvane::core
