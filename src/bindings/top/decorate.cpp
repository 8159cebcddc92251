// src/bindings/top/decorate.cpp: method wrapping with a datasource and class decoration.
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/scopes.hpp"
#include "top/state.hpp"
#include "glue/call.hpp"

namespace zorvane::top {
namespace {

PyObject *name_begin_tx, *name_marker, *name_ds_name, *name_tx;

void call0(nb::handle obj, PyObject *name) {
    PyObject *r = glue::call_method0(obj.ptr(), name);
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
}

// The transaction of a transactional call: begin, run, commit; rollback on any exception
// (of the call, the begin or the commit, interrupts included); close in every case once
// the session object was taken.
nb::object run_in_transaction(nb::handle name, nb::handle method, PyObject *const *args, std::size_t nargsf,
                              PyObject *kwnames) {
    nb::object kelvor;
    nb::object result;
    try {
        kelvor = session_object(name);
        call0(kelvor, name_begin_tx);
        result = settle_user_result(call_through(method, args, nargsf, kwnames));
    } catch (nb::python_error &e) {
        if (kelvor.is_valid())
            finish_scope(kelvor, true, e.value());
        throw;
    } catch (...) {
        if (kelvor.is_valid())
            finish_scope(kelvor, true, nb::handle());
        throw;
    }
    finish_scope(kelvor, false, nb::handle());
    return result;
}

// Payload: 0 the wrapped callable, 1 the datasource name; flags: transactional.
PyObject *wrapped_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        nb::handle method(payload(self, 0)), name(payload(self, 1));
        Selection selection;
        nb::object result;
        try {
            selection.enter(name);
            result = flags(self) ? run_in_transaction(name, method, args, nargsf, kwnames)
                                 : settle_user_result(call_through(method, args, nargsf, kwnames));
        } catch (...) {
            selection.exit();
            throw;
        }
        selection.exit();
        return result;
    });
}

// hasattr(value, "_datasource_decorated"): only AttributeError means absent.
bool has_marker(nb::handle value) {
    PyObject *v = PyObject_GetAttr(value.ptr(), name_marker);
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

// Replacement constructor. Payload: 0 the previous constructor, 1 the name, 2 the flag.
// The two attributes are set before the previous constructor runs, so methods fetched
// inside it work, and again afterwards, so the outermost decoration's values win.
PyObject *decorated_init(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) < 1)
            glue::raise(PyExc_TypeError, "__init__ needs the instance");
        nb::handle instance(args[0]);
        auto mark = [&] {
            if (PyObject_SetAttr(instance.ptr(), name_ds_name, payload(self, 1)) < 0 ||
                PyObject_SetAttr(instance.ptr(), name_tx, payload(self, 2)) < 0)
                throw nb::python_error();
        };
        mark();
        call_through(payload(self, 0), args, nargsf, kwnames);
        mark();
        return nb::none();
    });
}

// Replacement attribute fetch. Payload: 0 the previous fetch.
PyObject *decorated_getattribute(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) != 2 || (kwnames && glue::tuple_size(kwnames)))
            glue::raise(PyExc_TypeError, "__getattribute__ expects (instance, name)");
        nb::object value = call_through(payload(self, 0), args, nargsf, kwnames);
        nb::handle instance(args[0]), name(args[1]);
        if (!PyCallable_Check(value.ptr()) || !PyUnicode_Check(name.ptr()) ||
            PyUnicode_Tailmatch(name.ptr(), nb::str("__").ptr(), 0, PY_SSIZE_T_MAX, -1) == 1 || has_marker(value))
            return value;
        nb::object ds = nb::steal(PyObject_GetAttr(instance.ptr(), name_ds_name));
        if (!ds.is_valid())
            throw nb::python_error();
        nb::object tx = nb::steal(PyObject_GetAttr(instance.ptr(), name_tx));
        if (!tx.is_valid())
            throw nb::python_error();
        return create_wrapped_method(value, ds, glue::truthy(tx), false);
    });
}

nb::object create_wrapped_method_shim(nb::handle method, nb::handle datasource_name, nb::handle transactional,
                                      nb::handle mark_decorated) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    return create_wrapped_method(method, datasource_name, glue::truthy(transactional), glue::truthy(mark_decorated));
}

nb::object decorate_class_shim(nb::handle cls, nb::handle datasource_name, nb::handle transactional) {
    if (!PyType_Check(cls.ptr()))
        glue::raise(PyExc_TypeError, std::string("Argument 'cls' has incorrect type (expected type, got ") +
                                         glue::type_name(cls.ptr()) + ")");
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    return decorate_class(cls, datasource_name, glue::truthy(transactional));
}

}  // namespace

nb::object create_wrapped_method(nb::handle method, nb::handle datasource_name, bool transactional,
                                 bool mark_decorated) {
    nb::object wrapper = make_callable(&wrapped_call, {method, datasource_name}, transactional ? 1 : 0);
    glue::update_wrapper(wrapper, method);
    if (is_coroutine_function(method))
        wrapper = async_wrapper(wrapper, method);
    if (mark_decorated && PyObject_SetAttr(wrapper.ptr(), name_marker, Py_True) < 0)
        throw nb::python_error();
    return wrapper;
}

nb::object decorate_class(nb::handle cls, nb::handle datasource_name, bool transactional) {
    nb::object prev_init = cls.attr("__init__");
    nb::object init = make_callable(&decorated_init, {prev_init, datasource_name, nb::bool_(transactional)});
    glue::update_wrapper(init, prev_init);
    nb::setattr(cls, "__init__", init);
    nb::object prev_fetch = cls.attr("__getattribute__");
    nb::setattr(cls, "__getattribute__", make_callable(&decorated_getattribute, {prev_fetch}));
    return nb::borrow(cls);
}

void register_decorate(nb::module_ &m) {
    name_begin_tx = glue::intern("begin_tx");
    name_marker = glue::intern("_datasource_decorated");
    name_ds_name = glue::intern("_datasource_name");
    name_tx = glue::intern("_transactional");
    m.def("_create_wrapped_method", &create_wrapped_method_shim, "method"_a.none(), "datasource_name"_a.none(),
          "transactional"_a.none(), "mark_decorated"_a.none() = false,
          "Wraps `method` to run with the datasource selected, optionally inside one transaction.");
    m.def("_decorate_class", &decorate_class_shim, "cls"_a.none(), "datasource_name"_a.none(),
          "transactional"_a.none(),
          "Makes every instance remember the datasource and every fetched method run wrapped; returns `cls`.");
}

}  // namespace zorvane::top
