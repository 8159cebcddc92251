// src/bindings/top/async_bridge.cpp: async calls on the sync machinery (SQLAlchemy's greenlet
// bridge), per-loop async engines, AsyncBaseMapper and ZorvaneConfig.dispose_async.
#include <string_view>
#include <vector>

#include "glue/backend.hpp"
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/mapper.hpp"
#include "glue/call.hpp"

namespace zorvane::top {
namespace {

glue::Lazy greenlet_spawn{"sqlalchemy.util", "greenlet_spawn"};
glue::Lazy await_only{"sqlalchemy.util", "await_only"};
glue::Lazy running_loop{"asyncio", "_get_running_loop"};
glue::Lazy create_async_engine{"sqlalchemy.ext.asyncio", "create_async_engine"};
glue::Lazy async_session{"sqlalchemy.ext.asyncio", "AsyncSession"};
glue::Lazy static_pool{"sqlalchemy.pool", "StaticPool"};
glue::Lazy event_listen{"sqlalchemy.event", "listen"};
glue::Lazy session_class{"zorvane.db.kelvor", "ZorvaneSqlSession"};
glue::Lazy sql_template{"zorvane.db.ostrane", "SqlTemplate"};
glue::Lazy iscoroutinefunction{"inspect", "iscoroutinefunction"};
glue::Lazy asyncio_sleep{"asyncio", "sleep"};
glue::Lazy asyncgen_hooks{"sys", "get_asyncgen_hooks"};
glue::Lazy weak_ref{"weakref", "ref"};
glue::Lazy async_connection{"sqlalchemy.ext.asyncio", "AsyncConnection"};
glue::Lazy rollback_list{"zorvane.db.ostrane", "_rollback"};
glue::Lazy pinned_connection{"zorvane.db.kelvor", "_pinned_connection"};
glue::Lazy end_pins{"zorvane.db.kelvor", "_end_pins"};

// Whether a test runs with zorvane_rollback (see zorvane.db.kelvor).
bool rolling_back() { return glue::list_size(rollback_list.get().ptr()) > 0; }

PyObject *g_mode = nullptr;     // context variable: True while an async call runs its sync body
PyObject *g_body = nullptr;     // what greenlet_spawn runs: async_body
PyObject *g_sources = nullptr;  // sync engine -> {"url", "options", "loops": {loop: (async engine, session object)}}
PyObject *g_loops = nullptr;    // loop -> ([(sync engine of an async engine, its open connections)], guard or None)
PyObject *g_marker = nullptr;   // Python 3.11: asyncio.coroutines._is_coroutine
bool g_used = false;            // an async call has been made in this process

// Sets the async mode for the life of the object.
class Mode {
public:
    explicit Mode(PyObject *value) : token_(glue::context_var_set(g_mode, value)) {
        if (!token_)
            throw nb::python_error();
    }
    ~Mode() {
        if (glue::context_var_reset(g_mode, token_) < 0)
            PyErr_Clear();
        Py_DECREF(token_);
    }
    Mode(const Mode &) = delete;
    Mode &operator=(const Mode &) = delete;

private:
    PyObject *token_;
};

// greenlet_spawn(async_body, fn, *args, **kwargs): fn(*args, **kwargs) in async mode.
PyObject *async_body(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        Mode on(Py_True);
        return call_through(args[0], args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames);
    });
}

// The async face of a sync wrapper. Payload: 0 the sync wrapper.
PyObject *async_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] { return spawn(payload(self, 0), args, nargsf, kwnames); });
}

nb::object item(nb::handle mapping, const char *key) {
    PyObject *v = PyDict_Check(mapping.ptr()) ? Py_XNewRef(PyDict_GetItemString(mapping.ptr(), key))
                                              : PyMapping_GetItemString(mapping.ptr(), key);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_KeyError, key);
        throw nb::python_error();
    }
    return nb::steal(v);
}

// The one connection of an in-memory SQLite datasource, as its async engine sees it: every
// attribute is the connection's own, but closing it is left to the sync engine that made it
// (closing would drop the database).
struct SharedConnection {
    nb::object connection;
};

