// src/bindings/db/ostrane.cpp: zorvane.db.ostrane, one statement per call on a toolkit session; paging.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/stream.hpp"
#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "glue/common.hpp"
#include "glue/observe.hpp"
#include "glue/page.hpp"
#include "glue/pool.hpp"
#include "paging/count_query.hpp"
#include "text/sql_text.hpp"

namespace {
using namespace zorvane;

glue::Lazy sessionmaker{"sqlalchemy.orm", "sessionmaker"};
glue::Lazy sa_text{"sqlalchemy", "text"};
glue::Lazy null_type{"sqlalchemy.types", "NullType"};

PyObject *name_execute, *name_all, *name_keys, *name_raw_all_tuples;
PyObject *name_text, *name_scalar, *name_page_num, *name_page_size, *name_offset, *limit_suffix, *kw_execution_options;

nb::object call0(nb::handle obj, PyObject *name) { return glue::call_method(obj, name); }

struct SqlTemplate;
std::unordered_set<SqlTemplate *> live_templates;  // guarded by the GIL

// zorvane_rollback (zorvane.testing) holds its pins here while a test runs with it: the
// template's own sessions and connections are then joined to them (see zorvane.db.kelvor).
PyObject *g_rollback = nullptr;
glue::Lazy pinned_session{"zorvane.db.kelvor", "_pinned_session"};

bool rolling_back() { return g_rollback && glue::list_size(g_rollback) > 0; }

struct SqlTemplate {
    nb::object data_source;
    nb::object factory;     // one session factory per template, made on first use
    const glue::Backend *backend = nullptr;  // nullptr for an engine of another kind
    Py_ssize_t packet_limit = 0;             // MySQL: the longest bulk statement, read at first use
    bool key_by_returning = false;     // see glue::Backend
    bool count_without_order = false;
    nb::dict page_clauses;  // statement text -> (count clause, page clause), see page_clauses_for
    nb::dict keyed_inserts;   // statement text -> the clause with RETURNING of its key, or None; see keyed_insert
    nb::dict table_keys;      // table as written -> its generated key column, or None
    // What the SQL log and spans tell of the datasource: its name (None for an engine the
    // configuration did not make), server address, port and database name; log_params and
    // slow_ms (< 0: none) are its options. On a replica's engine, `shown` names the datasource
    // and the replica ("main replica host:port"), else it is the name.
    nb::object ds_name, address, port, database, shown;
    // Statements on the driver's connection (see "statements on the driver's connection"):
    // -1 until first asked; the dialect (also for driver_form) and its driver's base error then.
    int direct = -1;
    nb::object dialect, dbapi_error;
    nb::dict driver_forms;  // statement text -> (driver SQL, positional, bind names, clause last seen) or (None, clause)
    nb::dict packet_forms;  // MySQL insert in the driver's style -> its VALUES row's parts, see values_form
    bool replica = false;
    bool log_params = false;
    double slow_ms = -1;

    explicit SqlTemplate(nb::object ds) : data_source(std::move(ds)) {
        if (const glue::Backend *kind = glue::backend_of(data_source)) {
            backend = kind;
            key_by_returning = kind->key_by_returning;
            count_without_order = kind->count_without_order;
        }
        // (name, log_params, slow_query_ms[, replica]), set on the engine by the configuration
        nb::object source = nb::getattr(data_source, "_zorvane_source", nb::none());
        ds_name = nb::none();
        const Py_ssize_t fields = PyTuple_Check(source.ptr()) ? glue::tuple_size(source.ptr()) : 0;
        if (fields == 3 || fields == 4) {
            ds_name = nb::borrow(glue::tuple_item(source.ptr(), 0));
            log_params = glue::truthy(glue::tuple_item(source.ptr(), 1));
            nb::handle slow(glue::tuple_item(source.ptr(), 2));
            if (!slow.is_none())
                slow_ms = nb::cast<double>(nb::float_(slow));
            replica = fields == 4 && glue::truthy(glue::tuple_item(source.ptr(), 3));
        }
        nb::object url = nb::getattr(data_source, "url", nb::none());
        address = nb::getattr(url, "host", nb::none());
        port = nb::getattr(url, "port", nb::none());
        database = nb::getattr(url, "database", nb::none());
        shown = replica ? nb::object(nb::str("{} replica {}:{}").format(ds_name, address, port)) : ds_name;
        live_templates.insert(this);
    }
    ~SqlTemplate() { live_templates.erase(this); }
    SqlTemplate(const SqlTemplate &) = delete;
    SqlTemplate &operator=(const SqlTemplate &) = delete;

    nb::object new_session() {
        if (rolling_back())
            return pinned_session(data_source);
        if (!factory.is_valid())
            factory = sessionmaker(nb::arg("bind") = data_source, nb::arg("expire_on_commit") = false);
        return factory();
    }

    // For textual statements, which need no ORM session: a connection commits, rolls back and
    // closes as one, with less work per call.
    nb::object new_connection() { return rolling_back() ? pinned_session(data_source) : data_source.attr("connect")(); }
};

// ---- what runs: one record per statement in the SQL log (logger zorvane.sql), one CLIENT span
// and one db.client.operation.duration measure when a provider is configured. Nothing of it is
// made while no one listens: the checks are two dictionary look-ups.

PyObject *g_logger = nullptr, *g_logger_cache = nullptr;  // the logger and its level cache (logging's own)
PyObject *g_histogram = nullptr;                           // (meter provider, histogram)
PyObject *g_statement = nullptr;                           // the statement-id context variable
PyObject *g_attempt = nullptr;                             // the attempt context variable (glue::attempt_var)
// Lists that every statement is appended to as a Statement (the pytest plugin's zorvane_statements).
PyObject *g_collectors = nullptr, *g_statement_type = nullptr;

bool log_enabled(long level) {
    if (!g_logger) {
        if (glue::runtime().down())
            return false;
        nb::object logger = nb::module_::import_("logging").attr("getLogger")("zorvane.sql");
        glue::runtime().keep(g_logger_cache, nb::object(logger.attr("_cache")));
        glue::runtime().keep(g_logger, std::move(logger));
    }
    nb::object key = nb::int_(level);
    PyObject *hit = PyDict_GetItemWithError(g_logger_cache, key.ptr());
    if (hit)
        return hit == Py_True;
    if (PyErr_Occurred())
        throw nb::python_error();
    return glue::truthy(nb::handle(g_logger).attr("isEnabledFor")(key));
}

// The duration histogram of the configured meter provider, else an invalid object.
nb::object histogram() {
    PyObject *provider = glue::otel_provider(1);
    if (!provider)
        return nb::object();
    if (!g_histogram || glue::tuple_item(g_histogram, 0) != provider) {
        nb::list bounds;
        for (double b : {0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1.0, 5.0, 10.0})
            bounds.append(b);
        nb::object meter = nb::handle(provider).attr("get_meter")("zorvane");
        nb::object h = meter.attr("create_histogram")("db.client.operation.duration", "unit"_a = "s",
                                                      "description"_a = "Duration of database client operations.",
                                                      "explicit_bucket_boundaries_advisory"_a = bounds);
        glue::runtime().keep(g_histogram, nb::make_tuple(nb::handle(provider), h));
    }
    return nb::borrow(glue::tuple_item(g_histogram, 1));
}

// The statement id of the call in progress (see glue::statement_var), or None.
nb::object statement_id() {
    PyObject *v = nullptr;
    if (!g_statement)  // after teardown
        return nb::none();
    if (glue::context_var_get(g_statement, nullptr, &v) < 0)
        throw nb::python_error();
    nb::object id = v ? nb::steal(v) : nb::none();
    if (id.is_none() || PyUnicode_Check(id.ptr()))
        return id;
    if (!PyTuple_Check(id.ptr()))  // a decorated function
        return nb::getattr(id, "__qualname__", nb::none());
    if (glue::tuple_size(id.ptr()) == 2 && PyUnicode_Check(glue::tuple_item(id.ptr(), 0)))  // (namespace, id)
        return glue::check(PyUnicode_FromFormat("%U.%U", glue::tuple_item(id.ptr(), 0), glue::tuple_item(id.ptr(), 1)));
    if (glue::tuple_size(id.ptr()) == 2) {  // (mapper class or instance, operation)
        nb::handle owner(glue::tuple_item(id.ptr(), 0));
        nb::object cls = PyType_Check(owner.ptr()) ? nb::borrow(owner) : nb::borrow((PyObject *)Py_TYPE(owner.ptr()));
        nb::object model = nb::getattr(cls, "__orig_bases__", nb::tuple());
        nb::object name = nb::getattr(cls, "__name__", nb::str("?"));
        for (nb::handle base : model) {
            nb::object args = nb::getattr(base, "__args__", nb::tuple());
            if (PyTuple_Check(args.ptr()) && glue::tuple_size(args.ptr()) > 0) {
                name = nb::getattr(nb::handle(glue::tuple_item(args.ptr(), 0)), "__name__", name);
                break;
            }
        }
        return nb::str("{}.{}").format(name, nb::handle(glue::tuple_item(id.ptr(), 1)));
    }
    return id;
}

// The attempt of the retrying call in progress, or None.
nb::object attempt() {
    PyObject *v = nullptr;
    if (!g_attempt)  // after teardown
        return nb::none();
    if (glue::context_var_get(g_attempt, nullptr, &v) < 0)
        throw nb::python_error();
    return v ? nb::steal(v) : nb::none();
}

// The operation of `sql`: its first word in capitals.
nb::object first_word(nb::handle sql) {
    if (!PyUnicode_Check(sql.ptr()))
        return nb::none();
    nb::object words = sql.attr("split")(nb::none(), 1);
    return glue::list_size(words.ptr()) ? nb::object(nb::handle(glue::list_item(words.ptr(), 0)).attr("upper")())
                                        : nb::none();
}

nb::object attr_chain(nb::handle obj, std::initializer_list<const char *> names) {
    nb::object v = nb::borrow(obj);
    for (const char *n : names)
        if (!v.is_valid() || (v = nb::getattr(v, n, nb::none())).is_none())
            return nb::none();
    return v;
}

bool collecting() { return g_collectors && glue::list_size(g_collectors) > 0; }

// Whether statements of `t` are recorded at all (see Watch).
bool listening(SqlTemplate &t) {
    return t.slow_ms >= 0 || collecting() || log_enabled(10) || glue::tracer().is_valid() || histogram().is_valid();
}

// One statement as it runs: a no-op unless the log, a tracer or a meter listens, or the
// datasource has slow_query_ms. Record by run() (a failure is recorded there), done() or
// failed().
class Watch {
public:
    Watch(SqlTemplate &t, nb::handle stmt, nb::handle params, Py_ssize_t batch = 0, const char *operation = nullptr)
        : t_(t) {
        debug_ = log_enabled(10);
        tracer_ = glue::tracer();
        histogram_ = histogram();
        on_ = debug_ || t.slow_ms >= 0 || tracer_.is_valid() || histogram_.is_valid() || collecting();
        if (!on_)
            return;
        stmt_ = nb::borrow(stmt);
        params_ = nb::borrow(params);
        batch_ = batch;
        operation_ = operation;
        id_ = statement_id();
        if (tracer_.is_valid()) {
            static glue::Lazy kinds{"opentelemetry.trace", "SpanKind"};
            span_ = tracer_.attr("start_span")(id_.is_none() ? nb::str("zorvane") : nb::str(id_),
                                               "kind"_a = kinds.get().attr("CLIENT"));
        }
        start_ = std::chrono::steady_clock::now();
    }
    ~Watch() {
        if (on_ && !recorded_) {
            nb::error_scope keep;
            try {
                record(nb::handle());
            } catch (nb::python_error &e) {
                e.discard_as_unraisable("recording a statement");
            }
        }
    }
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;

    template <class F>
    nb::object run(F &&f) {
        if (!on_)
            return f();
        try {
            result_ = f();
        } catch (nb::python_error &e) {
            try {
                record(e.value());
            } catch (nb::python_error &again) {
                again.discard_as_unraisable("recording a failed statement");
            }
            throw;
        }
        return result_;
    }

    // The statement's rows: returned by a query (rows < 0: its rowcount).
    void done(Py_ssize_t rows = -1) {
        if (!on_ || recorded_)
            return;
        rows_ = rows;
        query_ = rows >= 0;
        record(nb::handle());
    }

    // The rows a statement changed when its result cannot say (an insert returning its key).
    void affected(Py_ssize_t rows) { rows_ = rows; }

    // The SQL the driver got, when no toolkit result says it.
    void sent(nb::handle sql) {
        if (on_)
            sent_ = nb::borrow(sql);
    }

    // The statement has ended: the duration stops here even when it is recorded later.
    void stop_clock() {
        end_ = std::chrono::steady_clock::now();
        stopped_ = true;
    }

    // The statement failed with `error` (run() records its own failures).
    void failed(nb::handle error) {
        if (on_ && !recorded_)
            record(error);
    }

private:
    nb::object sql_as_sent(nb::handle error) {
        nb::object sql = attr_chain(error, {"statement"});
        if (sql.is_none() && sent_.is_valid())
            sql = sent_;
        if (sql.is_none())
            sql = attr_chain(result_, {"context", "statement"});
        if (sql.is_none() && PyUnicode_Check(stmt_.ptr()))
            sql = stmt_;
        if (sql.is_none() && stmt_.is_valid() && !stmt_.is_none()) {
            try {
                sql = nb::str(stmt_.attr("compile")("dialect"_a = t_.data_source.attr("dialect")));
            } catch (nb::python_error &) {
                sql = nb::none();
            }
        }
        return PyUnicode_Check(sql.ptr()) ? sql : nb::none();
    }

