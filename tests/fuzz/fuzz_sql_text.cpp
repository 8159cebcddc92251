// tests/fuzz/fuzz_sql_text.cpp: marker rewrite, name scans, splices and literal handling.
#include <vector>

#include "fuzz/harness.hpp"
#include "text/literal_text.hpp"
#include "text/sql_text.hpp"
#include "text/utf8.hpp"

using namespace zorvane::core;
using zorvane::fuzz::check;

namespace {

bool name_byte(char c) {
    return c == '_' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// lead + "{" + [A-Za-z0-9_-]+ + "}", scanned left to right without overlap.
std::vector<std::string_view> naive_names(std::string_view s, char lead) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] != lead || s[i + 1] != '{')
            continue;
        std::size_t j = i + 2;
        while (j < s.size() && name_byte(s[j]))
            ++j;
        if (j > i + 2 && j < s.size() && s[j] == '}') {
            out.push_back(s.substr(i + 2, j - i - 2));
            i = j;
        }
    }
    return out;
}

// What a normaliser must keep: every literal, block comment and other code point in order,
// and whether whitespace or a comment stood before it. Dropped line comments are gaps.
struct Tokens {
    std::vector<std::string_view> text;
    std::vector<bool> gap_before;
    std::size_t line_comments = 0;
};

Tokens tokens_of(std::string_view s, SqlDialect d) {
    Tokens t;
    bool gap = false;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t end;
        if (std::size_t ws = space_len(s, i)) {
            gap = true;
            i += ws;
            continue;
        }
        if (s.compare(i, 2, "#{") == 0 && i + 2 < s.size() && s[i + 2] != '}' &&
            s.find('}', i + 3) != std::string_view::npos) {  // a #{...} marker is one token
            end = s.find('}', i + 3) + 1;
            t.gap_before.push_back(gap && !t.text.empty());
            t.text.push_back(s.substr(i, end - i));
            gap = false;
            i = end;
            continue;
        }
        // MySQL keeps a line comment right after a '-' (see format_sql): a token then.
        if (Comment c = comment_at(s, i, d); c.end && c.line && !(d.mysql && i > 0 && s[i - 1] == '-')) {
            gap = true;
            ++t.line_comments;
            i = c.end;
            continue;
        } else if (c.end) {
            end = c.end;
        } else if (QuoteOpener q = open_quote(s, i, d); q.len) {
            end = quoted_run_end(s, i, q);
        } else {
            end = i + code_point_len(s, i);
        }
        t.gap_before.push_back(gap && !t.text.empty());
        t.text.push_back(s.substr(i, end - i));
        gap = false;
        i = end;
    }
    return t;
}

std::string naive_replace(std::string_view s, std::string_view from, std::string_view to) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        if (s.compare(i, from.size(), from) == 0) {
            out.append(to);
            i += from.size();
        } else {
            out.push_back(s[i++]);
        }
    }
    return out;
}

}  // namespace

ZORVANE_FUZZ_TARGET(sql_text) {
    // Where every "#{" opens a well-formed placeholder outside quotes and comments.
    std::vector<std::string_view> naive = naive_names(data, '#');
    std::size_t opened = 0;
    for (std::size_t at = data.find("#{"); at != std::string_view::npos; at = data.find("#{", at + 1))
        ++opened;
    if (data.find_first_of("'\"`$-/") == std::string_view::npos && naive.size() == opened)
        check(find_bind_names(data) == naive, "bind names agree with the pattern", data);

    // Normalising keeps every literal and block comment exactly, drops line comments and joins
    // no token into a comment or another token, by either dialect's rules.
    if (zorvane::fuzz::is_utf8(data)) {
        for (SqlDialect d : {SqlDialect{}, SqlDialect{true}}) {
            std::string formatted = format_sql(data, d);
            Tokens in = tokens_of(data, d), out = tokens_of(formatted, d);
            check(out.text == in.text, "format_sql keeps every token", data);
            check(out.gap_before == in.gap_before, "format_sql keeps token boundaries", data);
            check(out.line_comments == 0, "format_sql leaves no line comment", data);
        }
    }
    check(find_splice_names(data) == naive_names(data, '$'), "splice names agree with the pattern", data);

    // A splice whose value is its own name leaves no "${name}" of a reported name behind.
    std::string spliced = replace_splices(data, [](std::string_view n) { return "<" + std::string(n) + ">"; });
    for (std::string_view n : find_splice_names(data))
        check(spliced.find("${" + std::string(n) + "}") == std::string::npos || n.empty(), "splices replaced", data);

    // Without markers and colons the rewrite is the whitespace normaliser after a strip.
    std::string prepared = prepare_sql(data);
    check(!zorvane::fuzz::is_utf8(data) || zorvane::fuzz::is_utf8(prepared), "prepare_sql keeps code points whole", data);
    // An unclosed quote (a dollar-quoted body too) keeps what follows it, trailing whitespace included.
    // Malformed bytes may join into whitespace once a marker's braces are gone: valid text only.
    if (prepared.find_first_of("'\"`$/") == std::string::npos && zorvane::fuzz::is_utf8(data))
        check(strip_py(prepared).size() == prepared.size(), "prepared text is stripped", data);
    if (data.find("#{") == std::string_view::npos && data.find(':') == std::string_view::npos)
        check(prepared == format_sql(strip_py(data)), "prepare_sql without markers is format_sql", data);
    check(prepared.find("#{") == std::string::npos || data.find("#{") != std::string_view::npos, "no marker invented",
          data);

    // Literal handling.
    std::string lit = sql_string_literal(data);
    check(lit.size() >= 2 && lit.front() == '\'' && lit.back() == '\'', "literal is quoted", data);
    check(sql_string_literal(lit) == lit, "sql_string_literal is idempotent", data);
    std::string escaped = escape_xml(data);
    check(escaped.find_first_of("<>\"") == std::string::npos, "escape_xml leaves no markup", data);
    if (data.find('&') == std::string_view::npos)
        check(unescape_xml(escaped) == data, "escape round trip", data);
    if (auto sec = find_cdata(data)) {
        check(sec->begin < sec->end && sec->end <= data.size(), "cdata offsets", data);
        check(data.substr(sec->begin, 9) == "<![CDATA[" && data.substr(sec->end - 3, 3) == "]]>", "cdata markers", data);
        check(sec->content.find("]]>") == std::string_view::npos, "shortest cdata section", data);
        // Like str.replace: one pass, so the output may form a section anew.
        std::string_view whole = data.substr(sec->begin, sec->end - sec->begin);
        check(replace_first_cdata(data) == naive_replace(data, whole, escape_xml(sec->content)), "cdata replaced",
              data);
    } else {
        check(replace_first_cdata(data) == data, "no cdata, no change", data);
    }

    // replace_all against the byte-by-byte reading; the first bytes choose from and to.
    zorvane::fuzz::Bytes in(data);
    std::string_view from = in.text(4), to = in.text(4);
    if (!from.empty())
        check(replace_all(in.rest(), from, to) == naive_replace(in.rest(), from, to), "replace_all agrees", data);
}