// async_creator of the async engine of an in-memory SQLite datasource. Payload: 0 the shared
// connection. The driver runs its connector in its own thread; the connection allows that.
PyObject *shared_connector(PyObject *self, PyObject *const *, std::size_t, PyObject *) {
    return Py_NewRef(payload(self, 0));
}

PyObject *shared_creator(PyObject *self, PyObject *const *, std::size_t, PyObject *) {
    return guarded([&] {
        nb::object connector = make_callable(&shared_connector, {payload(self, 0)});
        return nb::module_::import_("aiosqlite").attr("Connection")(connector, 64);
    });
}

bool in_memory(nb::handle url) {
    nb::object db = url.attr("database");
    return db.is_none() || nb::len(db) == 0 || db.equal(nb::str(":memory:"));
}

// Pool defaults of the datasources the configuration makes.
constexpr int kDefaultMaxOverflow = 30;
constexpr int kDefaultRecycle = 1800;

// The async URL and engine options of a sync engine for which the configuration noted none
// (an in-memory SQLite datasource, or an engine made elsewhere): the kind's async driver and
// the same pool settings.
nb::object derived_source(nb::handle engine) {
    nb::object url = engine.attr("url");
    nb::object backend = url.attr("get_backend_name")();
    const glue::Backend *kind = glue::backend_named(backend);
    if (!kind)
        glue::raise(PyExc_ValueError, std::string("no async driver for datasources of kind ") + nb::str(backend).c_str());
    nb::dict options;
    options["echo"] = engine.attr("echo");
    nb::object pool = engine.attr("pool");
    if (PyObject_IsInstance(pool.ptr(), static_pool.get().ptr()) == 1) {
        options["poolclass"] = static_pool.get();
        if (!kind->server && in_memory(url)) {
            nb::object fairy = engine.attr("raw_connection")();
            nb::object shared = nb::cast(SharedConnection{fairy.attr("dbapi_connection")}, nb::rv_policy::move);
            fairy.attr("close")();
            options["async_creator"] = make_callable(&shared_creator, {shared});
        }
    } else {
        // Not made by the configuration, so no settings were noted: the pool's size and timeout
        // are public, its overflow, recycle and pre-ping are not, so those are the
        // configuration's own defaults.
        options["pool_size"] = pool.attr("size")();
        options["pool_timeout"] = pool.attr("timeout")();
        options["max_overflow"] = kDefaultMaxOverflow;
        options["pool_recycle"] = kDefaultRecycle;
        options["pool_pre_ping"] = true;
    }
    nb::object async_url = url.attr("set")("drivername"_a = kind->async_driver);
    if (kind->batch_option)
        async_url = async_url.attr("difference_update_query")(nb::make_tuple(kind->batch_option));
    nb::dict source;
    source["url"] = async_url;
    source["options"] = options;
    source["listeners"] = nb::list();
    source["loops"] = nb::dict();
    return source;
}

nb::object source_of(nb::handle engine, bool create) {
    nb::object found = nb::steal(PyObject_CallMethod(g_sources, "get", "O", engine.ptr()));
    if (!found.is_valid())
        throw nb::python_error();
    if (!found.is_none() || !create)
        return found;
    nb::object made = derived_source(engine);
    if (PyObject_SetItem(g_sources, engine.ptr(), made.ptr()) < 0)
        throw nb::python_error();
    return made;
}

// handle_error listener of SQLite async engines. A statement cancelled while it runs goes on in
// the driver's thread, and its transaction keeps the database's write lock until the driver
// gets to a rollback, which invalidation does not guarantee. The statement is interrupted and
// the rollback awaited here, before the cancellation goes on to the caller.
PyObject *interrupt_sqlite(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *) {
    if (PyVectorcall_NARGS(nargsf) < 1)
        Py_RETURN_NONE;
    try {
        nb::handle ctx(args[0]);
        if (PyObject_IsInstance(ctx.attr("original_exception").ptr(), PyExc_Exception) != 0 || ctx.attr("connection").is_none())
            Py_RETURN_NONE;
        nb::object driver = ctx.attr("connection").attr("connection").attr("dbapi_connection").attr("_connection");
        nb::object raw = driver.attr("_connection");  // aiosqlite.Connection -> sqlite3.Connection
        if (raw.is_none())
            Py_RETURN_NONE;
        raw.attr("interrupt")();
        await_only(driver.attr("rollback")());  // queued behind the interrupted statement
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("interrupting a cancelled SQLite statement");
    }
    Py_RETURN_NONE;
}

