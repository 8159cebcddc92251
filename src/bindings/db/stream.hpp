// src/bindings/db/stream.hpp: rows of a select read in batches from a server-side cursor.
#pragma once
#include "glue/common.hpp"

namespace zorvane::glue {

// Row objects of one result (a list) as dictionaries, column label -> value in column order.
// With unique labels the dictionaries are built from the row values, which gives what
// Row._asdict() gives; duplicate labels go through _asdict() itself.
nb::list rows_as_dicts(nb::handle rows, nb::handle keys);

// A RowStream over `result` (executed with yield_per = fetch_size on `session`). An owned
// session is committed when the rows run out and closed with the stream; a borrowed one
// (a transaction's) is only registered, so that close_streams can end the stream first.
// `convert` (None or a callable) maps each batch of row dictionaries to the values handed out;
// a RowsConverter capsule (results.hpp) is given the rows as the result reads them instead.
nb::object open_stream(nb::object session, bool own, nb::object result, long fetch_size, nb::object convert);

// Closes every open stream registered on `session`; called before its transaction ends.
void close_streams(nb::handle session);

// Binds RowStream into `m`; called once from the module's init.
void register_streams(nb::module_ &m);

}  // namespace zorvane::glue
