// src/bindings/db/ostrane.cpp: zorvane.db.ostrane, one statement per call on a toolkit session; paging.
#include <unordered_set>
#include <vector>

#include "glue/common.hpp"
#include "paging/count_query.hpp"

namespace {
using namespace zorvane;

glue::Lazy sessionmaker{"sqlalchemy.orm", "sessionmaker"};
glue::Lazy sa_text{"sqlalchemy", "text"};

PyObject *name_commit, *name_rollback, *name_close, *name_execute, *name_all, *name_keys;
PyObject *name_text, *name_scalar, *name_page_num, *name_page_size, *limit_suffix;

nb::object call0(nb::handle obj, PyObject *name) {
    PyObject *r = glue::call_method0(obj.ptr(), name);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

struct SqlTemplate;
std::unordered_set<SqlTemplate *> live_templates;  // guarded by the GIL

struct SqlTemplate {
    nb::object data_source;
    nb::object factory;     // one session factory per template, made on first use
    bool postgres = false;  // keys come from RETURNING, counts carry no ORDER BY
    nb::dict page_clauses;  // statement text -> (count clause, page clause), see page_clauses_for

    explicit SqlTemplate(nb::object ds) : data_source(std::move(ds)) {
        nb::object name = nb::getattr(nb::getattr(data_source, "dialect", nb::none()), "name", nb::none());
        postgres = PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), "postgresql") == 0;
        live_templates.insert(this);
    }
    ~SqlTemplate() { live_templates.erase(this); }
    SqlTemplate(const SqlTemplate &) = delete;
    SqlTemplate &operator=(const SqlTemplate &) = delete;

    nb::object new_session() {
        if (!factory.is_valid())
            factory = sessionmaker(nb::arg("bind") = data_source, nb::arg("expire_on_commit") = false);
        return factory();
    }
};

// After a failed body: rollback of the session in use, close when owned. Failures of
// these steps are attached to `exc` as notes; the body's exception goes on unchanged.
void unwind(nb::handle s, bool own, nb::handle exc) {
    glue::unwind_step(exc, [&] { call0(s, name_rollback); });
    if (own)
        glue::unwind_step(exc, [&] { call0(s, name_close); });
}

// The library's session rule: work in the caller's session when one is given (never
// committed or closed here), else in a fresh one that is committed on success; on any
// exception (interrupts included) the session in use is rolled back; an owned session is
// always closed.
template <class Body>
nb::object in_session(SqlTemplate &t, nb::handle con, Body &&body) {
    const bool own = !glue::truthy(con);
    nb::object s = own ? t.new_session() : nb::borrow(con);
    nb::object result;
    try {
        result = body(s);
        if (own)
            call0(s, name_commit);
    } catch (nb::python_error &e) {
        unwind(s, own, e.value());
        throw;
    } catch (...) {
        unwind(s, own, nb::handle());
        throw;
    }
    if (own)
        call0(s, name_close);
    return result;
}