// ---- the connections of an event loop
//
// An async engine belongs to the loop it was made for, and its connections can only be closed
// on that loop: a driver talking through the loop's transports cannot close them once the loop
// has closed, and its finaliser then fails on the dead loop. So each engine records the
// connections it has open (pool events), each loop the engines made for it, and the loop's
// close() is wrapped to close them on the loop first. A loop that takes no attribute gets a
// guard among its async generators instead, which loop.shutdown_asyncgens() (asyncio.run)
// closes. What a loop leaves open anyway is closed without it by the next loop that starts.

// Pool listeners of an async engine ("connect"; "close" and "close_detached"). Payload: 0 its
// open connections (a dict: DBAPI connection -> the driver's connection).
PyObject *track_connect(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *) {
    return guarded([&] {
        if (PyVectorcall_NARGS(nargsf) >= 2)
            nb::handle(payload(self, 0))[nb::handle(args[0])] = nb::handle(args[1]).attr("driver_connection");
        return nb::none();
    });
}

PyObject *track_close(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *) {
    return guarded([&] {
        if (PyVectorcall_NARGS(nargsf) >= 1)
            nb::handle(payload(self, 0)).attr("pop")(nb::handle(args[0]), nb::none());
        return nb::none();
    });
}

// Closes a driver connection of a loop that has closed, without that loop: PostgreSQL's libpq
// connection is finished, SQLite's worker thread stopped (it reports to the running loop). A
// MySQL connection's socket belongs to its loop's transport, which only that loop can close:
// the close is attempted and the socket left to the transport's finaliser (a ResourceWarning).
void close_driver_without_loop(const glue::Backend *kind, nb::handle driver) {
    const std::string_view name = kind ? kind->name : "";
    try {
        if (name == "postgresql")
            driver.attr("pgconn").attr("finish")();
        else if (name == "sqlite")
            driver.attr("stop")();
        else
            driver.attr("close")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;  // otherwise already gone with its loop
    }
}

// Forgets the async engines of `loop`: later calls on it make new ones.
void forget_engines(nb::handle loop) {
    for (nb::handle source : nb::list(nb::handle(g_sources).attr("values")()))
        item(source, "loops").attr("pop")(loop, nb::none());
}

// Closes what the engines of a loop's record still hold open, without the loop.
void close_without_loop(nb::handle record) {
    for (nb::handle entry : nb::handle(glue::tuple_item(record.ptr(), 0))) {
        nb::handle sync_engine(glue::tuple_item(entry.ptr(), 0)), open(glue::tuple_item(entry.ptr(), 1));
        const glue::Backend *kind = glue::backend_of(sync_engine);
        for (nb::handle driver : nb::list(open.attr("values")()))
            close_driver_without_loop(kind, driver);
        open.attr("clear")();
        sync_engine.attr("dispose")("close"_a = false);  // a new pool, the old one's connections untouched
    }
}

// Closes the async engines of the running loop and forgets them; runs inside a greenlet. Their
// idle connections are closed. With `last` (the loop is about to close) so is every other
// connection they have open, and the loop's record goes; otherwise engines with connections
// still in use stay recorded until the loop ends.
void close_loop_engines(bool last) {
    nb::object loop = running_loop();
    if (last && rolling_back())
        end_pins(loop);  // zorvane_rollback's connections of the loop, rolled back on it
    forget_engines(loop);
    PyObject *hit = PyDict_GetItemWithError(g_loops, loop.ptr());
    if (!hit) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return;
    }
    nb::object engines = nb::borrow(glue::tuple_item(hit, 0));
    nb::list kept;
    for (nb::handle entry : nb::list(engines)) {
        nb::handle sync_engine(glue::tuple_item(entry.ptr(), 0)), open(glue::tuple_item(entry.ptr(), 1));
        sync_engine.attr("dispose")();
        if (!last) {
            if (nb::len(open) > 0)
                kept.append(entry);
            continue;
        }
        for (nb::handle pair : nb::list(open.attr("items")())) {
            try {
                pair[0].attr("close")();  // checked out by a task that never ended, or returned to a disposed pool
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                close_driver_without_loop(glue::backend_of(sync_engine), pair[1]);
            }
        }
        open.attr("clear")();
    }
    if (PyList_SetSlice(engines.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()) < 0)
        throw nb::python_error();
    if (last) {
        if (PyDict_DelItem(g_loops, loop.ptr()) < 0)
            throw nb::python_error();
        await_only(asyncio_sleep(0));  // closed transports let go of their sockets on the loop's next round
    }
}

