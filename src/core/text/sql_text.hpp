// src/core/text/sql_text.hpp: placeholder scans, marker rewrite and whitespace rules for SQL text.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "text/literal_text.hpp"

namespace zorvane::core {

// How a database reads statement text. The standard rules (PostgreSQL, SQLite): "--"
// comments, nestable /* */ comments, '' doubles a quote, E'...' and $tag$ runs. With
// `mysql` (MySQL, MariaDB): "#" comments, "--" only when a blank or control character
// follows it, flat /* */ comments, a backslash escapes the next byte in '...' and "...",
// no E'...' and no dollar quoting.
struct SqlDialect {
    bool mysql = false;
    bool arrays = false;  // PostgreSQL: an empty IN list is written as "= ANY('{}')" (see prepare_sql)
};

// A comment at an offset: `end` is exclusive, 0 when none starts there. A line comment
// ends before its line break (or at the text's end).
struct Comment {
    std::size_t end = 0;
    bool line = false;
};
Comment comment_at(std::string_view sql, std::size_t i, SqlDialect d = {}) noexcept;

// Names of the #{name} placeholders whose name is [A-Za-z0-9_-]+, left to right,
// duplicates kept, outside quoted runs and comments. Views point into `sql`.
std::vector<std::string_view> find_bind_names(std::string_view sql, SqlDialect d = {});

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
QuoteOpener open_quote(std::string_view sql, std::size_t i, SqlDialect d = {}) noexcept;

// End (exclusive) of the quoted run that `q` opens at `i`; the text's end when unclosed.
std::size_t quoted_run_end(std::string_view sql, std::size_t i, const QuoteOpener &q) noexcept;

// Words of `sql`: maximal runs without whitespace, where a quoted run (open_quote), a
// #{...} marker or a block comment belongs to its word whole, whitespace included, and a line comment
// ends the word and is dropped with its text. An unclosed quote or block comment runs
// to the end. Views point into `sql`.
std::vector<std::string_view> split_sql_words(std::string_view sql, SqlDialect d = {});

// The words of `sql` joined by single blanks: whitespace outside quoted runs and block
// comments collapses, line comments go, leading and trailing whitespace goes, quoted
// runs and block comments are kept exactly.
std::string format_sql(std::string_view sql, SqlDialect d = {});

// The statement text handed to the toolkit: every #{...} (non-empty, up to the first
// closing brace) outside quoted runs and comments becomes ":..."; inside quoted runs and
// block comments a colon that the toolkit would read as a bind marker is escaped as
// "\:", and so is a "::" cast right after a marker (the toolkit takes no ":name"
// followed by a colon); whitespace and comments as in format_sql.
std::string prepare_sql(std::string_view sql, SqlDialect d = {});

// A #{name} placeholder that is the whole right side of an IN: "IN #{name}" or
// "IN ( #{name} )", whitespace and comments between, IN in any case. Offsets point into
// strip_py(sql), the text prepare_sql reads.
struct InList {
    std::string_view name;
    std::size_t start;  // the NOT of "NOT IN", else the IN
    std::size_t list;   // the "(" before the marker, or the marker
    std::size_t end;    // after the ")", or after the marker
    bool negated;
};
std::vector<InList> find_in_lists(std::string_view sql, SqlDialect d = {});

// The name of entry `i` of the list bound to in-list placeholder `name`.
std::string in_list_item(std::string_view name, std::size_t i);

// prepare_sql where the in-list placeholders (find_in_lists) for which `size_of(name)` is not
// negative are expanded: n > 0 entries become "(:name_in_0, ..., :name_in_<n-1>)"; no entry
// becomes a set without rows, "(SELECT NULL WHERE 1=0)", or with `d.arrays` the whole
// "IN ..." becomes "= ANY('{}')" ("NOT IN ..." "<> ALL('{}')"), which takes the left side's type.
template <class SizeOf>
std::string prepare_sql(std::string_view sql, SqlDialect d, SizeOf &&size_of);

// Replaces every "${name}" by `value_of(name)` for the names find_splice_names reports.
// `value_of` returns the text to put in.
template <class ValueOf>
std::string replace_splices(std::string_view sql, ValueOf &&value_of) {
    std::string out(sql);
    for (std::string_view name : find_splice_names(sql))
        out = replace_all(out, "${" + std::string(name) + "}", value_of(name));
    return out;
}

// The table an INSERT writes to: the name after INSERT ... INTO as written (qualified, quoted
// parts kept), empty when `sql` is no insert; and whether a RETURNING clause is there already.
struct InsertTarget {
    std::string_view table;
    bool returning = false;
};
InsertTarget insert_target(std::string_view sql, SqlDialect d = {});

// A ${name} placeholder (name [A-Za-z0-9_-]+) outside quoted runs and comments: [begin, end)
// in `sql`, the name a view into it.
struct Splice {
    std::string_view name;
    std::size_t begin, end;
};
std::vector<Splice> find_splices(std::string_view sql, SqlDialect d = {});

// Whether `value` may stand in for a ${name} at execution: a comma-separated list of items,
// each an identifier (ASCII letter or "_", then letters, digits, "_" or "$"), optionally
// qualified with dots ("t.created_at"), optionally followed by ASC or DESC (any case); blanks
// around items and between an item and its direction. Reserved words are no identifier.
bool is_identifier_list(std::string_view value) noexcept;

namespace detail {
// One rewrite of a text range [begin, end) of the stripped text.
struct Rewrite {
    std::size_t begin, end;
    std::string text;
};
std::string prepare_sql(std::string_view sql, SqlDialect d, const std::vector<Rewrite> &rewrites);
std::vector<Rewrite> in_list_rewrites(const std::vector<InList> &lists, SqlDialect d, const std::vector<long> &sizes);
}  // namespace detail

template <class SizeOf>
std::string prepare_sql(std::string_view sql, SqlDialect d, SizeOf &&size_of) {
    std::vector<InList> lists = find_in_lists(sql, d);
    std::vector<long> sizes;
    sizes.reserve(lists.size());
    for (const InList &l : lists)
        sizes.push_back(size_of(l.name));
    return detail::prepare_sql(sql, d, detail::in_list_rewrites(lists, d, sizes));
}

}  // namespace zorvane::core