    void record(nb::handle error) {
        recorded_ = true;
        const double seconds =
            std::chrono::duration<double>((stopped_ ? end_ : std::chrono::steady_clock::now()) - start_).count();
        const double ms = seconds * 1000.0;
        nb::object sql = sql_as_sent(error);
        nb::object operation = operation_ ? nb::object(nb::str(operation_)) : first_word(sql);
        nb::object summary = id_.is_none() ? (operation.is_none() ? nb::object(nb::str("statement")) : operation) : id_;
        nb::object rows = nb::none();
        if (rows_ >= 0) {
            rows = nb::int_(rows_);
        } else if (!error.is_valid() && result_.is_valid()) {
            nb::object count = nb::getattr(result_, "rowcount", nb::none());
            if (PyLong_Check(count.ptr()) && PyLong_AsLong(count.ptr()) >= 0)
                rows = count;
            PyErr_Clear();
        }
        nb::object error_type = nb::none(), status = nb::none();
        if (error.is_valid()) {
            nb::handle type((PyObject *)Py_TYPE(error.ptr()));
            error_type = nb::str("{}.{}").format(type.attr("__module__"), type.attr("__qualname__"));
            status = glue::error_status(t_.backend, error);
        }
        nb::object system = glue::system_name(t_.backend, t_.data_source);
        attempt_ = attempt();
        const bool slow = t_.slow_ms >= 0 && ms >= t_.slow_ms;
        if ((debug_ || slow) && g_logger)
            log(slow, sql, operation, summary, rows, ms, error);
        if (span_.is_valid())
            end_span(sql, operation, summary, rows, system, error, error_type, status);
        if (collecting()) {
            nb::object seen = nb::handle(g_statement_type)(summary, sql, params_.is_valid() ? params_ : nb::none(), rows,
                                                          t_.ds_name, operation, ms,
                                                          error.is_valid() ? nb::borrow(error) : nb::none());
            for (nb::handle list : nb::list(nb::handle(g_collectors)))
                if (PyList_Append(list.ptr(), seen.ptr()) < 0)
                    throw nb::python_error();
        }
        if (histogram_.is_valid()) {
            nb::dict attrs;
            attrs["db.system.name"] = system;
            if (!operation.is_none())
                attrs["db.operation.name"] = operation;
            attrs["db.query.summary"] = summary;
            if (!error_type.is_none())
                attrs["error.type"] = error_type;
            histogram_.attr("record")(seconds, attrs);
        }
    }

    void log(bool slow, nb::handle sql, nb::handle operation, nb::handle summary, nb::handle rows, double ms,
             nb::handle error) {
        nb::dict extra;
        extra["statement_id"] = summary;
        extra["datasource"] = t_.ds_name;
        extra["server"] = t_.address.is_none() ? nb::object(nb::none()) : nb::object(nb::str("{}:{}").format(t_.address, t_.port));
        extra["replica"] = nb::bool_(t_.replica);
        extra["operation"] = operation;
        extra["sql"] = sql;
        extra["rows"] = rows;
        extra["duration_ms"] = ms;
        extra["error"] = error.is_valid() ? nb::object(nb::repr(error)) : nb::none();
        extra["attempt"] = attempt_;
        std::string format = "%s [%s] %s: %s rows, %.3f ms: %s";
        nb::list args;
        for (nb::handle a : {summary, nb::handle(t_.shown), operation, rows})
            args.append(a);
        args.append(ms);
        args.append(sql);
        if (t_.log_params) {
            extra["params"] = params_;
            format += " params=%r";
            args.append(params_);
        }
        if (error.is_valid()) {
            format += " failed: %s";
            args.append(extra["error"]);
        }
        if (!attempt_.is_none() && !attempt_.equal(nb::int_(1))) {
            format += " (attempt %s)";
            args.append(attempt_);
        }
        nb::object method = nb::handle(g_logger).attr("log");
        nb::dict kwargs;
        kwargs["extra"] = extra;
        auto emit = [&](long level, const std::string &text, nb::handle more) {
            nb::list call;
            call.append(nb::int_(level));
            call.append(nb::str(text.c_str()));
            call.extend(args);
            if (more.is_valid())
                call.append(more);
            glue::check(PyObject_Call(method.ptr(), nb::tuple(call).ptr(), kwargs.ptr()));
        };
        if (debug_)
            emit(10, format, nb::handle());
        if (slow)
            emit(30, format + " (slower than %s ms)", nb::float_(t_.slow_ms));
    }

    void end_span(nb::handle sql, nb::handle operation, nb::handle summary, nb::handle rows, nb::handle system,
                  nb::handle error, nb::handle error_type, nb::handle status) {
        nb::dict attrs;
        attrs["db.system.name"] = system;
        attrs["db.query.summary"] = summary;
        if (!t_.database.is_none())
            attrs["db.namespace"] = nb::str(t_.database);
        if (!operation.is_none())
            attrs["db.operation.name"] = operation;
        if (!sql.is_none())
            attrs["db.query.text"] = sql;
        if (!t_.address.is_none())
            attrs["server.address"] = t_.address;
        if (!t_.port.is_none())
            attrs["server.port"] = t_.port;
        if (query_ && !rows.is_none())
            attrs["db.response.returned_rows"] = rows;
        if (batch_ >= 2)
            attrs["db.operation.batch.size"] = nb::int_(batch_);
        if (!t_.ds_name.is_none())
            attrs["db.zorvane.datasource"] = t_.ds_name;
        if (!attempt_.is_none())
            attrs["db.zorvane.transaction.attempt"] = attempt_;
        if (t_.replica)
            attrs["db.zorvane.replica"] = true;
        if (error.is_valid()) {
            static glue::Lazy status_t{"opentelemetry.trace", "Status"}, code{"opentelemetry.trace", "StatusCode"};
            attrs["error.type"] = error_type;
            if (!status.is_none())
                attrs["db.response.status_code"] = status;
            // The toolkit's text of an error ends with the bound values: the driver's own text has none.
            nb::object orig = nb::getattr(error, "orig", nb::none());
            nb::object message = nb::str(orig.is_none() ? error : nb::handle(orig));
            static glue::Lazy format_tb{"traceback", "format_tb"};
            nb::object trace = nb::str("").attr("join")(format_tb(nb::getattr(error, "__traceback__", nb::none())));
            nb::dict shown;
            shown["exception.message"] = message;
            shown["exception.stacktrace"] = nb::str("{}{}: {}").format(trace, error_type, message);
            span_.attr("record_exception")(error, "attributes"_a = shown);
            span_.attr("set_status")(status_t(code.get().attr("ERROR"), message));
        }
        span_.attr("update_name")(summary);
        span_.attr("set_attributes")(attrs);
        span_.attr("end")();
    }

    SqlTemplate &t_;
    bool on_ = false, debug_ = false, recorded_ = false, query_ = false;
    nb::object tracer_, histogram_, span_, stmt_, params_, id_, result_, attempt_, sent_;
    Py_ssize_t batch_ = 0, rows_ = -1;
    const char *operation_ = nullptr;
    std::chrono::steady_clock::time_point start_, end_;
    bool stopped_ = false;
};

// The library's session rule: work in the caller's session when one is given (never
// committed or closed here), else in a fresh one that is committed on success; on any
// exception (interrupts included) the session in use is rolled back; an owned session is
// always closed. With `Textual`, the fresh one is a connection of the engine: one handed out
// without a liveness check (glue/pool.hpp) that turns out dead runs the unit once more on a
// fresh connection (nothing of it was committed, nothing reached the caller), and one whose
// transaction ended goes back to its pool without a reset.
template <bool Textual = false, class Body>
nb::object in_session(SqlTemplate &t, nb::handle con, Body &&body) {
    const bool own = !glue::truthy(con);
    for (bool again = Textual && own;;) {
        nb::object s = own ? (Textual ? t.new_connection() : t.new_session()) : nb::borrow(con);
        nb::object info = Textual && own ? glue::connection_info(s) : nb::object();
        PyObject *checked = info.is_valid() ? PyDict_GetItem(info.ptr(), glue::unpinged_key()) : nullptr;
        if (!checked)  // a pool without the library's checkout listener (SQLite): nothing reads the marks
            info = nb::object();
        const bool unpinged = checked == Py_True;
        nb::object result;
        try {
            result = body(s);
        } catch (nb::python_error &e) {
            const bool rerun = again && unpinged && glue::lost_connection(e.value());
            glue::end_unit(s, own, true, e.value(), info.ptr());
            if (!rerun)
                throw;
            again = false;
            continue;
        } catch (...) {
            glue::end_unit(s, own, true, nb::handle(), info.ptr());
            throw;
        }
        glue::end_unit(s, own, false, nb::handle(), info.ptr());
        return result;
    }
}

nb::object execute(nb::handle s, nb::handle stmt, nb::handle params) {
    PyObject *args[] = {nullptr, s.ptr(), stmt.ptr(), params.ptr()};  // slot 0 is scratch for the callee
    PyObject *r = PyObject_VectorcallMethod(name_execute, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// A textual statement with bound values the template's driver takes (glue::adapt_values).
nb::object execute(SqlTemplate &t, nb::handle s, nb::handle stmt, nb::handle params) {
    return execute(s, stmt, glue::adapt_values(t.backend, params));
}

nb::object execute(nb::handle s, nb::handle stmt) {
    PyObject *args[] = {nullptr, s.ptr(), stmt.ptr()};
    PyObject *r = PyObject_VectorcallMethod(name_execute, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object as_dict(nb::handle row) { return row.attr("_asdict")(); }

// All rows of `result` as dictionaries (glue::rows_as_dicts).
nb::list all_as_dicts(nb::handle result) {
    nb::object rows = call0(result, name_all);
    if (!PyList_CheckExact(rows.ptr()))
        rows = nb::list(rows);
    if (glue::list_size(rows.ptr()) == 0)
        return nb::list();
    return glue::rows_as_dicts(rows, nb::list(call0(result, name_keys)));
}

bool unique_labels(nb::handle keys) {
    const Py_ssize_t k = glue::tuple_size(keys.ptr());
    for (Py_ssize_t a = 0; a < k; ++a)
        for (Py_ssize_t b = a + 1; b < k; ++b)
            if (!PyUnicode_Check(glue::tuple_item(keys.ptr(), a)) ||
                PyUnicode_Compare(glue::tuple_item(keys.ptr(), a), glue::tuple_item(keys.ptr(), b)) == 0)
                return false;
    return true;
}

// All rows of `result` as it reads them, with its column labels: (keys tuple, rows list);
// the first row only when `first`. The labels come even without rows.
nb::object all_as_rows(nb::handle result, bool first) {
    nb::object keys = nb::steal(PySequence_Tuple(call0(result, name_keys).ptr()));
    if (!keys.is_valid())
        throw nb::python_error();
    nb::object rows;
    if (first) {
        nb::object row = result.attr("first")();
        rows = row.is_none() ? nb::list() : nb::list(nb::make_tuple(row));
    } else {
        // The toolkit's processed value tuples where it offers them (what all() would wrap
        // in row objects, which nobody sees here); its rows otherwise, and for repeated labels,
        // whose dictionaries come from the rows themselves (glue::rows_as_dicts).
        nb::object tuples;
        if (unique_labels(keys)) {
            tuples = nb::steal(PyObject_GetAttr(result.ptr(), name_raw_all_tuples));
            if (!tuples.is_valid())
                PyErr_Clear();
        }
        rows = tuples.is_valid() ? glue::check(PyObject_CallNoArgs(tuples.ptr())) : call0(result, name_all);
        if (!PyList_CheckExact(rows.ptr()))
            rows = nb::list(rows);
    }
    return nb::make_tuple(keys, rows);
}

// ---- streaming and bulk writes

long positive_size(nb::handle v, const char *arg) {
    long n = PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()) ? PyLong_AsLong(v.ptr()) : 0;
    if (n == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "%s must be a positive int, got %R", arg, v.ptr());
        throw nb::python_error();
    }
    return n;
}

// Runs `sql` with yield_per = fetch_size (a server-side cursor where the driver has one) and
// hands the open result to a RowStream, which holds the session until it is closed.
nb::object open_select_stream(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args, long fetch_size,
                              nb::handle convert) {
    const bool own = !glue::truthy(con);
    nb::object s = own ? t.new_connection() : nb::borrow(con);
    nb::object result;
    try {
        nb::dict options;
        options["yield_per"] = nb::int_(fetch_size);
        nb::object values = glue::adapt_values(t.backend, args);
        PyObject *stack[] = {nullptr, s.ptr(), sql.ptr(), values.ptr(), options.ptr()};
        Watch w(t, sql, args);
        result = w.run([&] {
            return glue::check(PyObject_VectorcallMethod(name_execute, stack + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                         kw_execution_options));
        });
    } catch (nb::python_error &e) {
        glue::end_unit(s, own, true, e.value());
        throw;
    }
    return glue::open_stream(std::move(s), own, std::move(result), fetch_size, nb::borrow(convert));
}

// Context manager behind SqlTemplate.get_session.
struct SessionScope {
    nb::object owner;  // keeps the template alive
    SqlTemplate *tpl;
    nb::object con;
    nb::object session{};
    bool own = false;

    nb::object enter() {
        own = !glue::truthy(con);
        session = own ? tpl->new_session() : con;
        return session;
    }

    bool exit(nb::handle exc_type, nb::handle exc, nb::handle) {
        if (!session.is_valid())
            return false;
        nb::object s = std::move(session);
        glue::end_unit(s, own, !exc_type.is_none(), exc);
        return false;
    }
};

nb::object self_of(SqlTemplate &t) { return nb::find(&t); }

// In a child process after os.fork(): every template's engine gets a new, empty pool. The
// inherited pool is dropped without closing its connections, which stay the parent's.
void reset_pools_after_fork() {
    std::vector<nb::object> engines;
    for (SqlTemplate *t : live_templates) {
        nb::handle e = t->data_source;
        bool seen = false;
        for (const nb::object &o : engines)
            seen = seen || o.is(e);
        if (e.is_valid() && !e.is_none() && !seen)
            engines.push_back(nb::borrow(e));
    }
    for (const nb::object &e : engines) {
        try {
            e.attr("dispose")("close"_a = false);
        } catch (nb::python_error &err) {
            err.discard_as_unraisable("resetting a connection pool after fork");
        }
    }
}

// ---- paging

bool host_word_char(char32_t c) noexcept { return glue::is_alnum(static_cast<Py_UCS4>(c)); }

// The SQL text of a textual statement.
nb::object statement_text(nb::handle sql) {
    PyObject *t = PyObject_GetAttr(sql.ptr(), name_text);
    if (!t) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "expected a textual statement (sqlalchemy.text(...)), got %.200s",
                     glue::type_name(sql.ptr()).c_str());
        throw nb::python_error();
    }
    nb::object text = nb::steal(t);
    if (!PyUnicode_Check(t))
        glue::raise(PyExc_TypeError, "the statement's text is not a str");
    return text;
}

nb::object count_stmt(nb::handle text, bool no_order_by = false) {
    std::string out = core::count_query(glue::utf8(text), &host_word_char, no_order_by);
    return sa_text(glue::make_str(out));
}

// The text pages of `text` are cut from and counted over: `text` itself, or a statement with
// its own LIMIT (OFFSET, FETCH) as a sub-select, where a second LIMIT would not parse.
nb::object page_base(nb::handle text) {
    std::string source = core::page_source(glue::utf8(text), &host_word_char);
    return source.empty() ? nb::borrow(text) : nb::object(glue::make_str(source));
}

nb::object with_limit(nb::handle base) { return glue::check(PyUnicode_Concat(base.ptr(), limit_suffix)); }

nb::object limit_stmt(nb::handle text, nb::handle page) {
    glue::PageWindow w = glue::page_window(page);
    return sa_text(with_limit(page_base(text))).attr("bindparams")(nb::arg("page_size") = w.size,
                                                                    nb::arg("page_offset") = w.offset);
}

// The count and page clauses of a select text, made once per text and template: a clause
// reused as the same object is found in the toolkit's compiled cache without re-parsing.
// The page clause leaves :page_size and :page_offset to the parameters of each call.
std::pair<nb::object, nb::object> page_clauses_for(SqlTemplate &t, nb::handle text) {
    PyObject *hit = PyDict_GetItemWithError(t.page_clauses.ptr(), text.ptr());
    if (hit)
        return {nb::borrow(glue::tuple_item(hit, 0)), nb::borrow(glue::tuple_item(hit, 1))};
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object base = page_base(text);
    nb::object count = count_stmt(base, t.count_without_order), page = sa_text(with_limit(base));
    if (glue::dict_size(t.page_clauses.ptr()) >= 1024)  // texts built at run time must not grow it forever
        PyDict_Clear(t.page_clauses.ptr());
    t.page_clauses[text] = nb::make_tuple(count, page);
    return {count, page};
}

// Whether the values of textual statement `sql` reach the driver as they are: no value
// bound to the clause itself, no typed or expanding parameter. Asked once per clause.
bool plain_binds(nb::handle sql) {
    for (nb::handle p : sql.attr("get_children")())
        if (!p.attr("value").is_none() || !p.attr("callable").is_none() || glue::truthy(p.attr("expanding")) ||
            PyObject_IsInstance(p.attr("type").ptr(), null_type.get().ptr()) != 1)
            return false;
    return true;
}

glue::Lazy text_clause{"sqlalchemy.sql.elements", "TextClause"};

// Textual clause `sql` as the driver takes it: (driver SQL, positional, bind names in
// parameter order, the clause last seen), compiled once per text and template; invalid unless
// it is a plain TextClause whose binds reach the driver as they are. A clause object not seen
// last for its text is checked again. Single statements run with it on the driver's connection;
// bulk inserts hand their rows to the driver's own executemany (PyMySQL's multi-row rewrite,
// sqlite3's loop in C, psycopg's pipeline) instead of the toolkit's row-by-row path.
nb::object driver_form(SqlTemplate &t, nb::handle sql) {
    if (!t.dialect.is_valid())
        t.dialect = t.data_source.attr("dialect");
    if (Py_TYPE(sql.ptr()) != (PyTypeObject *)text_clause.get().ptr())
        return nb::object();
    nb::object text = nb::steal(PyObject_GetAttr(sql.ptr(), name_text));
    if (!text.is_valid() || !PyUnicode_Check(text.ptr())) {
        PyErr_Clear();
        return nb::object();
    }
    PyObject *hit = PyDict_GetItemWithError(t.driver_forms.ptr(), text.ptr());
    if (!hit && PyErr_Occurred())
        throw nb::python_error();
    const Py_ssize_t last = hit ? glue::tuple_size(hit) - 1 : 0;
    if (hit && glue::tuple_item(hit, last) == sql.ptr())
        return glue::tuple_item(hit, 0) == Py_None ? nb::object() : nb::borrow(hit);
    nb::object form;
    if (!plain_binds(sql)) {
        form = nb::make_tuple(nb::none(), sql);
    } else if (hit && glue::tuple_item(hit, 0) != Py_None) {
        form = nb::make_tuple(nb::handle(glue::tuple_item(hit, 0)), nb::handle(glue::tuple_item(hit, 1)),
                              nb::handle(glue::tuple_item(hit, 2)), sql);
    } else {
        nb::object compiled = sql.attr("compile")("dialect"_a = t.dialect);
        const bool positional = glue::truthy(compiled.attr("positional"));
        nb::object order = positional ? compiled.attr("positiontup") : compiled.attr("binds").attr("keys")();
        nb::object names = nb::steal(PySequence_Tuple(order.ptr()));
        if (!names.is_valid())
            throw nb::python_error();
        form = glue::truthy(nb::getattr(compiled, "escaped_bind_names", nb::none()))  // renamed binds: the toolkit's
                   ? nb::make_tuple(nb::none(), sql)
                   : nb::make_tuple(compiled.attr("string"), nb::bool_(positional), names, sql);
    }
    if (!hit && glue::dict_size(t.driver_forms.ptr()) >= 1024)  // texts built at run time must not grow it forever
        PyDict_Clear(t.driver_forms.ptr());
    t.driver_forms[text] = form;
    return glue::tuple_item(form.ptr(), 0) == Py_None ? nb::object() : form;
}

// The rows as the driver's parameters for `plan`: tuples in bind order (their values adapted
// for `adapt_for` when given), or the dictionaries themselves; an invalid object when a row is
// not a dict holding every bind name (the toolkit's path then reports it).
nb::object driver_params(nb::handle plan, nb::handle rows, const glue::Backend *adapt_for = nullptr) {
    const bool positional = glue::tuple_item(plan.ptr(), 1) == Py_True;
    PyObject *names = glue::tuple_item(plan.ptr(), 2);
    const Py_ssize_t n = glue::list_size(rows.ptr()), k = glue::tuple_size(names);
    nb::object out = positional ? nb::steal(PyList_New(n)) : nb::borrow(rows);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = glue::list_item(rows.ptr(), i);
        if (!PyDict_Check(row))
            return nb::object();
        nb::object values = positional ? nb::steal(PyTuple_New(k)) : nb::object();
        for (Py_ssize_t c = 0; c < k; ++c) {
            PyObject *v = PyDict_GetItemWithError(row, glue::tuple_item(names, c));
            if (!v) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                return nb::object();
            }
            if (positional) {
                nb::object a = adapt_for ? glue::adapt_value(adapt_for, v) : nb::object();
                glue::tuple_set(values.ptr(), c, a.is_valid() ? a.release().ptr() : Py_NewRef(v));
            }
        }
        if (positional)
            glue::list_set(out.ptr(), i, values.release().ptr());
    }
    return out;
}

