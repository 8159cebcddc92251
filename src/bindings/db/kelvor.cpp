// src/bindings/db/kelvor.cpp: zorvane.db.kelvor, the per-datasource session object.
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/results.hpp"
#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "glue/common.hpp"
#include "glue/splice.hpp"
#include "glue/observe.hpp"

namespace {
using namespace zorvane;

glue::Lazy sessionmaker{"sqlalchemy.orm", "sessionmaker"};
glue::Lazy close_streams{"zorvane.db.ostrane", "_close_streams"};
glue::Lazy generic_alias{"types", "GenericAlias"};
glue::Lazy rolled_back_error{"zorvane.exception", "TransactionRolledBackError"};
glue::Lazy sql_template{"zorvane.db.ostrane", "SqlTemplate"};

// Interned method names and the keyword-name tuples of the calls made on the template.
PyObject *n_select_one, *n_select_list, *n_select_page, *n_insert, *n_insert_list, *n_delete, *n_update, *n_add,
    *n_add_all, *n_select_all_orm1, *n_select_all_orm2, *n_select_one_orm1, *n_select_one_orm2, *n_delete_orm2,
    *n_update_orm2, *n_bulk_update_mappings, *n_insert_orm2, *n_get_sql, *n_data_source, *n_list, *n_select_iter,
    *n_select_rows, *n_select_page_rows, *n_get_sql_rows;
PyObject *kw_sql_con_args, *kw_sql_page_con_args, *kw_data_con, *kw_con, *kw_con_sql_param, *kw_sql_id_params, *kw_get_sql,
    *kw_sql_con_args_batch, *kw_sql_con_args_fetch_convert, *kw_sql_con_args_first, *kw_get_sql_rows;

using glue::call_method;
using glue::intern;
using glue::names;

nb::object var_get(nb::handle var) {
    PyObject *v = nullptr;
    if (glue::context_var_get(var.ptr(), nullptr, &v) < 0)
        throw nb::python_error();
    return v ? nb::steal(v) : nb::none();
}

void var_set(nb::handle var, nb::handle value) {
    PyObject *token = glue::context_var_set(var.ptr(), value.ptr());
    if (!token)
        throw nb::python_error();
    Py_DECREF(token);
}

struct ZorvaneSqlSession;
std::unordered_set<ZorvaneSqlSession *> live_sessions;  // guarded by the GIL

// ---- zorvane_rollback (zorvane.testing): while a test runs with it, every session or
// connection the library opens on an engine is a session joined to one connection pinned per
// datasource (and per event loop for async engines), which holds an outer transaction rolled
// back at the end of the test. A joined session's transaction is a SAVEPOINT of it, so the
// outermost begin, commit and rollback of any unit (transaction scope, transactional call,
// statement outside a transaction, stream, db_session) become SAVEPOINT, RELEASE and ROLLBACK
// TO SAVEPOINT, and every nested level is a savepoint inside them as usual.

glue::Lazy rollback_list{"zorvane.db.ostrane", "_rollback"};
glue::Lazy orm_session{"sqlalchemy.orm", "Session"};
glue::Lazy weak_set{"weakref", "WeakSet"};

// The pins of the running test (key -> (connection, outer transaction, joined sessions, event
// loop or None)), else nullptr: zorvane.db.ostrane._rollback holds the dict while a test uses
// the fixture, and nothing else.
PyObject *pins() {
    PyObject *list = rollback_list.get().ptr();
    return glue::list_size(list) ? glue::list_item(list, 0) : nullptr;
}

bool rolling_back() { return pins() != nullptr; }

// The pin of `engine`, opened on first use. An async engine of an event loop carries
// `_zorvane_pin_key` (a weak reference to its datasource's engine, the loop), so the engines a
// loop makes again after dispose_async() share its pin.
nb::object pin_of(nb::handle engine) {
    PyObject *all = pins();
    if (!all)
        glue::raise(PyExc_RuntimeError, "no test runs with zorvane_rollback");
    nb::object key = nb::getattr(engine, "_zorvane_pin_key", nb::none()), loop = nb::none();
    if (key.is_none())
        key = nb::borrow(engine);
    else
        loop = nb::borrow(glue::tuple_item(key.ptr(), 1));
    if (PyObject *hit = PyDict_GetItemWithError(all, key.ptr()))
        return nb::borrow(hit);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object connection = engine.attr("connect")();
    try {
        nb::object tx = connection.attr("begin")();
        // SQLite's driver begins only before a write, and a SAVEPOINT outside a transaction
        // starts one that its RELEASE commits: the outer transaction is begun here.
        if (const glue::Backend *kind = glue::backend_of(engine); kind && !kind->server &&
            !glue::truthy(connection.attr("connection").attr("driver_connection").attr("in_transaction")))
            connection.attr("exec_driver_sql")("BEGIN");
        nb::object record = nb::make_tuple(connection, tx, weak_set(), loop);
        if (PyDict_SetItem(all, key.ptr(), record.ptr()) < 0)
            throw nb::python_error();
        return record;
    } catch (nb::python_error &e) {
        glue::unwind_step(e.value(), [&] { connection.attr("close")(); });
        throw;
    }
}

// A new session joined to the pin of `engine`: its transaction is a SAVEPOINT of the pin's.
nb::object pinned_session(nb::handle engine) {
    nb::object record = pin_of(engine);
    nb::object session = orm_session("bind"_a = nb::handle(glue::tuple_item(record.ptr(), 0)),
                                     "join_transaction_mode"_a = "create_savepoint", "expire_on_commit"_a = false);
    session.attr("info")["zorvane_streams"] = weak_set();  // streams it owns too, see glue::open_stream
    nb::handle(glue::tuple_item(record.ptr(), 2)).attr("add")(session);
    return session;
}

nb::object pinned_connection(nb::handle engine) { return nb::borrow(glue::tuple_item(pin_of(engine).ptr(), 0)); }

void forget_context_transactions(nb::handle sessions);

// Ends the pins of event loop `loop` (None: the sync ones): streams left open are closed, the
// sessions left open closed, the outer transaction rolled back and the connection closed. An
// async engine's pins are ended on their running loop; `reach` false (the loop is gone) only
// forgets them. Every pin is ended; the first failure is raised afterwards.
void end_pins(nb::handle loop, bool reach) {
    PyObject *all = pins();
    if (!all)
        return;
    glue::AllSteps step;
    for (nb::handle key : nb::list(nb::handle(all).attr("keys")())) {
        nb::object record = nb::borrow(PyDict_GetItem(all, key.ptr()));
        if (!nb::handle(glue::tuple_item(record.ptr(), 3)).is(loop))
            continue;
        PyDict_DelItem(all, key.ptr());
        if (!reach)
            continue;
        nb::handle connection(glue::tuple_item(record.ptr(), 0)), tx(glue::tuple_item(record.ptr(), 1));
        nb::object sessions = nb::list(nb::handle(glue::tuple_item(record.ptr(), 2)));
        if (loop.is_none())
            step([&] { forget_context_transactions(sessions); });
        for (nb::handle s : sessions) {
            step([&] { close_streams(s); });
            step([&] { s.attr("close")(); });
        }
        step([&] {
            if (glue::truthy(tx.attr("is_active")))
                tx.attr("rollback")();
        });
        step([&] { connection.attr("close")(); });
    }
    step.finish();
}

glue::Lazy current_task{"asyncio", "current_task"};

// The running asyncio task, or None outside one (also in threads without a running loop).
nb::object task_now() {
    PyObject *r = PyObject_CallNoArgs(current_task.get().ptr());
    if (r)
        return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

// ---- reads from replicas
//
// A datasource with replicas has one ReadRouting, shared by its sync session object and the
// per-loop async ones: where reads go after a write of this context, which replicas are in a
// cool-down after a failure, and the round-robin position. Each session object holds its own
// templates on the replicas' engines (sync or of its loop), in the routing's order.

glue::Lazy dbapi_error{"sqlalchemy.exc", "DBAPIError"};
glue::Lazy get_logger{"logging", "getLogger"};
PyObject *g_primary_reads = nullptr;  // context variable: the names pinned to their primary (a tuple)

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct ReadRouting {
    struct Replica {
        std::string label;      // "host:port", for the log
        double retry_at = 0;    // skipped until then after a failure
        bool out = false;       // in an outage: warned once, cleared by the next read it serves
    };
    nb::object name;     // the datasource's
    nb::object written;  // context variable: until when this context's reads go to the primary
    double ryw_s = 0, cooldown_s = 0;
    std::vector<Replica> replicas;
    std::size_t next = 0;

    // Whether a read of this context outside a transaction may go to a replica.
    bool replica_reads() const {
        if (rolling_back())  // the replicas cannot see what the test's transaction wrote
            return false;
        nb::object until = var_get(written);
        if (!until.is_none() && now_s() < PyFloat_AsDouble(until.ptr()))
            return false;
        if (!g_primary_reads)  // after teardown
            return false;
        nb::object pinned = var_get(g_primary_reads);
        const Py_ssize_t n = glue::tuple_size(pinned.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (glue::equals(glue::tuple_item(pinned.ptr(), i), name))
                return false;
        return true;
    }

    // The next replica in turn that is not cooling down, else -1.
    long pick(double now) {
        for (std::size_t tried = 0; tried < replicas.size(); ++tried) {
            std::size_t i = next++ % replicas.size();
            if (now >= replicas[i].retry_at)
                return static_cast<long>(i);
        }
        return -1;
    }

    void wrote() { var_set(written, nb::float_(now_s() + ryw_s)); }

    void failed(std::size_t i, nb::handle error) {
        Replica &r = replicas[i];
        r.retry_at = now_s() + cooldown_s;
        if (r.out)
            return;
        r.out = true;
        std::string text = glue::type_name(error.ptr()) + ": " + glue::text_of(error);
        text = text.substr(0, text.find('\n'));
        get_logger("zorvane.replicas")
            .attr("warning")("datasource %r: replica %s failed (%s); its reads go to another replica or the primary, "
                             "and it is tried again after %s s",
                             name, glue::make_str(r.label), glue::make_str(text), nb::float_(cooldown_s));
    }
};

void routing_init(ReadRouting *self, nb::handle name, nb::handle labels, double ryw_s, double cooldown_s) {
    std::vector<ReadRouting::Replica> replicas;
    for (nb::handle label : labels)
        replicas.push_back({std::string(glue::utf8(label))});
    const std::string id = std::to_string(reinterpret_cast<std::uintptr_t>(self));
    nb::object written = nb::steal(glue::context_var_new(("written_" + id).c_str(), Py_None));
    if (!written.is_valid())
        throw nb::python_error();
    new (self) ReadRouting{nb::borrow(name), std::move(written), ryw_s, cooldown_s, std::move(replicas), 0};
}

// A failure that says the replica cannot serve: no connection could be had (the error carries
// no statement) or the one in use broke. Errors of the statement itself are the caller's.
bool replica_down(nb::python_error &e) {
    if (!e.matches(dbapi_error.get()))
        return false;
    nb::handle v = e.value();
    return glue::truthy(nb::getattr(v, "connection_invalidated", nb::none())) ||
           nb::getattr(v, "statement", nb::none()).is_none();
}

struct ZorvaneSqlSession {
    nb::object mapper_dict, data_source, connection_local, tx_depth, ostrane;
    nb::object factory;  // (engine, sessionmaker bound to it), remade when data_source changes
    nb::object tx_owner;  // per-task objects only: context variable, the task that began the transaction
    nb::object text_rules;  // (engine, db_type of its text rules), remade when the engine changes
    // Context variables of the open transaction: the datasource name its outermost level was
    // opened with; None, or (level, cause) once the unit opened at `level` (1: the transaction,
    // else a savepoint) was rolled back while levels above it stay open; the open savepoints as
    // (level, SessionTransaction) pairs, innermost last.
    nb::object tx_name, tx_abort, tx_savepoints;
    // With replicas: the shared ReadRouting, the templates on the replicas (a tuple) and a
    // context variable telling that the open transaction wrote.
    nb::object routing, replica_templates, tx_wrote;

    ~ZorvaneSqlSession() { live_sessions.erase(this); }

    // A per-task object hides a transaction from every task but the one that began it: tasks
    // started inside it copy the context, yet must never share its connection.
    bool foreign() const {
        if (!tx_owner.is_valid())
            return false;
        nb::object owner = var_get(tx_owner);
        return !owner.is_none() && !owner.is(task_now());
    }

    nb::object con() const { return foreign() ? nb::none() : var_get(connection_local); }

    long depth() const {
        if (foreign())
            return 0;
        nb::object d = var_get(tx_depth);
        long v = PyLong_AsLong(d.ptr());
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        return v;
    }

    void set_depth(long d) { var_set(tx_depth, nb::int_(d)); }

    nb::object aborted() const { return foreign() ? nb::none() : var_get(tx_abort); }
    nb::object savepoints() const { return foreign() ? nb::tuple() : var_get(tx_savepoints); }

    // Forgets the marks of an ended transaction.
    void clear_marks() {
        var_set(tx_name, nb::none());
        var_set(tx_abort, nb::none());
        var_set(tx_savepoints, nb::tuple());
        if (routing.is_valid())
            var_set(tx_wrote, Py_False);
    }

    // A new session with expiry on commit switched off; not tracked by this object. Under
    // zorvane_rollback, a session joined to the test's connection (see pinned_session).
    nb::object new_session() {
        if (rolling_back())
            return pinned_session(data_source);
        nb::object pair = factory;  // a local reference: another thread may replace the field meanwhile
        if (!pair.is_valid() || !nb::handle(glue::tuple_item(pair.ptr(), 0)).is(data_source)) {
            nb::object made = sessionmaker("bind"_a = data_source, "expire_on_commit"_a = false);
            pair = nb::make_tuple(data_source, made);
            factory = pair;
        }
        return nb::handle(glue::tuple_item(pair.ptr(), 1))();
    }
};

void init_shim(nb::pointer_and_handle<ZorvaneSqlSession> self, nb::handle mapper_dict, nb::handle data_source,
               nb::handle ostrane) {
    glue::check_exact(mapper_dict, &PyDict_Type, "mapper_dict");
    const std::string id = std::to_string(reinterpret_cast<std::uintptr_t>(self.h.ptr()));
    nb::object connection = nb::steal(glue::context_var_new(("connection_" + id).c_str(), Py_None));
    nb::object depth = nb::steal(glue::context_var_new(("tx_depth_" + id).c_str(), nb::int_(0).ptr()));
    nb::object name = nb::steal(glue::context_var_new(("tx_name_" + id).c_str(), Py_None));
    nb::object abort = nb::steal(glue::context_var_new(("tx_abort_" + id).c_str(), Py_None));
    nb::object savepoints = nb::steal(glue::context_var_new(("tx_savepoints_" + id).c_str(), nb::tuple().ptr()));
    if (!connection.is_valid() || !depth.is_valid() || !name.is_valid() || !abort.is_valid() || !savepoints.is_valid())
        throw nb::python_error();
    nb::object source = nb::borrow(data_source), tpl;
    if (glue::truthy(ostrane)) {
        tpl = nb::borrow(ostrane);
        source = tpl.attr(nb::handle(n_data_source));
    } else if (glue::truthy(data_source)) {
        tpl = sql_template(data_source);
    } else {
        glue::raise_exception("ostrane can't init");
    }
    new (self.p) ZorvaneSqlSession{nb::borrow(mapper_dict), std::move(source), std::move(connection), std::move(depth),
                                   std::move(tpl), nb::object(), nb::object(), nb::object(),
                                   std::move(name), std::move(abort), std::move(savepoints),
                                   nb::object(), nb::object(), nb::object()};
    live_sessions.insert(self.p);
}

// In a child process after os.fork(): the transactions this context inherited belong to the
// parent. Each one is forgotten without a rollback or close, which would reach the server
// over the parent's connection; its session is kept referenced for the life of the child so
// that no finaliser returns that connection to a pool either. The child starts idle.
void forget_parent_transactions() {
    struct Vars {
        nb::object connection, depth, name, abort, savepoints;
    };
    std::vector<Vars> all;
    for (ZorvaneSqlSession *s : live_sessions)
        if (s->connection_local.is_valid() && s->tx_depth.is_valid())
            all.push_back({s->connection_local, s->tx_depth, s->tx_name, s->tx_abort, s->tx_savepoints});
    for (Vars &v : all) {
        try {
            nb::object con = var_get(v.connection);
            if (!con.is_none()) {
                con.release();  // deliberately never released: see above
                var_set(v.connection, nb::none());
            }
            if (!var_get(v.depth).equal(nb::int_(0)))
                var_set(v.depth, nb::int_(0));
            var_set(v.name, nb::none());
            var_set(v.abort, nb::none());
            var_set(v.savepoints, nb::tuple());  // their transactions stay referenced by the kept session
        } catch (nb::python_error &err) {
            err.discard_as_unraisable("forgetting a parent transaction after fork");
        }
    }
}

// A transaction the test left open in the current context on a session of `sessions` (which
// the end of its pin closes): forgotten, so the context starts idle.
void forget_context_transactions(nb::handle sessions) {
    std::vector<ZorvaneSqlSession *> all(live_sessions.begin(), live_sessions.end());
    for (ZorvaneSqlSession *s : all) {
        if (!s->connection_local.is_valid() || !s->tx_depth.is_valid())
            continue;
        nb::object con = s->con();
        if (con.is_none() || PySequence_Contains(sessions.ptr(), con.ptr()) != 1)
            continue;
        var_set(s->connection_local, nb::none());
        s->set_depth(0);
        s->clear_marks();
    }
}

// The engine transactions of `s` run on: its own, else its template's.
nb::object engine_of(ZorvaneSqlSession &s) {
    return s.data_source.is_valid() && !s.data_source.is_none() ? s.data_source
                                                                 : nb::getattr(s.ostrane, "data_source", nb::none());
}

// "Type: first line of its text" of the failure that rolled a transaction back.
std::string describe(nb::handle cause) {
    if (!cause.is_valid() || cause.is_none())
        return "an earlier failure";
    std::string type = glue::type_name(cause.ptr()), text;
    if (PyObject *str = PyObject_Str(cause.ptr())) {
        if (const char *utf8 = glue::str_utf8(str))
            text = utf8;
        Py_DECREF(str);
    }
    PyErr_Clear();
    text = text.substr(0, text.find('\n'));
    return text.empty() ? type : type + ": " + text;
}

// TransactionRolledBackError about the rolled-back unit of `s` (the transaction, or a savepoint
// when it was one), its cause chained; `at_end`: raised by the end of that unit's level rather
// than by a statement.
[[noreturn]] void raise_rolled_back(ZorvaneSqlSession &s, bool at_end) {
    nb::object abort = s.aborted();
    const bool savepoint = !abort.is_none() && !nb::handle(glue::tuple_item(abort.ptr(), 0)).equal(nb::int_(1));
    nb::object cause = abort.is_none() ? nb::none() : nb::borrow(glue::tuple_item(abort.ptr(), 1));
    nb::object name = var_get(s.tx_name);
    std::string msg = savepoint ? "a savepoint of the transaction" : "the transaction";
    if (!name.is_none())
        msg += " of datasource '" + std::string(nb::str(name).c_str()) + "'";
    msg += " was rolled back after " + describe(cause) + "; ";
    if (!at_end)
        msg += "no statement runs in it until the scope that opened it ends";
    else if (savepoint)
        msg += "nothing done in it was kept; the enclosing transaction goes on";
    else
        msg += "nothing done in it was committed";
    nb::object err = rolled_back_error(glue::make_str(msg));
    if (!cause.is_none())
        PyException_SetCause(err.ptr(), cause.release().ptr());
    PyErr_SetObject((PyObject *)Py_TYPE(err.ptr()), err.ptr());
    throw nb::python_error();
}

// The innermost savepoint's (level, transaction) when it was opened at level `d`, else an
// invalid object.
nb::object savepoint_at(ZorvaneSqlSession &s, long d) {
    nb::object all = s.savepoints();
    const Py_ssize_t n = glue::tuple_size(all.ptr());
    if (n == 0)
        return nb::object();
    nb::handle last(glue::tuple_item(all.ptr(), n - 1));
    if (!nb::handle(glue::tuple_item(last.ptr(), 0)).equal(nb::int_(d)))
        return nb::object();
    return nb::borrow(last);
}

void pop_savepoint(ZorvaneSqlSession &s) {
    nb::object all = s.savepoints();
    nb::object rest = nb::steal(PyTuple_GetSlice(all.ptr(), 0, glue::tuple_size(all.ptr()) - 1));
    if (!rest.is_valid())
        throw nb::python_error();
    var_set(s.tx_savepoints, rest);
}

// Marks the innermost unit of the open transaction (its innermost savepoint, else the
// transaction itself) rolled back by `cause`; the first mark stays.
void mark_aborted(ZorvaneSqlSession &s, nb::handle cause) {
    if (!s.aborted().is_none())
        return;
    nb::object all = s.savepoints();
    const Py_ssize_t n = glue::tuple_size(all.ptr());
    nb::object level = n ? nb::borrow(glue::tuple_item(glue::tuple_item(all.ptr(), n - 1), 0)) : nb::object(nb::int_(1));
    var_set(s.tx_abort, nb::make_tuple(level, cause.is_valid() ? cause : nb::none()));
}

void begin_tx_shim(ZorvaneSqlSession &s, nb::handle datasource_name) {
    const long d = s.depth();
    if (d > 0) {
        s.set_depth(d + 1);
        return;
    }
    // What runs Python code comes first, so that an error (an interrupt) leaves no half-begun state.
    nb::object session = s.new_session();
    nb::object owner = s.tx_owner.is_valid() ? task_now() : nb::object();
    var_set(s.connection_local, session);
    s.set_depth(1);
    if (owner.is_valid())
        var_set(s.tx_owner, owner);
    s.clear_marks();
    var_set(s.tx_name, datasource_name);
}

// A SAVEPOINT as one more level of the open transaction, else a new transaction.
void begin_savepoint_shim(ZorvaneSqlSession &s, nb::handle datasource_name) {
    const long d = s.depth();
    if (d == 0)
        return begin_tx_shim(s, datasource_name);
    if (!s.aborted().is_none())
        raise_rolled_back(s, false);
    nb::object con = s.con();
    if (const glue::Backend *kind = glue::backend_of(engine_of(s)); kind && !kind->server) {
        // SQLite's driver begins a transaction only before a write, and a SAVEPOINT outside one
        // starts a transaction of its own that its RELEASE commits: begin it first.
        nb::object connection = con.attr("connection")();
        if (!glue::truthy(connection.attr("connection").attr("driver_connection").attr("in_transaction")))
            connection.attr("exec_driver_sql")("BEGIN");
    }
    nb::object entry = nb::make_tuple(nb::int_(d + 1), con.attr("begin_nested")());
    nb::object all = nb::steal(PySequence_Concat(s.savepoints().ptr(), nb::make_tuple(entry).ptr()));
    if (!all.is_valid())
        throw nb::python_error();
    var_set(s.tx_savepoints, all);
    s.set_depth(d + 1);
}

// Sends the reads of `s` outside transactions to the replicas of `routing`, through `templates`
// (one per replica, in the routing's order).
void route_reads_shim(ZorvaneSqlSession &s, nb::handle routing, nb::handle templates) {
    if (!nb::isinstance<ReadRouting>(routing))
        glue::raise(PyExc_TypeError, "routing must be a _ReadRouting");
    nb::object all = nb::tuple(templates);
    if (static_cast<std::size_t>(glue::tuple_size(all.ptr())) != nb::inst_ptr<ReadRouting>(routing)->replicas.size())
        glue::raise(PyExc_ValueError, "one template per replica is needed");
    if (!s.tx_wrote.is_valid()) {
        const std::string id = std::to_string(reinterpret_cast<std::uintptr_t>(&s));
        s.tx_wrote = nb::steal(glue::context_var_new(("tx_wrote_" + id).c_str(), Py_False));
        if (!s.tx_wrote.is_valid())
            throw nb::python_error();
    }
    s.replica_templates = std::move(all);
    s.routing = nb::borrow(routing);
}

// Makes `s` per-task (see ZorvaneSqlSession::foreign); for the session objects of async calls.
void tie_to_tasks_shim(ZorvaneSqlSession &s) {
    if (s.tx_owner.is_valid())
        return;
    const std::string id = std::to_string(reinterpret_cast<std::uintptr_t>(&s));
    s.tx_owner = nb::steal(glue::context_var_new(("tx_owner_" + id).c_str(), Py_None));
    if (!s.tx_owner.is_valid())
        throw nb::python_error();
}

// A rolled-back transaction or savepoint is not committed: its level's end raises, the state
// left as it was for the rollback that follows.
void commit_shim(ZorvaneSqlSession &s) {
    const long d = s.depth();
    if (d > 1) {
        if (nb::object sp = savepoint_at(s, d); sp.is_valid()) {
            if (!s.aborted().is_none())
                raise_rolled_back(s, true);
            nb::handle(glue::tuple_item(sp.ptr(), 1)).attr("commit")();
            pop_savepoint(s);
        }
        s.set_depth(d - 1);
        return;
    }
    if (d == 1 && !s.aborted().is_none())
        raise_rolled_back(s, true);
    nb::object con = s.con();
    if (glue::truthy(con)) {
        close_streams(con);  // a stream left open ends with its transaction
        con.attr("commit")();
    }
    if (s.routing.is_valid() && var_get(s.tx_wrote).is(nb::handle(Py_True)))
        nb::inst_ptr<ReadRouting>(s.routing)->wrote();  // its writes are visible from now on
    s.set_depth(0);
    s.clear_marks();
}

// The transaction ends before the session is told, so a failing rollback still leaves the
// context ready for close.
void rollback_shim(ZorvaneSqlSession &s) {
    nb::object con = s.con();
    s.set_depth(0);
    s.clear_marks();
    if (glue::truthy(con)) {
        glue::unwind_step(nb::handle(), [&] { close_streams(con); });
        con.attr("rollback")();
    }
}

// Ends one level after a failure. The outermost level rolls back and ends the transaction; a
// savepoint's level rolls back to its savepoint and the levels below go on; any other level
// rolls back the innermost unit (savepoint, else the transaction), which then refuses every
// statement until the level that opened it ends. State first, as in rollback_shim.
void rollback_level_shim(ZorvaneSqlSession &s, nb::handle cause) {
    const long d = s.depth();
    if (d <= 1)
        return rollback_shim(s);
    if (nb::object sp = savepoint_at(s, d); sp.is_valid()) {
        pop_savepoint(s);
        nb::object abort = s.aborted();
        if (!abort.is_none() && nb::cast<long>(nb::handle(glue::tuple_item(abort.ptr(), 0))) >= d)
            var_set(s.tx_abort, nb::none());
        s.set_depth(d - 1);
        nb::handle tx(glue::tuple_item(sp.ptr(), 1));
        if (glue::truthy(tx.attr("is_active")))
            tx.attr("rollback")();
        return;
    }
    s.set_depth(d - 1);
    if (!s.aborted().is_none())
        return;  // already rolled back
    mark_aborted(s, cause);
    nb::object all = s.savepoints();
    if (const Py_ssize_t n = glue::tuple_size(all.ptr())) {
        nb::handle tx(glue::tuple_item(glue::tuple_item(all.ptr(), n - 1), 1));
        if (glue::truthy(tx.attr("is_active")))
            tx.attr("rollback")();
        return;
    }
    nb::object con = s.con();
    if (glue::truthy(con)) {
        glue::unwind_step(nb::handle(), [&] { close_streams(con); });
        con.attr("rollback")();
    }
}

// The session leaves the context before it is closed: a failing close cannot leave a
// half-closed session behind for the next transaction of this context.
void close_shim(ZorvaneSqlSession &s) {
    if (s.depth() > 0)
        return;
    nb::object con = s.con();
    s.clear_marks();
    if (glue::truthy(con)) {
        var_set(s.connection_local, nb::none());
        con.attr("close")();
    }
    s.set_depth(0);
}

// Runs `run(con)` with the context's transaction session, or None outside a transaction. A
// rolled-back transaction refuses it; a failure inside a transaction (which the template has
// rolled back, to the innermost savepoint when there is one) marks that unit rolled back.
template <class Run>
nb::object in_context(ZorvaneSqlSession &s, Run &&run) {
    nb::object con = s.con();
    if (s.depth() == 0)
        return run(con);
    if (!s.aborted().is_none())
        raise_rolled_back(s, false);
    try {
        return run(con);
    } catch (nb::python_error &e) {
        mark_aborted(s, e.value());
        throw;
    } catch (...) {
        mark_aborted(s, nb::handle());
        throw;
    }
}

// Stands for the context's transaction session in the arguments of op.
struct Con {};
inline nb::handle pick(nb::handle arg, nb::handle) { return arg; }
inline nb::handle pick(Con, nb::handle con) { return con; }

bool is_read(PyObject *name) {
    return name == n_select_one || name == n_select_list || name == n_select_page || name == n_select_iter ||
           name == n_select_all_orm1 || name == n_select_all_orm2 || name == n_select_one_orm1 ||
           name == n_select_one_orm2;
}

// `run(template, con)` for a session object with replicas. A read outside a transaction goes to
// the next healthy replica unless this context wrote lately or pinned its reads to the primary;
// a replica that cannot serve is left out for its cool-down and the read goes on elsewhere,
// last on the primary. Everything else runs on the primary, and a write marks the context.
template <class Run>
nb::object routed(ZorvaneSqlSession &s, bool read, Run &&run) {
    ReadRouting &r = *nb::inst_ptr<ReadRouting>(s.routing);
    auto primary = [&] { return in_context(s, [&](nb::handle con) { return run(s.ostrane, con); }); };
    if (!read) {
        const bool in_tx = s.depth() > 0;
        auto mark = [&] { in_tx ? var_set(s.tx_wrote, Py_True) : r.wrote(); };
        nb::object out;
        try {
            out = primary();
        } catch (...) {
            mark();
            throw;
        }
        mark();
        return out;
    }
    if (s.depth() > 0 || !r.replica_reads())
        return primary();
    for (long i; (i = r.pick(now_s())) >= 0;) {
        try {
            nb::object out = run(glue::tuple_item(s.replica_templates.ptr(), i), Py_None);
            r.replicas[static_cast<std::size_t>(i)].out = false;
            return out;
        } catch (nb::python_error &e) {
            if (!replica_down(e))
                throw;
            r.failed(static_cast<std::size_t>(i), e.value());
        }
    }
    return primary();
}

// ostrane.<name>(args...) through in_context, the last `kw` of them by keyword; with replicas,
// through routed.
template <class... A>
nb::object op(ZorvaneSqlSession &s, PyObject *name, PyObject *kw, A... args) {
    auto run = [&](nb::handle tpl, nb::handle con) {
        const nb::handle stack[] = {pick(args, con)...};
        return call_method(tpl, name, stack, kw);
    };
    if (s.routing.is_valid())
        return routed(s, is_read(name), run);
    return in_context(s, [&](nb::handle con) { return run(s.ostrane, con); });
}

// The parsed mapper filed under `namespace`.
nb::object mapper_of(ZorvaneSqlSession &s, nb::handle ns) {
    PyObject *mapping = s.mapper_dict.ptr();
    if (PyDict_CheckExact(mapping)) {
        PyObject *m = PyDict_GetItemWithError(mapping, ns.ptr());
        if (m)
            return nb::borrow(m);
        if (PyErr_Occurred())
            throw nb::python_error();
    } else {
        int has = PySequence_Contains(mapping, ns.ptr());
        if (has < 0)
            throw nb::python_error();
        if (has)
            return nb::steal(PyObject_GetItem(mapping, ns.ptr()));
    }
    glue::raise_exception("not found namespace: " + std::string(nb::str(ns).c_str()));
}

bool is_kind(nb::handle sql_type, const char *kind) {
    if (PyUnicode_CheckExact(sql_type.ptr()))
        return PyUnicode_CompareWithASCIIString(sql_type.ptr(), kind) == 0;
    int r = PyObject_RichCompareBool(sql_type.ptr(), nb::str(kind).ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

glue::Lazy parse_mapper_cls{"zorvane.mapper.vantrel", "ParseMapper"};

// get_sql of `mapper` for `params`: a parsed mapper file renders by the rules of `db_type`,
// with `strict` placeholders; any other mapper object is asked with the two arguments alone.
nb::object mapper_get_sql(nb::handle mapper, nb::handle sql_id, nb::handle params, nb::handle db_type, bool strict) {
    if (Py_TYPE(mapper.ptr()) != (PyTypeObject *)parse_mapper_cls.get().ptr())
        return call_method(mapper, n_get_sql, {sql_id, params}, kw_sql_id_params);
    return call_method(mapper, n_get_sql, {sql_id, params, db_type, strict ? Py_True : Py_False}, kw_get_sql);
}

// The db_type of the session's engine kind ("sqlite", "mysql", "postgresql"), else None.
nb::object db_type_of(ZorvaneSqlSession &s) {
    nb::object engine = engine_of(s);
    if (!s.text_rules.is_valid() || !engine.is(glue::tuple_item(s.text_rules.ptr(), 0))) {
        const glue::Backend *kind = glue::backend_of(engine);
        s.text_rules = nb::make_tuple(engine, kind ? nb::object(nb::str(kind->name)) : nb::none());
    }
    return nb::borrow(glue::tuple_item(s.text_rules.ptr(), 1));
}

glue::Lazy sa_text{"sqlalchemy", "text"};

// Statement `sql` of get_sql with its ${name} placeholders replaced by the identifiers of
// `params` (glue::splice_identifiers).
nb::object spliced(ZorvaneSqlSession &s, nb::handle sql, nb::handle params) {
    nb::object text = nb::getattr(sql, "text", nb::none());
    if (!PyUnicode_Check(text.ptr()))
        return nb::borrow(sql);
    const glue::Backend *kind = glue::backend_named(db_type_of(s));
    nb::object out = glue::splice_identifiers(text, params, kind ? kind->text : core::SqlDialect{});
    return out.is(text) ? nb::borrow(sql) : sa_text(out);
}

// (statement, bound values, kind, result type) from get_sql; anything else than four
// values fails as unpacking would.
void unpack4(nb::handle got, nb::object (&out)[4]) {
    if (PyTuple_CheckExact(got.ptr()) && glue::tuple_size(got.ptr()) == 4) {
        for (int i = 0; i < 4; ++i)
            out[i] = nb::borrow(glue::tuple_item(got.ptr(), i));
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(got.ptr()));
    if (!it.is_valid())
        throw nb::python_error();
    int n = 0;
    for (; n < 4; ++n) {
        out[n] = nb::steal(PyIter_Next(it.ptr()));
        if (!out[n].is_valid()) {
            if (PyErr_Occurred())
                throw nb::python_error();
            glue::raise(PyExc_ValueError, "not enough values to unpack (expected 4, got " + std::to_string(n) + ")");
        }
    }
    nb::object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid())
        glue::raise(PyExc_ValueError, "too many values to unpack (expected 4)");
    if (PyErr_Occurred())
        throw nb::python_error();
}

nb::object statement_element(nb::handle mapper, nb::handle sql_id) {
    return mapper.attr("id_2_element_map")[sql_id];
}

// A select streamed through a RowStream, `fetchSize` rows per batch (1000 when the statement
// gives none), each batch converted like a list of `element`.
nb::object stream_select(ZorvaneSqlSession &s, nb::handle mapper, nb::handle sql_id, nb::handle sql, nb::handle args,
                         nb::handle result_type, nb::handle element) {
    nb::object size = statement_element(mapper, sql_id).attr("get")("fetchSize");
    nb::object fetch = size.is_none() ? nb::int_(1000) : nb::int_(size);
    nb::object list_type = element.is_none() ? nb::none()
                                             : generic_alias(nb::handle((PyObject *)&PyList_Type), nb::make_tuple(element));
    nb::object rt = nb::borrow(result_type);
    nb::object convert = nb::cpp_function([rt, list_type](nb::handle rows) { return glue::results_handle(rows, rt, list_type); });
    if (PyType_Check(rt.ptr()))
        convert = glue::stream_converter(rt, std::move(convert));
    return op(s, n_select_iter, kw_sql_con_args_fetch_convert, sql, Con{}, args, fetch, convert);
}

// The rows of an insert called with a list as its only argument (and no <foreach> of its
// own to spread it), else an invalid object.
nb::object bulk_rows(nb::handle mapper, nb::handle sql_id, nb::handle ori_params) {
    if (ori_params.is_none() || glue::dict_size(ori_params.ptr()) != 1)
        return nb::object();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyDict_Next(ori_params.ptr(), &pos, &key, &value);
    if (!PyList_CheckExact(value))
        return nb::object();
    nb::object element = statement_element(mapper, sql_id);
    if (!nb::str(element.attr("tag")).equal(nb::str("insert")))
        return nb::object();
    nb::object foreach = element.attr("iter")("foreach");
    nb::object first = nb::steal(PyIter_Next(foreach.ptr()));
    if (PyErr_Occurred())
        throw nb::python_error();
    return first.is_valid() ? nb::object() : nb::borrow(value);
}

nb::list one_item(nb::handle v) {
    nb::list l;
    l.append(v);
    return l;
}

// Each row rendered by the statement; rows rendering the same text go to the template's bulk
// insert together, several texts in one transaction.
nb::object insert_rows(ZorvaneSqlSession &s, nb::handle mapper, nb::handle sql_id, nb::handle given) {
    nb::object rows = glue::check(PySequence_List(given.ptr()));  // rendering runs expressions: they see a copy
    nb::object db_type = db_type_of(s);
    for (nb::handle row : rows)
        glue::check_exact(row, &PyDict_Type, "row");
    // Runs of consecutive rows bound to one statement: a ParseMapper renders them all in one call
    // (a static body once), another mapper row by row.
    nb::list runs;
    if (Py_TYPE(mapper.ptr()) == (PyTypeObject *)parse_mapper_cls.get().ptr()) {
        runs = nb::borrow<nb::list>(call_method(mapper, n_get_sql_rows, {sql_id, rows, db_type}, kw_get_sql_rows));
    } else {
        for (nb::handle row : rows) {
            nb::object parts[4];
            unpack4(mapper_get_sql(mapper, sql_id, row, db_type, false), parts);
            const Py_ssize_t n = glue::list_size(runs.ptr());
            if (n && parts[0].is(glue::tuple_item(glue::list_item(runs.ptr(), n - 1), 0)))
                nb::borrow<nb::list>(glue::tuple_item(glue::list_item(runs.ptr(), n - 1), 1)).append(parts[1]);
            else
                runs.append(nb::make_tuple(parts[0], one_item(parts[1])));
        }
    }
    // Rows whose statements read the same text after the ${} splice go to one group.
    std::vector<std::pair<nb::object, nb::list>> groups;  // (statement, values of its rows)
    nb::object last_text;
    auto add = [&](nb::handle sql, nb::handle values) {
        nb::object text = sql.attr("text");
        if (groups.empty() || !text.equal(last_text))
            groups.emplace_back(nb::borrow(sql), nb::list());
        last_text = text;
        nb::list &into = groups.back().second;
        if (PyList_SetSlice(into.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, values.ptr()) < 0)
            throw nb::python_error();
    };
    Py_ssize_t at = 0;  // the first row of the run
    for (nb::handle run : runs) {
        nb::handle clause = glue::tuple_item(run.ptr(), 0), values = glue::tuple_item(run.ptr(), 1);
        const Py_ssize_t n = glue::list_size(values.ptr());
        for (Py_ssize_t k = 0; k < n; ++k) {
            nb::object sql = spliced(s, clause, glue::list_item(rows.ptr(), at + k));
            if (sql.is(clause)) {  // a text with no ${}: the same for the rest of the run
                add(sql, k == 0 ? nb::borrow(values) : glue::check(PyList_GetSlice(values.ptr(), k, n)));
                break;
            }
            add(sql, one_item(glue::list_item(values.ptr(), k)));
        }
        at += n;
    }
    auto run = [&] {
        for (auto &[sql, values] : groups)
            op(s, n_insert_list, kw_sql_con_args, sql, Con{}, values);
    };
    if (groups.size() <= 1) {
        run();
        return nb::none();
    }
    begin_tx_shim(s, nb::none());
    try {
        run();
        commit_shim(s);
    } catch (nb::python_error &e) {
        glue::unwind_step(e.value(), [&] { rollback_level_shim(s, e.value()); });
        glue::unwind_step(e.value(), [&] { close_shim(s); });
        throw;
    }
    close_shim(s);
    return nb::none();
}

nb::object execute_sql_shim(ZorvaneSqlSession &s, nb::handle sql_id, nb::handle ns, nb::handle ori_params, nb::handle page,
                            nb::handle return_type, bool strict) {
    glue::check_exact(sql_id, &PyUnicode_Type, "sql_id");
    glue::check_exact(ns, &PyUnicode_Type, "namespace", true);
    glue::check_exact(ori_params, &PyDict_Type, "ori_params", true);
    glue::StatementId named(ns.is_none() ? nb::borrow(sql_id) : nb::make_tuple(ns, sql_id));
    nb::object mapper = mapper_of(s, ns);
    if (nb::object rows = bulk_rows(mapper, sql_id, ori_params); rows.is_valid())
        return insert_rows(s, mapper, sql_id, rows);
    nb::object got = mapper_get_sql(mapper, sql_id, ori_params, db_type_of(s), strict);
    nb::object parts[4];
    unpack4(got, parts);
    parts[0] = spliced(s, parts[0], ori_params);
    auto &[sql, args, sql_type, result_type] = parts;
    if (is_kind(sql_type, "select")) {
        const bool nests = glue::rows_nest(result_type);  // rows come as (labels, rows)
        if (glue::truthy(page)) {
            nb::object results = op(s, nests ? n_select_page_rows : n_select_page, kw_sql_page_con_args, sql, page, Con{}, args);
            nb::object rows = nb::steal(PyObject_GetItem(results.ptr(), n_list));
            if (!rows.is_valid())
                throw nb::python_error();
            nb::object converted =
                nests ? glue::results_rows(glue::tuple_item(rows.ptr(), 0), glue::tuple_item(rows.ptr(), 1), result_type,
                                           return_type, true)
                      : glue::results_page(rows, result_type, return_type);
            if (PyObject_SetItem(results.ptr(), n_list, converted.ptr()) < 0)
                throw nb::python_error();
            return results;
        }
        if (nb::object element = glue::stream_element(return_type); element.is_valid())
            return stream_select(s, mapper, sql_id, sql, args, result_type, element);
        if (nests) {
            nb::object got = op(s, n_select_rows, kw_sql_con_args, sql, Con{}, args);
            return glue::results_rows(glue::tuple_item(got.ptr(), 0), glue::tuple_item(got.ptr(), 1), result_type,
                                      return_type, false);
        }
        nb::object rows = op(s, n_select_list, kw_sql_con_args, sql, Con{}, args);
        return glue::results_handle(rows, result_type, return_type);
    }
    if (is_kind(sql_type, "insert"))
        return op(s, n_insert, kw_sql_con_args, sql, Con{}, args);
    if (is_kind(sql_type, "delete"))
        return op(s, n_delete, kw_sql_con_args, sql, Con{}, args);
    if (is_kind(sql_type, "update"))
        return op(s, n_update, kw_sql_con_args, sql, Con{}, args);
    return nb::none();
}

// Textual operations: ostrane.<name>(sql=sql, con=<transaction session>, args=sql_param).
template <PyObject **Name>
nb::object textual(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param) {
    return op(s, *Name, kw_sql_con_args, sql, Con{}, sql_param);
}

// ORM reads and deletes: ostrane.<name>(statement, con=<transaction session>).
template <PyObject **Name>
nb::object orm(ZorvaneSqlSession &s, nb::handle statement) {
    return op(s, *Name, kw_con, statement, Con{});
}

// ORM operations with a list of values: ostrane.<name>(first, data_list, con=<transaction session>).
template <PyObject **Name>
nb::object orm_list(ZorvaneSqlSession &s, nb::handle first, nb::handle data_list) {
    glue::check_exact(data_list, &PyList_Type, "data_list", true);
    return op(s, *Name, kw_con, first, data_list, Con{});
}

// ORM additions: ostrane.<name>(data=data, con=<transaction session>).
template <PyObject **Name>
nb::object orm_add(ZorvaneSqlSession &s, nb::handle data) {
    return op(s, *Name, kw_data_con, data, Con{});
}

bool in_transaction_shim(ZorvaneSqlSession &s) { return s.depth() > 0; }

nb::object select_page_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle page, nb::handle sql_param) {
    return op(s, n_select_page, kw_sql_page_con_args, sql, page, Con{}, sql_param);
}

nb::object select_rows_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param, bool first) {
    return op(s, n_select_rows, kw_sql_con_args_first, sql, Con{}, sql_param, first ? Py_True : Py_False);
}

nb::object select_page_rows_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle page, nb::handle sql_param) {
    return op(s, n_select_page_rows, kw_sql_page_con_args, sql, page, Con{}, sql_param);
}

nb::object insert_list_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param, nb::handle batch_size) {
    if (batch_size.is_none())
        return op(s, n_insert_list, kw_sql_con_args, sql, Con{}, sql_param);
    return op(s, n_insert_list, kw_sql_con_args_batch, sql, Con{}, sql_param, batch_size);
}