nb::object loop_body(bool last) {
    return nb::cpp_function([last] { close_loop_engines(last); });
}

// Before `loop` closes: its engines' connections are closed on it, or without it when it
// cannot run (another loop runs in this thread) or close_loop_engines failed.
void end_loop(nb::handle loop) {
    if (PyDict_Contains(g_loops, loop.ptr()) != 1) {
        PyErr_Clear();
        return;
    }
    if (!glue::truthy(loop.attr("is_closed")()) && running_loop().is_none()) {
        try {
            loop.attr("run_until_complete")(spawn(loop_body(true), nullptr, 0, nullptr));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            e.discard_as_unraisable("closing the async connections of an event loop");
        }
    }
    nb::object left = nb::handle(g_loops).attr("pop")(loop, nb::none());
    if (!left.is_none()) {
        forget_engines(loop);
        close_without_loop(left);
    }
}

// close() of a loop with async engines, set on the loop itself. Payload: 0 the loop's own
// close (a bound method), which it becomes again.
PyObject *close_loop(PyObject *self, PyObject *const *, std::size_t, PyObject *) {
    return guarded([&] {
        nb::handle original(payload(self, 0));
        nb::object loop = original.attr("__self__");
        if (glue::truthy(loop.attr("is_running")()))
            return original();  // which refuses
        if (PyObject_DelAttrString(loop.ptr(), "close") < 0)
            PyErr_Clear();
        try {
            end_loop(loop);
        } catch (nb::python_error &) {
            original();
            throw;
        }
        return original();
    });
}

// aclose() of a loop's guard (the guard is its own aclose): a coroutine closing the loop's
// engines, which loop.shutdown_asyncgens() awaits.
PyObject *guard_aclose(PyObject *, PyObject *const *, std::size_t, PyObject *) {
    return guarded([&] { return spawn(loop_body(false), nullptr, 0, nullptr); });
}

// The record of the running loop `loop`: (its engines, its guard or None), made on first use.
nb::object loop_record(nb::handle loop) {
    PyObject *hit = PyDict_GetItemWithError(g_loops, loop.ptr());
    if (hit)
        return nb::borrow(hit);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object own = nb::getattr(loop, "__dict__", nb::none());
    bool wrapped = false;
    if (PyDict_Check(own.ptr()) && !PyDict_GetItemString(own.ptr(), "close")) {  // else someone else's
        nb::object close = make_callable(&close_loop, {nb::object(loop.attr("close"))});
        wrapped = PyObject_SetAttrString(loop.ptr(), "close", close.ptr()) == 0;
        if (!wrapped)
            PyErr_Clear();
    }
    nb::object guard = nb::none();
    nb::object firstiter = asyncgen_hooks()[0];  // the running loop's
    if (!wrapped && !firstiter.is_none()) {
        guard = make_callable(&guard_aclose, {});
        guard.attr("aclose") = guard;
        firstiter(guard);  // the loop keeps it weakly, the record strongly
    }
    nb::object record = nb::make_tuple(nb::list(), guard);
    if (PyDict_SetItem(g_loops, loop.ptr(), record.ptr()) < 0)
        throw nb::python_error();
    return record;
}

// Closes, without their loops, what loops that closed with their engines still open left.
void sweep_closed_loops() {
    for (nb::handle loop : nb::list(nb::handle(g_loops).attr("keys")())) {
        if (!glue::truthy(loop.attr("is_closed")()))
            continue;
        nb::object record = nb::handle(g_loops).attr("pop")(loop);
        forget_engines(loop);
        close_without_loop(record);
    }
}

