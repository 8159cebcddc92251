// src/bindings/top/decorators.cpp: the statement-binding decorators select_one ... delete and their helpers.
#include "db/results.hpp"
#include "top/async_bridge.hpp"
#include "top/binding.hpp"
#include "top/callable.hpp"
#include "top/mapper.hpp"
#include "top/parts.hpp"
#include "top/state.hpp"
#include "top/streams.hpp"
#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "glue/splice.hpp"
#include "glue/observe.hpp"

namespace zorvane::top {
namespace {

glue::Lazy page_class{"zorvane.db.ostrane", "Page"};
glue::Lazy parse_mapper{"zorvane.mapper.vantrel", "ParseMapper"};

PyObject *n_select_one, *n_select_list, *n_select_page, *n_insert_list, *n_to_prepared, *n_list, *n_return, *n_data,
    *n_select_iter, *n_db_type, *kw_db_type_strict, *n_select_rows, *n_select_page_rows;

// What a wrapper runs; kept in its flags.
enum Kind : long { kSelectOne = 1, kSelectList, kSelectPage, kInsertList, kStatement, kSelectIter };

// Payload of a wrapper, one meaning per slot (None where a kind has no use for it):
// kFunc the decorated function, kSql the statement text, kOperation the session operation of
// insert/update/delete and _sql_decorator, kSize the fetch size of select_iter or the batch
// size of insert_list. The two plans are filled at the first call that needs them: kParams by
// binding, kReturn after the first statement of a select has run, so the order in which errors
// can appear is that of reading both afresh on every call. kConvert: the batch converter of
// select_iter, made on first use.
enum Slot : int { kFunc = 0, kSql, kOperation, kSize, kParams, kReturn, kConvert };

// Looked up on its module when called, so a replaced function is honoured; called once per
// decorated function and plan.
nb::object type_hints(nb::handle func) { return nb::module_::import_("typing_extensions").attr("get_type_hints")(func); }

struct Prepared {
    nb::object session, text, values;
};

// The current datasource's session object and the statement bound for `params`.
Prepared prepare(nb::handle sql, nb::handle params) {
    Prepared p;
    p.session = session_object(current_db());
    // A decorated function declares every parameter, so a placeholder that names none is a typo.
    nb::object db_type = nb::steal(PyObject_GetAttr(p.session.ptr(), n_db_type));
    if (!db_type.is_valid())
        throw nb::python_error();
    const glue::Backend *kind = glue::backend_named(db_type);
    nb::object text = glue::splice_identifiers(sql, params, kind ? kind->text : core::SqlDialect{});
    PyObject *stack[] = {nullptr, parse_mapper.get().ptr(), text.ptr(), params.ptr(), db_type.ptr(), Py_True};
    nb::object pair = nb::steal(PyObject_VectorcallMethod(n_to_prepared, stack + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                          kw_db_type_strict));
    if (!pair.is_valid())
        throw nb::python_error();
    if (!PyTuple_CheckExact(pair.ptr()))
        pair = nb::steal(PySequence_Tuple(pair.ptr()));
    if (!pair.is_valid())
        throw nb::python_error();
    if (glue::tuple_size(pair.ptr()) != 2)
        glue::raise(PyExc_ValueError, "to_prepared_statement must return (statement, parameters)");
    p.text = nb::borrow(glue::tuple_item(pair.ptr(), 0));
    p.values = nb::borrow(glue::tuple_item(pair.ptr(), 1));
    return p;
}

// session.<name>(a, b[, c[, d]])
nb::object call_session(nb::handle session, PyObject *name, std::initializer_list<nb::handle> args) {
    constexpr std::size_t max_args = 4;
    if (args.size() > max_args)
        glue::raise(PyExc_RuntimeError, "call_session takes at most four arguments");
    PyObject *stack[2 + max_args] = {nullptr, session.ptr()};  // slot 0 is scratch for the callee
    std::size_t n = 1;
    for (nb::handle a : args)
        stack[1 + n++] = a.ptr();
    PyObject *r = PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// The decorated function's name, for errors about its results.
std::string function_name(PyObject *self) {
    return nb::str(nb::getattr(payload(self, kFunc), "__qualname__", nb::str("the function"))).c_str();
}

// The return plan of wrapper `self` in `mode`, made on first use.
glue::ReturnPlan &return_plan(PyObject *self, glue::ReturnPlan::Mode mode) {
    nb::handle kept(payload(self, kReturn));
    if (kept.is_none()) {
        nb::object rt = lookup(type_hints(payload(self, kFunc)), n_return);
        set_payload(self, kReturn, glue::plan_object(glue::return_plan(mode, rt.is_valid() ? rt : nb::none(),
                                                                       function_name(self))));
        kept = payload(self, kReturn);
    }
    return glue::plan_in(kept);
}

using Mode = glue::ReturnPlan::Mode;

// The return plan when it can be made before the statement runs and its class nests: the
// statement's rows are then read as (labels, rows). A plan that fails to make is made again
// after the statement, which keeps the order of errors.
glue::ReturnPlan *nesting_plan(PyObject *self, Mode mode) {
    try {
        glue::ReturnPlan &plan = return_plan(self, mode);
        return glue::plan_nests(plan) ? &plan : nullptr;
    } catch (nb::python_error &) {
        return nullptr;
    }
}

nb::object convert_list(PyObject *self, nb::handle rows, bool *converted, Mode mode = Mode::List, bool page = false) {
    return glue::convert_list(return_plan(self, mode), rows, converted, page);
}

// The batch converter of a select_iter wrapper. Payload: 0 the wrapper.
PyObject *convert_batch(PyObject *self, PyObject *const *args, std::size_t, PyObject *) {
    return guarded([&] {
        bool converted;
        return convert_list(payload(self, 0), args[0], &converted, Mode::Stream);
    });
}

nb::object batch_converter(PyObject *self) {
    nb::object convert = nb::borrow(payload(self, kConvert));
    if (convert.is_none()) {
        convert = make_callable(&convert_batch, {self});
        set_payload(self, kConvert, convert);
    }
    return convert;
}

nb::object key_data(nb::handle params) {
    PyObject *v = PyDict_GetItemWithError(params.ptr(), n_data);
    if (v)
        return nb::borrow(v);
    if (!PyErr_Occurred())
        PyErr_SetObject(PyExc_KeyError, n_data);
    throw nb::python_error();
}

// The wrapper of a decorated function. Payload: see Slot; flags: the Kind.
PyObject *statement_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        nb::object plan = nb::borrow(payload(self, kParams));
        if (plan.is_none()) {
            plan = param_plan(payload(self, kFunc));
            set_payload(self, kParams, plan);
        }
        Bound b = bind_call(plan, args, PyVectorcall_NARGS(nargsf), kwnames);
        Prepared p = prepare(payload(self, kSql), b.params);
        glue::StatementId named(payload(self, kFunc));
        switch (flags(self)) {
            case kSelectOne: {
                glue::ReturnPlan &plan = return_plan(self, Mode::One);
                if (glue::plan_nests(plan)) {  // one parent takes all of its joined rows
                    nb::handle first = glue::plan_gathers(plan) ? Py_False : Py_True;
                    nb::object got = call_session(p.session, n_select_rows, {p.text, p.values, first});
                    return glue::convert_first_rows(plan, glue::tuple_item(got.ptr(), 0), glue::tuple_item(got.ptr(), 1));
                }
                if (glue::plan_gathers(plan))
                    return glue::convert_first(plan, call_session(p.session, n_select_list, {p.text, p.values}));
                return glue::convert_one(plan, call_session(p.session, n_select_one, {p.text, p.values}));
            }
            case kSelectList: {
                if (glue::ReturnPlan *plan = nesting_plan(self, Mode::List)) {
                    nb::object got = call_session(p.session, n_select_rows, {p.text, p.values});
                    return glue::convert_list_rows(*plan, glue::tuple_item(got.ptr(), 0), glue::tuple_item(got.ptr(), 1), false);
                }
                nb::object rows = call_session(p.session, n_select_list, {p.text, p.values});
                bool converted;
                return convert_list(self, rows, &converted);
            }
            case kSelectPage: {
                // A page parameter the caller left out binds None: the first page of 10.
                nb::object page = b.page.is_none() ? page_class(1, 10) : b.page;
                if (glue::ReturnPlan *plan = nesting_plan(self, Mode::List)) {
                    nb::object result = call_session(p.session, n_select_page_rows, {p.text, page, p.values});
                    nb::object got = nb::steal(PyObject_GetItem(result.ptr(), n_list));
                    if (!got.is_valid())
                        throw nb::python_error();
                    nb::object out = glue::convert_list_rows(*plan, glue::tuple_item(got.ptr(), 0),
                                                             glue::tuple_item(got.ptr(), 1), true);
                    if (PyObject_SetItem(result.ptr(), n_list, out.ptr()) < 0)
                        throw nb::python_error();
                    return result;
                }
                nb::object result = call_session(p.session, n_select_page, {p.text, page, p.values});
                glue::ReturnPlan &plan = return_plan(self, Mode::List);
                if (!plan.message.is_none())
                    glue::raise(PyExc_TypeError, nb::str(plan.message).c_str());
                if (plan.target.is_none())
                    return result;
                nb::object rows = nb::steal(PyObject_GetItem(result.ptr(), n_list));
                if (!rows.is_valid())
                    throw nb::python_error();
                bool converted;
                nb::object out = convert_list(self, rows, &converted, Mode::List, true);
                if (converted && PyObject_SetItem(result.ptr(), n_list, out.ptr()) < 0)
                    throw nb::python_error();
                return result;
            }
            case kInsertList:
                return call_session(p.session, n_insert_list, {p.text, key_data(b.params), payload(self, kSize)});
            case kSelectIter:
                return call_session(p.session, n_select_iter,
                                    {p.text, p.values, payload(self, kSize),
                                     glue::plan_stream_converter(return_plan(self, Mode::Stream), batch_converter(self))});
            default:
                return call_session(p.session, payload(self, kOperation), {p.text, p.values});
        }
    });
}

