// src/bindings/top/streams.hpp: the async face of streaming selects.
#pragma once
#include "glue/common.hpp"

namespace zorvane::top {

// A function that, called, returns an AsyncRowStream: an async iterator whose first step runs
// `sync_wrapper(*args, **kwargs)` in the greenlet bridge (giving a RowStream) and whose steps
// hand out its rows, fetching a batch only when the buffered one runs out. Metadata of `func`.
nb::object async_stream_wrapper(nb::handle sync_wrapper, nb::handle func);

// Whether return annotation `rt` (resolved) asks for a stream: Iterator[X] or AsyncIterator[X].
bool is_stream_type(nb::handle rt);

}  // namespace zorvane::top