// In a child process after os.fork(): the recorded loops and connections are the parent's.
// They are forgotten without a close, which would reach the server over the parent's
// connections, and their records stay referenced for the life of the child so that no
// finaliser closes them either.
void forget_loops_after_fork() {
    try {
        nb::object fresh = nb::dict();
        g_loops = fresh.release().ptr();  // the parent's record is deliberately never released
        for (nb::handle source : nb::list(nb::handle(g_sources).attr("values")()))
            item(source, "loops").attr("clear")();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("forgetting the parent's async engines after fork");
    }
}

// At interpreter exit: the connections of loops still recorded are closed, on their loop
// when it can still run, so that no finaliser meets them after the modules have gone.
void end_every_loop() {
    try {
        for (nb::handle loop : nb::list(nb::handle(g_loops).attr("keys")()))
            end_loop(loop);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("closing the async connections of event loops at exit");
    }
}

// A new async engine of sync engine `db` (its noted `source`) for the loop of `record`, which
// closes its connections with the loop.
nb::object loop_engine(nb::handle db, nb::handle source, nb::handle record) {
    nb::object engine = create_async_engine(item(source, "url"), **item(source, "options"));
    nb::object sync_engine = engine.attr("sync_engine");
    nb::setattr(sync_engine, "_zorvane_source", nb::getattr(db, "_zorvane_source", nb::none()));
    nb::setattr(sync_engine, "_zorvane_pin_key", nb::make_tuple(weak_ref(db), running_loop()));
    nb::dict open;
    event_listen(sync_engine, "connect", make_callable(&track_connect, {open}));
    for (const char *event : {"close", "close_detached"})
        event_listen(sync_engine, event, make_callable(&track_close, {open}));
    const glue::Backend *kind = glue::backend_of(engine);
    if (kind && kind->interrupt_on_cancel) {
        nb::object interrupt = make_callable(&interrupt_sqlite, {});
        event_listen(sync_engine, "handle_error", interrupt);
        nb::setattr(sync_engine, "_zorvane_interrupt", interrupt);  // statements on the driver's connection do it themselves
    }
    for (nb::handle pair : item(source, "listeners"))
        event_listen(sync_engine, pair[0], pair[1]);
    nb::handle(glue::tuple_item(record.ptr(), 0)).attr("append")(nb::make_tuple(sync_engine, open));
    return engine;
}

// (async engine, per-task session object) of `entry` for the running loop; None when there is
// none and `create` is false. Making one first closes what loops that have closed left open.
nb::object per_loop(nb::handle entry, bool create) {
    nb::object loop = nb::steal(PyObject_CallNoArgs(running_loop.get().ptr()));
    if (!loop.is_valid())
        throw nb::python_error();
    if (loop.is_none()) {
        if (create)
            glue::raise(PyExc_RuntimeError, "async statement calls need a running event loop");
        return nb::none();
    }
    nb::object source = source_of(item(entry, "db"), create);
    if (source.is_none())
        return nb::none();
    nb::object loops = item(source, "loops");
    nb::object mapper_dict = item(entry, "mapper_dict");
    PyObject *hit = PyDict_GetItemWithError(loops.ptr(), loop.ptr());
    if (hit) {
        nb::handle session(glue::tuple_item(hit, 1));
        if (!session.attr("mapper_dict").is(mapper_dict))
            session.attr("mapper_dict") = mapper_dict;
        return nb::borrow(hit);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    if (!create)
        return nb::none();
    sweep_closed_loops();
    nb::object record = loop_record(loop);
    nb::object engine = loop_engine(item(entry, "db"), source, record);
    nb::object session = session_class("mapper_dict"_a = mapper_dict, "data_source"_a = engine.attr("sync_engine"));
    session.attr("_tie_to_tasks")();
    nb::object routing = item(entry, "kelvor").attr("_routing");
    if (!routing.is_none()) {  // the replicas' own engines for this loop, closed with it
        nb::list templates;
        for (nb::handle replica : item(entry, "replicas"))
            templates.append(sql_template(loop_engine(replica, source_of(replica, true), record).attr("sync_engine")));
        session.attr("_route_reads")(routing, templates);
    }
    nb::object pair = nb::make_tuple(engine, session);
    if (PyDict_SetItem(loops.ptr(), loop.ptr(), pair.ptr()) < 0)
        throw nb::python_error();
    return pair;
}

void mark_coroutine_function(nb::handle f) {
    if (g_marker) {
        if (PyObject_SetAttrString(f.ptr(), "_is_coroutine", g_marker) < 0)
            throw nb::python_error();
    } else {
        nb::module_::import_("inspect").attr("markcoroutinefunction")(f);
    }
}

// What `async with BaseMapper.switch_datasource(name) as s` yields: the transaction's session
// object, each operation a coroutine.
struct AsyncSqlSession {
    nb::object session;
};

nb::object async_operation(AsyncSqlSession &s, nb::handle name) {
    nb::object op = s.session.attr(name);
    if (!PyCallable_Check(op.ptr()) || (glue::str_length(name.ptr()) > 0 && glue::str_char(name.ptr(), 0) == '_'))
        return op;
    return make_callable(&async_call, {op});
}

}  // namespace

