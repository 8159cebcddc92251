// src/bindings/top/config.cpp: DataSource, DBConfig, ZorvaneConfig and mapper file discovery.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <vector>

#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "glue/pool.hpp"
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/state.hpp"

namespace zorvane::top {
namespace {

glue::Lazy make_dataclass{"dataclasses", "make_dataclass"};
glue::Lazy dc_field{"dataclasses", "field"};
glue::Lazy mapping_abc{"collections.abc", "Mapping"};
glue::Lazy create_engine{"sqlalchemy", "create_engine"};
glue::Lazy url_create{"sqlalchemy.engine", "URL"};
glue::Lazy static_pool{"sqlalchemy.pool", "StaticPool"};
glue::Lazy event_listen{"sqlalchemy.event", "listen"};
glue::Lazy jsonb_dumper{"psycopg.types.json", "JsonbDumper"};
glue::Lazy session_class{"zorvane.db.kelvor", "ZorvaneSqlSession"};
glue::Lazy parse_mapper{"zorvane.mapper.vantrel", "ParseMapper"};
glue::Lazy os_listdir{"os", "listdir"};
glue::Lazy os_stat{"os", "stat"};
glue::Lazy path_join{"os.path", "join"};
glue::Lazy path_exists{"os.path", "exists"};
glue::Lazy path_isfile{"os.path", "isfile"};
glue::Lazy path_isdir{"os.path", "isdir"};
glue::Lazy config_error{"zorvane.exception", "ConfigError"};
glue::Lazy config_key_error{"zorvane.exception", "ConfigKeyError"};
glue::Lazy dc_replace{"dataclasses", "replace"};
glue::Lazy sql_template{"zorvane.db.ostrane", "SqlTemplate"};
glue::Lazy read_routing{"zorvane.db.kelvor", "_ReadRouting"};

PyObject *g_datasource_cls = nullptr;
PyObject *g_dbconfig_cls = nullptr;
PyObject *g_config_cls = nullptr;
PyObject *g_registry = nullptr, *g_mappers = nullptr;  // the class's datasource registry and parsed files
PyObject *g_bind_dict_as_jsonb = nullptr;
PyObject *g_pool_listeners = nullptr;  // (event, listener) pairs of every pooled engine made here

const char *kServerKeys[] = {"host", "port", "user", "password", "database"};
// Optional in a declaration, for every kind; absent ones keep the DataSource defaults.
const char *kTuningKeys[] = {"pool_size",    "max_overflow", "pool_recycle", "pool_timeout",
                             "connect_args", "log_params",   "slow_query_ms"};
// Optional for server kinds: read replicas and how reads are routed to them.
const char *kReplicaKeys[] = {"replicas", "read_your_writes_s", "replica_cooldown_s"};
// The db_type values of a declaration, as error texts list them.
constexpr const char *kKindNames = "'mysql', 'postgresql' or 'sqlite'";

using glue::text_of;

std::string quoted(nb::handle v) { return text_of(nb::repr(v)); }

// Issues a UserWarning at the caller's line; an error when warnings are errors.
void warn(const std::string &text) {
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0)
        throw nb::python_error();
}

// The keys a declaration of `kind` takes, in the order the messages list them.
std::vector<const char *> accepted_keys(const glue::Backend &kind) {
    std::vector<const char *> keys{"db_type"};
    if (kind.server)
        keys.insert(keys.end(), std::begin(kServerKeys), std::end(kServerKeys));
    else
        keys.push_back("sqlite_path");
    keys.insert(keys.end(), std::begin(kTuningKeys), std::end(kTuningKeys));
    if (kind.server)
        keys.insert(keys.end(), std::begin(kReplicaKeys), std::end(kReplicaKeys));
    return keys;
}

std::string joined(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

// A declaration's keys that its kind does not take are dropped: say which, and which it takes.
void warn_unknown_keys(nb::handle name, nb::handle decl, const glue::Backend &kind) {
    std::vector<const char *> keys = accepted_keys(kind);
    std::vector<std::string> unknown, accepted(keys.begin(), keys.end());
    for (nb::handle key : nb::iter(decl)) {
        bool known = PyUnicode_Check(key.ptr()) &&
                     std::any_of(keys.begin(), keys.end(), [&](const char *k) { return glue::utf8(key) == k; });
        if (!known)
            unknown.push_back(quoted(key));
    }
    if (!unknown.empty())
        warn("datasource " + quoted(name) + ": unknown key" + (unknown.size() > 1 ? "s " : " ") + joined(unknown) +
             " left out; a " + kind.name + " datasource takes " + joined(accepted));
}

// The kind a datasource declares: a db_type naming a kind by its own name ("mariadb" is none).
const glue::Backend *declared_kind(nb::handle db_type) {
    const glue::Backend *kind = glue::backend_named(db_type);
    return kind && PyUnicode_CompareWithASCIIString(db_type.ptr(), kind->name) == 0 ? kind : nullptr;
}

nb::handle config_cls() { return glue::Runtime::alive(g_config_cls); }

// --- DBConfig ------------------------------------------------------------------------

// Why no primary datasource could be chosen: what was declared (and left out) and what to pass.
std::string primary_note(nb::handle primary, nb::dict ds, const std::vector<std::string> &left_out) {
    std::vector<std::string> names;
    for (nb::handle name : ds.keys())
        names.push_back(quoted(name));
    if (names.empty())
        return std::string("no keyword argument declares a usable datasource: a mapping whose db_type is ") +
               kKindNames + (left_out.empty() ? "" : "; left out: " + joined(left_out));
    std::string declared = "declared: " + joined(names);
    if (glue::truthy(primary))
        return "primary " + quoted(primary) + " names no declared datasource; " + declared;
    return "several datasources are declared and no primary names the default one; pass primary= one of them (" +
           declared + ")";
}

void dbconfig_init(nb::handle self, nb::handle primary, nb::handle mapper_xml_path, nb::handle raw_sql,
                   nb::kwargs datasources) {
    glue::check_exact(primary, &PyUnicode_Type, "primary", true);
    glue::check_exact(mapper_xml_path, &PyUnicode_Type, "mapper_xml_path", true);
    if (glue::dict_size(datasources.ptr()) == 0)
        glue::raise_with_note(config_error.get().ptr(), "please set datasource !",
                              "declare each datasource as a keyword argument, e.g. main={'db_type': 'sqlite', "
                              "'sqlite_path': 'app.db'}");
    nb::setattr(self, "mapper_xml_path", mapper_xml_path);
    nb::setattr(self, "raw_sql", raw_sql);
    nb::dict ds;
    nb::setattr(self, "ds", ds);
    nb::handle datasource_cls = glue::Runtime::alive(g_datasource_cls);
    std::vector<std::string> left_out;  // declarations with a db_type of no known kind
    for (auto [name, value] : datasources) {
        if (PyObject_IsInstance(value.ptr(), mapping_abc.get().ptr()) != 1)
            continue;
        if (PySequence_Contains(value.ptr(), nb::str("db_type").ptr()) != 1)
            continue;
        nb::object db_type = value["db_type"];
        const glue::Backend *kind = declared_kind(db_type);
        if (!kind) {
            left_out.push_back(quoted(name) + " (db_type " + quoted(db_type) + ")");
            warn("datasource " + quoted(name) + " left out: db_type " + quoted(db_type) + " is not " + kKindNames);
            continue;
        }
        warn_unknown_keys(name, value, *kind);
        nb::dict fields;
        auto take = [&](const char *key) {
            if (PySequence_Contains(value.ptr(), nb::str(key).ptr()) != 1)
                glue::raise_with_note(config_key_error.get().ptr(), std::string(key) + " not exist !",
                                      "datasource " + quoted(name) + " (db_type " + quoted(db_type) + ") has no '" +
                                          key + "'; a " + kind->name + " datasource needs " +
                                          (kind->server ? "host, port, user, password and database" : "sqlite_path"));
            fields[key] = value[key];
        };
        if (kind->server) {
            for (const char *key : kServerKeys)
                take(key);
        } else {
            take("sqlite_path");
        }
        for (const char *key : kTuningKeys)
            if (PySequence_Contains(value.ptr(), nb::str(key).ptr()) == 1)
                fields[key] = value[key];
        if (kind->server)
            for (const char *key : kReplicaKeys)
                if (PySequence_Contains(value.ptr(), nb::str(key).ptr()) == 1)
                    fields[key] = value[key];
        ds[name] = datasource_cls(db_type, **fields);
    }
    nb::object chosen;
    if (PyUnicode_Check(primary.ptr()) && glue::str_length(primary.ptr()) > 0 && ds.contains(primary))
        chosen = nb::borrow(primary);
    else if (nb::len(ds) == 1)
        chosen = nb::borrow(nb::list(ds.keys())[0]);
    else
        glue::raise_with_note(config_error.get().ptr(), "datasource " + text_of(primary) + " not exist !",
                              primary_note(primary, ds, left_out));
    nb::setattr(self, "primary", chosen);
}

// --- engines ---------------------------------------------------------------------------

nb::object text_or_none(nb::handle v) { return v.is_none() ? nb::none() : nb::object(nb::str(v)); }

// The driver does not take the kind's batch option; the URL keeps it, the connect call does
// not. A do_connect listener: (dialect, conn_rec, cargs, cparams). Payload: 0 the option name.
PyObject *strip_batch_option(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *) {
    if (PyVectorcall_NARGS(nargsf) >= 4 && PyDict_Check(args[3]) && PyDict_DelItem(args[3], payload(self, 0)) < 0)
        PyErr_Clear();
    Py_RETURN_NONE;
}

// A field of a DataSource-like object, or `fallback` when it lacks it or holds None.
nb::object field_or(nb::handle ds, const char *name, nb::handle fallback) {
    nb::object v = nb::getattr(ds, name, nb::none());
    return v.is_none() ? nb::borrow(fallback) : v;
}

// A dict bound to a statement goes to PostgreSQL as jsonb (the server casts it to json
// where a json column takes it). A connect listener: (dbapi_connection, connection_record).
// On an async engine the listener gets the adapted connection, which holds the driver's.
PyObject *bind_dict_as_jsonb(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *) {
    return top::guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) >= 1) {
            nb::handle connection(args[0]);
            nb::object driver = nb::getattr(connection, "driver_connection", connection);
            driver.attr("adapters").attr("register_dumper")(nb::handle((PyObject *)&PyDict_Type), jsonb_dumper.get());
        }
        return nb::none();
    });
}

