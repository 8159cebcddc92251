// tests/fuzz/fuzz_format_sql.cpp: the whitespace normaliser and the clause trimming built on it.
#include "fuzz/harness.hpp"
#include "render/clauses.hpp"
#include "text/sql_text.hpp"
#include "text/utf8.hpp"

using namespace zorvane::core;
using zorvane::fuzz::check;

namespace {

// The trim rule as the Python reference states it: normalise, then strip entries off one
// end (longest first) and the whitespace behind them until none matches, then strip.
std::string naive_trim(std::string_view s, const std::vector<std::string> &entries, bool front) {
    std::string t = format_sql(s);
    for (;;) {
        const std::string *hit = nullptr;
        for (const std::string &e : entries)
            if (t.size() >= e.size() && (front ? t.compare(0, e.size(), e) : t.compare(t.size() - e.size(), e.size(), e)) == 0)
                if (!hit || e.size() > hit->size())
                    hit = &e;
        if (!hit)
            return std::string(strip_py(t));
        t = std::string(strip_py(front ? std::string_view(t).substr(hit->size())
                                       : std::string_view(t).substr(0, t.size() - hit->size())));
    }
}

std::string naive_where(std::string_view body) {
    std::vector<std::string_view> w = split_sql_words(body);
    auto and_or = [](std::string_view x) {
        std::string up;
        for (char c : x)
            up += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        return up == "AND" || up == "OR";
    };
    std::size_t i = 0;
    while (i < w.size() && and_or(w[i]))
        ++i;
    std::string out = i < w.size() ? "WHERE " : "";
    for (std::size_t k = i; k < w.size(); ++k)
        out.append(k > i ? " " : "").append(w[k]);
    return out;
}

}  // namespace

ZORVANE_FUZZ_TARGET(format_sql) {
    std::vector<std::string_view> words = split_sql_words(data);
    const char *prev_end = data.data();
    std::size_t bytes = 0;
    for (std::string_view w : words) {
        check(!w.empty() && w.data() >= prev_end && w.data() + w.size() <= data.data() + data.size(),
              "words are non-empty, ordered and inside", data);
        check(space_len(w, 0) == 0, "a word never starts with whitespace", data);
        prev_end = w.data() + w.size();
        bytes += w.size();
    }
    std::string formatted = format_sql(data);
    check(formatted.size() == bytes + (words.empty() ? 0 : words.size() - 1), "words joined by single blanks", data);
    check(format_sql(formatted) == formatted, "format_sql is idempotent", data);
    check(!zorvane::fuzz::is_utf8(data) || zorvane::fuzz::is_utf8(formatted), "format_sql keeps code points whole", data);

    // Trimming: the first bytes are an override list, the rest the body.
    zorvane::fuzz::Bytes in(data);
    std::vector<std::string> entries = parse_overrides(in.text(16));
    for (std::size_t i = 1; i < entries.size(); ++i)
        check(entries[i - 1].size() >= entries[i].size() && entries[i - 1] != entries[i], "overrides ordered", data);
    std::string_view body = in.rest();
    check(trim_prefix(body, entries) == naive_trim(body, entries, true), "trim_prefix agrees with the reference", data);
    check(trim_suffix(body, entries) == naive_trim(body, entries, false), "trim_suffix agrees with the reference", data);
    std::string where;
    append_where(where, body);
    check(where == naive_where(body), "append_where agrees with the reference", data);
}