// The decorator a factory returns. Payload: 0 the statement text, 1 the session operation
// (kStatement) or the fetch or batch size (kSelectIter, kInsertList); flags: the Kind.
PyObject *decorate(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && glue::tuple_size(kwnames)))
            glue::raise(PyExc_TypeError, "a statement decorator takes exactly one argument, the function");
        nb::handle func(args[0]);
        const bool sized = flags(self) == kSelectIter || flags(self) == kInsertList;
        nb::handle extra = payload(self, 1), none = Py_None;
        nb::object wrapper = make_callable(&statement_call, {func, payload(self, 0), sized ? none : extra, sized ? extra : none},
                                           flags(self));
        glue::update_wrapper(wrapper, func);
        if (!is_coroutine_function(func))
            return wrapper;
        return flags(self) == kSelectIter ? async_stream_wrapper(wrapper, func) : async_wrapper(wrapper, func);
    });
}

nb::object factory(nb::handle sql, Kind kind, nb::handle extra = nb::none()) {
    glue::check_exact(sql, &PyUnicode_Type, "sql");
    return make_callable(&decorate, {sql, extra}, kind);
}

// A fetch or batch size: a positive int, or None where `none_ok`.
nb::handle checked_size(nb::handle v, const char *arg, bool none_ok) {
    if (none_ok && v.is_none())
        return v;
    glue::check_exact(v, &PyLong_Type, arg);
    if (PyLong_AsLong(v.ptr()) < 1) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be a positive int, got %R", arg, v.ptr());
        throw nb::python_error();
    }
    return v;
}

