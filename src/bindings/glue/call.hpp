// src/bindings/glue/call.hpp: the call, attribute, look-up and error helpers of every binding module.
#pragma once
#include <initializer_list>
#include <string>

#include "glue/common.hpp"

namespace zorvane::glue {

// A new reference from the C API, or the pending Python error thrown.
inline nb::object check(PyObject *r) {
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// obj.<name>, or an invalid object when the attribute does not exist.
inline nb::object optional_attr(nb::handle obj, PyObject *name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (v)
        return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

// mapping[key], or an invalid object when the key is absent.
inline nb::object lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(v);
    }
    int has = PySequence_Contains(mapping.ptr(), key.ptr());
    if (has < 0)
        throw nb::python_error();
    return has ? check(PyObject_GetItem(mapping.ptr(), key.ptr())) : nb::object();
}

// a == b in the host's sense; errors of __eq__ propagate.
inline bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// str(obj), as UTF-8 text.
inline std::string text_of(nb::handle obj) { return nb::str(obj).c_str(); }

// An interned str, kept for the life of the process like the module that asks for it.
inline PyObject *intern(const char *s) {
    PyObject *r = PyUnicode_InternFromString(s);
    if (!r)
        throw nb::python_error();
    return r;
}

// v.isoformat(*args) of a date, time or datetime: at most two arguments (separator, timespec).
inline nb::object isoformat(PyObject *v, std::initializer_list<PyObject *> args = {}) {
    static PyObject *name = intern("isoformat");
    PyObject *call[3] = {v, nullptr, nullptr};
    std::size_t n = 1;
    for (PyObject *a : args)
        if (n < 3)
            call[n++] = a;
    return check(PyObject_VectorcallMethod(name, call, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A tuple of interned names, e.g. the keyword names of a vectorcall; kept like intern's.
inline PyObject *names(std::initializer_list<const char *> items) {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t)
        throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char *s : items)
        tuple_set(t, i++, intern(s));
    return t;
}

// obj.<name>(*args) by vectorcall.
template <class... A>
nb::object call_method(nb::handle obj, PyObject *name, A... args) {
    PyObject *stack[] = {nullptr, obj.ptr(), nb::handle(args).ptr()...};  // slot 0 is scratch for the callee
    return check(PyObject_VectorcallMethod(name, stack + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.<name>(*args) with the trailing args named by `kwnames` (nullptr: all positional).
template <std::size_t N>
nb::object call_method(nb::handle obj, PyObject *name, const nb::handle (&args)[N], PyObject *kwnames = nullptr) {
    PyObject *stack[N + 2] = {nullptr, obj.ptr()};
    for (std::size_t i = 0; i < N; ++i)
        stack[i + 2] = args[i].ptr();
    const std::size_t positional = N + 1 - (kwnames ? static_cast<std::size_t>(tuple_size(kwnames)) : 0);
    return check(PyObject_VectorcallMethod(name, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// functools.update_wrapper(wrapper, wrapped): name, docs and __wrapped__ of the wrapped callable.
inline void update_wrapper(nb::handle wrapper, nb::handle wrapped) {
    static Lazy update{"functools", "update_wrapper"};
    update(wrapper, wrapped);
}

// Marks `info` (a pooled connection's info dict, or nullptr) as holding a connection whose
// transaction just ended, when `ended` says one did: its pool skips the reset on return.
inline void mark_clean(PyObject *info, bool ended) {
    static PyObject *key = intern("zorvane.clean");
    if (info && ended && PyDict_SetItem(info, key, Py_True) < 0)
        throw nb::python_error();
}

// Whether toolkit Connection `s` has a transaction that a commit or rollback ends on the driver.
inline bool in_transaction(nb::handle s) {
    static PyObject *name = intern("in_transaction");
    return check(call_method0(s.ptr(), name)).ptr() == Py_True;
}

// The end of a unit of work as its steps: after a failure (`exc`, or an invalid handle for a C++
// one) `rollback(error)`, then `close()` when `own`; else, when `own`, `commit()` (a failed commit
// is rolled back and raised) and `close()`. Failures of the cleanup steps are attached to the
// exception on its way as notes. See end_unit.
template <class Commit, class Rollback, class Close>
void end_unit_steps(bool own, bool failed, nb::handle exc, Commit &&commit, Rollback &&rollback, Close &&close) {
    auto unwind = [&](nb::handle error) {
        unwind_step(error, [&] { rollback(error); });
        if (own)
            unwind_step(error, [&] { close(); });
    };
    if (failed) {
        unwind(exc);
        return;
    }
    if (!own)
        return;
    try {
        commit();
    } catch (nb::python_error &e) {
        unwind(e.value());
        throw;
    } catch (...) {
        unwind(nb::handle());
        throw;
    }
    close();
}

// end_unit with `rollback(error)` as its rollback step. With `clean_info` (the info dict of an
// owned connection's pool record), a transaction that ended on the driver is marked there.
template <class Rollback>
void end_unit_with(nb::handle s, bool own, bool failed, nb::handle exc, Rollback &&rollback,
                   PyObject *clean_info = nullptr) {
    static PyObject *commit = intern("commit"), *close = intern("close");
    end_unit_steps(
        own, failed, exc,
        [&] {
            const bool began = clean_info && in_transaction(s);
            check(call_method0(s.ptr(), commit));
            mark_clean(clean_info, began);
        },
        [&](nb::handle error) {
            const bool began = clean_info && own && in_transaction(s);
            rollback(error);
            mark_clean(clean_info, began);
        },
        [&] { check(call_method0(s.ptr(), close)); });
}

// The end of a unit of work on session or connection `s`, the one rule every scope follows:
// after a failure (`exc`: the exception on its way out, or an invalid handle for a C++ one)
// `s` is rolled back (a caller's `s` back to its innermost SAVEPOINT when one is open); else it
// is committed when `own`, and a failed commit is rolled back and raised. An owned `s` is always
// closed. Failures of the cleanup steps are attached to the exception on its way as notes; it
// goes on unchanged.
inline void end_unit(nb::handle s, bool own, bool failed, nb::handle exc = nb::handle(), PyObject *clean_info = nullptr) {
    static PyObject *rollback = intern("rollback"), *get_nested = intern("get_nested_transaction");
    end_unit_with(s, own, failed, exc, [&](nb::handle) {
        nb::object nested = own ? nb::none() : nb::getattr(s, nb::handle(get_nested), nb::none());
        if (!nested.is_none())
            nested = nested();
        if (!nested.is_none())
            nested.attr("rollback")();
        else
            check(call_method0(s.ptr(), rollback));
    }, clean_info);
}

}  // namespace zorvane::glue