// ---- statements on the driver's connection
//
// A textual statement of a unit the library owns runs on the pooled driver connection itself
// when nothing needs the toolkit's Connection around it: an engine of a known driver (sqlite3,
// PyMySQL, psycopg; aiomysql and psycopg's async connection, through the toolkit's adapted
// connection) with no execution options, no connection or error listener and no SQL echo, and
// binds that reach the driver as they are. What the Connection would add per call (its execution context,
// result object and transaction record) is work no such statement needs. The pool keeps its
// checkout and checkin (with their events: liveness check, reset), failures are the toolkit's
// errors, as it builds them, and the log, spans and re-run on a dead connection are the
// library's, as on the toolkit's path. Anything else takes that path.

bool known_driver(nb::handle dialect) {
    nb::object driver = nb::getattr(dialect, "driver", nb::none());
    for (const char *name : {"pysqlite", "pymysql", "psycopg", "aiomysql", "aiosqlite"})
        if (PyUnicode_Check(driver.ptr()) && PyUnicode_CompareWithASCIIString(driver.ptr(), name) == 0)
            return true;
    return false;
}

// `errors` (the dialect's handle_error listeners) is the library's interrupt of a cancelled
// SQLite statement alone (the engine's `_zorvane_interrupt`).
bool only_interrupt(SqlTemplate &t, nb::handle errors) {
    static PyObject *ours = glue::intern("_zorvane_interrupt");
    nb::object interrupt = nb::steal(PyObject_GetAttr(t.data_source.ptr(), ours));
    if (!interrupt.is_valid()) {
        PyErr_Clear();
        return false;
    }
    nb::object listeners = glue::check(PySequence_List(errors.ptr()));
    return glue::list_size(listeners.ptr()) == 1 && glue::list_item(listeners.ptr(), 0) == interrupt.ptr();
}

// Whether a statement of an owned unit may run on the driver's connection now. The engine's
// kind is settled once; listeners, echo and the rollback fixture can come and go at any time.
bool direct_allowed(SqlTemplate &t) {
    static PyObject *has_events = glue::intern("_has_events"), *dispatch = glue::intern("dispatch"),
                    *handle_error = glue::intern("handle_error"), *enabled = glue::intern("isEnabledFor");
    if (t.direct < 0) {
        t.direct = 0;
        nb::object dialect = nb::getattr(t.data_source, "dialect", nb::none());
        if (!t.backend || !known_driver(dialect) ||
            !nb::hasattr(t.data_source, "raw_connection") ||
            glue::truthy(t.data_source.attr("get_execution_options")()))
            return false;
        t.dialect = dialect;
        t.dbapi_error = dialect.attr("loaded_dbapi").attr("Error");
        t.direct = 1;
    }
    if (!t.direct || rolling_back())
        return false;
    // The toolkit's own flag for a connection listener on the engine; error listeners sit on
    // the dialect.
    nb::object flag = nb::steal(PyObject_GetAttr(t.data_source.ptr(), has_events));
    if (!flag.is_valid() || flag.ptr() != Py_False) {
        PyErr_Clear();
        return false;
    }
    // Dialect listeners: any that runs statements or sees their errors, except the library's own
    // interrupt of a cancelled SQLite statement, which the driver path does itself (DriverConnection).
    nb::object events = nb::steal(PyObject_GetAttr(t.dialect.ptr(), dispatch));
    if (!events.is_valid()) {
        PyErr_Clear();
        return false;
    }
    static PyObject *runners[] = {glue::intern("do_execute"), glue::intern("do_execute_no_params"),
                                  glue::intern("do_setinputsizes")};
    for (PyObject *name : runners) {
        nb::object listeners = nb::steal(PyObject_GetAttr(events.ptr(), name));
        if (!listeners.is_valid() || glue::truthy(listeners)) {
            PyErr_Clear();
            return false;
        }
    }
    nb::object errors = nb::steal(PyObject_GetAttr(events.ptr(), handle_error));
    if (!errors.is_valid()) {
        PyErr_Clear();
        return false;
    }
    if (glue::truthy(errors) && !only_interrupt(t, errors))
        return false;
    static PyObject *logger = glue::intern("logger");
    nb::object engine_logger = nb::steal(PyObject_GetAttr(t.data_source.ptr(), logger));  // replaced when echo is set
    if (!engine_logger.is_valid())
        throw nb::python_error();
    static PyObject *info = PyLong_FromLong(20);  // logging.INFO: the toolkit's echo
    PyObject *args[] = {engine_logger.ptr(), info};
    nb::object echo = nb::steal(PyObject_VectorcallMethod(enabled, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!echo.is_valid())
        throw nb::python_error();
    return echo.ptr() == Py_False;
}

// One statement as the driver takes it: its SQL and values (a tuple or a dictionary).
struct DriverCall {
    nb::object sql, values;
    explicit operator bool() const { return sql.is_valid(); }
};

// `sql` with `params` (a dict or None) for the driver, each value adapted as the toolkit's path
// adapts it; empty when the statement needs that path, or a value is missing (that path then
// says which).
DriverCall driver_call(SqlTemplate &t, nb::handle sql, nb::handle params) {
    if (!params.is_none() && !PyDict_Check(params.ptr()))
        return {};
    nb::object form = driver_form(t, sql);
    if (!form.is_valid())
        return {};
    const bool positional = glue::tuple_item(form.ptr(), 1) == Py_True;
    PyObject *names = glue::tuple_item(form.ptr(), 2);
    const Py_ssize_t k = glue::tuple_size(names);
    nb::object values = nb::steal(positional ? PyTuple_New(k) : glue::dict_presized(k));
    if (!values.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject *name = glue::tuple_item(names, i);
        PyObject *v = params.is_none() ? nullptr : PyDict_GetItemWithError(params.ptr(), name);
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return {};
        }
        nb::object a = glue::adapt_value(t.backend, v);
        nb::object value = a.is_valid() ? a : nb::borrow(v);
        if (positional)
            glue::tuple_set(values.ptr(), i, value.release().ptr());
        else if (PyDict_SetItem(values.ptr(), name, value.ptr()) < 0)
            throw nb::python_error();
    }
    return {nb::borrow(glue::tuple_item(form.ptr(), 0)), values};
}

glue::Lazy exit_exception{"sqlalchemy.util", "is_exit_exception"};

// Driver error `orig` raised as the toolkit raises it: the DBAPIError subclass its
// DBAPIError.instance makes for `statement` and `params`, caused by `orig`, with its traceback.
[[noreturn]] void raise_toolkit_error(nb::handle dialect, nb::handle base, nb::handle statement, nb::handle params,
                                      nb::handle orig, bool lost, bool hide_parameters = false) {
    static glue::Lazy dbapi_error{"sqlalchemy.exc", "DBAPIError"};
    nb::object wrapped = dbapi_error.get().attr("instance")(statement, params, orig, base,
                                                            "hide_parameters"_a = hide_parameters,
                                                            "connection_invalidated"_a = lost, "dialect"_a = dialect);
    PyException_SetCause(wrapped.ptr(), Py_NewRef(orig.ptr()));
    nb::object trace = nb::steal(PyException_GetTraceback(orig.ptr()));
    if (trace.is_valid())
        PyException_SetTraceback(wrapped.ptr(), trace.ptr());
    PyErr_SetObject((PyObject *)Py_TYPE(wrapped.ptr()), wrapped.ptr());
    throw nb::python_error();
}

glue::Lazy await_only{"sqlalchemy.util", "await_only"};

// The labels of the rows a cursor's statement returns (a tuple), from its `description`; None
// when it returns none.
nb::object labels_of(nb::handle description) {
    if (description.is_none())
        return nb::none();
    nb::list keys;
    for (nb::handle column : description)
        keys.append(column[0]);
    return nb::tuple(keys);
}

