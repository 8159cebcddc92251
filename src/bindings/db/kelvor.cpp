// src/bindings/db/kelvor.cpp: zorvane.db.kelvor, the per-datasource session object.
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/results.hpp"
#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "glue/common.hpp"

namespace {
using namespace zorvane;

glue::Lazy sessionmaker{"sqlalchemy.orm", "sessionmaker"};
glue::Lazy close_streams{"zorvane.db.ostrane", "_close_streams"};
glue::Lazy generic_alias{"types", "GenericAlias"};
glue::Lazy sql_template{"zorvane.db.ostrane", "SqlTemplate"};

// Interned method names and the keyword-name tuples of the calls made on the template.
PyObject *n_select_one, *n_select_list, *n_select_page, *n_insert, *n_insert_list, *n_delete, *n_update, *n_add,
    *n_add_all, *n_select_all_orm1, *n_select_all_orm2, *n_select_one_orm1, *n_select_one_orm2, *n_delete_orm2,
    *n_update_orm2, *n_bulk_update_mappings, *n_insert_orm2, *n_get_sql, *n_data_source, *n_list, *n_select_iter;
PyObject *kw_sql_con_args, *kw_sql_page_con_args, *kw_data_con, *kw_con, *kw_con_sql_param, *kw_sql_id_params, *kw_get_sql,
    *kw_sql_con_args_batch, *kw_sql_con_args_fetch_convert;

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

struct ZorvaneSqlSession {
    nb::object mapper_dict, data_source, connection_local, tx_depth, ostrane;
    nb::object factory;  // (engine, sessionmaker bound to it), remade when data_source changes
    nb::object tx_owner;  // per-task objects only: context variable, the task that began the transaction
    nb::object text_rules;  // (engine, db_type of its text rules), remade when the engine changes

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

