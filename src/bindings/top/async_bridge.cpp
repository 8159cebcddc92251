// src/bindings/top/async_bridge.cpp: async calls on the sync machinery (SQLAlchemy's greenlet
// bridge), per-loop async engines, AsyncBaseMapper and ZorvaneConfig.dispose_async.
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
glue::Lazy iscoroutinefunction{"inspect", "iscoroutinefunction"};

PyObject *g_mode = nullptr;     // context variable: True while an async call runs its sync body
PyObject *g_body = nullptr;     // what greenlet_spawn runs: async_body
PyObject *g_sources = nullptr;  // sync engine -> {"url", "options", "loops": {loop: (async engine, session object)}}
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
        // Not made by the configuration, so no settings were noted; the pool has no public
        // accessor for its overflow, recycle and pre-ping settings.
        options["pool_size"] = pool.attr("size")();
        options["max_overflow"] = pool.attr("_max_overflow");
        options["pool_recycle"] = pool.attr("_recycle");
        options["pool_timeout"] = pool.attr("timeout")();
        options["pool_pre_ping"] = pool.attr("_pre_ping");
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

// Drops an async engine whose loop has closed. Its idle connections are terminated without
// that loop (the drivers' forced close) so they leave no thread or socket behind; the pool is
// then replaced without touching them again.
void drop_engine(nb::handle engine) {
    nb::object sync_engine = engine.attr("sync_engine");
    nb::object pool = sync_engine.attr("pool");
    // The pool lists its idle connections nowhere public (checkedin() only counts them).
    nb::object idle = nb::steal(PyObject_GetAttrString(pool.ptr(), "_pool"));
    nb::object records = idle.is_valid() ? nb::steal(PyObject_GetAttrString(idle.ptr(), "queue")) : nb::object();
    PyErr_Clear();
    if (records.is_valid()) {
        for (nb::handle record : nb::list(records)) {
            try {
                nb::object connection = record.attr("dbapi_connection");
                if (!connection.is_none())
                    connection.attr("terminate")();
            } catch (nb::python_error &) {
                // already gone with its loop
            }
        }
    }
    sync_engine.attr("dispose")("close"_a = false);
}

// (async engine, per-task session object) of `entry` for the running loop; None when there is
// none and `create` is false. Engines of loops that have closed are dropped on the way: their
// connections belong to a dead loop and are never handed out again.
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
    for (nb::handle old : nb::list(loops.attr("keys")())) {
        if (!glue::truthy(old.attr("is_closed")()))
            continue;
        nb::object stale = loops[old];
        PyDict_DelItem(loops.ptr(), old.ptr());
        drop_engine(glue::tuple_item(stale.ptr(), 0));
    }
    nb::object engine = create_async_engine(item(source, "url"), **item(source, "options"));
    const glue::Backend *kind = glue::backend_of(engine);
    if (kind && kind->interrupt_on_cancel)
        event_listen(engine.attr("sync_engine"), "handle_error", make_callable(&interrupt_sqlite, {}));
    for (nb::handle pair : item(source, "listeners"))
        event_listen(engine.attr("sync_engine"), pair[0], pair[1]);
    nb::object session = session_class("mapper_dict"_a = mapper_dict, "data_source"_a = engine.attr("sync_engine"));
    session.attr("_tie_to_tasks")();
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

// Disposes the async engines of the running loop (their pooled connections are closed) and
// forgets them; runs inside a greenlet.
void dispose_loop_engines() {
    nb::object loop = running_loop();
    if (loop.is_none())
        return;
    for (nb::handle source : nb::list(nb::handle(g_sources).attr("values")())) {
        nb::object loops = item(source, "loops");
        PyObject *hit = PyDict_GetItemWithError(loops.ptr(), loop.ptr());
        if (!hit) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        nb::object pair = nb::borrow(hit);
        PyDict_DelItem(loops.ptr(), loop.ptr());
        nb::handle(glue::tuple_item(pair.ptr(), 0)).attr("sync_engine").attr("dispose")();
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
    return async_session(entry_async_engine(entry), "expire_on_commit"_a = false);
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
        [](nb::handle) {
            nb::object body = nb::cpp_function(&dispose_loop_engines);
            return spawn(body, nullptr, 0, nullptr);
        },
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
    for (const char *name : {"add", "add_all", "save_batch", "insert", "delete", "delete_by_id", "update",
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
