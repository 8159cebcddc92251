// src/core/render/clauses.hpp: the text rules of the where, set and trim elements.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "text/sql_text.hpp"

namespace zorvane::core {

// Override entries of a prefixOverrides/suffixOverrides value: split at '|', each piece
// stripped, empty pieces dropped, duplicates dropped, longest first.
std::vector<std::string> parse_overrides(std::string_view value);

// Sorts `entries` longest first and drops empty ones (an empty entry would match forever).
void order_overrides(std::vector<std::string> &entries);

// `s` normalised as format_sql does (line comments dropped), then the entries of `heads`
// (ordered by order_overrides) removed from the front as long as one matches, the rest
// stripped after each removal. Plain, case-sensitive byte comparison.
std::string trim_prefix(std::string_view s, const std::vector<std::string> &heads, SqlDialect d = {});

// The mirror image of trim_prefix: entries removed from the end.
std::string trim_suffix(std::string_view s, const std::vector<std::string> &tails, SqlDialect d = {});

// Appends the where clause for `body`: "WHERE " + its words without the leading AND/OR
// words (whole words, any case), or nothing when no word is left.
void append_where(std::string &out, std::string_view body, SqlDialect d = {});

// Appends "SET " + trim_prefix(body, {","}).
void append_set(std::string &out, std::string_view body, SqlDialect d = {});

// Appends prefix + " " + body (trimmed by the non-empty override lists) + " " + suffix.
void append_trim(std::string &out, std::string_view body, std::string_view prefix, std::string_view suffix,
                 const std::vector<std::string> &heads, const std::vector<std::string> &tails, SqlDialect d = {});

}  // namespace zorvane::core