// One statement on an aiosqlite connection's own thread (run there by the connection's queue):
// (labels or None, rows or None, rowcount, lastrowid, in a transaction after it), the cursor
// closed. `conn` is the driver's sqlite3 connection.
nb::object sqlite_statement(nb::handle conn, nb::handle sql, nb::handle values) {
    static PyObject *cursor_name = glue::intern("cursor"), *execute = glue::intern("execute"),
                    *description = glue::intern("description"), *fetchall = glue::intern("fetchall"),
                    *rowcount = glue::intern("rowcount"), *lastrowid = glue::intern("lastrowid"),
                    *in_transaction = glue::intern("in_transaction"), *close = glue::intern("close");
    nb::object cursor = glue::check(glue::call_method0(conn.ptr(), cursor_name));
    nb::object out;
    try {
        PyObject *args[] = {cursor.ptr(), sql.ptr(), values.ptr()};
        glue::check(PyObject_VectorcallMethod(execute, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        nb::object labels = labels_of(glue::check(PyObject_GetAttr(cursor.ptr(), description)));
        nb::object rows = labels.is_none() ? nb::none() : glue::check(glue::call_method0(cursor.ptr(), fetchall));
        out = nb::make_tuple(labels, rows, glue::check(PyObject_GetAttr(cursor.ptr(), rowcount)),
                             glue::check(PyObject_GetAttr(cursor.ptr(), lastrowid)),
                             glue::check(PyObject_GetAttr(conn.ptr(), in_transaction)));
    } catch (nb::python_error &e) {
        glue::unwind_step(e.value(), [&] { glue::check(glue::call_method0(cursor.ptr(), close)); });
        throw;
    }
    glue::check(glue::call_method0(cursor.ptr(), close));
    return out;
}

PyObject *g_sqlite_statement = nullptr;  // sqlite_statement as a Python callable

// A pooled driver connection for one owned unit, with the toolkit's error for a failed driver
// call: the exception the toolkit's Connection raises for it, the connection (and the pool, for
// a lost connection) invalidated as it does.
class DriverConnection {
public:
    DriverConnection(SqlTemplate &t, nb::object fairy) : t_(t), fairy_(std::move(fairy)) {
        static PyObject *dbapi_connection = glue::intern("dbapi_connection");
        driver_ = glue::check(PyObject_GetAttr(fairy_.ptr(), dbapi_connection));
        if (t_.backend && t_.backend->interrupt_on_cancel) {
            aiosqlite_ = aiosqlite_of(driver_);
            one_hop_ = aiosqlite_.is_valid() && one_hop(aiosqlite_);
        }
    }

    // Runs `f` (a driver call for `call`, or for no statement) with its failures translated.
    template <class F>
    nb::object guarded(const DriverCall *call, F &&f) {
        try {
            return f();
        } catch (nb::python_error &e) {
            translate(e, call);
        }
    }

    // Runs `call`. On aiosqlite the whole statement (execute, rows, cursor close) is one hop to
    // the connection's thread instead of one per step; its results are read from `ran_`.
    nb::object execute(const DriverCall &call) {
        static PyObject *execute = glue::intern("execute"), *cursor = glue::intern("cursor"),
                        *queue = glue::intern("_execute"), *conn = glue::intern("_conn");
        return guarded(&call, [&]() -> nb::object {
            if (one_hop_) {
                nb::object raw = glue::check(PyObject_GetAttr(aiosqlite_.ptr(), conn));
                PyObject *args[] = {aiosqlite_.ptr(), g_sqlite_statement, raw.ptr(), call.sql.ptr(), call.values.ptr()};
                ran_ = await_only(glue::check(PyObject_VectorcallMethod(queue, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
                return nb::none();
            }
            if (!cursor_.is_valid())
                cursor_ = glue::check(glue::call_method0(driver_.ptr(), cursor));
            PyObject *args[] = {cursor_.ptr(), call.sql.ptr(), call.values.ptr()};
            return glue::check(PyObject_VectorcallMethod(execute, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        });
    }

    // The labels of the rows the last statement returns (a tuple), or None.
    nb::object labels(const DriverCall &call) {
        if (ran_.is_valid())
            return nb::borrow(glue::tuple_item(ran_.ptr(), 0));
        return guarded(&call, [&] { return labels_of(cursor_.attr("description")); });
    }

    nb::object fetch(const DriverCall &call, const char *how) {
        if (ran_.is_valid()) {  // a statement without rows has none to fetch, as sqlite3's cursor says
            nb::handle rows(glue::tuple_item(ran_.ptr(), 1));
            const bool any = !rows.is_none() && glue::list_size(rows.ptr()) > 0;
            if (std::string_view(how) == "fetchall")
                return any ? nb::borrow(rows) : nb::object(nb::list());
            return any ? nb::borrow(glue::list_item(rows.ptr(), 0)) : nb::none();
        }
        return guarded(&call, [&] { return cursor_.attr(how)(); });
    }

    nb::object rowcount() const { return ran_.is_valid() ? nb::borrow(glue::tuple_item(ran_.ptr(), 2)) : cursor_.attr("rowcount"); }
    nb::object lastrowid() const { return ran_.is_valid() ? nb::borrow(glue::tuple_item(ran_.ptr(), 3)) : cursor_.attr("lastrowid"); }

    // Whether the driver is known to be outside a transaction after the unit's statements, so
    // that its COMMIT would do nothing (aiosqlite: the hop is saved).
    bool known_idle() const { return ran_.is_valid() && glue::tuple_item(ran_.ptr(), 4) == Py_False; }

    nb::handle cursor() const { return cursor_; }
    nb::handle driver() const { return driver_; }  // the driver's own connection

private:
    // The aiosqlite connection behind an adapted async connection, else invalid.
    static nb::object aiosqlite_of(nb::handle adapted) {
        static glue::Lazy connection_t{"aiosqlite", "Connection"};
        static PyObject *inner = glue::intern("_connection");
        nb::object conn = nb::steal(PyObject_GetAttr(adapted.ptr(), inner));
        if (!conn.is_valid()) {
            PyErr_Clear();
            return nb::object();
        }
        return Py_TYPE(conn.ptr()) == (PyTypeObject *)connection_t.get().ptr() ? conn : nb::object();
    }

    // Whether aiosqlite connections have their queue of calls to their thread (`_execute`) and
    // their sqlite3 connection (`_conn`); else statements take the adapted connection's steps.
    static bool one_hop(nb::handle conn) {
        static const bool queued = PyObject_HasAttrString((PyObject *)Py_TYPE(conn.ptr()), "_execute") == 1 &&
                                   PyObject_HasAttrString((PyObject *)Py_TYPE(conn.ptr()), "_conn") == 1;
        return queued;
    }

    [[noreturn]] void translate(nb::python_error &e, const DriverCall *call) {
        static PyObject *invalidate = glue::intern("invalidate");
        nb::object error = nb::borrow(e.value());
        if (glue::truthy(exit_exception(error))) {  // the connection's state is unknown
            if (aiosqlite_.is_valid())
                glue::unwind_step(error, [&] { interrupt_sqlite(); });
            glue::unwind_step(error, [&] {
                PyObject *args[] = {fairy_.ptr(), error.ptr()};
                glue::check(PyObject_VectorcallMethod(invalidate, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            });
            throw;
        }
        const int driver_error = PyObject_IsInstance(error.ptr(), t_.dbapi_error.ptr());
        if (driver_error < 0)
            throw nb::python_error();
        if (!driver_error)
            throw;
        bool lost = false;
        glue::unwind_step(error, [&] {
            lost = glue::truthy(t_.dialect.attr("is_disconnect")(error, driver_, cursor_.is_valid() ? cursor_ : nb::none()));
        });
        if (lost)
            glue::unwind_step(error, [&] {
                // as the toolkit does: every connection of the pool older than this one is replaced
                nb::object pool = t_.data_source.attr("pool");
                if (nb::hasattr(pool, "_invalidate"))
                    pool.attr("_invalidate")(fairy_, error);
                else
                    fairy_.attr("invalidate")(error);
            });
        raise_toolkit_error(t_.dialect, t_.dbapi_error, call ? call->sql : nb::none(), call ? call->values : nb::none(),
                            error, lost, glue::truthy(nb::getattr(t_.data_source, "hide_parameters", nb::bool_(false))));
    }

    // A statement cancelled while it runs goes on in the driver's thread, and its transaction
    // keeps the database's write lock until a rollback: it is interrupted, and the rollback
    // (queued behind it) awaited, as the engine's interrupt listener does on the toolkit's path.
    void interrupt_sqlite() {
        nb::object raw = aiosqlite_.attr("_connection");
        if (raw.is_none())
            return;
        raw.attr("interrupt")();
        await_only(aiosqlite_.attr("rollback")());
    }

    SqlTemplate &t_;
    nb::object fairy_, driver_, cursor_;
    nb::object aiosqlite_;  // the aiosqlite connection, when the driver is aiosqlite
    bool one_hop_ = false;  // its statements run as one call on its thread (sqlite_statement)
    nb::object ran_;        // aiosqlite: what the last statement's hop returned (sqlite_statement)
};

// The library's session rule (see in_session) for a unit run by `body` on a driver connection:
// committed on success; rolled back on any exception; always returned to its pool. A connection
// handed out without a liveness check that turns out dead runs the unit once more on a fresh
// one. Invalid when no connection could be had: the toolkit's path then reports why.
template <class Body>
nb::object on_driver(SqlTemplate &t, Body &&body) {
    static PyObject *raw_connection = glue::intern("raw_connection"), *info_name = glue::intern("info"),
                    *commit = glue::intern("commit"), *rollback = glue::intern("rollback"),
                    *close = glue::intern("close");
    for (bool again = true;;) {
        PyObject *fairy = glue::call_method0(t.data_source.ptr(), raw_connection);
        if (!fairy) {
            nb::python_error e;
            if (PyObject_IsInstance(e.value().ptr(), t.dbapi_error.ptr()) == 1)
                return nb::object();
            throw e;
        }
        DriverConnection c(t, nb::steal(fairy));
        nb::object info = nb::steal(PyObject_GetAttr(fairy, info_name));
        PyObject *checked = info.is_valid() && PyDict_Check(info.ptr()) ? PyDict_GetItem(info.ptr(), glue::unpinged_key())
                                                                        : nullptr;
        PyErr_Clear();
        PyObject *marks = checked ? info.ptr() : nullptr;  // pools without the library's listeners read none
        const bool unpinged = checked == Py_True;
        bool lost = false;  // the connection is invalidated: nothing to roll back
        auto end = [&](bool failed, nb::handle exc) {
            glue::end_unit_steps(
                true, failed, exc,
                [&] {
                    if (!c.known_idle())  // a COMMIT outside a transaction does nothing
                        c.guarded(nullptr, [&] { return glue::check(glue::call_method0(c.driver().ptr(), commit)); });
                    glue::mark_clean(marks, true);
                },
                [&](nb::handle) {
                    if (lost)
                        return;
                    glue::check(glue::call_method0(c.driver().ptr(), rollback));
                    glue::mark_clean(marks, true);
                },
                [&] { glue::check(glue::call_method0(fairy, close)); });
        };
        nb::object out;
        try {
            out = body(c);
            if (c.cursor().is_valid())
                glue::check(glue::call_method0(c.cursor().ptr(), close));
        } catch (nb::python_error &e) {
            // An exit exception in a driver call left the connection invalidated (DriverConnection).
            const bool dropped = glue::lost_connection(e.value());
            lost = dropped || PyObject_IsInstance(e.value().ptr(), PyExc_Exception) != 1;
            PyErr_Clear();
            end(true, e.value());
            if (!(again && unpinged && dropped))
                throw;
            again = false;
            continue;
        } catch (...) {
            end(true, nb::handle());
            throw;
        }
        end(false, nb::handle());
        return out;
    }
}

// A query on `c`, recorded as `query` records: `take(c, call)` reads its rows.
template <class Take>
nb::object direct_query(SqlTemplate &t, DriverConnection &c, nb::handle stmt, nb::handle params, const DriverCall &call,
                        Take &&take) {
    Watch w(t, stmt, params);
    w.sent(call.sql);
    nb::object out = w.run([&] {
        c.execute(call);
        return take(c, call);
    });
    nb::handle rows = PyTuple_Check(out.ptr()) ? nb::handle(glue::tuple_item(out.ptr(), 1)) : nb::handle(out);
    w.done(PyList_Check(rows.ptr()) ? glue::list_size(rows.ptr()) : rows.is_none() ? 0 : 1);
    return out;
}

// Takers of a statement's rows on the driver's connection, as the toolkit's path takes them.

[[noreturn]] void no_rows() {  // the toolkit's error for rows asked of a statement that returns none
    static glue::Lazy closed{"sqlalchemy.exc", "ResourceClosedError"};
    nb::object e = closed("This result object does not return rows. It has been closed automatically.");
    PyErr_SetObject(closed.get().ptr(), e.ptr());
    throw nb::python_error();
}

nb::object driver_rows(DriverConnection &c, const DriverCall &call, bool first) {
    nb::object keys = c.labels(call);
    if (keys.is_none())
        no_rows();
    nb::object rows;
    if (first) {
        nb::object row = c.fetch(call, "fetchone");
        rows = row.is_none() ? nb::list() : nb::list(nb::make_tuple(row));
    } else {
        rows = c.fetch(call, "fetchall");
        if (!PyList_CheckExact(rows.ptr()))
            rows = nb::list(rows);
    }
    return nb::make_tuple(keys, rows);
}

nb::object driver_dicts(DriverConnection &c, const DriverCall &call) {
    nb::object got = driver_rows(c, call, false);
    nb::handle rows(glue::tuple_item(got.ptr(), 1));
    return glue::list_size(rows.ptr()) == 0 ? nb::list() : glue::rows_as_dicts(rows, nb::list(nb::handle(glue::tuple_item(got.ptr(), 0))));
}

nb::object driver_first_dict(DriverConnection &c, const DriverCall &call) {
    nb::object got = driver_rows(c, call, true);
    nb::handle rows(glue::tuple_item(got.ptr(), 1));
    if (glue::list_size(rows.ptr()) == 0)
        return nb::none();
    nb::list one = glue::rows_as_dicts(rows, nb::list(nb::handle(glue::tuple_item(got.ptr(), 0))));
    return one[0];
}

nb::object driver_scalar(DriverConnection &c, const DriverCall &call) {
    if (c.labels(call).is_none())
        no_rows();
    nb::object row = c.fetch(call, "fetchone");
    return row.is_none() ? row : nb::object(row[0]);
}

// ---- bulk loads at the database's own speed (glue::BulkLoad)

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front())))
        v.remove_prefix(1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back())))
        v.remove_suffix(1);
    return v;
}

// `v` starts with keyword `word` (any case) and a space or parenthesis; `v` moves past it.
bool keyword(std::string_view &v, std::string_view word) {
    v = trimmed(v);
    if (v.size() <= word.size() || !(std::isspace(static_cast<unsigned char>(v[word.size()])) || v[word.size()] == '('))
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(v[i])) != word[i])
            return false;
    v.remove_prefix(word.size());
    return true;
}

// The parts of `v` between commas outside parentheses and quotes.
std::vector<std::string_view> top_level_items(std::string_view v) {
    std::vector<std::string_view> out;
    int depth = 0;
    char quote = 0;
    std::size_t from = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'' || c == '`') {
            quote = c;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trimmed(v.substr(from, i - from)));
            from = i + 1;
        }
    }
    out.push_back(trimmed(v.substr(from)));
    return out;
}

// The text inside the parenthesis that `v` starts with; `v` moves past its closing one.
bool parenthesized(std::string_view &v, std::string_view &inside) {
    v = trimmed(v);
    if (v.empty() || v.front() != '(')
        return false;
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (quote)
            quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '(')
            ++depth;
        else if (c == ')' && --depth == 0) {
            inside = v.substr(1, i - 1);
            v.remove_prefix(i + 1);
            return true;
        }
    }
    return false;
}

