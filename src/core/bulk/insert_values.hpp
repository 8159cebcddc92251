// src/core/bulk/insert_values.hpp: the parts of a single-row INSERT ... VALUES text.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::core {

// INSERT INTO [schema.]table (c1, ..., cn) VALUES (:b1, ..., :bn), read back so that the
// toolkit can batch the rows itself. Names are ASCII identifiers as written (unquoted).
struct InsertValues {
    std::string schema;  // empty when the table is unqualified
    std::string table;
    std::vector<std::string> columns;
    std::vector<std::string> binds;  // the bound name of each column, in column order
};

// Matches `sql` (any case for the keywords, surrounding whitespace and one trailing ';'
// allowed) against the form above, with every value a single :name bind and as many
// values as columns. Anything else (expressions, quoted names, several rows, RETURNING,
// ON CONFLICT ...) gives nullopt. Never throws but std::bad_alloc.
std::optional<InsertValues> match_insert_values(std::string_view sql);

}  // namespace zorvane::core
