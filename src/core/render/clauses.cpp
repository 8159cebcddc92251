// src/core/render/clauses.cpp: the text rules of the where, set and trim elements.
#include "render/clauses.hpp"

#include <algorithm>

#include "text/sql_text.hpp"
#include "text/utf8.hpp"

namespace zorvane::core {
namespace {

bool is_and_or(std::string_view w) noexcept {
    auto up = [](char c) { return static_cast<char>((c >= 'a' && c <= 'z') ? c - 32 : c); };
    if (w.size() == 2)
        return up(w[0]) == 'O' && up(w[1]) == 'R';
    return w.size() == 3 && up(w[0]) == 'A' && up(w[1]) == 'N' && up(w[2]) == 'D';
}

bool starts_with(std::string_view s, std::string_view p) noexcept { return s.substr(0, p.size()) == p; }

bool ends_with(std::string_view s, std::string_view p) noexcept {
    return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

}  // namespace

void order_overrides(std::vector<std::string> &entries) {
    entries.erase(std::remove_if(entries.begin(), entries.end(), [](const std::string &e) { return e.empty(); }),
                  entries.end());
    std::sort(entries.begin(), entries.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
}

std::vector<std::string> parse_overrides(std::string_view value) {
    std::vector<std::string> out;
    for (std::size_t start = 0;;) {
        std::size_t bar = value.find('|', start);
        out.emplace_back(strip_py(value.substr(start, bar == std::string_view::npos ? bar : bar - start)));
        if (bar == std::string_view::npos)
            break;
        start = bar + 1;
    }
    order_overrides(out);
    return out;
}

namespace {

// Removes matching entries from one end of the normalised `s` until none matches.
std::string trim_end(std::string_view s, const std::vector<std::string> &entries, bool front, SqlDialect d) {
    std::string text = format_sql(s, d);
    std::string_view rest = text;
    for (bool again = true; again;) {
        again = false;
        for (const std::string &e : entries) {
            if (!e.empty() && (front ? starts_with(rest, e) : ends_with(rest, e))) {
                rest = strip_py(front ? rest.substr(e.size()) : rest.substr(0, rest.size() - e.size()));
                again = true;
                break;
            }
        }
    }
    return std::string(strip_py(rest));
}

}  // namespace

std::string trim_prefix(std::string_view s, const std::vector<std::string> &heads, SqlDialect d) {
    return trim_end(s, heads, true, d);
}

std::string trim_suffix(std::string_view s, const std::vector<std::string> &tails, SqlDialect d) {
    return trim_end(s, tails, false, d);
}

void append_where(std::string &out, std::string_view body, SqlDialect d) {
    std::vector<std::string_view> words = split_sql_words(body, d);
    std::size_t i = 0;
    while (i < words.size() && is_and_or(words[i]))
        ++i;
    if (i == words.size())
        return;
    out.append("WHERE ").append(format_sql(body.substr(static_cast<std::size_t>(words[i].data() - body.data())), d));
}

void append_set(std::string &out, std::string_view body, SqlDialect d) {
    static const std::vector<std::string> comma{","};
    out.append("SET ").append(trim_prefix(body, comma, d));
}

void append_trim(std::string &out, std::string_view body, std::string_view prefix, std::string_view suffix,
                 const std::vector<std::string> &heads, const std::vector<std::string> &tails, SqlDialect d) {
    out.append(prefix).push_back(' ');
    if (heads.empty() && tails.empty()) {
        out.append(body);
    } else {
        std::string trimmed = heads.empty() ? std::string(body) : trim_prefix(body, heads, d);
        out.append(tails.empty() ? trimmed : trim_suffix(trimmed, tails, d));
    }
    out.push_back(' ');
    out.append(suffix);
}

}  // namespace zorvane::core