// A plain column insert as psycopg's statements spell it: INSERT INTO <table> (<columns>)
// VALUES (<one %(name)s per column>) with nothing after it (no RETURNING, no ON CONFLICT, no
// expression). With `casts` (a typed insert whose statement asks for no RETURNING), a value may
// carry the ::TYPE the toolkit adds, and the implicit RETURNING of its key is left out.
struct ColumnInsert {
    std::string table, columns;
    std::vector<std::string> binds;  // the bind name of each column, in order
};

bool column_insert(std::string_view sql, bool casts, ColumnInsert &out) {
    std::string_view v = trimmed(sql), columns, values;
    if (!v.empty() && v.back() == ';')
        v.remove_suffix(1);
    if (!keyword(v, "INSERT") || !keyword(v, "INTO"))
        return false;
    v = trimmed(v);
    const std::size_t open = v.find('(');
    if (open == std::string_view::npos)
        return false;
    std::string_view table = trimmed(v.substr(0, open));
    if (table.empty() || std::any_of(table.begin(), table.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); }))
        return false;
    v.remove_prefix(open);
    if (!parenthesized(v, columns) || columns.find('(') != std::string_view::npos || !keyword(v, "VALUES") ||
        !parenthesized(v, values))
        return false;
    // A typed insert compiled alone returns its key, which a load of many rows does not ask for.
    if (!trimmed(v).empty() && !(casts && keyword(v, "RETURNING")))
        return false;
    std::vector<std::string_view> names = top_level_items(columns), items = top_level_items(values);
    if (names.size() != items.size())
        return false;
    for (std::string_view item : items) {
        const std::size_t end = item.find(")s");
        if (item.substr(0, 2) != "%(" || end == std::string_view::npos)
            return false;
        std::string_view rest = item.substr(end + 2);
        if (!(rest.empty() || (casts && rest.substr(0, 2) == "::" && rest.find('%') == std::string_view::npos)))
            return false;
        out.binds.emplace_back(item.substr(2, end - 2));
    }
    out.table = table;
    out.columns = columns;
    return true;
}

// The toolkit connection a bulk load writes through, in the unit's transaction (begun on the
// toolkit's side too, so that the unit's commit ends it).
nb::object transaction_connection(nb::handle s) {
    nb::object conn = PyObject_HasAttrString(s.ptr(), "exec_driver_sql") ? nb::borrow(s) : s.attr("connection")();
    if (!glue::in_transaction(conn))
        conn.attr("begin")();
    return conn;
}

// A driver error raised under `conn` as the toolkit raises it (a DBAPIError whose orig is the
// driver's error); a lost connection is invalidated, as the toolkit does. Other errors go on.
[[noreturn]] void raise_as_toolkit(nb::handle conn, nb::handle statement, nb::python_error &e) {
    nb::object dialect = conn.attr("dialect");
    nb::object base = dialect.attr("loaded_dbapi").attr("Error");
    if (!e.matches(base))
        throw;
    nb::object orig = nb::borrow(e.value());
    nb::object raw = nb::getattr(conn.attr("connection"), "dbapi_connection", nb::none());
    const bool lost = glue::truthy(dialect.attr("is_disconnect")(orig, raw, nb::none()));
    if (lost)
        conn.attr("invalidate")(orig);
    raise_toolkit_error(dialect, base, statement, nb::none(), orig, lost);
}

// `value` awaited when it is awaitable (an async driver's), else itself.
nb::object settled(nb::object value, bool async) { return async ? await_only(value) : value; }

// psycopg's C formatter of one text COPY row and its buffer size, when `formatter` is its text
// formatter and the driver has both; else None, and rows go through formatter.write_row.
nb::object text_row_writer(nb::handle formatter) {
    static glue::Lazy text_formatter{"psycopg._copy_base", "TextFormatter"},
        format_row_text{"psycopg._copy_base", "format_row_text"}, buffer_size{"psycopg._copy_base", "BUFFER_SIZE"};
    try {
        if (Py_TYPE(formatter.ptr()) != (PyTypeObject *)text_formatter.get().ptr() || !PyLong_CheckExact(buffer_size.get().ptr()))
            return nb::none();
        return nb::make_tuple(format_row_text.get(), buffer_size.get());
    } catch (nb::python_error &) {  // another driver version: its own write_row
        return nb::none();
    }
}

// Rows [from, to) of `rows` (dicts) loaded by COPY FROM STDIN in psycopg's text format, through
// the copy's own row formatter; `processors` (None or one per bind) are the column types' own.
void copy_rows(nb::handle conn, nb::handle copy_sql, const ColumnInsert &ci, nb::handle processors, nb::handle rows,
               Py_ssize_t from, Py_ssize_t to) {
    nb::object driver = conn.attr("connection").attr("driver_connection");
    nb::object cursor = driver.attr("cursor")();
    nb::object manager = cursor.attr("copy")(copy_sql);
    const bool async = PyObject_HasAttrString(manager.ptr(), "__aenter__");
    nb::object copy = settled(manager.attr(async ? "__aenter__" : "__enter__")(), async);
    nb::object formatter = copy.attr("formatter"), write = copy.attr("write");
    // Rows formatted by psycopg's C formatter into buffers of its size, each written to the copy
    // when full (as write_row does, without a Python call per row); else by write_row.
    nb::object direct = text_row_writer(formatter);
    nb::object write_row = direct.is_none() ? formatter.attr("write_row") : nb::none();
    nb::object transformer = direct.is_none() ? nb::none() : formatter.attr("transformer");
    const Py_ssize_t limit = direct.is_none() ? 0 : PyLong_AsSsize_t(glue::tuple_item(direct.ptr(), 1));
    nb::object buffer = glue::check(PyByteArray_FromStringAndSize(nullptr, 0));
    std::vector<nb::object> keys;
    for (const std::string &b : ci.binds)
        keys.push_back(nb::str(b.c_str()));
    const Py_ssize_t k = static_cast<Py_ssize_t>(keys.size());
    nb::object values = glue::check(PyList_New(k));  // one row's values, refilled per row
    for (Py_ssize_t c = 0; c < k; ++c)
        if (PyList_SetItem(values.ptr(), c, Py_NewRef(Py_None)) < 0)
            throw nb::python_error();
    try {
        for (Py_ssize_t i = from; i < to; ++i) {
            PyObject *row = glue::list_item(rows.ptr(), i);
            for (Py_ssize_t c = 0; c < k; ++c) {
                PyObject *v = PyDict_GetItemWithError(row, keys[c].ptr());
                if (!v) {
                    if (!PyErr_Occurred())
                        PyErr_SetObject(PyExc_KeyError, keys[c].ptr());
                    throw nb::python_error();
                }
                nb::handle proc = processors.is_none() ? nb::handle() : nb::handle(glue::list_item(processors.ptr(), c));
                nb::object value = proc.is_valid() && !proc.is_none() ? proc(nb::handle(v)) : nb::borrow(v);
                if (PyList_SetItem(values.ptr(), c, value.release().ptr()) < 0)
                    throw nb::python_error();
            }
            if (direct.is_none()) {
                nb::object data = write_row(glue::check(PyList_AsTuple(values.ptr())));
                if (PyObject_Length(data.ptr()) > 0)
                    settled(write(data), async);
                continue;
            }
            PyObject *args[] = {values.ptr(), transformer.ptr(), buffer.ptr()};
            glue::check(PyObject_Vectorcall(glue::tuple_item(direct.ptr(), 0), args, 3, nullptr));
            if (PyByteArray_Size(buffer.ptr()) > limit) {
                settled(write(buffer), async);
                buffer = glue::check(PyByteArray_FromStringAndSize(nullptr, 0));
            }
        }
        if (PyByteArray_Size(buffer.ptr()) > 0)
            settled(write(buffer), async);
    } catch (nb::python_error &e) {
        try {  // the copy ends with the error (psycopg sends CopyFail); the error goes on
            settled(manager.attr(async ? "__aexit__" : "__exit__")(e.type(), e.value(), e.traceback()), async);
        } catch (nb::python_error &) {
        }
        throw;
    }
    settled(manager.attr(async ? "__aexit__" : "__exit__")(nb::none(), nb::none(), nb::none()), async);
    settled(cursor.attr("close")(), async);
}

