// src/bindings/top/async_bridge.hpp: async calls run the sync machinery inside SQLAlchemy's greenlet
// bridge, on an async engine of the datasource for the running event loop.
#pragma once
#include "top/callable.hpp"
#include "top/state.hpp"

namespace zorvane::top {

// Whether this call runs inside an async call of the library (a greenlet started by spawn):
// session lookups then answer the async session objects.
bool in_async_call();

// A coroutine that runs `fn(*args, **kwargs)` (a vectorcall block) in a greenlet, in async mode.
nb::object spawn(nb::handle fn, PyObject *const *args, std::size_t nargsf, PyObject *kwnames);

// `result` of a call of user code: inside an async call, a coroutine is awaited (in its
// task, with async mode off while it runs) and its value returned; anything else as it is.
nb::object settle_user_result(nb::object result);

// Whether `func` is a coroutine function, including the async wrappers this library makes.
bool is_coroutine_function(nb::handle func);

// A coroutine function with the metadata of `func` whose calls run `impl` with payload 0
// `sync_wrapper`; by default `impl` runs sync_wrapper through spawn.
nb::object async_wrapper(nb::handle sync_wrapper, nb::handle func, CallImpl impl = nullptr);

// The session object of registry entry `entry` for this call: the sync one, or inside an
// async call the per-task one of the running loop. A sync call while an async transaction of
// the entry is open in this task raises, rather than run outside that transaction.
nb::object entry_session(nb::handle entry);

// The AsyncEngine of registry entry `entry` for the running loop (made on first use).
nb::object entry_async_engine(nb::handle entry);

// The AsyncSqlSession view of session object `session` (what `async with` on a transaction
// scope yields).
nb::object async_session_view(nb::handle session);

// A new AsyncSession on that engine, with expiry on commit switched off.
nb::object new_async_session(nb::handle entry);

// Records how the async engines of sync engine `engine` are made: their URL, the keyword
// arguments of create_async_engine and (event name, listener) pairs to attach to each.
// Engines without a record get the sync engine's URL on the async driver and its pool settings.
void note_async_options(nb::handle engine, nb::handle url, nb::handle options, nb::handle listeners);

}  // namespace zorvane::top