// ---- the pool of a configured engine
//
// A connection is known alive before use: one checked in within the alive-bypass window is
// handed out as it is (a dead one is then replaced by the unit of work that finds it dead,
// before anything of it was committed), any other is pinged first and, when the ping fails,
// the pool's connections are replaced (as the toolkit's pre-ping does). A connection whose unit
// of work just committed or rolled back goes back without a reset.

constexpr double kAliveBypass = 0.5;  // seconds

double monotonic_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

PyObject *checked_in_key() {
    static PyObject *k = glue::intern("zorvane.checked_in");
    return k;
}

nb::object record_info(PyObject *record) {
    static PyObject *info = glue::intern("info");
    return glue::check(PyObject_GetAttr(record, info));
}

// "connect" and "checkin" listener: (dbapi_connection, connection_record).
PyObject *note_checkin(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *) {
    return top::guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) >= 2 && args[0] != Py_None) {
            nb::object at = glue::check(PyFloat_FromDouble(monotonic_now()));
            if (PyDict_SetItem(record_info(args[1]).ptr(), checked_in_key(), at.ptr()) < 0)
                throw nb::python_error();
        }
        return nb::none();
    });
}

// "checkout" listener: (dbapi_connection, connection_record, proxy).
PyObject *check_alive(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *) {
    static glue::Lazy invalidate_pool{"sqlalchemy.exc", "InvalidatePoolError"};
    return top::guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) < 2)
            return nb::none();
        nb::object info = record_info(args[1]);
        PyObject *at = PyDict_GetItemWithError(info.ptr(), checked_in_key());
        if (!at && PyErr_Occurred())
            throw nb::python_error();
        if (PyDict_DelItem(info.ptr(), glue::clean_key()) < 0)  // a mark left by a return without reset
            PyErr_Clear();
        const bool recent = at && PyFloat_Check(at) && monotonic_now() - PyFloat_AsDouble(at) < kAliveBypass;
        if (PyDict_SetItem(info.ptr(), glue::unpinged_key(), recent ? Py_True : Py_False) < 0)
            throw nb::python_error();
        if (recent)
            return nb::none();
        try {
            nb::object cursor = nb::handle(args[0]).attr("cursor")();
            cursor.attr("execute")("SELECT 1");
            cursor.attr("close")();
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            // The toolkit invalidates the pool and checks out a new connection.
            nb::object replaced = invalidate_pool(nb::str("the connection failed its liveness check"));
            PyException_SetCause(replaced.ptr(), Py_NewRef(e.value().ptr()));
            PyErr_SetObject(invalidate_pool.get().ptr(), replaced.ptr());
            throw nb::python_error();
        }
        return nb::none();
    });
}