// Loads `rows` by COPY when `sql` (a textual insert, or a table's insert with every row naming
// the same columns) is a plain column insert on PostgreSQL; false when it is not one.
bool load_by_copy(SqlTemplate &t, nb::handle s, nb::handle sql, nb::handle rows, Py_ssize_t size) {
    const Py_ssize_t n = glue::list_size(rows.ptr());
    nb::handle first = glue::list_item(rows.ptr(), 0);
    if (!PyDict_Check(first.ptr()))
        return false;
    const bool typed = !PyObject_HasAttr(sql.ptr(), name_text);
    nb::object dialect = t.data_source.attr("dialect");
    nb::object compiled;
    if (typed) {
        static glue::Lazy insert_t{"sqlalchemy.sql.dml", "Insert"};
        if (Py_TYPE(sql.ptr()) != reinterpret_cast<PyTypeObject *>(insert_t.get().ptr()) ||
            glue::truthy(sql.attr("_returning")) || !sql.attr("select").is_none() ||
            !sql.attr("_values").is_none() || glue::truthy(sql.attr("_multi_values")))
            return false;
        compiled = sql.attr("compile")("dialect"_a = dialect, "column_keys"_a = nb::list(nb::handle(first)));
    } else {
        compiled = sql.attr("compile")("dialect"_a = dialect);
    }
    ColumnInsert ci;
    if (!column_insert(glue::utf8(compiled.attr("string")), typed, ci))
        return false;
    // Every row names every bind, and names no other column (a typed insert would fill others'
    // defaults).
    std::vector<nb::object> keys;
    for (const std::string &b : ci.binds)
        keys.push_back(nb::str(b.c_str()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = glue::list_item(rows.ptr(), i);
        if (!PyDict_Check(row) || (typed && glue::dict_size(row) != static_cast<Py_ssize_t>(ci.binds.size())))
            return false;
        for (const nb::object &key : keys) {
            int has = PyDict_Contains(row, key.ptr());
            if (has < 0)
                throw nb::python_error();
            if (!has)
                return false;
        }
    }
    nb::object processors = nb::none();
    if (typed) {
        nb::list procs;
        nb::object binds = compiled.attr("binds");
        for (const std::string &b : ci.binds)
            procs.append(binds[b.c_str()].attr("type").attr("dialect_impl")(dialect).attr("bind_processor")(dialect));
        processors = procs;
    }
    nb::object conn = transaction_connection(s);
    nb::str copy_sql(("COPY " + ci.table + " (" + ci.columns + ") FROM STDIN").c_str());
    for (Py_ssize_t at = 0; at < n; at += size) {
        const Py_ssize_t to = std::min(at + size, n);
        nb::object chunk = size >= n ? nb::borrow(rows) : nb::steal(PyList_GetSlice(rows.ptr(), at, to));
        Watch w(t, sql, chunk, to - at);  // recorded as the caller's insert; a failure names the COPY
        w.run([&] {
            try {
                copy_rows(conn, copy_sql, ci, processors, rows, at, to);
            } catch (nb::python_error &e) {
                raise_as_toolkit(conn, copy_sql, e);
            }
            w.affected(to - at);
            return nb::none();
        });
    }
    return true;
}

// The largest statement the MySQL server takes, read once per engine: PyMySQL's multi-row
// rewrite fills statements up to it (its own default is 1 MB), capped at 16 MB so that one
// statement's text stays bounded.
Py_ssize_t statement_limit(SqlTemplate &t, nb::handle conn) {
    constexpr Py_ssize_t kCap = 16 << 20, kMargin = 64 << 10, kDefault = 1 << 20;
    if (t.packet_limit == 0) {
        Py_ssize_t got = kDefault;
        nb::object v = conn.attr("exec_driver_sql")("SELECT @@max_allowed_packet").attr("scalar")();
        got = std::min(kCap, static_cast<Py_ssize_t>(nb::cast<long long>(nb::int_(v))) - kMargin);
        t.packet_limit = std::max(kDefault, got);
    }
    return t.packet_limit;
}

// A MySQL insert of one VALUES row as PyMySQL's executemany rewrites it: (prefix, placeholders,
// postfix), the prefix and postfix as bytes with "%%" undone, the placeholders the row's keys
// (None for a positional one) in order; None when the driver would not rewrite it.
nb::object values_form(SqlTemplate &t, nb::handle statement) {
    static glue::Lazy pattern{"pymysql.cursors", "RE_INSERT_VALUES"};
    PyObject *hit = PyDict_GetItemWithError(t.packet_forms.ptr(), statement.ptr());
    if (hit)
        return nb::borrow(hit);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object form = nb::none();
    nb::object m = pattern.get().attr("match")(statement);
    if (!m.is_none()) {
        nb::object none = nb::tuple();
        nb::object prefix = nb::steal(PyNumber_Remainder(m.attr("group")(1).ptr(), none.ptr()));
        nb::object tail = m.attr("group")(3);
        nb::object postfix = tail.is_none() ? nb::str("") : nb::steal(PyNumber_Remainder(tail.ptr(), none.ptr()));
        if (!prefix.is_valid() || !postfix.is_valid())
            throw nb::python_error();
        nb::object row = m.attr("group")(2);  // held: the view below reads its text
        std::string_view values = glue::utf8(row);
        nb::list slots;
        for (std::size_t at = values.find('%'); at != std::string_view::npos; at = values.find('%', at + 1)) {
            if (values.substr(at, 2) == "%s") {
                slots.append(nb::none());
            } else {  // %(key)s
                const std::size_t close = values.find(")s", at);
                slots.append(glue::make_str(values.substr(at + 2, close - at - 2)));
                at = close;
            }
        }
        form = nb::make_tuple(prefix.attr("encode")("utf-8"), nb::tuple(slots), postfix.attr("encode")("utf-8"));
    }
    if (glue::dict_size(t.packet_forms.ptr()) >= 1024)
        PyDict_Clear(t.packet_forms.ptr());
    t.packet_forms[statement] = form;
    return form;
}

// How append_literal writes values for one connection: the quoting its sql_mode reads, and
// which value types it writes in C because the driver's encoder for them is its own (in the
// connection's mapping and in the driver's default one).
struct Literals {
    nb::handle connection;
    bool backslashes = true;
    bool datetimes = false, dates = false, floats = false;

    Literals(nb::handle conn, bool backslash_escapes) : connection(conn), backslashes(backslash_escapes) {
        static glue::Lazy defaults{"pymysql.converters", "encoders"}, escape_datetime{"pymysql.converters", "escape_datetime"},
            escape_date{"pymysql.converters", "escape_date"}, escape_float{"pymysql.converters", "escape_float"};
        nb::object own = nb::getattr(conn, "encoders", nb::none());
        auto drivers = [&](nb::handle type, glue::Lazy &encoder) {
            for (nb::handle mapping : {nb::handle(own), defaults.get()}) {
                if (!PyDict_Check(mapping.ptr()))
                    return false;
                PyObject *e = PyDict_GetItemWithError(mapping.ptr(), type.ptr());
                if (!e && PyErr_Occurred())
                    throw nb::python_error();
                if (e != encoder.get().ptr())
                    return false;
            }
            return true;
        };
        datetimes = drivers(datetime_type.get(), escape_datetime);
        dates = drivers(date_type.get(), escape_date);
        floats = drivers(nb::handle((PyObject *)&PyFloat_Type), escape_float);
    }

    static inline glue::Lazy datetime_type{"datetime", "datetime"}, date_type{"datetime", "date"};
};

// `v` as a MySQL literal appended to `out`, as PyMySQL writes it: text, integers, booleans, None,
// and where the driver's own encoders write them, naive datetimes, dates and finite floats here,
// in C; any other value by the connection's own escape.
void append_literal(std::string &out, PyObject *v, const Literals &lit) {
    static PyObject *escape = glue::intern("escape"), *tzinfo = glue::intern("tzinfo");
    static PyObject *blank = glue::intern(" ");
    const bool backslashes = lit.backslashes;
    if (v == Py_None) {
        out += "NULL";
        return;
    }
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(v, &n);
        if (!p)
            throw nb::python_error();
        out.push_back('\'');
        for (const char *c = p, *end = p + n; c < end; ++c) {
            switch (backslashes ? *c : (*c == '\'' ? '\'' : 'a')) {
                case '\0': out += "\\0"; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\032': out += "\\Z"; break;
                case '"': out += "\\\""; break;
                case '\'': out += backslashes ? "\\'" : "''"; break;
                default: out.push_back(*c);
            }
        }
        out.push_back('\'');
        return;
    }
    if (PyBool_Check(v)) {
        out.push_back(v == Py_True ? '1' : '0');
        return;
    }
    if (PyLong_CheckExact(v)) {
        nb::object text = glue::check(PyObject_Str(v));  // fails past the interpreter's digit limit
        out += glue::utf8(text);
        return;
    }
    // escape_datetime writes isoformat(" ") of a naive value (microseconds only when not 0);
    // escape_date isoformat(); escape_float the repr, with "e0" when it has no exponent.
    const PyTypeObject *type = Py_TYPE(v);
    const bool datetime = lit.datetimes && type == (PyTypeObject *)Literals::datetime_type.get().ptr();
    if (datetime && glue::check(PyObject_GetAttr(v, tzinfo)).is_none()) {
        nb::object text = glue::isoformat(v, {blank});
        out.append("'").append(glue::utf8(text)).push_back('\'');
        return;
    }
    if (lit.dates && type == (PyTypeObject *)Literals::date_type.get().ptr()) {
        nb::object text = glue::isoformat(v);
        out.append("'").append(glue::utf8(text)).push_back('\'');
        return;
    }
    if (lit.floats && type == &PyFloat_Type) {
        nb::object repr = glue::check(PyObject_Repr(v));
        std::string_view text = glue::utf8(repr);
        if (text.find_first_of("ni") == std::string_view::npos) {  // inf and nan raise from the driver's escape
            out += text;
            if (text.find('e') == std::string_view::npos)
                out += "e0";
            return;
        }
    }
    PyObject *args[] = {lit.connection.ptr(), v};
    nb::object text = glue::check(PyObject_VectorcallMethod(escape, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    out += glue::utf8(text);
}

// Rows `from`..`to` of `params` as multi-row INSERT statements of at most `limit` bytes, each
// run on `cursor` (await-ed for an async driver); false when the connection's text is not UTF-8
// (the driver's executemany then writes them).
bool write_values(nb::handle cursor, nb::handle form, nb::handle params, Py_ssize_t from, Py_ssize_t to,
                  Py_ssize_t limit, bool async) {
    nb::object connection = cursor.attr("connection");
    nb::object encoding = nb::getattr(connection, "encoding", nb::none());
    if (!PyUnicode_Check(encoding.ptr()) || (!nb::str(encoding).equal(nb::str("utf8")) && !nb::str(encoding).equal(nb::str("utf-8"))))
        return false;
    constexpr long kNoBackslashEscapes = 512;  // SERVER_STATUS_NO_BACKSLASH_ESCAPES
    nb::object status = nb::getattr(connection, "server_status", nb::none());
    if (!PyLong_CheckExact(status.ptr()) || !nb::hasattr(connection, "escape"))
        return false;
    const Literals lit(connection, !(nb::cast<long>(status) & kNoBackslashEscapes));
    nb::bytes prefix = nb::borrow<nb::bytes>(glue::tuple_item(form.ptr(), 0));
    PyObject *slots = glue::tuple_item(form.ptr(), 1);
    nb::bytes postfix = nb::borrow<nb::bytes>(glue::tuple_item(form.ptr(), 2));
    const Py_ssize_t k = glue::tuple_size(slots);
    std::string sql(prefix.c_str(), prefix.size()), row;
    bool rows_in = false;
    auto run = [&] {
        sql.append(postfix.c_str(), postfix.size());
        nb::object done = cursor.attr("execute")(nb::bytes(sql.data(), sql.size()));
        settled(done, async);
        sql.assign(prefix.c_str(), prefix.size());
        rows_in = false;
    };
    for (Py_ssize_t i = from; i < to; ++i) {
        PyObject *values = glue::list_item(params.ptr(), i);
        row.assign("(");
        for (Py_ssize_t c = 0; c < k; ++c) {
            PyObject *key = glue::tuple_item(slots, c);
            PyObject *v = key == Py_None ? (PyTuple_Check(values) && c < glue::tuple_size(values) ? glue::tuple_item(values, c) : nullptr)
                                         : (PyDict_Check(values) ? PyDict_GetItemWithError(values, key) : nullptr);
            if (!v) {
                if (!PyErr_Occurred())
                    PyErr_SetObject(PyExc_KeyError, key == Py_None ? nb::int_(c).ptr() : key);
                throw nb::python_error();
            }
            if (c)
                row.push_back(',');
            append_literal(row, v, lit);
        }
        row.push_back(')');
        if (rows_in && static_cast<Py_ssize_t>(sql.size() + row.size() + postfix.size() + 1) > limit)
            run();
        if (rows_in)
            sql.push_back(',');
        sql += row;
        rows_in = true;
    }
    if (rows_in)
        run();
    return true;
}

// Rows in multi-row VALUES statements as long as the server allows, written in C where the
// driver's executemany would rewrite them, else by that rewrite; false when `plan` needs the
// toolkit's path.
bool load_by_packets(SqlTemplate &t, nb::handle s, nb::handle statement, nb::handle params, Py_ssize_t size) {
    const Py_ssize_t n = glue::list_size(params.ptr());
    nb::object conn = transaction_connection(s);
    const Py_ssize_t limit = statement_limit(t, conn);
    nb::object driver = conn.attr("connection").attr("driver_connection");
    for (Py_ssize_t at = 0; at < n; at += size) {
        const Py_ssize_t to = std::min(at + size, n);
        nb::object chunk = size >= n ? nb::borrow(params) : nb::steal(PyList_GetSlice(params.ptr(), at, to));
        Watch w(t, statement, chunk, to - at);
        w.run([&] {
            try {
                nb::object cursor = driver.attr("cursor")();
                const bool async = PyObject_HasAttrString(cursor.ptr(), "__await__");
                if (async)
                    cursor = await_only(cursor);
                cursor.attr("max_stmt_length") = nb::int_(limit);
                nb::object form = values_form(t, statement);
                if (form.is_none() || !write_values(cursor, form, params, at, to, limit, async)) {
                    nb::object done = cursor.attr("executemany")(statement, chunk);
                    settled(done, glue::is_coroutine(done.ptr()) || PyObject_HasAttrString(done.ptr(), "__await__"));
                }
                nb::object closed = cursor.attr("close")();
                settled(closed, !closed.is_none());
            } catch (nb::python_error &e) {
                raise_as_toolkit(conn, statement, e);
            }
            w.affected(to - at);
            return nb::none();
        });
    }
    return true;
}

// ---- a table's insert through the driver's executemany

// How one column's values reach the driver: as they are (no processor), through the column
// type's bind processor, or, where that processor writes what isoformat writes (SQLite's default
// date and datetime text, checked once on probe values), through isoformat, which is C.
struct ColumnWriter {
    nb::object proc;                    // None: values go as they are
    PyTypeObject *iso_type = nullptr;   // naive values of exactly this type take isoformat(*iso_args)
    nb::object iso_args;

    nb::object write(PyObject *v) const {
        static PyObject *tzinfo = glue::intern("tzinfo");
        if (proc.is_none())
            return nb::borrow(v);
        if (Py_TYPE(v) == iso_type) {
            nb::object tz = iso_args.is_valid() ? glue::check(PyObject_GetAttr(v, tzinfo)) : nb::none();
            if (tz.is_none()) {
                if (!iso_args.is_valid())
                    return glue::isoformat(v);
                return glue::isoformat(v, {glue::tuple_item(iso_args.ptr(), 0), glue::tuple_item(iso_args.ptr(), 1)});
            }
        }
        return proc(nb::handle(v));
    }
};

ColumnWriter column_writer(nb::handle processor) {
    static glue::Lazy datetime_t{"datetime", "datetime"}, date_t{"datetime", "date"};
    ColumnWriter w;
    w.proc = nb::borrow(processor);
    if (processor.is_none())
        return w;
    auto same_as_iso = [&](nb::handle type, nb::handle args, std::initializer_list<int> probe) {
        nb::list values;
        for (int v : probe)
            values.append(nb::int_(v));
        nb::object value = type(*nb::tuple(values));
        nb::object iso = args.is_valid() ? value.attr("isoformat")(*args) : value.attr("isoformat")();
        try {
            return processor(value).equal(iso);
        } catch (nb::python_error &) {
            return false;
        }
    };
    nb::object dt_args = nb::make_tuple(" ", "microseconds");
    if (same_as_iso(datetime_t.get(), dt_args, {2001, 2, 3, 4, 5, 6, 7}) &&
        same_as_iso(datetime_t.get(), dt_args, {1999, 12, 31, 23, 59, 58})) {
        w.iso_type = (PyTypeObject *)datetime_t.get().ptr();
        w.iso_args = dt_args;
    } else if (same_as_iso(date_t.get(), nb::handle(), {2001, 2, 3}) &&
               same_as_iso(date_t.get(), nb::handle(), {1999, 12, 31})) {
        w.iso_type = (PyTypeObject *)date_t.get().ptr();
    }
    return w;
}

// A table's insert `sql` (see load_by_copy) for the driver's own executemany: the plan
// (SQL in the driver's parameter style, positional, bind names) in `plan`, and the rows with each
// value processed as its column type would process it; invalid when the insert or the rows are
// not plain (every row a dict naming exactly the insert's binds), or the dialect renames binds.
nb::object typed_driver_rows(SqlTemplate &t, nb::handle sql, nb::handle rows, nb::object &plan) {
    static glue::Lazy insert_t{"sqlalchemy.sql.dml", "Insert"};
    const Py_ssize_t n = glue::list_size(rows.ptr());
    nb::handle first = glue::list_item(rows.ptr(), 0);
    if (!PyDict_Check(first.ptr()) || Py_TYPE(sql.ptr()) != reinterpret_cast<PyTypeObject *>(insert_t.get().ptr()) ||
        glue::truthy(sql.attr("_returning")) || !sql.attr("select").is_none() || !sql.attr("_values").is_none() ||
        glue::truthy(sql.attr("_multi_values")))
        return nb::object();
    nb::object dialect = t.data_source.attr("dialect");
    nb::object compiled = sql.attr("compile")("dialect"_a = dialect, "column_keys"_a = nb::list(first));
    if (glue::truthy(nb::getattr(compiled, "escaped_bind_names", nb::none())))
        return nb::object();
    const bool positional = glue::truthy(compiled.attr("positional"));
    nb::object binds = compiled.attr("binds");
    nb::object names = nb::steal(PySequence_Tuple((positional ? compiled.attr("positiontup") : binds.attr("keys")()).ptr()));
    if (!names.is_valid())
        throw nb::python_error();
    const Py_ssize_t k = glue::tuple_size(names.ptr());
    std::vector<ColumnWriter> writers;
    for (Py_ssize_t c = 0; c < k; ++c) {
        nb::object bind = binds[nb::handle(glue::tuple_item(names.ptr(), c))];
        if (!glue::truthy(bind.attr("required")) || !bind.attr("callable").is_none())
            return nb::object();  // a value or default the toolkit computes
        writers.push_back(column_writer(bind.attr("type").attr("dialect_impl")(dialect).attr("bind_processor")(dialect)));
    }
    const Py_ssize_t distinct = glue::dict_size(binds.ptr());
    nb::object out = glue::check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = glue::list_item(rows.ptr(), i);
        if (!PyDict_Check(row) || glue::dict_size(row) != distinct)
            return nb::object();
        nb::object values = glue::check(positional ? PyTuple_New(k) : glue::dict_presized(k));
        for (Py_ssize_t c = 0; c < k; ++c) {
            PyObject *name = glue::tuple_item(names.ptr(), c);
            PyObject *v = PyDict_GetItemWithError(row, name);
            if (!v) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                return nb::object();
            }
            nb::object value = writers[c].write(v);
            if (positional)
                glue::tuple_set(values.ptr(), c, value.release().ptr());
            else if (PyDict_SetItem(values.ptr(), name, value.ptr()) < 0)
                throw nb::python_error();
        }
        glue::list_set(out.ptr(), i, values.release().ptr());
    }
    plan = nb::make_tuple(compiled.attr("string"), nb::bool_(positional), names);
    return out;
}