nb::object select_iter_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param, nb::handle fetch_size,
                            nb::handle convert) {
    return op(s, n_select_iter, kw_sql_con_args_fetch_convert, sql, Con{}, sql_param, fetch_size, convert);
}

nb::object update_orm2_shim(ZorvaneSqlSession &s, nb::handle statement, nb::handle sql_param) {
    glue::check_exact(sql_param, &PyDict_Type, "sql_param", true);
    return op(s, n_update_orm2, kw_con_sql_param, statement, Con{}, sql_param);
}

int session_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    auto *s = nb::inst_ptr<ZorvaneSqlSession>(self);
    for (nb::handle h : {nb::handle(s->mapper_dict), nb::handle(s->data_source), nb::handle(s->ostrane),
                         nb::handle(s->factory), nb::handle(s->tx_owner), nb::handle(s->text_rules),
                         nb::handle(s->routing), nb::handle(s->replica_templates)})
        Py_VISIT(h.ptr());
    return 0;
}

int session_clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    auto *s = nb::inst_ptr<ZorvaneSqlSession>(self);
    s->mapper_dict = s->data_source = s->ostrane = nb::none();
    s->factory = s->text_rules = s->routing = s->replica_templates = nb::object();
    return 0;
}

void intern_names() {
    n_select_one = intern("select_one");
    n_select_list = intern("select_list");
    n_select_page = intern("select_page");
    n_insert = intern("insert");
    n_insert_list = intern("insert_list");
    n_delete = intern("delete");
    n_update = intern("update");
    n_add = intern("add");
    n_add_all = intern("add_all");
    n_select_all_orm1 = intern("select_all_orm1");
    n_select_all_orm2 = intern("select_all_orm2");
    n_select_one_orm1 = intern("select_one_orm1");
    n_select_one_orm2 = intern("select_one_orm2");
    n_delete_orm2 = intern("delete_orm2");
    n_update_orm2 = intern("update_orm2");
    n_bulk_update_mappings = intern("bulk_update_mappings");
    n_insert_orm2 = intern("insert_orm2");
    n_get_sql = intern("get_sql");
    n_get_sql_rows = intern("_get_sql_rows");
    n_data_source = intern("data_source");
    n_list = intern("list");
    n_select_iter = intern("select_iter");
    n_select_rows = intern("_select_rows");
    n_select_page_rows = intern("_select_page_rows");
    kw_sql_con_args_first = names({"sql", "con", "args", "first"});
    kw_sql_con_args_batch = names({"sql", "con", "args", "batch_size"});
    kw_sql_con_args_fetch_convert = names({"sql", "con", "args", "fetch_size", "convert"});
    kw_sql_con_args = names({"sql", "con", "args"});
    kw_sql_page_con_args = names({"sql", "page", "con", "args"});
    kw_data_con = names({"data", "con"});
    kw_con = names({"con"});
    kw_con_sql_param = names({"con", "sql_param"});
    kw_sql_id_params = names({"sql_id", "params"});
    kw_get_sql = names({"sql_id", "params", "db_type", "strict"});
    kw_get_sql_rows = names({"sql_id", "rows", "db_type"});
}