// "reset" listener: (dbapi_connection, connection_record, reset_state). The pool's own reset
// is off: a connection is rolled back here unless its transaction was just ended.
PyObject *reset_unless_clean(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *) {
    return top::guarded([&]() -> nb::object {
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
        if (n < 2 || args[0] == Py_None)
            return nb::none();
        nb::object info = record_info(args[1]);
        PyObject *clean = PyDict_GetItemWithError(info.ptr(), glue::clean_key());
        const bool was_clean = clean == Py_True;
        if (clean && PyDict_DelItem(info.ptr(), glue::clean_key()) < 0)
            throw nb::python_error();
        if (!clean && PyErr_Occurred())
            throw nb::python_error();
        if (n >= 3) {
            nb::handle state(args[2]);
            if (!glue::truthy(state.attr("asyncio_safe")))
                return nb::none();  // no IO possible here: the toolkit terminates the connection
            if (glue::truthy(state.attr("transaction_was_reset")))
                return nb::none();
        }
        if (!was_clean)
            nb::handle(args[0]).attr("rollback")();
        return nb::none();
    });
}

// The pool behaviour above for the async twins of an engine, made with `options` and
// `listeners`.
void tune_async_pool(nb::dict options, nb::list listeners) {
    for (nb::handle pair : nb::handle(g_pool_listeners))
        listeners.append(pair);
    options["pool_pre_ping"] = false;
    options["pool_reset_on_return"] = nb::none();
}

// The pool behaviour above on `engine` and its async twins.
void tune_pool(nb::handle engine, nb::dict options, nb::list listeners) {
    for (nb::handle pair : nb::handle(g_pool_listeners))
        event_listen(engine, pair[0], pair[1]);
    tune_async_pool(options, listeners);
}