// Every row of `rows` (a list) inserted once by `sql`, `batch_size` rows per execution
// (all in one when None); nothing runs for no rows.
void insert_rows(SqlTemplate &t, nb::handle s, nb::handle sql, nb::handle rows, nb::handle batch_size) {
    if (!PyList_Check(rows.ptr())) {
        Watch w(t, sql, rows);
        w.run([&] { return execute(s, sql, rows); });
        return;
    }
    const Py_ssize_t n = glue::list_size(rows.ptr());
    if (n == 0)
        return;
    const Py_ssize_t size = batch_size.is_none() ? n : positive_size(batch_size, "batch_size");
    // A typed insert (a table's) has its values processed by its column types; only a textual
    // one hands them to the driver as they are, adapted here.
    const bool textual = PyObject_HasAttr(sql.ptr(), name_text);
    const glue::BulkLoad load = t.backend ? t.backend->bulk_load : glue::BulkLoad::Executemany;
    nb::object plan = driver_form(t, sql);
    if (!plan.is_valid())
        plan = nb::none();
    nb::object params;
    // Positional parameters take each value adapted as the tuples are made: no row is copied.
    if (!plan.is_none() && glue::tuple_item(plan.ptr(), 1) == Py_True)
        params = driver_params(plan, rows, t.backend);
    nb::object adapted;  // the rows with values adapted for the driver, made when one needs it
    for (Py_ssize_t i = 0; textual && !params.is_valid() && i < n; ++i) {
        nb::handle row = glue::list_item(rows.ptr(), i);
        nb::object a = glue::adapt_values(t.backend, row);
        if (!a.is(row) && !adapted.is_valid())
            adapted = nb::steal(PyList_GetSlice(rows.ptr(), 0, n));
        if (adapted.is_valid())
            glue::list_set(adapted.ptr(), i, a.release().ptr());
    }
    if (adapted.is_valid())
        rows = adapted;
    if (!params.is_valid() && load == glue::BulkLoad::Copy && load_by_copy(t, s, sql, rows, size))
        return;
    if (!textual && load != glue::BulkLoad::Copy && t.backend)  // a table's insert: typed in C, then the driver's
        params = typed_driver_rows(t, sql, rows, plan);
    if (!params.is_valid() && !plan.is_none())
        params = driver_params(plan, rows);
    if (params.is_valid() && load == glue::BulkLoad::PacketSizedValues &&
        load_by_packets(t, s, glue::tuple_item(plan.ptr(), 0), params, size))
        return;
    nb::object target, statement;
    if (params.is_valid()) {  // a session runs it on its transaction's connection
        target = PyObject_HasAttrString(s.ptr(), "exec_driver_sql") ? nb::borrow(s) : s.attr("connection")();
        statement = nb::borrow(glue::tuple_item(plan.ptr(), 0));
    } else {
        params = nb::borrow(rows);
    }
    for (Py_ssize_t at = 0; at < n; at += size) {
        nb::object chunk = size >= n ? params : nb::steal(PyList_GetSlice(params.ptr(), at, std::min(at + size, n)));
        Watch w(t, target.is_valid() ? nb::handle(statement) : sql, chunk, glue::list_size(chunk.ptr()));
        w.run([&] { return target.is_valid() ? target.attr("exec_driver_sql")(statement, chunk) : execute(s, sql, chunk); });
    }
}

// A page number or size as an int: ints and booleans as int(), other numbers (float,
// Decimal, Fraction, ...) truncated toward zero; None, text and other objects rejected.
nb::object page_int(nb::handle v, const char *arg) {
    if (PyLong_CheckExact(v.ptr()))
        return nb::borrow(v);
    if (!glue::has_int_slot(v.ptr())) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected int, got %.200s)", arg,
                     glue::type_name(v.ptr()).c_str());
        throw nb::python_error();
    }
    PyObject *r = PyNumber_Long(v.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

void page_init(nb::handle self, nb::handle page_num, nb::handle page_size) {
    nb::object num = page_int(page_num, "page_num");
    nb::object size = page_int(page_size, "page_size");
    if (PyObject_SetAttr(self.ptr(), name_page_size, size.ptr()) < 0 ||
        PyObject_SetAttr(self.ptr(), name_page_num, num.ptr()) < 0)
        throw nb::python_error();
}

// Page.from_offset: pageNum is the page holding row `offset`, for callers that show it.
nb::object page_from_offset(PyObject *cls, nb::handle offset, nb::handle limit) {
    nb::object first = page_int(offset, "offset"), size = page_int(limit, "limit");
    const int negative = PyObject_RichCompareBool(first.ptr(), nb::int_(0).ptr(), Py_LT);
    const int empty = PyObject_RichCompareBool(size.ptr(), nb::int_(1).ptr(), Py_LT);
    if (negative < 0 || empty < 0)
        throw nb::python_error();
    if (negative || empty)
        glue::raise(PyExc_ValueError, "from_offset needs offset >= 0 and limit >= 1");
    nb::object before = nb::steal(PyNumber_FloorDivide(first.ptr(), size.ptr()));
    nb::object num = before.is_valid() ? nb::steal(PyNumber_Add(before.ptr(), nb::int_(1).ptr())) : nb::object();
    if (!num.is_valid())
        throw nb::python_error();
    nb::object page = nb::borrow(cls)(num, size);
    if (PyObject_SetAttr(page.ptr(), name_offset, first.ptr()) < 0)
        throw nb::python_error();
    return page;
}

nb::object make_page_class(nb::handle module_name) {
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "Page";
    ns["__doc__"] = "A page request: pageNum counted from 1 and pageSize rows per page (offset: the first row, set by from_offset).";
    ns["__init__"] = nb::cpp_function(&page_init, nb::is_method(), nb::name("__init__"), "page_num"_a.none(),
                                      "page_size"_a.none(), "Converts both numbers to int; None and text are rejected.");
    nb::object inspect = nb::module_::import_("inspect");
    nb::object param = inspect.attr("Parameter");
    nb::object kind = param.attr("POSITIONAL_OR_KEYWORD");
    ns["__signature__"] = inspect.attr("Signature")(nb::make_tuple(param("page_num", kind), param("page_size", kind)));
    ns["offset"] = nb::none();  // set on pages made by from_offset only
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))("Page", nb::make_tuple(), ns);
    nb::object from_offset = nb::cpp_function(
        [cls_ptr = cls.ptr()](nb::handle offset, nb::handle limit) { return page_from_offset(cls_ptr, offset, limit); },
        nb::name("from_offset"), "offset"_a.none(), "limit"_a.none(),
        nb::sig("def from_offset(offset: typing.SupportsInt, limit: typing.SupportsInt) -> Page"),
        "The page of `limit` rows starting at row `offset` (counted from 0), which need not be a multiple of `limit`.");
    cls.attr("from_offset") = nb::module_::import_("builtins").attr("staticmethod")(from_offset);
    return cls;
}

nb::object make_page_info_class(nb::handle module_name) {
    nb::object dataclasses = nb::module_::import_("dataclasses");
    nb::handle none_type = reinterpret_cast<PyObject *>(Py_TYPE(Py_None));
    auto optional = [&](PyTypeObject *tp) {
        nb::object u = nb::steal(PyNumber_Or(reinterpret_cast<PyObject *>(tp), none_type.ptr()));
        if (!u.is_valid())
            throw nb::python_error();
        return u;
    };
    nb::object opt_int = optional(&PyLong_Type);
    nb::list fields;
    for (const char *name : {"pageSize", "pageNum", "total"})
        fields.append(nb::make_tuple(name, opt_int, nb::none()));
    fields.append(nb::make_tuple("list", optional(&PyList_Type), nb::none()));
    nb::dict ns;
    ns["__doc__"] = "A page result: pageSize, pageNum, total and the rows of the page in list.";
    nb::object cls = dataclasses.attr("make_dataclass")("PageInfo", fields, nb::arg("namespace") = ns);
    cls.attr("__module__") = module_name;
    return cls;
}

// ---- the module's functions and SqlTemplate's operations

void intern_names() {
    const std::pair<PyObject **, const char *> interned[] = {
        {&name_execute, "execute"},    {&name_all, "all"},           {&name_keys, "keys"},
        {&name_text, "text"},          {&name_scalar, "scalar"},     {&name_page_num, "pageNum"},
        {&name_page_size, "pageSize"}, {&name_offset, "offset"},     {&name_raw_all_tuples, "_raw_all_tuples"},
        {&limit_suffix, " limit :page_size offset :page_offset"}};
    for (auto [slot, text] : interned)
        *slot = glue::intern(text);
    kw_execution_options = nb::make_tuple("execution_options").release().ptr();
}

nb::object count_query_shim(nb::handle sql) { return count_stmt(statement_text(sql)); }

nb::object limit_query_shim(nb::handle sql, nb::handle page) { return limit_stmt(statement_text(sql), page); }

nb::object get_session_shim(nb::handle self, nb::handle session) {
    auto *scope = new SessionScope{nb::borrow(self), nb::inst_ptr<SqlTemplate>(self), nb::borrow(session)};
    return nb::cast(scope, nb::rv_policy::take_ownership);
}

// The generated key column of `table` (None when it has none), asked of the database once per
// table; a table that does not exist yet is asked again next time.
nb::object table_key(SqlTemplate &t, nb::handle s, nb::handle table) {
    PyObject *hit = PyDict_GetItemWithError(t.table_keys.ptr(), table.ptr());
    if (hit)
        return nb::borrow(hit);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::dict values;
    values["t"] = table;
    nb::object row = execute(s, sa_text(t.backend->key_column_query), values).attr("one")();
    nb::object exists = row[0], key = row[1];
    if (glue::truthy(exists)) {
        if (glue::dict_size(t.table_keys.ptr()) >= 1024)
            PyDict_Clear(t.table_keys.ptr());
        t.table_keys[table] = key;
    }
    return key;
}

// Insert `sql` with " RETURNING <key>" added when it has no RETURNING and its table has a
// generated key (see glue::Backend::key_column_query); `sql` itself otherwise. Decided once
// per statement text.
nb::object keyed_insert(SqlTemplate &t, nb::handle s, nb::handle sql) {
    nb::object text = nb::getattr(sql, name_text, nb::none());
    if (!PyUnicode_Check(text.ptr()) || !t.backend || !t.backend->key_column_query)
        return nb::borrow(sql);
    PyObject *hit = PyDict_GetItemWithError(t.keyed_inserts.ptr(), text.ptr());
    if (hit)
        return hit == Py_None ? nb::borrow(sql) : nb::borrow(hit);
    if (PyErr_Occurred())
        throw nb::python_error();
    std::string_view body = glue::utf8(text);
    core::InsertTarget target = core::insert_target(body, t.backend->text);
    nb::object out = nb::none();
    bool decided = true;
    if (!target.table.empty() && !target.returning) {
        if (!plain_binds(sql))  // bound values of its own: left as it is, and not remembered for the text
            return nb::borrow(sql);
        nb::object key = table_key(t, s, glue::make_str(target.table));
        decided = PyDict_Contains(t.table_keys.ptr(), glue::make_str(target.table).ptr()) == 1;
        if (!key.is_none()) {
            std::string keyed(body.substr(0, body.find_last_not_of(" \t\r\n;") + 1));
            keyed.append(" RETURNING \"").append(core::replace_all(glue::utf8(key), "\"", "\"\"")).push_back('"');
            out = sa_text(glue::make_str(keyed));
        }
    }
    if (decided) {
        if (glue::dict_size(t.keyed_inserts.ptr()) >= 1024)
            PyDict_Clear(t.keyed_inserts.ptr());
        t.keyed_inserts[text] = out;
    }
    return out.is_none() ? nb::borrow(sql) : out;
}

// Insert `sql` on the driver's connection (see insert_shim); invalid when it takes the toolkit's
// path. With keys from RETURNING, only once the keyed form of its text is settled.
nb::object direct_insert(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
    if (glue::truthy(con) || !direct_allowed(t))
        return nb::object();
    nb::object statement = nb::borrow(sql);
    if (t.key_by_returning) {
        nb::object text = nb::getattr(sql, name_text, nb::none());
        if (!PyUnicode_Check(text.ptr()) || PyDict_Contains(t.keyed_inserts.ptr(), text.ptr()) != 1) {
            PyErr_Clear();
            return nb::object();
        }
        statement = keyed_insert(t, nb::none(), sql);  // settled: no look-up through a session
    }
    DriverCall call = driver_call(t, statement, args);
    if (!call)
        return nb::object();
    return on_driver(t, [&](DriverConnection &c) -> nb::object {
        Watch w(t, sql, args);
        w.sent(call.sql);
        return w.run([&]() -> nb::object {
            c.execute(call);
            if (!t.key_by_returning) {
                nb::object count = c.rowcount();
                if (PyLong_Check(count.ptr()) && PyLong_AsLong(count.ptr()) >= 0)
                    w.affected(PyLong_AsLong(count.ptr()));
                return c.lastrowid();
            }
            if (c.labels(call).is_none())
                return nb::none();
            w.affected(1);
            return driver_scalar(c, call);
        });
    });
}

nb::object insert_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
    if (nb::object out = direct_insert(t, sql, con, args); out.is_valid())
        return out;
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        Watch w(t, sql, args);
        nb::object r = w.run([&] { return execute(t, s, t.key_by_returning ? keyed_insert(t, s, sql) : nb::borrow(sql), args); });
        if (!t.key_by_returning)
            return r.attr("lastrowid");
        // No lastrowid: the key is what a RETURNING clause gives.
        if (!glue::truthy(r.attr("returns_rows")))
            return nb::none();
        nb::object key = call0(r, name_scalar);
        w.affected(1);
        return key;
    });
}

nb::object insert_list_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args, nb::handle batch_size) {
    if (!batch_size.is_none())
        positive_size(batch_size, "batch_size");
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        insert_rows(t, s, sql, args, batch_size);
        return nb::none();
    });
}

nb::object select_iter_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args, nb::handle fetch_size,
                            nb::handle convert) {
    return open_select_stream(t, sql, con, args, positive_size(fetch_size, "fetch_size"), convert);
}

nb::object insert_orm2_shim(SqlTemplate &t, nb::handle statement, nb::handle data_list, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        Watch w(t, statement, data_list, PyList_Check(data_list.ptr()) ? glue::list_size(data_list.ptr()) : 0);
        return w.run([&] { return execute(s, statement, data_list); });
    });
}

// The statements an ORM flush sends, each recorded as it runs: cursor events of the session's
// connection, listened to only for the flush and only while someone records.
struct FlushWatch {
    SqlTemplate *t;
    std::unique_ptr<Watch> running;   // the statement sent and not yet answered
    std::unique_ptr<Watch> answered;  // the statement answered, recorded once the flush has read its rows
    nb::object cursor;                // the answered one's
    long count_at_answer = -1;

    static long rowcount(nb::handle cursor) {
        nb::object count = nb::getattr(cursor, "rowcount", nb::none());
        const long n = PyLong_Check(count.ptr()) ? PyLong_AsLong(count.ptr()) : -1;
        PyErr_Clear();
        return n;
    }

    // Records the answered statement with its cursor's count, the larger of the counts at the
    // answer and now: SQLite counts the rows of an INSERT ... RETURNING once they have been
    // fetched, psycopg forgets the count when the cursor closes.
    void settle() {
        if (!answered)
            return;
        const long n = std::max(count_at_answer, rowcount(cursor));
        if (n >= 0)
            answered->affected(n);
        answered.reset();
        cursor = nb::object();
    }

    // before_cursor_execute(conn, cursor, statement, parameters, context, executemany)
    void before(nb::handle statement, nb::handle params, bool many) {
        settle();
        running.reset();
        try {
            running = std::make_unique<Watch>(*t, statement, params, many ? PySequence_Size(params.ptr()) : 0);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("recording a statement");  // the statement itself goes on
        }
        PyErr_Clear();
    }
    // after_cursor_execute(conn, cursor, ...)
    void after(nb::handle answering) {
        if (!running)
            return;
        running->stop_clock();
        answered = std::move(running);
        cursor = nb::borrow(answering);
        count_at_answer = rowcount(answering);
    }
};

