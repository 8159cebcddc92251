// src/core/paging/count_query.hpp: the count statement for a textual select.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace zorvane::core {

// Whether a non-ASCII code point is a word character as the host's regex engine sees
// it (\w: letters, digits, numerics). ASCII is decided by the scanner itself.
using IsWordChar = bool (*)(char32_t) noexcept;

// Result of matching ^\s*SELECT\s+(.*?)\s+FROM\s+ (case ignored, `.` matching line
// ends) against a text, with the host's backtracking order. Offsets are bytes.
struct SelectFrom {
    bool found = false;
    std::size_t list_begin = 0, list_end = 0;  // the lazy group: the select list
    std::size_t end = 0;                       // just after the whitespace behind FROM
};

// `sql` must be UTF-8. Case is ignored the way the host's regex engine ignores it for
// ASCII letters, so U+017F matches 's' and U+0130/U+0131 match 'i'.
SelectFrom match_select_from(std::string_view sql) noexcept;

// Whether \b(distinct|group\s+by|having|union)\b occurs anywhere in `sql`, case ignored.
bool has_grouping_keyword(std::string_view sql, IsWordChar is_word) noexcept;

// Byte offset of the first ORDER BY (case ignored, whole words) of `sql` outside
// parentheses, quoted runs and comments (text/sql_text.hpp), or npos.
std::size_t find_top_level_order_by(std::string_view sql, IsWordChar is_word) noexcept;

// Whether `sql` limits its own rows: a LIMIT, OFFSET or FETCH (whole words, case ignored)
// outside parentheses, quoted runs and comments.
bool limits_own_rows(std::string_view sql, IsWordChar is_word) noexcept;

// The text pages of `sql` are cut from: empty when `sql` itself serves, else, for a statement
// that limits its own rows (a second LIMIT would be a syntax error), `sql` stripped of blanks
// and trailing ';' as a sub-select: "SELECT * FROM (" + sql + ") AS page_q".
std::string page_source(std::string_view sql, IsWordChar is_word);

// The text of the statement counting the rows of `sql`:
//   - strip host whitespace at both ends, then every trailing ';';
//   - "SELECT COUNT(*) as count FROM " + the text after the SELECT ... FROM match when
//     that match exists, its select list holds no parenthesis and no grouping keyword
//     occurs anywhere; with `no_order_by` that text ends before its top-level ORDER BY
//     (PostgreSQL rejects one beside an aggregate) and its trailing whitespace;
//   - otherwise "select count(*) from ( " + text + " ) temp".
std::string count_query(std::string_view sql, IsWordChar is_word, bool no_order_by = false);

}  // namespace zorvane::core
