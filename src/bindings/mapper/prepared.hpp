// src/bindings/mapper/prepared.hpp: #{...} text to a bound statement, with a bounded cache.
#pragma once
#include "glue/common.hpp"

namespace zorvane::glue {

// (text clause, bound values) for rendered SQL `ret` and the caller's parameters.
nb::tuple to_prepared_statement(nb::handle ret, nb::handle param);

}  // namespace zorvane::glue
