// src/core/text/sql_text.hpp: placeholder scans, marker rewrite and whitespace rules for SQL text.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "text/literal_text.hpp"

namespace zorvane::core {

// Names of the #{name} placeholders whose name is [A-Za-z0-9_-]+, left to right,
// duplicates kept. Views point into `sql`.
std::vector<std::string_view> find_bind_names(std::string_view sql);

// The same for ${name} placeholders.
std::vector<std::string_view> find_splice_names(std::string_view sql);

// The opener of a quoted run: '...' ('' doubles a quote), "...", `...`, E'...' (a
// backslash escapes the next byte) or a dollar-quoted body $tag$...$tag$ (tag empty or
// an identifier). E'... and $tag$ open a run only where no identifier byte or '$'
// precedes them, as in PostgreSQL's lexer. `len` is 0 when no run opens at the offset.
struct QuoteOpener {
    std::size_t len = 0;     // bytes of the opener
    std::string_view close;  // the closing delimiter; points into the text
    bool backslash = false;  // a backslash escapes the next byte
};
QuoteOpener open_quote(std::string_view sql, std::size_t i) noexcept;

// End (exclusive) of the quoted run that `q` opens at `i`; the text's end when unclosed.
std::size_t quoted_run_end(std::string_view sql, std::size_t i, const QuoteOpener &q) noexcept;

// Words of `sql`: maximal runs without whitespace, where a quoted run (open_quote)
// belongs to its word whole, whitespace included. An unclosed quote runs to the end.
// Views point into `sql`.
std::vector<std::string_view> split_sql_words(std::string_view sql);

// The words of `sql` joined by single blanks: whitespace outside quoted runs collapses,
// leading and trailing whitespace goes, quoted runs are kept exactly.
std::string format_sql(std::string_view sql);

// The statement text handed to the toolkit: every #{...} (non-empty, up to the first
// closing brace) becomes ":..." wherever it stands; inside quoted runs a colon that
// the toolkit would read as a bind marker is escaped as "\:", and so is a "::" cast
// right after a marker (the toolkit takes no ":name" followed by a colon); then format_sql.
std::string prepare_sql(std::string_view sql);

// Replaces every "${name}" by `value_of(name)` for the names find_splice_names reports.
// `value_of` returns the text to put in.
template <class ValueOf>
std::string replace_splices(std::string_view sql, ValueOf &&value_of) {
    std::string out(sql);
    for (std::string_view name : find_splice_names(sql))
        out = replace_all(out, "${" + std::string(name) + "}", value_of(name));
    return out;
}

}  // namespace zorvane::core
