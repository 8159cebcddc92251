// src/bindings/mapper/prepared.hpp: #{...} text to a bound statement, with a bounded cache.
#pragma once
#include "glue/common.hpp"
#include "text/sql_text.hpp"

namespace zorvane::glue {

// The text rules of a database type: None, "sqlite", "postgresql", "mysql" or "mariadb";
// ValueError for anything else.
core::SqlDialect dialect_of(nb::handle db_type);

// (text clause, bound values) for rendered SQL `ret` and the caller's parameters, the text
// read by the rules of `dialect`. With `strict`, a plain #{name} that `param` does not hold
// raises ParameterError instead of binding None.
nb::tuple to_prepared_statement(nb::handle ret, nb::handle param, core::SqlDialect dialect = {}, bool strict = false);

// (text clause, bind names) of `ret` when every placeholder is a plain #{name} outside an in-list,
// so that a mapping holding exactly those names is its own bound values; else None.
nb::object plain_binds(nb::handle ret, core::SqlDialect dialect = {});

}  // namespace zorvane::glue