// What the async engines of a datasource are made with: the sync engine's settings on the
// kind's async driver, without the URL option that only the sync driver takes.
void note_async(nb::handle engine, nb::handle url, const glue::Backend &kind, nb::dict options, nb::list listeners) {
    nb::object async_url = url.attr("set")("drivername"_a = kind.async_driver);
    if (kind.batch_option)
        async_url = async_url.attr("difference_update_query")(nb::make_tuple(kind.batch_option));
    top::note_async_options(engine, async_url, options, listeners);
}

// Engine for one DataSource. Every URL part is escaped by URL.create; None fields are
// left out rather than written as the text "None".
nb::object engine_for(nb::handle ds, bool added_at_run_time, const std::string &unknown_message) {
    nb::object echo = nb::borrow(config_cls()).attr("raw_sql");
    nb::object url_cls = nb::borrow(url_create.get());
    nb::dict connect_args;
    nb::object given_args = nb::getattr(ds, "connect_args", nb::none());
    if (!given_args.is_none())
        connect_args.update(given_args);  // a copy: the driver may not see later changes by the caller
    nb::dict pool;
    pool["pool_size"] = field_or(ds, "pool_size", nb::int_(10));
    pool["max_overflow"] = field_or(ds, "max_overflow", nb::int_(30));
    pool["pool_timeout"] = field_or(ds, "pool_timeout", nb::int_(30));
    nb::object recycle = field_or(ds, "pool_recycle", nb::int_(1800));
    nb::object db_type = ds.attr("db_type");
    const glue::Backend *kind = declared_kind(db_type);
    if (!kind)
        glue::raise_with_note(config_error.get().ptr(), unknown_message,
                              "db_type " + quoted(db_type) + " is not " + kKindNames);
    const bool with_batch_option = kind->batch_option && added_at_run_time;
    nb::object url;
    if (kind->server) {
        nb::object port = ds.attr("port");
        nb::object port_num = port.is_none() ? nb::none() : nb::steal(PyNumber_Long(nb::str(port).ptr()));
        if (!port_num.is_valid())
            throw nb::python_error();
        nb::dict query;
        if (with_batch_option)
            query[kind->batch_option] = "true";
        url = url_cls.attr("create")(kind->sync_driver, nb::arg("username") = text_or_none(ds.attr("user")),
                                     nb::arg("password") = text_or_none(ds.attr("password")),
                                     nb::arg("host") = text_or_none(ds.attr("host")), nb::arg("port") = port_num,
                                     nb::arg("database") = text_or_none(ds.attr("database")), nb::arg("query") = query);
    } else {
        nb::object given = ds.attr("sqlite_path");
        if (given.is_none())  // str(None) would name a file "None"
            glue::raise_with_note(config_key_error.get().ptr(), "sqlite_path not exist !",
                                  "a sqlite datasource needs sqlite_path: a file name, or ':memory:'");
        nb::str path(given);
        url = url_cls.attr("create")(kind->sync_driver, nb::arg("database") = path);
        std::string_view p = glue::utf8(path);
        if (p.empty() || p == ":memory:") {
            // One connection shared by all sessions: every session sees the same database.
            connect_args["check_same_thread"] = false;
            return create_engine(url, nb::arg("echo") = echo, nb::arg("poolclass") = static_pool.get(),
                                 nb::arg("connect_args") = connect_args, nb::arg("pool_recycle") = recycle,
                                 nb::arg("pool_pre_ping") = true);
        }
    }
    // Server pools get the cheaper liveness check and reset of tune_pool; a SQLite file has no
    // round trip to save, and keeps the toolkit's own, which cost less than the listeners. Its
    // async twins take them too: there each ping and reset is a hop to the driver's thread.
    const bool tuned = kind->server;
    nb::object reset = tuned ? nb::object(nb::none()) : nb::object(nb::str("rollback"));
    nb::object engine = create_engine(url, nb::arg("echo") = echo, nb::arg("pool_recycle") = recycle,
                                      nb::arg("pool_pre_ping") = !tuned, nb::arg("pool_reset_on_return") = reset,
                                      nb::arg("connect_args") = connect_args, **pool);
    if (with_batch_option)
        event_listen(engine, "do_connect", make_callable(&strip_batch_option, {nb::str(kind->batch_option)}));
    nb::list listeners;
    if (kind->dicts_as_jsonb) {
        event_listen(engine, "connect", nb::handle(g_bind_dict_as_jsonb));
        listeners.append(nb::make_tuple("connect", nb::handle(g_bind_dict_as_jsonb)));
    }
    nb::dict options(pool);
    options["echo"] = echo;
    options["pool_recycle"] = recycle;
    options["connect_args"] = nb::dict(connect_args);
    if (tuned)
        tune_pool(engine, options, listeners);
    else
        tune_async_pool(options, listeners);
    note_async(engine, url, *kind, options, listeners);
    return engine;
}

// DataSource text form: the generated one, with a non-empty password and connect_args
// entries named like a password shown as ***, as the toolkit's URL text shows them.
PyObject *g_datasource_repr = nullptr;

