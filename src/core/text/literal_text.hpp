// src/core/text/literal_text.hpp: replacement, XML escapes, CDATA sections and SQL string literals.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane::core {

// `s` with every non-overlapping occurrence of `from` (left to right) replaced by `to`,
// as the host's str.replace does. `from` must not be empty.
std::string replace_all(std::string_view s, std::string_view from, std::string_view to);

// Escapes "&", "<", ">" and the double quote, in that order (the apostrophe stays).
std::string escape_xml(std::string_view s);

// Undoes escape_xml: "&amp;" first, then "&lt;", "&gt;", "&quot;", each pass on the
// output of the one before, so "&amp;lt;" becomes "<".
std::string unescape_xml(std::string_view s);

// The first "<![CDATA[" ... "]]>" section: the shortest one starting at the first
// opening marker that has a closing marker after it. Offsets are byte offsets of the
// whole section; `content` points into `s`.
struct CdataSection {
    std::size_t begin, end;
    std::string_view content;
};
std::optional<CdataSection> find_cdata(std::string_view s);

// `s` with every occurrence of the text of its first CDATA section replaced by the
// section's escaped content; `s` itself when it has no section.
std::string replace_first_cdata(std::string_view s);

// How a server reads a backslash inside a string literal: as itself (standard strings,
// PostgreSQL and SQLite) or as an escape character (MySQL and MariaDB).
enum class LiteralEscapes { standard, backslash };

// The escapes of the server a db_type names: "postgresql" and "sqlite" standard,
// "mysql" and "mariadb" backslash; nullopt for any other name.
std::optional<LiteralEscapes> literal_escapes_for(std::string_view db_type);

// One SQL string literal for `s`. A single quote at the start of `s` and one at its end
// are taken as the literal's delimiters (a missing one is added); inside, every run of
// single quotes of odd length gets one more quote, so doubled quotes stay as they are.
// With standard escapes this is idempotent, and the empty text and a lone quote both give
// "''". With backslash escapes every backslash is doubled as well, so no backslash can
// reach a quote or start an escape sequence; that doubling is not idempotent.
std::string sql_string_literal(std::string_view s, LiteralEscapes escapes = LiteralEscapes::standard);

}  // namespace zorvane::core