nb::object async_session_view(nb::handle session) {
    return nb::cast(AsyncSqlSession{nb::borrow(session)}, nb::rv_policy::move);
}

bool in_async_call() {
    if (!g_used)
        return false;
    PyObject *v = nullptr;
    if (glue::context_var_get(g_mode, nullptr, &v) < 0)
        throw nb::python_error();
    const bool on = v == Py_True;
    Py_XDECREF(v);
    return on;
}

nb::object spawn(nb::handle fn, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    g_used = true;
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf), nkw = kwnames ? glue::tuple_size(kwnames) : 0;
    std::vector<PyObject *> stack(static_cast<std::size_t>(n + nkw + 3));
    stack[1] = g_body;
    stack[2] = fn.ptr();
    for (Py_ssize_t i = 0; i < n + nkw; ++i)
        stack[static_cast<std::size_t>(i) + 3] = args[i];
    return call_through(greenlet_spawn.get(), stack.data() + 1, static_cast<std::size_t>(n + 2) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                        kwnames);
}

nb::object settle_user_result(nb::object result) {
    if (!g_used || !glue::is_coroutine(result.ptr()) || !in_async_call())
        return result;
    Mode off(Py_None);  // the awaited code is the caller's: its own calls start afresh
    return await_only(result);
}

bool is_coroutine_function(nb::handle func) {
    if (glue::truthy(iscoroutinefunction(func)))
        return true;
    if (!g_marker)
        return false;
    PyObject *v = PyObject_GetAttrString(func.ptr(), "_is_coroutine");
    if (!v) {
        PyErr_Clear();
        return false;
    }
    const bool marked = v == g_marker;
    Py_DECREF(v);
    return marked;
}

nb::object async_wrapper(nb::handle sync_wrapper, nb::handle func, CallImpl impl) {
    nb::object wrapper = make_callable(impl ? impl : &async_call, {sync_wrapper});
    glue::update_wrapper(wrapper, func);
    mark_coroutine_function(wrapper);
    return wrapper;
}

nb::object entry_session(nb::handle entry) {
    nb::object session = item(entry, "kelvor");
    if (!g_used)
        return session;
    if (in_async_call())
        return nb::borrow(glue::tuple_item(per_loop(entry, true).ptr(), 1));
    nb::object pair = per_loop(entry, false);
    if (!pair.is_none() && glue::truthy(nb::handle(glue::tuple_item(pair.ptr(), 1)).attr("_in_transaction")()))
        glue::raise(PyExc_RuntimeError,
                    "a sync statement call while an async transaction of this datasource is open in this task "
                    "would run outside that transaction; await the async form of the call instead");
    return session;
}

nb::object entry_async_engine(nb::handle entry) {
    g_used = true;
    return nb::borrow(glue::tuple_item(per_loop(entry, true).ptr(), 0));
}

nb::object new_async_session(nb::handle entry) {
    nb::object engine = entry_async_engine(entry);
    if (rolling_back()) {  // joined to the test's connection of the loop, as sync sessions are
        nb::object connection = async_connection(engine, pinned_connection(engine.attr("sync_engine")));
        return async_session("bind"_a = connection, "join_transaction_mode"_a = "create_savepoint",
                             "expire_on_commit"_a = false);
    }
    return async_session(engine, "expire_on_commit"_a = false);
}