nb::object masked_args(nb::handle args) {
    if (!PyDict_Check(args.ptr()))
        return nb::borrow(args);
    nb::dict out;
    for (auto [k, v] : nb::borrow<nb::dict>(args)) {
        bool secret = PyUnicode_Check(k.ptr()) && glue::utf8(k).find("password") != std::string_view::npos;
        out[k] = secret && glue::truthy(v) ? nb::object(nb::str("***")) : nb::borrow(v);
    }
    return out;
}

nb::object datasource_repr(nb::handle self) {
    nb::object shown = nb::module_::import_("copy").attr("copy")(self);
    nb::object password = nb::getattr(self, "password", nb::none());
    if (glue::truthy(password))
        nb::setattr(shown, "password", nb::str("***"));
    nb::object args = nb::getattr(self, "connect_args", nb::none());
    if (!args.is_none())
        nb::setattr(shown, "connect_args", masked_args(args));
    nb::object replicas = nb::getattr(self, "replicas", nb::none());
    if (PyList_Check(replicas.ptr()) || PyTuple_Check(replicas.ptr())) {
        nb::list masked;
        for (nb::handle r : replicas) {
            const bool mapping = PyObject_IsInstance(r.ptr(), mapping_abc.get().ptr()) == 1;
            nb::object copy = mapping ? masked_args(nb::handle((PyObject *)&PyDict_Type)(r)) : nb::borrow(r);
            if (PyDict_Check(copy.ptr()) && PyDict_GetItemString(copy.ptr(), "connect_args"))
                copy["connect_args"] = masked_args(copy["connect_args"]);
            masked.append(copy);
        }
        nb::setattr(shown, "replicas", masked);
    }
    return glue::Runtime::alive(g_datasource_repr)(shown);
}

// What the SQL log and spans tell of the datasource, set on its engine (read by the statement
// templates): (name, log_params, slow_query_ms[, True on a replica's engine]).
void mark_source(nb::handle engine, nb::handle name, nb::handle ds, bool replica) {
    nb::object log_params = nb::bool_(glue::truthy(nb::getattr(ds, "log_params", nb::none())));
    nb::object slow = nb::getattr(ds, "slow_query_ms", nb::none());
    nb::setattr(engine, "_zorvane_source",
                replica ? nb::make_tuple(name, log_params, slow, true) : nb::make_tuple(name, log_params, slow));
}

// A non-negative number of seconds of datasource `name`'s option `key`.
double seconds_option(nb::handle name, nb::handle ds, const char *key) {
    nb::object v = nb::getattr(ds, key);
    double out = -1;
    if ((PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) && !PyBool_Check(v.ptr()))
        out = PyFloat_AsDouble(v.ptr());
    if (!(out >= 0))
        glue::raise_with_note(config_error.get().ptr(), std::string(key) + " must be a number of seconds >= 0",
                              "datasource " + quoted(name) + " has " + key + "=" + quoted(v));
    return out;
}

// The replicas of datasource `ds` as DataSources: each mapping's keys over the primary's. A
// replica of another db_type, or one that is no mapping, is an error; unknown keys are left out.
std::vector<nb::object> replica_sources(nb::handle name, nb::handle ds, const glue::Backend &kind) {
    nb::object given = nb::getattr(ds, "replicas", nb::none());
    std::vector<nb::object> out;
    if (given.is_none())
        return out;
    const std::string where = "datasource " + quoted(name) + ": replicas";
    if (!PyList_Check(given.ptr()) && !PyTuple_Check(given.ptr()))
        glue::raise_with_note(config_error.get().ptr(), "replicas must be a list of mappings",
                              where + " is " + glue::type_name(given.ptr()));
    if (!kind.server)
        glue::raise_with_note(config_error.get().ptr(), "replicas need a server datasource",
                              where + ": a " + kind.name + " datasource has no replicas");
    for (nb::handle replica : given) {
        if (PyObject_IsInstance(replica.ptr(), mapping_abc.get().ptr()) != 1)
            glue::raise_with_note(config_error.get().ptr(), "replicas must be a list of mappings",
                                  where + " holds " + quoted(replica));
        nb::dict fields;
        std::vector<std::string> unknown;
        for (nb::handle key : nb::iter(replica)) {
            bool known = PyUnicode_Check(key.ptr()) &&
                         (std::any_of(std::begin(kServerKeys), std::end(kServerKeys),
                                      [&](const char *k) { return glue::utf8(key) == k; }) ||
                          std::any_of(std::begin(kTuningKeys), std::end(kTuningKeys),
                                      [&](const char *k) { return glue::utf8(key) == k; }));
            if (PyUnicode_Check(key.ptr()) && glue::utf8(key) == "db_type") {
                if (!glue::equals(replica[key], ds.attr("db_type")))
                    glue::raise_with_note(config_error.get().ptr(), "a replica has another db_type",
                                          where + ": " + quoted(replica[key]) + " beside the primary's " +
                                              quoted(ds.attr("db_type")));
            } else if (known) {
                fields[key] = replica[key];
            } else {
                unknown.push_back(quoted(key));
            }
        }
        if (!unknown.empty())
            warn(where + ": unknown key" + (unknown.size() > 1 ? "s " : " ") + joined(unknown) +
                 " left out; a replica takes the primary's server, pool and log keys");
        out.push_back(dc_replace(ds, "replicas"_a = nb::none(), **fields));
    }
    return out;
}