nb::object execute(nb::handle s, nb::handle stmt, nb::handle params) {
    PyObject *args[] = {nullptr, s.ptr(), stmt.ptr(), params.ptr()};  // slot 0 is scratch for the callee
    PyObject *r = PyObject_VectorcallMethod(name_execute, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object execute(nb::handle s, nb::handle stmt) {
    PyObject *args[] = {nullptr, s.ptr(), stmt.ptr()};
    PyObject *r = PyObject_VectorcallMethod(name_execute, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object as_dict(nb::handle row) { return row.attr("_asdict")(); }

// All rows of `result` as dictionaries, column label -> value in column order. With
// unique labels the dictionaries are built straight from the row values, which gives
// what Row._asdict() gives; duplicate labels go through _asdict() itself.
nb::list all_as_dicts(nb::handle result) {
    nb::object rows = call0(result, name_all);
    if (!PyList_CheckExact(rows.ptr()))
        rows = nb::list(rows);
    const Py_ssize_t n = glue::list_size(rows.ptr());
    nb::list out = nb::steal<nb::list>(PyList_New(n));
    if (n == 0)
        return out;
    nb::list keys(call0(result, name_keys));
    const Py_ssize_t k = glue::list_size(keys.ptr());
    bool unique = true;
    for (Py_ssize_t a = 0; a < k && unique; ++a)
        for (Py_ssize_t b = a + 1; b < k && unique; ++b)
            unique = PyUnicode_Check(glue::list_item(keys.ptr(), a)) &&
                     PyUnicode_Compare(glue::list_item(keys.ptr(), a), glue::list_item(keys.ptr(), b)) != 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = glue::list_item(rows.ptr(), i);
        if (!unique) {
            glue::list_set(out.ptr(), i, as_dict(row).release().ptr());
            continue;
        }
        nb::object d = nb::steal(glue::dict_presized(k));
        nb::object it = nb::steal(PyObject_GetIter(row));
        if (!d.is_valid() || !it.is_valid())
            throw nb::python_error();
        for (Py_ssize_t c = 0; c < k; ++c) {
            nb::object v = nb::steal(PyIter_Next(it.ptr()));
            if (!v.is_valid()) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                glue::raise(PyExc_RuntimeError, "row is shorter than its keys");
            }
            if (PyDict_SetItem(d.ptr(), glue::list_item(keys.ptr(), c), v.ptr()) < 0)
                throw nb::python_error();
        }
        glue::list_set(out.ptr(), i, d.release().ptr());
    }
    return out;
}

// Context manager behind SqlTemplate.get_session.
struct SessionScope {
    nb::object owner;  // keeps the template alive
    SqlTemplate *tpl;
    nb::object con;
    nb::object session;
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
        if (!exc_type.is_none()) {
            unwind(s, own, exc);
            return false;
        }
        if (!own)
            return false;
        try {
            call0(s, name_commit);
        } catch (nb::python_error &e) {
            unwind(s, true, e.value());
            throw;
        } catch (...) {
            unwind(s, true, nb::handle());
            throw;
        }
        call0(s, name_close);
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

nb::object limit_stmt(nb::handle text, nb::handle page_num, nb::handle page_size) {
    nb::object before = nb::steal(PyNumber_Subtract(page_num.ptr(), nb::int_(1).ptr()));
    if (!before.is_valid())
        throw nb::python_error();
    nb::object offset = nb::steal(PyNumber_Multiply(before.ptr(), page_size.ptr()));
    nb::object full = nb::steal(PyUnicode_Concat(text.ptr(), limit_suffix));
    if (!offset.is_valid() || !full.is_valid())
        throw nb::python_error();
    return sa_text(full).attr("bindparams")(nb::arg("page_size") = page_size, nb::arg("page_offset") = offset);
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
    nb::object full = nb::steal(PyUnicode_Concat(text.ptr(), limit_suffix));
    if (!full.is_valid())
        throw nb::python_error();
    nb::object count = count_stmt(text, t.postgres), page = sa_text(full);
    if (glue::dict_size(t.page_clauses.ptr()) >= 1024)  // texts built at run time must not grow it forever
        PyDict_Clear(t.page_clauses.ptr());
    t.page_clauses[text] = nb::make_tuple(count, page);
    return {count, page};
}

nb::object get_attr(nb::handle obj, PyObject *name) {
    PyObject *r = PyObject_GetAttr(obj.ptr(), name);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
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

nb::object make_page_class(nb::handle module_name) {
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "Page";
    ns["__doc__"] = "A page request: pageNum counted from 1 and pageSize rows per page.";
    ns["__init__"] = nb::cpp_function(&page_init, nb::is_method(), nb::name("__init__"), "page_num"_a.none(),
                                      "page_size"_a.none(), "Converts both numbers to int; None and text are rejected.");
    nb::object inspect = nb::module_::import_("inspect");
    nb::object param = inspect.attr("Parameter");
    nb::object kind = param.attr("POSITIONAL_OR_KEYWORD");
    ns["__signature__"] = inspect.attr("Signature")(nb::make_tuple(param("page_num", kind), param("page_size", kind)));
    return nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))("Page", nb::make_tuple(), ns);
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

}  // namespace

NB_MODULE(ostrane, m) {
    zorvane::glue::quiet_shutdown();
    m.doc() = "SQL template: runs one statement per call with the library's session rules; paging.";
    name_commit = PyUnicode_InternFromString("commit");
    name_rollback = PyUnicode_InternFromString("rollback");
    name_close = PyUnicode_InternFromString("close");
    name_execute = PyUnicode_InternFromString("execute");
    name_all = PyUnicode_InternFromString("all");
    name_keys = PyUnicode_InternFromString("keys");
    name_text = PyUnicode_InternFromString("text");
    name_scalar = PyUnicode_InternFromString("scalar");
    name_page_num = PyUnicode_InternFromString("pageNum");
    name_page_size = PyUnicode_InternFromString("pageSize");
    limit_suffix = PyUnicode_InternFromString(" limit :page_size offset :page_offset");
    glue::after_fork_in_child(&reset_pools_after_fork);

    nb::object module_name = m.attr("__name__");
    m.attr("Page") = make_page_class(module_name);
    m.attr("PageInfo") = make_page_info_class(module_name);
    m.def(
        "count_query", [](nb::handle sql) { return count_stmt(statement_text(sql)); }, "sql"_a.none(),
        "A new textual statement counting the rows of `sql`; values bound to `sql` are not carried over.");
    m.def(
        "limit_query",
        [](nb::handle sql, nb::handle page) {
            nb::object text = statement_text(sql);
            return limit_stmt(text, get_attr(page, name_page_num), get_attr(page, name_page_size));
        },
        "sql"_a.none(), "page"_a.none(),
        "`sql` followed by limit :page_size offset :page_offset, both bound from `page`.");

    nb::class_<SessionScope>(m, "_SessionScope", "Session scope handed out by SqlTemplate.get_session.")
        .def("__enter__", &SessionScope::enter)
        .def("__exit__", &SessionScope::exit, "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());

    auto none = nb::none();
    nb::class_<SqlTemplate>(m, "SqlTemplate", "Runs one statement per call on a session of its engine.")
        .def(nb::init<nb::object>(), "data_source"_a)
        .def_ro("data_source", &SqlTemplate::data_source, "The engine on which the template opens its own sessions.")
        .def(
            "get_session",
            [](nb::handle self, nb::handle session) {
                auto *scope = new SessionScope{nb::borrow(self), nb::inst_ptr<SqlTemplate>(self), nb::borrow(session)};
                return nb::cast(scope, nb::rv_policy::take_ownership);
            },
            nb::is_method(), "session"_a.none() = none,
            "Context manager: the given session, or a new one committed on success and closed at the end.")
        .def(
            "insert",
            [](SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    nb::object r = execute(s, sql, args);
                    if (!t.postgres)
                        return r.attr("lastrowid");
                    // PostgreSQL has no lastrowid: the key is what a RETURNING clause gives.
                    return glue::truthy(r.attr("returns_rows")) ? call0(r, name_scalar) : nb::none();
                });
            },
            "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
            "Executes an insert; returns lastrowid (PostgreSQL: the first column of the first row of RETURNING, else None).")
        .def(
            "insert_list",
            [](SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    execute(s, sql, args);
                    return nb::none();
                });
            },
            "sql"_a, "con"_a.none() = none, "args"_a.none() = none,
            "Executes an insert once per dictionary of `args`; returns None.")
        .def(
            "insert_orm2",
            [](SqlTemplate &t, nb::handle statement, nb::handle data_list, nb::handle con) {
                return in_session(t, con, [&](nb::handle s) -> nb::object { return execute(s, statement, data_list); });
            },
            "statement"_a, "data_list"_a.none(), "con"_a.none() = none,
            "Executes an ORM insert; returns the toolkit's result object.")
        .def(
            "add",
            [](SqlTemplate &t, nb::handle data, nb::handle con) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    s.attr("add")(data);
                    s.attr("flush")();
                    return nb::none();
                });
            },
            "data"_a.none(), "con"_a.none() = none, "Adds one object and flushes.")
        .def(
            "add_all",
            [](SqlTemplate &t, nb::handle data, nb::handle con) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    s.attr("add_all")(data);
                    s.attr("flush")();
                    return nb::none();
                });
            },
            "data"_a.none(), "con"_a.none() = none, "Adds the objects and flushes.")
        .def(
            "update",
            [](SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
                return in_session(t, con, [&](nb::handle s) -> nb::object { return execute(s, sql, args).attr("rowcount"); });
            },
            "sql"_a, "con"_a.none() = none, "args"_a.none() = none, "Executes a statement; returns rowcount.")
        .def(
            "delete",
            [](SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
                return self_of(t).attr("update")(sql, con, args);
            },
            "sql"_a, "con"_a.none() = none, "args"_a.none() = none, "Same as update(sql, con, args).")
        .def(
            "update_orm2",
            [](SqlTemplate &t, nb::handle statement, nb::handle con, nb::handle sql_param) {
                return in_session(t, con,
                                  [&](nb::handle s) -> nb::object { return execute(s, statement, sql_param).attr("rowcount"); });
            },
            "statement"_a, "con"_a.none() = none, "sql_param"_a.none() = none,
            "Executes an ORM update or delete; returns rowcount.")
        .def(
            "delete_orm2",
            [](SqlTemplate &t, nb::handle statement, nb::handle con, nb::handle sql_param) {
                return self_of(t).attr("update_orm2")(statement, con, sql_param);
            },
            "statement"_a, "con"_a.none() = none, "sql_param"_a.none() = none,
            "Same as update_orm2(statement, con, sql_param).")
        .def(
            "bulk_update_mappings",
            [](SqlTemplate &t, nb::handle table_model, nb::handle drumsel, nb::handle con) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    s.attr("bulk_update_mappings")(table_model, drumsel);
                    return nb::none();
                });
            },
            "table_model"_a.none(), "drumsel"_a.none() = none, "con"_a.none() = none,
            "Updates rows of `table_model` from dictionaries holding their keys.")
        .def(
            "select_one",
            [](SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    nb::object row = execute(s, sql, args).attr("first")();
                    return row.is_none() ? row : as_dict(row);
                });
            },
            "sql"_a, "con"_a.none() = none, "args"_a.none() = none, "The first row as a dictionary, or None.")
        .def(
            "select_list",
            [](SqlTemplate &t, nb::handle sql, nb::handle con, nb::handle args) {
                return in_session(t, con, [&](nb::handle s) -> nb::object { return all_as_dicts(execute(s, sql, args)); });
            },
            "sql"_a, "con"_a.none() = none, "args"_a.none() = none, "All rows as dictionaries, in result order.")
        .def(
            "select_one_orm1",
            [](SqlTemplate &t, nb::handle statement, nb::handle con) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    nb::object row = execute(s, statement).attr("first")();
                    return row.is_none() ? row : as_dict(row);
                });
            },
            "statement"_a, "con"_a.none() = none, "The first row of an ORM select as a dictionary, or None.")
        .def(
            "select_one_orm2",
            [](SqlTemplate &t, nb::handle statement, nb::handle con) {
                return in_session(t, con,
                                  [&](nb::handle s) -> nb::object { return execute(s, statement).attr("scalar_one_or_none")(); });
            },
            "statement"_a, "con"_a.none() = none, "The single entity or scalar of an ORM select, or None.")
        .def(
            "select_all_orm1",
            [](SqlTemplate &t, nb::handle statement, nb::handle con) {
                return in_session(t, con, [&](nb::handle s) -> nb::object { return call0(execute(s, statement), name_all); });
            },
            "statement"_a, "con"_a.none() = none, "All rows of an ORM select as the toolkit's row objects.")
        .def(
            "select_all_orm2",
            [](SqlTemplate &t, nb::handle statement, nb::handle con) {
                return in_session(t, con,
                                  [&](nb::handle s) -> nb::object { return call0(execute(s, statement).attr("scalars")(), name_all); });
            },
            "statement"_a, "con"_a.none() = none, "All entities or scalars of an ORM select.")
        .def(
            "select_page",
            [](SqlTemplate &t, nb::handle sql, nb::handle page, nb::handle con, nb::handle args) {
                return in_session(t, con, [&](nb::handle s) -> nb::object {
                    nb::object num = get_attr(page, name_page_num);
                    nb::object size = get_attr(page, name_page_size);
                    nb::object text = statement_text(sql);
                    auto [count, limited] = page_clauses_for(t, text);
                    nb::object before = nb::steal(PyNumber_Subtract(num.ptr(), nb::int_(1).ptr()));
                    nb::object offset = before.is_valid() ? nb::steal(PyNumber_Multiply(before.ptr(), size.ptr())) : nb::object();
                    nb::dict values;
                    if (!offset.is_valid() || (!args.is_none() && PyDict_Update(values.ptr(), args.ptr()) < 0))
                        throw nb::python_error();
                    values["page_size"] = size;
                    values["page_offset"] = offset;
                    nb::dict out;
                    out["pageNum"] = num;
                    out["pageSize"] = size;
                    out["total"] = call0(execute(s, count, args), name_scalar);
                    out["list"] = all_as_dicts(execute(s, limited, values));
                    return std::move(out);
                });
            },
            "sql"_a.none(), "page"_a.none(), "con"_a.none() = none, "args"_a.none() = none,
            "Counts the rows of `sql`, then fetches one page of them, in one session; returns the page dictionary.");
}
