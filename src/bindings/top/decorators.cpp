// src/bindings/top/decorators.cpp: the statement-binding decorators select_one ... delete and their helpers.
#include "db/results.hpp"
#include "top/async_bridge.hpp"
#include "top/binding.hpp"
#include "top/callable.hpp"
#include "top/mapper.hpp"
#include "top/parts.hpp"
#include "top/state.hpp"
#include "top/streams.hpp"
#include "glue/call.hpp"

namespace zorvane::top {
namespace {

glue::Lazy page_class{"zorvane.db.ostrane", "Page"};
glue::Lazy parse_mapper{"zorvane.mapper.vantrel", "ParseMapper"};
glue::Lazy get_base_type{"zorvane.utils.pennick", "get_base_type"};
glue::Lazy is_container_type{"zorvane.utils.pennick", "is_container_type"};
glue::Lazy is_result_class{"zorvane.utils.pennick", "is_result_class"};
glue::Lazy get_args{"typing", "get_args"};
glue::Lazy typing_list{"typing", "List"};
glue::Lazy typing_dict{"typing", "Dict"};

PyObject *n_select_one, *n_select_list, *n_select_page, *n_insert_list, *n_to_prepared, *n_list, *n_return, *n_data,
    *n_select_iter, *n_db_type, *kw_db_type_strict;

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

// Fields of the return plan (a list, so the lazily known answers can be stored in it).
// select_one: [target, rows pass unchanged, is_result_class(target) or None].
// select_list/select_page: [type error message or None, element type or None, is_result_class(element) or None].
// Every plan ends in [..., shape or None]: shape is (scalar target or None, rows become tuples).
enum ReturnField : Py_ssize_t { kTarget = 0, kPassThrough = 1, kMessage = 0, kElement = 1, kIsResultClass = 2, kShape = 3 };

using glue::equals;

bool is_dict_type(nb::handle t) { return equals(t, (PyObject *)&PyDict_Type) || equals(t, typing_dict.get()); }

// dict, Dict, or a parameterised form of them (dict[str, Any]): rows stay dictionaries.
bool names_dict(nb::handle t) { return is_dict_type(t) || is_dict_type(get_base_type(t)); }

// Looked up on its module when called, so a replaced function is honoured; called once per
// decorated function and plan.
nb::object type_hints(nb::handle func) { return nb::module_::import_("typing_extensions").attr("get_type_hints")(func); }

nb::object mapping_get(nb::handle mapping, PyObject *key) {
    nb::object v = lookup(mapping, key);
    return v.is_valid() ? v : nb::none();
}

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
    PyObject *stack[] = {nullptr, parse_mapper.get().ptr(), sql.ptr(), params.ptr(), db_type.ptr(), Py_True};
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

Py_ssize_t columns(nb::handle row) {
    Py_ssize_t n = PyObject_Length(row.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

nb::object build_one(nb::handle cls, nb::handle row) {
    nb::object built = glue::build_objects(cls, nb::make_tuple(row));
    return nb::borrow(glue::list_item(built.ptr(), 0));
}

// result_type_handle with is_result_class(cls) known: cls(**row), the single value of a
// one-column row, else cls(**row) again (the constructor reports a mismatch).
nb::object convert_row(nb::handle cls, bool result_class, nb::handle row) {
    glue::check_exact(row, &PyDict_Type, "result");
    if (result_class)
        return build_one(cls, row);
    if (columns(row) == 1)
        return glue::first_value(row);
    nb::object kwargs = nb::steal(PyDict_Copy(row.ptr()));
    if (!kwargs.is_valid())
        throw nb::python_error();
    PyObject *r = PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// is_result_class(cls) for the class a return plan converts to, asked once and kept in the plan.
bool plan_result_class(nb::handle plan, nb::handle cls) {
    PyObject *known = glue::list_item(plan.ptr(), kIsResultClass);
    if (known != Py_None)
        return known == Py_True;
    const bool answer = glue::truthy(is_result_class(cls));
    PyList_SetItem(plan.ptr(), kIsResultClass, Py_NewRef(answer ? Py_True : Py_False));
    return answer;
}

// The shape rows take under `cls` when it is no result class, asked once and kept in the plan.
nb::tuple plan_shape(nb::handle plan, nb::handle cls) {
    PyObject *known = glue::list_item(plan.ptr(), kShape);
    if (known != Py_None)
        return nb::borrow<nb::tuple>(known);
    nb::object scalar = glue::scalar_target(cls);
    nb::tuple shape = nb::make_tuple(scalar.is_valid() ? scalar : nb::none(), nb::bool_(glue::is_tuple_target(cls)));
    PyList_SetItem(plan.ptr(), kShape, shape.release().ptr());
    return nb::borrow<nb::tuple>(glue::list_item(plan.ptr(), kShape));
}

// The decorated function's name, for errors about its results.
std::string function_name(PyObject *self) {
    return nb::str(nb::getattr(payload(self, kFunc), "__qualname__", nb::str("the function"))).c_str();
}

// One row shaped as a scalar or a tuple when `shape` says so; an invalid object otherwise.
nb::object shaped_row(PyObject *self, nb::handle shape, nb::handle row) {
    nb::handle scalar = shape[0];
    if (!scalar.is_none())
        return glue::scalar_of_row(scalar, row, function_name(self));
    if (shape[1].ptr() == Py_True)
        return glue::tuple_of_row(row);
    return nb::object();
}

nb::object return_type(nb::handle func) { return mapping_get(type_hints(func), n_return); }

nb::object one_plan(nb::handle func) {
    nb::object rt = without_none(return_type(func));
    nb::object target = get_base_type(rt);
    if (equals(target, (PyObject *)&PyList_Type) || equals(target, typing_list.get())) {
        nb::object args = get_args(rt);
        if (PyObject_Length(args.ptr()) > 0)
            target = nb::steal(PySequence_GetItem(args.ptr(), 0));
        if (!target.is_valid() || PyErr_Occurred())
            throw nb::python_error();
    }
    const bool pass = !glue::truthy(target) || names_dict(target);
    nb::list plan;
    plan.append(target);
    plan.append(nb::bool_(pass));
    plan.append(nb::none());
    plan.append(nb::none());
    return plan;
}

// The first type argument of annotation `rt` (list[X], Iterator[X]), or None when it has
// none or names a dict: rows then stay dictionaries.
nb::object element_of(nb::handle rt) {
    nb::object args = get_args(rt);
    if (PyObject_Length(args.ptr()) <= 0) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::none();
    }
    nb::object first = nb::steal(PySequence_GetItem(args.ptr(), 0));
    if (!first.is_valid())
        throw nb::python_error();
    return names_dict(first) ? nb::none() : first;
}

nb::object list_plan(nb::handle func) {
    nb::object rt = return_type(func);
    nb::object base = get_base_type(rt);
    nb::object message = nb::none(), element = nb::none();
    if (!base.is_none() && (!glue::truthy(is_container_type(base)) || is_dict_type(base)))
        message = nb::str(("please check return type: " + std::string(nb::str(base).c_str()) + ", should set list ...").c_str());
    if (glue::truthy(base))
        element = element_of(rt);
    nb::list plan;
    plan.append(message);
    plan.append(element);
    plan.append(nb::none());
    plan.append(nb::none());
    return plan;
}

// Iterator[X] / AsyncIterator[X]: rows converted like a list of X; any other annotation
// (or none) streams dictionaries.
nb::object iter_plan(nb::handle func) {
    nb::object rt = return_type(func);
    nb::object element = is_stream_type(rt) ? element_of(rt) : nb::none();
    nb::list plan;
    plan.append(nb::none());
    plan.append(element);
    plan.append(nb::none());
    plan.append(nb::none());
    return plan;
}

// The return plan of wrapper `self`, made by `make` on first use.
nb::object cached_return_plan(PyObject *self, nb::object (*make)(nb::handle)) {
    nb::object plan = nb::borrow(payload(self, kReturn));
    if (plan.is_none()) {
        plan = make(payload(self, kFunc));
        set_payload(self, kReturn, plan);
    }
    return plan;
}

nb::object convert_one(PyObject *self, nb::handle row) {
    nb::object plan = cached_return_plan(self, &one_plan);
    nb::handle target = glue::list_item(plan.ptr(), kTarget);
    if (row.is_none() || glue::list_item(plan.ptr(), kPassThrough) == Py_True)
        return nb::borrow(row);
    if (nb::object shaped = shaped_row(self, plan_shape(plan, target), row); shaped.is_valid())
        return shaped;
    if (plan_result_class(plan, target))
        return build_one(target, row);
    if (columns(row) == 1)
        return glue::first_value(row);
    glue::raise(PyExc_TypeError, "please check result type");
}

// The rows converted by the list rule, or `rows` itself when nothing is to be converted.
nb::object convert_list(PyObject *self, nb::handle rows, bool *converted, nb::object (*make)(nb::handle) = &list_plan) {
    nb::object plan = cached_return_plan(self, make);
    nb::handle message = glue::list_item(plan.ptr(), kMessage);
    if (!message.is_none())
        glue::raise(PyExc_TypeError, nb::str(message).c_str());
    nb::handle element = glue::list_item(plan.ptr(), kElement);
    *converted = false;
    if (element.is_none() || !glue::truthy(rows))
        return nb::borrow(rows);
    nb::object snapshot = nb::steal(PySequence_Tuple(rows.ptr()));
    if (!snapshot.is_valid())
        throw nb::python_error();
    const Py_ssize_t n = glue::tuple_size(snapshot.ptr());
    *converted = true;
    nb::tuple shape = plan_shape(plan, element);
    const bool shaped = !shape[0].is_none() || shape[1].ptr() == Py_True;
    if (!shaped && plan_result_class(plan, element)) {
        for (Py_ssize_t i = 0; i < n; ++i)
            glue::check_exact(glue::tuple_item(snapshot.ptr(), i), &PyDict_Type, "result");
        return glue::build_objects(element, snapshot);
    }
    nb::object out = nb::steal(PyList_New(n));
    if (!out.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle row = glue::tuple_item(snapshot.ptr(), i);
        nb::object v = shaped ? shaped_row(self, shape, row) : convert_row(element, false, row);
        glue::list_set(out.ptr(), i, v.release().ptr());
    }
    return out;
}

// The batch converter of a select_iter wrapper. Payload: 0 the wrapper.
PyObject *convert_batch(PyObject *self, PyObject *const *args, std::size_t, PyObject *) {
    return guarded([&] {
        bool converted;
        return convert_list(payload(self, 0), args[0], &converted, &iter_plan);
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
        switch (flags(self)) {
            case kSelectOne:
                return convert_one(self, call_session(p.session, n_select_one, {p.text, p.values}));
            case kSelectList: {
                nb::object rows = call_session(p.session, n_select_list, {p.text, p.values});
                bool converted;
                return convert_list(self, rows, &converted);
            }
            case kSelectPage: {
                // A page parameter the caller left out binds None: the first page of 10.
                nb::object page = b.page.is_none() ? page_class(1, 10) : b.page;
                nb::object result = call_session(p.session, n_select_page, {p.text, page, p.values});
                nb::object plan_r = cached_return_plan(self, &list_plan);
                nb::handle message = glue::list_item(plan_r.ptr(), kMessage);
                if (!message.is_none())
                    glue::raise(PyExc_TypeError, nb::str(message).c_str());
                if (glue::list_item(plan_r.ptr(), kElement) == Py_None)
                    return result;
                nb::object rows = nb::steal(PyObject_GetItem(result.ptr(), n_list));
                if (!rows.is_valid())
                    throw nb::python_error();
                bool converted;
                nb::object out = convert_list(self, rows, &converted);
                if (converted && PyObject_SetItem(result.ptr(), n_list, out.ptr()) < 0)
                    throw nb::python_error();
                return result;
            }
            case kInsertList:
                return call_session(p.session, n_insert_list, {p.text, key_data(b.params), payload(self, kSize)});
            case kSelectIter:
                return call_session(p.session, n_select_iter,
                                    {p.text, p.values, payload(self, kSize), batch_converter(self)});
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

nb::object result_type_handle(nb::handle result_type, nb::handle result) {
    glue::check_exact(result, &PyDict_Type, "result");
    return convert_row(result_type, glue::truthy(is_result_class(result_type)), result);
}

}  // namespace

void register_decorators(nb::module_ &m) {
    glue::init_results();
    n_select_one = PyUnicode_InternFromString("select_one");
    n_select_list = PyUnicode_InternFromString("select_list");
    n_select_page = PyUnicode_InternFromString("select_page");
    n_insert_list = PyUnicode_InternFromString("insert_list");
    n_to_prepared = PyUnicode_InternFromString("to_prepared_statement");
    n_list = PyUnicode_InternFromString("list");
    n_return = PyUnicode_InternFromString("return");
    n_data = PyUnicode_InternFromString("data");
    n_select_iter = PyUnicode_InternFromString("select_iter");
    n_db_type = PyUnicode_InternFromString("_db_type");
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
    m.def("result_type_handle", &result_type_handle, "result_type"_a.none(), "result"_a.none(),
          "One row dictionary converted to `result_type`: an object by keyword, or the value of a one-column row.");
}

}  // namespace zorvane::top