// The replicas of a datasource: an engine for each (its own pool, the datasource's settings),
// a template on each for session object `session` and the routing they share.
void add_replicas(nb::handle name, nb::handle ds, nb::handle session, nb::dict entry, bool added_at_run_time,
                  const std::string &unknown_message) {
    const glue::Backend *kind = declared_kind(ds.attr("db_type"));
    if (!kind)
        return;  // engine_for has refused it
    std::vector<nb::object> sources = replica_sources(name, ds, *kind);
    if (sources.empty())
        return;
    const double ryw = seconds_option(name, ds, "read_your_writes_s");
    const double cooldown = seconds_option(name, ds, "replica_cooldown_s");
    nb::list engines, templates, labels;
    for (const nb::object &source : sources) {
        nb::object engine = engine_for(source, added_at_run_time, unknown_message);
        mark_source(engine, name, source, true);
        engines.append(engine);
        templates.append(sql_template(engine));
        labels.append(nb::str("{}:{}").format(engine.attr("url").attr("host"), engine.attr("url").attr("port")));
    }
    session.attr("_route_reads")(read_routing(name, labels, ryw, cooldown), templates);
    entry["replicas"] = engines;
}

void store_entry(nb::handle name, nb::handle engine, nb::handle ds, bool added_at_run_time,
                 const std::string &unknown_message) {
    mark_source(engine, name, ds, false);
    nb::object cls = nb::borrow(config_cls());
    nb::object mapper_dict = cls.attr("zorvane_mapper_dict");
    nb::object session = session_class(nb::arg("mapper_dict") = mapper_dict, nb::arg("data_source") = engine);
    nb::dict entry;
    entry["db"] = engine;
    entry["kelvor"] = session;
    entry["mapper_dict"] = mapper_dict;
    add_replicas(name, ds, session, entry, added_at_run_time, unknown_message);
    cls.attr("datasource")[name] = entry;
}

// --- mapper discovery --------------------------------------------------------------------

void list_into(nb::handle dir, nb::handle ext, nb::list &out, nb::set &seen) {
    nb::object st = os_stat(dir);
    nb::object key = nb::make_tuple(st.attr("st_dev"), st.attr("st_ino"));
    if (seen.contains(key))
        return;  // a directory reached again through a link
    seen.add(key);
    nb::list names(os_listdir(dir));
    names.sort();
    std::string suffix(glue::utf8(ext));
    for (nb::handle name : names) {
        nb::object full = path_join(dir, name);
        if (glue::truthy(path_isfile(full))) {
            nb::object lower = name.attr("lower")();
            if (glue::truthy(lower.attr("endswith")(ext)))
                out.append(full);
        } else if (glue::truthy(path_isdir(full))) {
            list_into(full, ext, out, seen);
        }
    }
}

nb::list list_mapper(nb::handle, nb::handle mapper_xml_dir, nb::handle ext) {
    glue::check_exact(mapper_xml_dir, &PyUnicode_Type, "mapper_xml_dir");
    glue::check_exact(ext, &PyUnicode_Type, "ext");
    nb::list out;
    nb::set seen;
    list_into(mapper_xml_dir, ext, out, seen);
    return out;
}

void scan_mapper_xml(nb::handle cls, nb::handle mapper_xml_path) {
    glue::check_exact(mapper_xml_path, &PyUnicode_Type, "mapper_xml_path", true);
    if (mapper_xml_path.is_none() || glue::str_length(mapper_xml_path.ptr()) == 0 ||
        !glue::truthy(path_exists(mapper_xml_path)))
        return;
    nb::object paths = cls.attr("_ZorvaneConfig__list_mapper")(mapper_xml_path, "xml");
    nb::object mapper_dict = nb::borrow(config_cls()).attr("zorvane_mapper_dict");
    for (nb::handle path : paths) {
        nb::object mapper = parse_mapper(nb::arg("xml_path") = path);
        mapper_dict[mapper.attr("namespace")] = mapper;
    }
}

// --- ZorvaneConfig -------------------------------------------------------------------------

nb::object config_new(nb::handle cls, nb::args, nb::kwargs) {
    nb::object instance = cls.attr("_instance");
    if (instance.is_none()) {
        instance = nb::handle((PyObject *)&PyBaseObject_Type).attr("__new__")(cls);
        nb::setattr(cls, "_instance", instance);
    }
    return instance;
}