void note_async_options(nb::handle engine, nb::handle url, nb::handle options, nb::handle listeners) {
    nb::dict source;
    source["url"] = url;
    source["options"] = options;
    source["listeners"] = listeners;
    source["loops"] = nb::dict();
    if (PyObject_SetItem(g_sources, engine.ptr(), source.ptr()) < 0)
        throw nb::python_error();
}

void register_async(nb::module_ &m) {
    g_mode = glue::context_var_new("zorvane_async_call", Py_None);
    if (!g_mode)
        throw nb::python_error();
    g_body = make_callable(&async_body, {}).release().ptr();
    glue::runtime().keep(g_sources, nb::module_::import_("weakref").attr("WeakKeyDictionary")(), glue::Runtime::At::Empty);
    glue::runtime().keep(g_loops, PyDict_New(), glue::Runtime::At::Empty);
    glue::runtime().at_teardown(&end_every_loop);
    glue::after_fork_in_child(&forget_loops_after_fork);
    if (Py_Version < 0x030C0000)
        g_marker = nb::object(nb::module_::import_("asyncio.coroutines").attr("_is_coroutine")).release().ptr();

    nb::class_<SharedConnection>(m, "_SharedConnection", "An in-memory SQLite connection shared with the sync engine.")
        .def("__getattr__", [](SharedConnection &c, nb::handle name) { return c.connection.attr(name); }, "name"_a)
        .def(
            "__setattr__", [](SharedConnection &c, nb::handle name, nb::handle value) { c.connection.attr(name) = value; },
            "name"_a, "value"_a.none())
        .def("close", [](SharedConnection &) {}, "Leaves the connection open: the sync engine owns it.");

    nb::class_<AsyncSqlSession>(m, "AsyncSqlSession",
                                "The session object of an async transaction: its statement operations as coroutines.")
        .def_ro("sync_session", &AsyncSqlSession::session, "The per-task ZorvaneSqlSession behind it.")
        .def("__getattr__", &async_operation, "name"_a,
             "Operation `name` of the session object (select_list, insert, execute_sql, ...) as a coroutine function.");

    nb::object config = m.attr("ZorvaneConfig");
    nb::object dispose = nb::cpp_function(
        [](nb::handle) { return spawn(loop_body(false), nullptr, 0, nullptr); },
        nb::is_method(), nb::name("dispose_async"),
        "Coroutine: closes the pooled connections of every async engine of the running event loop.");
    config.attr("dispose_async") = nb::module_::import_("builtins").attr("classmethod")(dispose);
    nb::object engine_of = nb::cpp_function(
        [](nb::handle, nb::handle name) {
            glue::check_exact(name, &PyUnicode_Type, "datasource_name");
            return entry_async_engine(registry_entry(name));
        },
        nb::is_method(), nb::name("async_engine"), "datasource_name"_a.none(),
        "The AsyncEngine of a datasource for the running event loop (the one its async calls use).");
    config.attr("async_engine") = nb::module_::import_("builtins").attr("classmethod")(engine_of);

    // AsyncBaseMapper: BaseMapper whose database operations are coroutines.
    nb::object base = m.attr("BaseMapper");
    nb::object T = m.attr("T");
    nb::dict ns;
    ns["__module__"] = "zorvane.zorvane";
    ns["__doc__"] = "Generic base of async mapper classes: BaseMapper's database operations as coroutines.";
    for (const char *name : {"add", "add_all", "save_batch", "insert", "upsert", "delete", "delete_by_id", "update",
                             "update_by_id", "bulk_update_mappings", "select_all", "select_one", "select_by_id",
                             "select_all_by_sql", "select_page_by_sql", "select_page_by_orm"}) {
        nb::object sync_op = nb::borrow(base.attr("__dict__")[name]);
        ns[name] = async_wrapper(sync_op, sync_op);
    }
    nb::object body = nb::cpp_function([ns](nb::dict target) { target.update(ns); }, "ns"_a);
    nb::object cls = nb::module_::import_("types").attr("new_class")("AsyncBaseMapper", nb::make_tuple(base[T]),
                                                                      nb::dict(), body);
    set_async_base_mapper(cls);
    m.attr("AsyncBaseMapper") = cls;
}

}  // namespace zorvane::top