PyType_Slot session_slots[] = {
    {Py_tp_traverse, (void *)session_traverse}, {Py_tp_clear, (void *)session_clear}, {0, nullptr}};

}  // namespace

NB_MODULE(kelvor, m) {
    zorvane::glue::start_module();
    m.doc() = "SQL session: per-context nested transactions and mapper statements by namespace and id.";
    nb::module_::import_("zorvane.utils.pennick");
    glue::init_results();
    glue::after_fork_in_child(&forget_parent_transactions);
    intern_names();

    m.def("_pinned_session", &pinned_session, "engine"_a,
          "Under zorvane_rollback: a new session joined to the test's connection of `engine`, its transaction a "
          "SAVEPOINT.");
    m.def("_pinned_connection", &pinned_connection, "engine"_a,
          "Under zorvane_rollback: the test's connection of `engine`, opened with its outer transaction on first use.");
    m.def("_end_pins", &end_pins, "loop"_a.none(), "reach"_a = true,
          "Rolls back and closes the test's connections of event loop `loop` (None: the sync ones); with `reach` "
          "false, only forgets them.");
    m.def("results_handle", &glue::results_handle, "results"_a.none(), "result_type"_a.none(), "f_return_type"_a.none(),
          "Rows of a select shaped into the caller's return type: the rows, objects built by keyword, one row or values.");

    glue::runtime().keep(g_primary_reads, glue::context_var_new("zorvane_primary_reads", nb::tuple().ptr()));
    m.attr("_primary_reads") = nb::handle(g_primary_reads);
    nb::class_<ReadRouting>(m, "_ReadRouting",
                            "Where the reads of a datasource with replicas go: shared by its session objects.")
        .def("__init__", &routing_init, "name"_a, "labels"_a, "read_your_writes_s"_a, "cooldown_s"_a)
        .def_ro("name", &ReadRouting::name, "The datasource's name.")
        .def_prop_ro(
            "cooling",
            [](ReadRouting &r) {
                nb::list out;
                const double now = now_s();
                for (const ReadRouting::Replica &x : r.replicas)
                    if (now < x.retry_at)
                        out.append(glue::make_str(x.label));
                return out;
            },
            "The replicas (host:port) left out after a failure until their cool-down ends.");

    using S = ZorvaneSqlSession;
    auto none = nb::none();
    auto value = nb::for_setter("value"_a.none());
    nb::class_<S>(m, "ZorvaneSqlSession", nb::type_slots(session_slots),
                  "Per-datasource session object: nested transactions per thread or task, mapper statements by id.")
        .def("__init__", &init_shim, "mapper_dict"_a.none(), "data_source"_a.none() = none, "ostrane"_a.none() = none)
        .def_rw("mapper_dict", &S::mapper_dict, value, "Namespace -> parsed mapper; the shared mapping, not a copy.")
        .def_rw("data_source", &S::data_source, value, "The engine on which transaction sessions are opened.")
        .def_ro("connection_local", &S::connection_local, "Context variable: the current context's transaction session.")
        .def_ro("_tx_depth", &S::tx_depth, "Context variable: the current context's transaction nesting depth.")
        .def_rw("ostrane", &S::ostrane, value, "The SqlTemplate that every statement operation is forwarded to.")
        .def("_ZorvaneSqlSession__con", &S::con, "The current context's transaction session, or None.")
        .def("get_ori_session", &S::new_session, "A new SQLAlchemy session on data_source, not tracked by this object.")
        .def_prop_ro("_db_type", &db_type_of, "The kind of the session's database (\"sqlite\", \"mysql\", \"postgresql\"), else None.")
        .def("_route_reads", &route_reads_shim, "routing"_a, "templates"_a,
             "Sends reads outside transactions to the replicas of `routing` through `templates`, one per replica.")
        .def_prop_ro(
            "_routing", [](S &s) { return s.routing.is_valid() ? s.routing : nb::none(); },
            "The _ReadRouting of a datasource with replicas, else None.")
        .def("_tie_to_tasks", &tie_to_tasks_shim,
             "Makes transactions per asyncio task: a task never sees one that another task began.")
        .def("_in_transaction", &in_transaction_shim,
             "Whether a transaction of this object is open in the current context (and task).")
        .def("begin_tx", &begin_tx_shim, "datasource_name"_a.none() = none,
             "Opens a transaction for this context (its errors name `datasource_name`), or one more level of the "
             "open one.")
        .def("begin_savepoint", &begin_savepoint_shim, "datasource_name"_a.none() = none,
             "Opens a SAVEPOINT as one more level of the open transaction, else a transaction as begin_tx does.")
        .def("commit", &commit_shim,
             "Ends one level: a savepoint's releases it, the outermost commits the transaction session. Raises "
             "TransactionRolledBackError at the level that opened a unit rolled back earlier.")
        .def("rollback", &rollback_shim, "Rolls the transaction session back and ends the transaction at any level.")
        .def("rollback_level", &rollback_level_shim, "cause"_a.none() = none,
             "Ends one level after the failure `cause`: the outermost rolls back and ends the transaction, a "
             "savepoint's rolls back to its savepoint; any other rolls back the innermost savepoint or else the "
             "transaction, whose statements then raise TransactionRolledBackError until the level that opened it "
             "ends.")
        .def("close", &close_shim, "Closes the ended transaction's session; does nothing while a level is open.")
        .def("execute_sql", &execute_sql_shim, "sql_id"_a.none(), "namespace"_a.none() = none,
             "ori_params"_a.none() = none, "page"_a.none() = none, "return_type"_a.none() = none, nb::kw_only(),
             "strict"_a = false,
             "Renders the mapper statement `sql_id` of `namespace` by the rules of the session's database, runs it "
             "by its kind and converts select rows. With `strict`, a #{name} that `ori_params` does not hold raises "
             "ParameterError before any SQL runs.")
        .def("select_one", &textual<&n_select_one>, "sql"_a.none(), "sql_param"_a.none() = none,
             "The first row as a dictionary, or None.")
        .def("select_list", &textual<&n_select_list>, "sql"_a.none(), "sql_param"_a.none() = none,
             "All rows as dictionaries.")
        .def("select_page", &select_page_shim, "sql"_a.none(), "page"_a.none(), "sql_param"_a.none() = none,
             "One page of a select as a page dictionary.")
        .def("_select_rows", &select_rows_shim, "sql"_a.none(), "sql_param"_a.none() = none, "first"_a = false,
             "(column labels, rows) of a select as the result reads them; the first row only when `first`.")
        .def("_select_page_rows", &select_page_rows_shim, "sql"_a.none(), "page"_a.none(), "sql_param"_a.none() = none,
             "select_page with (column labels, rows) in list.")
        .def("insert", &textual<&n_insert>, "sql"_a.none(), "sql_param"_a.none(),
             "Executes an insert; returns lastrowid (PostgreSQL: the first column of the first row of RETURNING, else "
             "None).")
        .def("insert_list", &insert_list_shim, "sql"_a.none(), "sql_param"_a.none(), "batch_size"_a.none() = none,
             "Inserts every dictionary of `sql_param` once, `batch_size` rows per execution (all at once when None).")
        .def("select_iter", &select_iter_shim, "sql"_a.none(), "sql_param"_a.none() = none,
             "fetch_size"_a.none() = 1000, "convert"_a.none() = none,
             "A RowStream over the rows of a select as dictionaries (or `convert` of each batch), `fetch_size` at a "
             "time.")
        .def("delete", &textual<&n_delete>, "sql"_a.none(), "sql_param"_a.none(), "Executes a delete; returns rowcount.")
        .def("update", &textual<&n_update>, "sql"_a.none(), "sql_param"_a.none(), "Executes an update; returns rowcount.")
        .def("add", &orm_add<&n_add>, "data"_a.none(), "Adds one object and flushes.")
        .def("add_all", &orm_add<&n_add_all>, "datas"_a.none(), "Adds the objects and flushes.")
        .def("select_all_orm1", &orm<&n_select_all_orm1>, "statement"_a.none(),
             "All rows of an ORM select as the toolkit's row objects.")
        .def("select_all_orm2", &orm<&n_select_all_orm2>, "statement"_a.none(), "All entities or scalars of an ORM select.")
        .def("select_one_orm1", &orm<&n_select_one_orm1>, "statement"_a.none(),
             "The first row of an ORM select as a dictionary, or None.")
        .def("select_one_orm2", &orm<&n_select_one_orm2>, "statement"_a.none(),
             "The single entity or scalar of an ORM select, or None.")
        .def("delete_orm2", &orm<&n_delete_orm2>, "statement"_a.none(), "Executes an ORM delete; returns rowcount.")
        .def("update_orm2", &update_orm2_shim, "statement"_a.none(), "sql_param"_a.none() = none,
             "Executes an ORM update; returns rowcount.")
        .def("bulk_update_mappings", &orm_list<&n_bulk_update_mappings>, "table_model"_a.none(),
             "data_list"_a.none() = none, "Updates rows of `table_model` from key dictionaries.")
        .def("insert_orm2", &orm_list<&n_insert_orm2>, "statement"_a.none(), "data_list"_a.none() = none,
             "Executes an ORM insert; returns the toolkit's result.");
}