void config_init(nb::handle self, nb::handle db_config) {
    nb::object cls = nb::borrow(config_cls());
    if (glue::truthy(cls.attr("_initialized")))
        return;
    if (PyObject_IsInstance(db_config.ptr(), glue::Runtime::alive(g_dbconfig_cls).ptr()) != 1)
        glue::raise(PyExc_TypeError, std::string("Argument 'db_config' has incorrect type (expected DBConfig, got ") +
                                         glue::type_name(db_config.ptr()) + ")");
    self.attr("scan_mapper_xml")(db_config.attr("mapper_xml_path"));
    nb::setattr(cls, "raw_sql", db_config.attr("raw_sql"));
    nb::object ds = db_config.attr("ds");
    if (PyObject_IsInstance(ds.ptr(), mapping_abc.get().ptr()) == 1) {
        print_line(text_of(ds));
        std::string unknown = text_of(db_config) + " is not MysqlConfig or SqliteConfig !";
        for (nb::handle name : nb::iter(ds)) {
            nb::object engine = engine_for(ds[name], false, unknown);
            store_entry(name, engine, ds[name], false, unknown);
        }
    }
    nb::handle bm = base_mapper();
    nb::setattr(bm, "datasource", cls.attr("datasource"));
    nb::setattr(bm, "default_key", db_config.attr("primary"));
    nb::setattr(bm, "raw_sql", cls.attr("raw_sql"));
    nb::setattr(cls, "_initialized", nb::bool_(true));
}

void add_datasource_config(nb::handle /*cls*/, nb::handle datasource_name, nb::handle datasource_config) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    if (PyObject_IsInstance(datasource_config.ptr(), glue::Runtime::alive(g_datasource_cls).ptr()) != 1)
        glue::raise(PyExc_TypeError,
                    std::string("Argument 'datasource_config' has incorrect type (expected DataSource, got ") +
                        glue::type_name(datasource_config.ptr()) + ")");
    nb::object registry = nb::borrow(config_cls()).attr("datasource");
    if (PySequence_Contains(registry.ptr(), datasource_name.ptr()) == 1) {
        print_line("datasource: " + text_of(datasource_name) + " exist, continue !");
        return;
    }
    const std::string unknown = text_of(datasource_config) + " db_type is not MysqlConfig or SqliteConfig !";
    nb::object engine = engine_for(datasource_config, true, unknown);
    store_entry(datasource_name, engine, datasource_config, true, unknown);
}

void remove_datasource(nb::handle, nb::handle datasource_name) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    nb::object registry = nb::borrow(config_cls()).attr("datasource");
    if (PySequence_Contains(registry.ptr(), datasource_name.ptr()) == 1)
        registry.attr("__delitem__")(datasource_name);
}

nb::object classmethod(nb::object f) { return nb::module_::import_("builtins").attr("classmethod")(f); }
nb::object staticmethod(nb::object f) { return nb::module_::import_("builtins").attr("staticmethod")(f); }

}  // namespace

