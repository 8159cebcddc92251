// src/bindings/db/results.hpp: rows of a mapper select shaped into the caller's declared return type.
#pragma once
#include "glue/common.hpp"

namespace zorvane::glue {

// results_handle(results, result_type, f_return_type): checks that the statement's result
// type agrees with the caller's return type, then returns the rows unchanged, a new list
// of result-class objects or first-column values, one row, one object or one value.
// A statement without a resultType (dict) is built into the annotation's result class
// (`X`, `X | None`, `list[X]`); no rows under an annotation admitting None give None.
// Raises TypeError on disagreement; errors of the result class's constructor propagate.
nb::object results_handle(nb::handle results, nb::handle result_type, nb::handle f_return_type);

// The value of the row's first column, in the row's own order (IndexError for no column).
nb::object first_value(nb::handle row);

// A new list holding cls(**row) for each row of the sequence `rows`, in order; rows that
// are exact dicts with str keys take a fast path for plain classes.
nb::object build_objects(nb::handle cls, nb::handle rows);

// The element type of an Iterator[X] or AsyncIterator[X] return type (None for a bare one):
// the rows of such a call are streamed. An invalid object for any other annotation.
nb::object stream_element(nb::handle return_type);

// The type an annotation converts a one-column row to: bool, int, float, str, Decimal, date,
// datetime, time, UUID or an Enum subclass, or `X | None` of one (then X). Invalid otherwise.
nb::object scalar_target(nb::handle annotation);

// Whether rows under `annotation` become tuples of their values (tuple, Tuple, tuple[...]).
bool is_tuple_target(nb::handle annotation);

// The single column of `row` as `target` (a scalar_target), by pydantic's rules; None stays
// None. Two or more columns raise TypeError("please check result type") with a note naming
// `what` and the columns.
nb::object scalar_of_row(nb::handle target, nb::handle row, const std::string &what);

// The values of `row` as a tuple, in the row's order.
nb::object tuple_of_row(nb::handle row);

// Interns the names used above; called once from the module's init.
void init_results();

}  // namespace zorvane::glue