    // A new session with expiry on commit switched off; not tracked by this object.
    nb::object new_session() {
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
    if (!connection.is_valid() || !depth.is_valid())
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
                                   std::move(tpl), nb::object(), nb::object(), nb::object()};
    live_sessions.insert(self.p);
}

// In a child process after os.fork(): the transactions this context inherited belong to the
// parent. Each one is forgotten without a rollback or close, which would reach the server
// over the parent's connection; its session is kept referenced for the life of the child so
// that no finaliser returns that connection to a pool either. The child starts idle.
void forget_parent_transactions() {
    std::vector<std::pair<nb::object, nb::object>> vars;
    for (ZorvaneSqlSession *s : live_sessions)
        if (s->connection_local.is_valid() && s->tx_depth.is_valid())
            vars.emplace_back(s->connection_local, s->tx_depth);
    for (auto &[connection, depth] : vars) {
        try {
            nb::object con = var_get(connection);
            if (!con.is_none()) {
                con.release();  // deliberately never released: see above
                var_set(connection, nb::none());
            }
            if (!var_get(depth).equal(nb::int_(0)))
                var_set(depth, nb::int_(0));
        } catch (nb::python_error &err) {
            err.discard_as_unraisable("forgetting a parent transaction after fork");
        }
    }
}

void begin_tx_shim(ZorvaneSqlSession &s) {
    const long d = s.depth();
    if (d > 0) {
        s.set_depth(d + 1);
        return;
    }
    var_set(s.connection_local, s.new_session());
    s.set_depth(1);
    if (s.tx_owner.is_valid())
        var_set(s.tx_owner, task_now());
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

void commit_shim(ZorvaneSqlSession &s) {
    const long d = s.depth();
    if (d > 1) {
        s.set_depth(d - 1);
        return;
    }
    nb::object con = s.con();
    if (glue::truthy(con)) {
        close_streams(con);  // a stream left open ends with its transaction
        con.attr("commit")();
    }
    s.set_depth(0);
}

// The transaction ends before the session is told, so a failing rollback still leaves the
// context ready for close.
void rollback_shim(ZorvaneSqlSession &s) {
    nb::object con = s.con();
    s.set_depth(0);
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
    if (glue::truthy(con)) {
        var_set(s.connection_local, nb::none());
        con.attr("close")();
    }
    s.set_depth(0);
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

// "mysql" when the session's engine reads statement text by MySQL's rules, else None.
nb::object db_type_of(ZorvaneSqlSession &s) {
    nb::object engine = s.data_source.is_valid() && !s.data_source.is_none()
                            ? s.data_source
                            : nb::getattr(s.ostrane, "data_source", nb::none());
    if (!s.text_rules.is_valid() || !engine.is(glue::tuple_item(s.text_rules.ptr(), 0))) {
        const glue::Backend *kind = glue::backend_of(engine);
        s.text_rules = nb::make_tuple(engine, kind && kind->text.mysql ? nb::object(nb::str("mysql")) : nb::none());
    }
    return nb::borrow(glue::tuple_item(s.text_rules.ptr(), 1));
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
    return call_method(s.ostrane, n_select_iter, {sql, s.con(), args, fetch, convert}, kw_sql_con_args_fetch_convert);
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

// Each row rendered by the statement on its own; rows rendering the same text go to the
// template's bulk insert together, several texts in one transaction.
nb::object insert_rows(ZorvaneSqlSession &s, nb::handle mapper, nb::handle sql_id, nb::handle rows) {
    std::vector<std::pair<nb::object, nb::list>> groups;  // (statement, values of its rows)
    nb::object last_text;
    nb::object db_type = db_type_of(s);
    for (nb::handle row : rows) {
        glue::check_exact(row, &PyDict_Type, "row");
        nb::object got = mapper_get_sql(mapper, sql_id, row, db_type, false);
        nb::object parts[4];
        unpack4(got, parts);
        nb::object text = parts[0].attr("text");
        if (groups.empty() || !text.equal(last_text))
            groups.emplace_back(parts[0], nb::list());
        last_text = text;
        groups.back().second.append(parts[1]);
    }
    auto run = [&] {
        for (auto &[sql, values] : groups)
            call_method(s.ostrane, n_insert_list, {sql, s.con(), values}, kw_sql_con_args);
    };
    if (groups.size() <= 1) {
        run();
        return nb::none();
    }
    begin_tx_shim(s);
    try {
        run();
        commit_shim(s);
    } catch (nb::python_error &e) {
        glue::unwind_step(e.value(), [&] { rollback_shim(s); });
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
    nb::object mapper = mapper_of(s, ns);
    if (nb::object rows = bulk_rows(mapper, sql_id, ori_params); rows.is_valid())
        return insert_rows(s, mapper, sql_id, rows);
    nb::object got = mapper_get_sql(mapper, sql_id, ori_params, db_type_of(s), strict);
    nb::object parts[4];
    unpack4(got, parts);
    auto &[sql, args, sql_type, result_type] = parts;
    if (is_kind(sql_type, "select")) {
        if (glue::truthy(page)) {
            nb::object results = call_method(s.ostrane, n_select_page, {sql, page, s.con(), args}, kw_sql_page_con_args);
            nb::object rows = nb::steal(PyObject_GetItem(results.ptr(), n_list));
            if (!rows.is_valid())
                throw nb::python_error();
            nb::object converted = glue::results_page(rows, result_type, return_type);
            if (PyObject_SetItem(results.ptr(), n_list, converted.ptr()) < 0)
                throw nb::python_error();
            return results;
        }
        if (nb::object element = glue::stream_element(return_type); element.is_valid())
            return stream_select(s, mapper, sql_id, sql, args, result_type, element);
        nb::object rows = call_method(s.ostrane, n_select_list, {sql, s.con(), args}, kw_sql_con_args);
        return glue::results_handle(rows, result_type, return_type);
    }
    if (is_kind(sql_type, "insert"))
        return call_method(s.ostrane, n_insert, {sql, s.con(), args}, kw_sql_con_args);
    if (is_kind(sql_type, "delete"))
        return call_method(s.ostrane, n_delete, {sql, s.con(), args}, kw_sql_con_args);
    if (is_kind(sql_type, "update"))
        return call_method(s.ostrane, n_update, {sql, s.con(), args}, kw_sql_con_args);
    return nb::none();
}

// Textual operations: ostrane.<name>(sql=sql, con=<transaction session>, args=sql_param).
template <PyObject **Name>
nb::object textual(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param) {
    return call_method(s.ostrane, *Name, {sql, s.con(), sql_param}, kw_sql_con_args);
}

// ORM reads and deletes: ostrane.<name>(statement, con=<transaction session>).
template <PyObject **Name>
nb::object orm(ZorvaneSqlSession &s, nb::handle statement) {
    return call_method(s.ostrane, *Name, {statement, s.con()}, kw_con);
}

// ORM operations with a list of values: ostrane.<name>(first, data_list, con=<transaction session>).
template <PyObject **Name>
nb::object orm_list(ZorvaneSqlSession &s, nb::handle first, nb::handle data_list) {
    glue::check_exact(data_list, &PyList_Type, "data_list", true);
    return call_method(s.ostrane, *Name, {first, data_list, s.con()}, kw_con);
}

// ORM additions: ostrane.<name>(data=data, con=<transaction session>).
template <PyObject **Name>
nb::object orm_add(ZorvaneSqlSession &s, nb::handle data) {
    return call_method(s.ostrane, *Name, {data, s.con()}, kw_data_con);
}

bool in_transaction_shim(ZorvaneSqlSession &s) { return s.depth() > 0; }

nb::object select_page_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle page, nb::handle sql_param) {
    return call_method(s.ostrane, n_select_page, {sql, page, s.con(), sql_param}, kw_sql_page_con_args);
}

nb::object insert_list_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param, nb::handle batch_size) {
    if (batch_size.is_none())
        return call_method(s.ostrane, n_insert_list, {sql, s.con(), sql_param}, kw_sql_con_args);
    return call_method(s.ostrane, n_insert_list, {sql, s.con(), sql_param, batch_size}, kw_sql_con_args_batch);
}

nb::object select_iter_shim(ZorvaneSqlSession &s, nb::handle sql, nb::handle sql_param, nb::handle fetch_size,
                            nb::handle convert) {
    return call_method(s.ostrane, n_select_iter, {sql, s.con(), sql_param, fetch_size, convert},
                       kw_sql_con_args_fetch_convert);
}

nb::object update_orm2_shim(ZorvaneSqlSession &s, nb::handle statement, nb::handle sql_param) {
    glue::check_exact(sql_param, &PyDict_Type, "sql_param", true);
    return call_method(s.ostrane, n_update_orm2, {statement, s.con(), sql_param}, kw_con_sql_param);
}

int session_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    auto *s = nb::inst_ptr<ZorvaneSqlSession>(self);
    for (nb::handle h : {nb::handle(s->mapper_dict), nb::handle(s->data_source), nb::handle(s->ostrane),
                         nb::handle(s->factory), nb::handle(s->tx_owner), nb::handle(s->text_rules)})
        Py_VISIT(h.ptr());
    return 0;
}

int session_clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    auto *s = nb::inst_ptr<ZorvaneSqlSession>(self);
    s->mapper_dict = s->data_source = s->ostrane = nb::none();
    s->factory = s->text_rules = nb::object();
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
    n_data_source = intern("data_source");
    n_list = intern("list");
    n_select_iter = intern("select_iter");
    kw_sql_con_args_batch = names({"sql", "con", "args", "batch_size"});
    kw_sql_con_args_fetch_convert = names({"sql", "con", "args", "fetch_size", "convert"});
    kw_sql_con_args = names({"sql", "con", "args"});
    kw_sql_page_con_args = names({"sql", "page", "con", "args"});
    kw_data_con = names({"data", "con"});
    kw_con = names({"con"});
    kw_con_sql_param = names({"con", "sql_param"});
    kw_sql_id_params = names({"sql_id", "params"});
    kw_get_sql = names({"sql_id", "params", "db_type", "strict"});
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

    m.def("results_handle", &glue::results_handle, "results"_a.none(), "result_type"_a.none(), "f_return_type"_a.none(),
          "Rows of a select shaped into the caller's return type: the rows, objects built by keyword, one row or values.");

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
        .def_prop_ro("_db_type", &db_type_of, "\"mysql\" when statements run by MySQL's text rules, else None.")
        .def("_tie_to_tasks", &tie_to_tasks_shim,
             "Makes transactions per asyncio task: a task never sees one that another task began.")
        .def("_in_transaction", &in_transaction_shim,
             "Whether a transaction of this object is open in the current context (and task).")
        .def("begin_tx", &begin_tx_shim, "Opens a transaction for this context, or one more level of the open one.")
        .def("commit", &commit_shim, "Ends one level; the outermost commits the transaction session.")
        .def("rollback", &rollback_shim, "Rolls the transaction session back and ends the transaction at any level.")
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