void register_config(nb::module_ &m) {
    nb::object none = nb::none();
    nb::object typing = nb::module_::import_("typing");
    nb::object opt_str = typing.attr("Optional")[nb::handle((PyObject *)&PyUnicode_Type)];
    auto fld = [&](const char *name, nb::handle type, bool required = false) {
        return required ? nb::make_tuple(name, type) : nb::make_tuple(name, type, dc_field(nb::arg("default") = none));
    };
    nb::handle str_t((PyObject *)&PyUnicode_Type);
    nb::handle int_t((PyObject *)&PyLong_Type);
    nb::list ds_fields;
    ds_fields.append(fld("db_type", str_t, true));
    ds_fields.append(fld("host", str_t));
    ds_fields.append(fld("port", int_t));
    ds_fields.append(fld("user", str_t));
    ds_fields.append(fld("password", str_t));
    ds_fields.append(fld("database", str_t));
    ds_fields.append(fld("sqlite_path", str_t));
    auto tuned = [&](const char *name, nb::handle type, nb::object dflt) {
        return nb::make_tuple(name, type, dc_field(nb::arg("default") = dflt));
    };
    ds_fields.append(tuned("pool_size", int_t, nb::int_(10)));
    ds_fields.append(tuned("max_overflow", int_t, nb::int_(30)));
    ds_fields.append(tuned("pool_recycle", int_t, nb::int_(1800)));
    ds_fields.append(tuned("pool_timeout", int_t, nb::int_(30)));
    ds_fields.append(tuned("connect_args", typing.attr("Optional")[nb::handle((PyObject *)&PyDict_Type)], none));
    ds_fields.append(tuned("log_params", nb::handle((PyObject *)&PyBool_Type), nb::bool_(false)));
    ds_fields.append(tuned("slow_query_ms", typing.attr("Optional")[nb::handle((PyObject *)&PyFloat_Type)], none));
    ds_fields.append(tuned("replicas", typing.attr("Optional")[nb::handle((PyObject *)&PyList_Type)], none));
    ds_fields.append(tuned("read_your_writes_s", nb::handle((PyObject *)&PyFloat_Type), nb::float_(3.0)));
    ds_fields.append(tuned("replica_cooldown_s", nb::handle((PyObject *)&PyFloat_Type), nb::float_(10.0)));
    nb::object ds_cls = make_dataclass("DataSource", ds_fields);
    ds_cls.attr("__module__") = "zorvane.zorvane";
    ds_cls.attr("__doc__") =
        "One datasource: a MySQL or PostgreSQL server (host, port, user, password, database) or a SQLite file; "
        "pool settings and connect_args (handed to the driver) are optional; log_params puts the bound values "
        "in the SQL log, slow_query_ms logs slower statements as warnings; replicas (mappings of the same keys, "
        "missing ones taken from the primary) serve reads outside transactions, except for read_your_writes_s "
        "seconds after a write of the same context; a failing replica is left out for replica_cooldown_s.";
    glue::runtime().keep(g_datasource_repr, ds_cls.attr("__repr__"));
    ds_cls.attr("__repr__") = nb::cpp_function(&datasource_repr, nb::is_method(), nb::name("__repr__"),
                                               "The generated text form with the password shown as ***.");
    glue::runtime().keep(g_datasource_cls, nb::object(ds_cls));
    m.attr("DataSource") = ds_cls;

    nb::list cfg_fields;
    cfg_fields.append(nb::make_tuple("ds", nb::handle((PyObject *)&PyDict_Type)));
    cfg_fields.append(nb::make_tuple("raw_sql", nb::handle((PyObject *)&PyBool_Type), dc_field(nb::arg("default") = false)));
    cfg_fields.append(nb::make_tuple("mapper_xml_path", opt_str, dc_field(nb::arg("default") = none)));
    cfg_fields.append(nb::make_tuple("primary", opt_str, dc_field(nb::arg("default") = none)));
    nb::object cfg_cls = make_dataclass("DBConfig", cfg_fields, nb::arg("init") = false);
    cfg_cls.attr("__init__") = nb::cpp_function(&dbconfig_init, nb::is_method(), nb::name("__init__"),
                                                "primary"_a.none() = none, "mapper_xml_path"_a.none() = none,
                                                "raw_sql"_a.none() = false, nb::arg("datasources"),
                                                "Declares the datasources, one per extra keyword argument.");
    cfg_cls.attr("__module__") = "zorvane.zorvane";
    cfg_cls.attr("__doc__") = "The datasources of an application (ds), the mapper directory and the primary name.";
    glue::runtime().keep(g_dbconfig_cls, nb::object(cfg_cls));
    m.attr("DBConfig") = cfg_cls;

    g_bind_dict_as_jsonb = make_callable(&bind_dict_as_jsonb, {}).release().ptr();
    nb::object checkin = make_callable(&note_checkin, {});
    g_pool_listeners = nb::list().release().ptr();
    for (auto [event, fn] : {std::pair<const char *, nb::object>{"connect", checkin}, {"checkin", checkin},
                             {"checkout", make_callable(&check_alive, {})}, {"reset", make_callable(&reset_unless_clean, {})}})
        PyList_Append(g_pool_listeners, nb::make_tuple(event, fn).ptr());

    nb::dict ns;
    ns["__module__"] = "zorvane.zorvane";
    ns["__doc__"] = "Process-wide configuration: the datasource registry and the parsed mapper files.";
    ns["_instance"] = none;
    ns["_initialized"] = false;
    // The registry and the parsed files hold sessions, whose references the collector does not
    // see: they are emptied at teardown, or their cycles would outlive the interpreter.
    ns["datasource"] = nb::handle(glue::runtime().keep(g_registry, PyDict_New(), glue::Runtime::At::Empty));
    ns["raw_sql"] = false;
    ns["zorvane_mapper_dict"] = nb::handle(glue::runtime().keep(g_mappers, PyDict_New(), glue::Runtime::At::Empty));
    ns["__new__"] = staticmethod(nb::cpp_function(&config_new, nb::name("__new__"), "cls"_a, "args"_a, "kwargs"_a));
    ns["__init__"] = nb::cpp_function(&config_init, nb::is_method(), nb::name("__init__"), "db_config"_a.none(),
                                      "Initialises the system from `db_config` on the first construction only.");
    ns["scan_mapper_xml"] = classmethod(nb::cpp_function(&scan_mapper_xml, nb::name("scan_mapper_xml"), "cls"_a,
                                                         "mapper_xml_path"_a.none(),
                                                         "Parses every *xml file below the directory by namespace."));
    ns["_ZorvaneConfig__list_mapper"] = classmethod(nb::cpp_function(
        &list_mapper, nb::name("__list_mapper"), "cls"_a, "mapper_xml_dir"_a.none(), "ext"_a.none()));
    ns["add_datasource_config"] = classmethod(nb::cpp_function(
        &add_datasource_config, nb::name("add_datasource_config"), "cls"_a, "datasource_name"_a.none(),
        "datasource_config"_a.none(), "Registers one more datasource at run time."));
    ns["remove_datasource"] = classmethod(nb::cpp_function(&remove_datasource, nb::name("remove_datasource"), "cls"_a,
                                                           "datasource_name"_a.none(),
                                                           "Drops a datasource from the registry."));
    nb::object cls = nb::handle((PyObject *)&PyType_Type)("ZorvaneConfig", nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)), ns);
    glue::runtime().keep(g_config_cls, nb::object(cls));
    m.attr("ZorvaneConfig") = cls;
}

}  // namespace zorvane::top