glue::Lazy event_listen{"sqlalchemy.event", "listen"}, event_remove{"sqlalchemy.event", "remove"},
    partial{"functools", "partial"};

// `body()`, a flush on session `s`, with each statement it sends recorded; just `body()` while
// no one records.
template <class Body>
nb::object recorded_flush(SqlTemplate &t, nb::handle s, Body &&body) {
    if (!listening(t))
        return body();
    auto watch = std::make_shared<FlushWatch>();
    watch->t = &t;
    nb::object connection = s.attr("connection")();
    // partial: the event registry keeps its listeners by weak reference
    nb::object before = partial(nb::cpp_function([watch](nb::args a) { watch->before(a[2], a[3], glue::truthy(a[5])); }));
    nb::object after = partial(nb::cpp_function([watch](nb::args a) { watch->after(a[1]); }));
    event_listen(connection, "before_cursor_execute", before);
    event_listen(connection, "after_cursor_execute", after);
    auto stop = [&] {
        event_remove(connection, "before_cursor_execute", before);
        event_remove(connection, "after_cursor_execute", after);
    };
    nb::object result;
    try {
        result = body();
    } catch (nb::python_error &e) {
        if (watch->running) {
            try {
                watch->running->failed(e.value());
            } catch (nb::python_error &again) {
                again.discard_as_unraisable("recording a failed statement");
            }
            watch->running.reset();
        }
        glue::unwind_step(e.value(), [&] { watch->settle(); });
        glue::unwind_step(e.value(), stop);
        throw;
    }
    watch->settle();
    watch->running.reset();
    stop();
    return result;
}

// session.<method>(data), then a flush; add and add_all.
template <const char *Method>
nb::object add_shim(SqlTemplate &t, nb::handle data, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        return recorded_flush(t, s, [&] {
            s.attr(Method)(data);
            s.attr("flush")();
            return nb::none();
        });
    });
}
constexpr char kAdd[] = "add", kAddAll[] = "add_all";

nb::object update_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        Watch w(t, sql, args);
        return w.run([&] { return execute(t, s, sql, args); }).attr("rowcount");
    });
}

nb::object delete_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
    return self_of(t).attr("update")(sql, con, args);
}

nb::object update_orm2_shim(SqlTemplate &t, nb::handle statement, nb::handle con, nb::handle sql_param) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        Watch w(t, statement, sql_param);
        return w.run([&] { return execute(s, statement, sql_param); }).attr("rowcount");
    });
}

nb::object delete_orm2_shim(SqlTemplate &t, nb::handle statement, nb::handle con, nb::handle sql_param) {
    return self_of(t).attr("update_orm2")(statement, con, sql_param);
}

nb::object bulk_update_mappings_shim(SqlTemplate &t, nb::handle table_model, nb::handle drumsel, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        return recorded_flush(t, s, [&] {
            s.attr("bulk_update_mappings")(table_model, drumsel);
            return nb::none();
        });
    });
}

// The first row of `result` as a dictionary, or None.
nb::object first_as_dict(nb::handle result) {
    nb::object row = result.attr("first")();
    return row.is_none() ? row : as_dict(row);
}

// A query run by `exec` and its rows taken by `take`, recorded with the number of rows taken
// (a list's length; one or none for a single row).
template <class Exec, class Take>
nb::object query(SqlTemplate &t, nb::handle stmt, nb::handle params, Exec &&exec, Take &&take) {
    Watch w(t, stmt, params);
    nb::object out = take(w.run(exec));
    nb::handle rows = PyTuple_Check(out.ptr()) ? nb::handle(glue::tuple_item(out.ptr(), 1)) : nb::handle(out);  // all_as_rows
    w.done(PyList_Check(rows.ptr()) ? glue::list_size(rows.ptr()) : rows.is_none() ? 0 : 1);
    return out;
}

// The unit of one query on the driver's connection when `con` leaves the unit to the library and
// the statement may run there (see "statements on the driver's connection"); invalid otherwise.
template <class Take>
nb::object direct_unit(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args, Take &&take) {
    if (glue::truthy(con) || !direct_allowed(t))
        return nb::object();
    DriverCall call = driver_call(t, sql, args);
    if (!call)
        return nb::object();
    return on_driver(t, [&](DriverConnection &c) { return direct_query(t, c, sql, args, call, take); });
}

nb::object select_one_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
    if (nb::object out = direct_unit(t, sql, con, args, driver_first_dict); out.is_valid())
        return out;
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        return query(t, sql, args, [&] { return execute(t, s, sql, args); }, first_as_dict);
    });
}

nb::object select_list_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
    if (nb::object out = direct_unit(t, sql, con, args, driver_dicts); out.is_valid())
        return out;
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        return query(t, sql, args, [&] { return execute(t, s, sql, args); }, all_as_dicts);
    });
}

nb::object select_rows_shim(SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args, bool first) {
    nb::object out = direct_unit(t, sql, con, args,
                                 [first](DriverConnection &c, const DriverCall &call) { return driver_rows(c, call, first); });
    if (out.is_valid())
        return out;
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        return query(t, sql, args, [&] { return execute(t, s, sql, args); },
                     [first](nb::handle r) { return all_as_rows(r, first); });
    });
}

nb::object select_one_orm1_shim(SqlTemplate &t, nb::handle statement, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        return query(t, statement, nb::none(), [&] { return execute(s, statement); }, first_as_dict);
    });
}

nb::object select_one_orm2_shim(SqlTemplate &t, nb::handle statement, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        return query(t, statement, nb::none(), [&] { return execute(s, statement); },
                     [](nb::handle r) { return r.attr("scalar_one_or_none")(); });
    });
}

nb::object select_all_orm1_shim(SqlTemplate &t, nb::handle statement, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        return query(t, statement, nb::none(), [&] { return execute(s, statement); },
                     [](nb::handle r) { return call0(r, name_all); });
    });
}

nb::object select_all_orm2_shim(SqlTemplate &t, nb::handle statement, nb::handle con) {
    return in_session(t, con, [&](nb::handle s) -> nb::object {
        return query(t, statement, nb::none(), [&] { return execute(s, statement); },
                     [](nb::handle r) { return call0(r.attr("scalars")(), name_all); });
    });
}

nb::object select_page_shim(SqlTemplate &t, nb::handle sql, nb::handle page, nb::handle con, nb::handle args,
                            bool as_rows = false) {
    auto prepared = [&](glue::PageWindow &w) {
        w = glue::page_window(page);  // checked before any statement runs
        auto [count, limited] = page_clauses_for(t, statement_text(sql));
        nb::dict values;
        if (!args.is_none() && PyDict_Update(values.ptr(), args.ptr()) < 0)
            throw nb::python_error();
        values["page_size"] = w.size;
        values["page_offset"] = w.offset;
        return std::tuple{count, limited, values};
    };
    auto head = [](const glue::PageWindow &w) {
        nb::dict out;
        out["pageNum"] = w.num;
        out["pageSize"] = w.size;
        return out;
    };
    if (!glue::truthy(con) && direct_allowed(t)) {
        glue::PageWindow w;
        auto [count, limited, values] = prepared(w);
        DriverCall counting = driver_call(t, count, args), listing = driver_call(t, limited, values);
        if (counting && listing) {
            nb::object got = on_driver(t, [&](DriverConnection &c) -> nb::object {
                nb::dict out = head(w);
                out["total"] = direct_query(t, c, count, args, counting, driver_scalar);
                out["list"] = direct_query(t, c, limited, values, listing,
                                           [as_rows](DriverConnection &c, const DriverCall &call) {
                                               return as_rows ? driver_rows(c, call, false) : driver_dicts(c, call);
                                           });
                return std::move(out);
            });
            if (got.is_valid())
                return got;
        }
    }
    return in_session<true>(t, con, [&](nb::handle s) -> nb::object {
        glue::PageWindow w;
        auto [count, limited, values] = prepared(w);
        nb::dict out = head(w);
        out["total"] = query(t, count, args, [&] { return execute(t, s, count, args); },
                             [](nb::handle r) { return call0(r, name_scalar); });
        out["list"] = query(t, limited, values, [&] { return execute(t, s, limited, values); }, [as_rows](nb::handle r) {
            return as_rows ? all_as_rows(r, false) : nb::object(all_as_dicts(r));
        });
        return std::move(out);
    });
}

}  // namespace

NB_MODULE(ostrane, m) {
    zorvane::glue::start_module();
    m.doc() = "SQL template: runs one statement per call with the library's session rules; paging.";
    intern_names();
    glue::runtime().keep(g_statement, glue::context_var_new("zorvane_statement", Py_None));
    m.attr("_statement") = nb::handle(g_statement);
    glue::runtime().keep(g_attempt, glue::context_var_new("zorvane_attempt", Py_None));
    m.attr("_attempt") = nb::handle(g_attempt);
    glue::runtime().keep(g_collectors, PyList_New(0), glue::Runtime::At::Empty);
    glue::runtime().keep(g_rollback, PyList_New(0), glue::Runtime::At::Empty);
    glue::runtime().keep(g_sqlite_statement, nb::cpp_function(&sqlite_statement, nb::name("_sqlite_statement")));
    m.attr("_rollback") = nb::handle(g_rollback);
    m.attr("_collectors") = nb::handle(g_collectors);
    nb::object statement = nb::module_::import_("collections").attr("namedtuple")(
        "Statement", nb::make_tuple("id", "sql", "params", "rows", "datasource", "operation", "duration_ms", "error"),
        "module"_a = m.attr("__name__"));
    statement.attr("__doc__") = "One statement as it ran: its id, the SQL as sent, the bound values, the rows, the "
                                "datasource, the operation, the duration in milliseconds and the error, if any.";
    glue::runtime().keep(g_statement_type, nb::object(statement));
    m.attr("Statement") = statement;
    glue::register_streams(m);
    glue::after_fork_in_child(&reset_pools_after_fork);

    nb::object module_name = m.attr("__name__");
    m.attr("Page") = make_page_class(module_name);
    m.attr("PageInfo") = make_page_info_class(module_name);
    m.def("count_query", &count_query_shim, "sql"_a.none(),
          "A new textual statement counting the rows of `sql`; values bound to `sql` are not carried over.");
    m.def("limit_query", &limit_query_shim, "sql"_a.none(), "page"_a.none(),
          "`sql` followed by limit :page_size offset :page_offset, both bound from `page`.");

    nb::class_<SessionScope>(m, "_SessionScope", "Session scope handed out by SqlTemplate.get_session.")
        .def("__enter__", &SessionScope::enter)
        .def("__exit__", &SessionScope::exit, "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());

    auto none = nb::none();
    nb::class_<SqlTemplate>(m, "SqlTemplate", "Runs one statement per call on a session of its engine.")
        .def(nb::init<nb::object>(), "data_source"_a)
        .def_ro("data_source", &SqlTemplate::data_source, "The engine on which the template opens its own sessions.")
        .def("get_session", &get_session_shim, nb::is_method(), "session"_a.none() = none,
             "Context manager: the given session, or a new one committed on success and closed at the end.")
        .def("insert", &insert_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "Executes an insert; returns lastrowid (PostgreSQL: the first column of the first row of RETURNING; an "
             "insert without one returns its table's identity or serial key, else None).")
        .def("insert_list", &insert_list_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "batch_size"_a.none() = none,
             "Inserts every dictionary of `args` once, through the driver's executemany, `batch_size` rows per "
             "execution (all at once when None); returns None.")
        .def("select_iter", &select_iter_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "fetch_size"_a.none() = 1000, "convert"_a.none() = none,
             "A RowStream over the rows of `sql` as dictionaries (or `convert` of each batch of them), fetched "
             "`fetch_size` at a time; an own session is held until the stream ends.")
        .def("insert_orm2", &insert_orm2_shim, "statement"_a, "data_list"_a.none(), "con"_a.none() = none,
             "Executes an ORM insert; returns the toolkit's result object.")
        .def("add", &add_shim<kAdd>, "data"_a.none(), "con"_a.none() = none, "Adds one object and flushes.")
        .def("add_all", &add_shim<kAddAll>, "data"_a.none(), "con"_a.none() = none, "Adds the objects and flushes.")
        .def("update", &update_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "Executes a statement; returns rowcount.")
        .def("delete", &delete_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "Same as update(sql, con, args).")
        .def("update_orm2", &update_orm2_shim, "statement"_a, "con"_a.none() = none, "sql_param"_a.none() = none,
             "Executes an ORM update or delete; returns rowcount.")
        .def("delete_orm2", &delete_orm2_shim, "statement"_a, "con"_a.none() = none, "sql_param"_a.none() = none,
             "Same as update_orm2(statement, con, sql_param).")
        .def("bulk_update_mappings", &bulk_update_mappings_shim, "table_model"_a.none(), "drumsel"_a.none() = none,
             "con"_a.none() = none, "Updates rows of `table_model` from dictionaries holding their keys.")
        .def("select_one", &select_one_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "The first row as a dictionary, or None.")
        .def("select_list", &select_list_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "All rows as dictionaries, in result order.")
        .def("_select_rows", &select_rows_shim, "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
             "first"_a = false,
             "(column labels, rows) as the result reads them, the labels even without rows; only the first row "
             "when `first`. Result classes that nest read rows this way.")
        .def("select_one_orm1", &select_one_orm1_shim, "statement"_a, "con"_a.none() = none,
             "The first row of an ORM select as a dictionary, or None.")
        .def("select_one_orm2", &select_one_orm2_shim, "statement"_a, "con"_a.none() = none,
             "The single entity or scalar of an ORM select, or None.")
        .def("select_all_orm1", &select_all_orm1_shim, "statement"_a, "con"_a.none() = none,
             "All rows of an ORM select as the toolkit's row objects.")
        .def("select_all_orm2", &select_all_orm2_shim, "statement"_a, "con"_a.none() = none,
             "All entities or scalars of an ORM select.")
        .def(
            "select_page",
            [](SqlTemplate &t, nb::handle sql, nb::handle page, nb::handle con, nb::handle args) {
                return select_page_shim(t, sql, page, con, args);
            },
            "sql"_a.none(), "page"_a.none(), "con"_a.none() = none, "args"_a.none() = none,
             "Counts the rows of `sql`, then fetches one page of them, in one session; returns the page dictionary.")
        .def(
            "_select_page_rows",
            [](SqlTemplate &t, nb::handle sql, nb::handle page, nb::handle con, nb::handle args) {
                return select_page_shim(t, sql, page, con, args, true);
            },
            "sql"_a.none(), "page"_a.none(), "con"_a.none() = none, "args"_a.none() = none,
            "select_page with (column labels, rows) in list, as _select_rows gives them.");
}
