// src/bindings/top/decorate.cpp: method wrapping with a datasource and class decoration.
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/scopes.hpp"
#include "top/state.hpp"
#include "glue/call.hpp"
#include "glue/observe.hpp"

namespace zorvane::top {
namespace {

PyObject *name_marker, *name_ds_name, *name_tx, *name_nested;

// The transaction level of a transactional call: begin, run, commit; rollback on any exception
// (of the call or the commit, interrupts included); close in every case once the level began.
// A level that could not begin has nothing to end, as in TransactionScope.
// Each level has the INTERNAL span `transaction <datasource>` of a transaction scope, open
// from before the begin until after the end, when a tracer is configured.
nb::object run_in_transaction(nb::handle name, bool nested, nb::handle method, PyObject *const *args,
                              std::size_t nargsf, PyObject *kwnames) {
    nb::object kelvor = session_object(name);
    nb::object span = glue::open_scope_span(name);
    auto end_span = [&](bool failed, nb::handle exc) {
        try {
            glue::close_scope_span(span, failed, exc);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("ending a transaction span");
        }
    };
    nb::object result;
    try {
        begin_level(kelvor, name, nested);
    } catch (nb::python_error &e) {
        end_span(true, e.value());
        throw;
    }
    try {
        result = settle_user_result(call_through(method, args, nargsf, kwnames));
    } catch (nb::python_error &e) {
        finish_transaction(kelvor, true, e.value());
        end_span(true, e.value());
        throw;
    } catch (...) {
        finish_transaction(kelvor, true, nb::handle());
        end_span(true, nb::handle());
        throw;
    }
    try {
        finish_transaction(kelvor, false, nb::handle());
    } catch (nb::python_error &e) {
        end_span(true, e.value());
        throw;
    }
    end_span(false, nb::handle());
    return result;
}

// Payload: 0 the wrapped callable, 1 the datasource name; flags: the TxMode.
PyObject *wrapped_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        nb::handle method(payload(self, 0)), name(payload(self, 1));
        Selection selection;
        nb::object result;
        try {
            selection.enter(name);
            result = flags(self) ? run_in_transaction(name, flags(self) == kSavepoint, method, args, nargsf, kwnames)
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

// Replacement constructor. Payload: 0 the previous constructor, 1 the name, 2 the transactional
// flag, 3 the nested flag. The attributes are set before the previous constructor runs, so methods fetched
// inside it work, and again afterwards, so the outermost decoration's values win.
PyObject *decorated_init(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) < 1)
            glue::raise(PyExc_TypeError, "__init__ needs the instance");
        nb::handle instance(args[0]);
        auto mark = [&] {
            if (PyObject_SetAttr(instance.ptr(), name_ds_name, payload(self, 1)) < 0 ||
                PyObject_SetAttr(instance.ptr(), name_tx, payload(self, 2)) < 0 ||
                PyObject_SetAttr(instance.ptr(), name_nested, payload(self, 3)) < 0)
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
        nb::object nested = nb::steal(PyObject_GetAttr(instance.ptr(), name_nested));
        if (!nested.is_valid())
            throw nb::python_error();
        return create_wrapped_method(value, ds, tx_mode(glue::truthy(tx), glue::truthy(nested)), false);
    });
}

nb::object create_wrapped_method_shim(nb::handle method, nb::handle datasource_name, nb::handle transactional,
                                      nb::handle mark_decorated, nb::handle nested) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    return create_wrapped_method(method, datasource_name, tx_mode(glue::truthy(transactional), glue::truthy(nested)),
                                 glue::truthy(mark_decorated));
}

nb::object decorate_class_shim(nb::handle cls, nb::handle datasource_name, nb::handle transactional,
                               nb::handle nested) {
    if (!PyType_Check(cls.ptr()))
        glue::raise(PyExc_TypeError, std::string("Argument 'cls' has incorrect type (expected type, got ") +
                                         glue::type_name(cls.ptr()) + ")");
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    return decorate_class(cls, datasource_name, tx_mode(glue::truthy(transactional), glue::truthy(nested)));
}

}  // namespace

TxMode tx_mode(bool transactional, bool nested) {
    return nested ? kSavepoint : transactional ? kTransaction : kNoTransaction;
}

nb::object create_wrapped_method(nb::handle method, nb::handle datasource_name, TxMode mode, bool mark_decorated) {
    nb::object wrapper = make_callable(&wrapped_call, {method, datasource_name}, mode);
    glue::update_wrapper(wrapper, method);
    if (is_coroutine_function(method))
        wrapper = async_wrapper(wrapper, method);
    if (mark_decorated && PyObject_SetAttr(wrapper.ptr(), name_marker, Py_True) < 0)
        throw nb::python_error();
    return wrapper;
}

nb::object decorate_class(nb::handle cls, nb::handle datasource_name, TxMode mode) {
    nb::object prev_init = cls.attr("__init__");
    nb::object init = make_callable(&decorated_init, {prev_init, datasource_name, nb::bool_(mode != kNoTransaction),
                                                      nb::bool_(mode == kSavepoint)});
    glue::update_wrapper(init, prev_init);
    nb::setattr(cls, "__init__", init);
    nb::object prev_fetch = cls.attr("__getattribute__");
    nb::setattr(cls, "__getattribute__", make_callable(&decorated_getattribute, {prev_fetch}));
    return nb::borrow(cls);
}

void register_decorate(nb::module_ &m) {
    name_marker = glue::intern("_datasource_decorated");
    name_ds_name = glue::intern("_datasource_name");
    name_tx = glue::intern("_transactional");
    name_nested = glue::intern("_nested");
    m.def("_create_wrapped_method", &create_wrapped_method_shim, "method"_a.none(), "datasource_name"_a.none(),
          "transactional"_a.none(), "mark_decorated"_a.none() = false, "nested"_a.none() = false,
          "Wraps `method` to run with the datasource selected, optionally inside one transaction (a SAVEPOINT "
          "inside an open one with `nested`).");
    m.def("_decorate_class", &decorate_class_shim, "cls"_a.none(), "datasource_name"_a.none(),
          "transactional"_a.none(), "nested"_a.none() = false,
          "Makes every instance remember the datasource and every fetched method run wrapped; returns `cls`.");
}

}  // namespace zorvane::top
