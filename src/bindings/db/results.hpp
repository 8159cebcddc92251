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

// results_handle for the rows of a page: a result class gathering a collection from joined
// rows raises TypeError (a page limits rows, not parents).
nb::object results_page(nb::handle results, nb::handle result_type, nb::handle f_return_type);

// A batch converter for a stream of `cls` rows: when the class nests, a RowsConverter capsule
// whose rows group into parents across batches (a parent is handed out once its rows end; an
// empty batch ends the stream and hands out the last one); `fallback` converts what needs no
// nesting. Else `fallback` itself.
nb::object stream_converter(nb::handle cls, nb::object fallback);

// A batch converter given rows as the result reads them: a tuple of column labels and a list
// of value rows (the toolkit's rows), no dictionaries; an empty run ends the rows. Kept in a
// capsule named kRowsConverter, which a RowStream recognises as its `convert`.
struct RowsConverter {
    virtual ~RowsConverter() = default;
    virtual nb::object convert(nb::handle keys, nb::handle rows) = 0;
};
inline constexpr const char *kRowsConverter = "zorvane.RowsConverter";

// Rows of a result as (column labels, rows), the way SqlTemplate._select_rows gives them.
// The convert_*_rows functions below take them for a class whose fields nest: its plan then
// compiles from the labels even when there are no rows, and no row dictionaries are made.
// Any other class, and labels that repeat, convert as row dictionaries.

// results_handle and results_page for (labels, rows); `result_type` nests (rows_nest).
nb::object results_rows(nb::handle keys, nb::handle rows, nb::handle result_type, nb::handle f_return_type, bool page);

// Whether a mapper statement of result type `result_type` reads its rows as (labels, rows).
bool rows_nest(nb::handle result_type);

// Whether result class `cls` has list fields that joined rows may fill.
bool gathers_rows(nb::handle cls);

// The value of the row's first column, in the row's own order (IndexError for no column).
nb::object first_value(nb::handle row);

// Result classes (pydantic models, dataclasses) nest: a field typed as another result class
// is filled from the columns labelled `field__name` (or `field.name`), a `list[...]` field
// from joined rows grouped by the parent's identity or from one JSON array column labelled
// like the field (results/nesting.hpp). Rows whose columns need no nesting convert as below.

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

// How the rows of one function's statement become what its return annotation declares;
// made once per decorated function (at its first select) and kept with it. The answers that
// need the result class's module (is it a result class, a scalar, a tuple) are found on
// first use and kept here too.
struct ReturnPlan {
    enum class Mode { One, List, Stream };
    Mode mode = Mode::One;
    nb::object target;   // One: the class a row converts to; List/Stream: the element type; None: rows stay dicts
    nb::object message;  // List: the TypeError message of an annotation that is no list, else None
    std::string what;    // the function, named in errors about its results
    int result_class = -1;
    bool shape_known = false, as_tuple = false;
    nb::object scalar;  // the scalar_target of `target`, when shape_known
    nb::object nesting;  // the nesting tree of a result class `target`, when result_class is known
};

// The plan of a function annotated `annotation` (None: none) returning one row, a list of
// rows, or a stream of rows.
ReturnPlan return_plan(ReturnPlan::Mode mode, nb::handle annotation, std::string what);

// One row (None for no row) converted by a Mode::One plan.
nb::object convert_one(ReturnPlan &plan, nb::handle row);

// The rows converted by a List or Stream plan, or `rows` itself when they stay dicts
// (*converted then false). A List plan for an annotation that is no list raises TypeError;
// `page` refuses a collection gathered from joined rows.
nb::object convert_list(ReturnPlan &plan, nb::handle rows, bool *converted, bool page = false);

// Whether the plan's result class has list fields that joined rows may fill: one object
// then takes every row of the statement (convert_first) and streams group their rows.
bool plan_gathers(ReturnPlan &plan);

// The first parent of `rows` under a Mode::One plan, with all of its rows; None for no row.
nb::object convert_first(ReturnPlan &plan, nb::handle rows);

// Whether rows under the plan are worth reading as (labels, rows): its target is a result
// class with nested fields.
bool plan_nests(ReturnPlan &plan);

// convert_list and convert_first for (labels, rows): the plan compiles from the labels.
nb::object convert_list_rows(ReturnPlan &plan, nb::handle keys, nb::handle rows, bool page);
nb::object convert_first_rows(ReturnPlan &plan, nb::handle keys, nb::handle rows);

// A per-stream batch converter for the plan (stream_converter), or `fallback`.
nb::object plan_stream_converter(ReturnPlan &plan, nb::object fallback);

// One row dictionary as `cls`: cls(**row) for a result class, else the value of a one-column
// row, else cls(**row) again (the constructor reports the mismatch).
nb::object row_as(nb::handle cls, nb::handle row);

// A plan kept in a Python object (a capsule), and the plan inside such an object.
nb::object plan_object(ReturnPlan plan);
ReturnPlan &plan_in(nb::handle object);

// X for the annotations `X | None` and Optional[X], else `annotation` itself. A query that
// finds no row answers None (or []) whatever the annotation, so rows convert by X.
nb::object without_none(nb::object annotation);

// Interns the names used above; called once from the module's init.
void init_results();

}  // namespace zorvane::glue