nb::object sql_decorator(nb::handle sql_str, nb::handle sql_type) {
    glue::check_exact(sql_str, &PyUnicode_Type, "sql_str");
    glue::check_exact(sql_type, &PyUnicode_Type, "sql_type");
    return make_callable(&decorate, {sql_str, sql_type}, kStatement);
}

nb::object named_statement(nb::handle sql, const char *kind) {
    glue::check_exact(sql, &PyUnicode_Type, "sql");
    return sql_decorator(sql, nb::str(kind));
}

}  // namespace

void register_decorators(nb::module_ &m) {
    glue::init_results();
    n_select_one = glue::intern("select_one");
    n_select_list = glue::intern("select_list");
    n_select_page = glue::intern("select_page");
    n_insert_list = glue::intern("insert_list");
    n_to_prepared = glue::intern("to_prepared_statement");
    n_list = glue::intern("list");
    n_return = glue::intern("return");
    n_data = glue::intern("data");
    n_select_iter = glue::intern("select_iter");
    n_select_rows = glue::intern("_select_rows");
    n_select_page_rows = glue::intern("_select_page_rows");
    n_db_type = glue::intern("_db_type");
    kw_db_type_strict = nb::make_tuple("db_type", "strict").release().ptr();

    m.def("select_one", [](nb::handle sql) { return factory(sql, kSelectOne); }, "sql"_a.none(),
          "Decorator: runs `sql` and returns its first row converted by the return annotation, or None.");
    m.def("select_list", [](nb::handle sql) { return factory(sql, kSelectList); }, "sql"_a.none(),
          "Decorator: runs `sql` and returns all rows, converted by the list's element annotation.");
    m.def("select_page", [](nb::handle sql) { return factory(sql, kSelectPage); }, "sql"_a.none(),
          "Decorator: runs `sql` for one page (the call's Page, else page 1 of 10) and returns the page dictionary.");
    m.def(
        "insert_list",
        [](nb::handle sql, nb::handle batch_size) {
            return factory(sql, kInsertList, checked_size(batch_size, "batch_size", true));
        },
        "sql"_a.none(), "batch_size"_a.none() = nb::none(),
        "Decorator: inserts each dictionary of the call's `data` argument once, through the bulk path, "
        "`batch_size` rows per execution (all at once when None).");
    m.def(
        "select_iter",
        [](nb::handle sql, nb::handle fetch_size) {
            return factory(sql, kSelectIter, checked_size(fetch_size, "fetch_size", false));
        },
        "sql"_a.none(), "fetch_size"_a.none() = 1000,
        "Decorator: streams the rows of `sql`, fetched `fetch_size` at a time through a server-side cursor and "
        "converted by the element type of the Iterator return annotation; an async iterator on an async def.");
    m.def("insert", [](nb::handle sql) { return named_statement(sql, "insert"); }, "sql"_a.none(),
          "Decorator: runs the insert `sql` and returns the generated key (PostgreSQL: the RETURNING value, else None).");
    m.def("update", [](nb::handle sql) { return named_statement(sql, "update"); }, "sql"_a.none(),
          "Decorator: runs the update `sql` and returns the row count.");
    m.def("delete", [](nb::handle sql) { return named_statement(sql, "delete"); }, "sql"_a.none(),
          "Decorator: runs the delete `sql` and returns the row count.");
    m.def("_sql_decorator", &sql_decorator, "sql_str"_a.none(), "sql_type"_a.none(),
          "Decorator running `sql_str` through the session operation named `sql_type`.");
    m.def(
        "__combine_args",
        [](nb::handle fun, nb::handle args, nb::handle kwargs) { return bind_lenient(param_plan(fun), args, kwargs).params; },
        "fun"_a.none(), "args"_a.none(), "kwargs"_a.none(),
        "The parameter dictionary of a call of `fun`, Page arguments left out.");
    m.def(
        "__combine_args_page",
        [](nb::handle fun, nb::handle args, nb::handle kwargs) {
            Bound b = bind_lenient(param_plan(fun), args, kwargs);
            return nb::make_tuple(b.params, b.page);
        },
        "fun"_a.none(), "args"_a.none(), "kwargs"_a.none(),
        "(parameter dictionary, page or None) of a call of `fun`.");
    m.def(
        "_prepare_sql",
        [](nb::handle sql_str, nb::handle params) {
            Prepared p = prepare(sql_str, params);
            return nb::make_tuple(p.session, p.text, p.values);
        },
        "sql_str"_a.none(), "params"_a.none(),
        "(session object of the current datasource, bound statement, bound values) for `sql_str`.");
    m.def("result_type_handle", &glue::row_as, "result_type"_a.none(), "result"_a.none(),
          "One row dictionary converted to `result_type`: an object by keyword, or the value of a one-column row.");
}

}  // namespace zorvane::top
