// src/bindings/glue/pool.hpp: what the library's units of work tell the pools of the engines the
// configuration makes, through the connection record's info dict.
#pragma once
#include "glue/call.hpp"

namespace zorvane::glue {

// True in a connection's info when its checkout skipped the liveness check: it was checked in
// within the alive-bypass window. Set at every checkout of a configured engine.
inline PyObject *unpinged_key() {
    static PyObject *k = intern("zorvane.unpinged");
    return k;
}

// True in a connection's info when it was just committed or rolled back and goes back to the
// pool with nothing to reset.
inline PyObject *clean_key() {
    static PyObject *k = intern("zorvane.clean");
    return k;
}

// The info dict of the pooled connection of toolkit Connection `con`; invalid when it has none.
inline nb::object connection_info(nb::handle con) {
    static PyObject *connection = intern("connection"), *info = intern("info");
    PyObject *fairy = PyObject_GetAttr(con.ptr(), connection);
    PyObject *d = fairy ? PyObject_GetAttr(fairy, info) : nullptr;
    Py_XDECREF(fairy);
    if (!d || !PyDict_Check(d)) {
        Py_XDECREF(d);
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(d);
}

// Whether `exc` is a toolkit error that found its connection dead (and invalidated it).
inline bool lost_connection(nb::handle exc) {
    static Lazy dbapi_error{"sqlalchemy.exc", "DBAPIError"};
    static PyObject *invalidated = intern("connection_invalidated");
    if (PyObject_IsInstance(exc.ptr(), dbapi_error.get().ptr()) != 1) {
        PyErr_Clear();
        return false;
    }
    PyObject *v = PyObject_GetAttr(exc.ptr(), invalidated);
    const bool lost = v == Py_True;
    Py_XDECREF(v);
    PyErr_Clear();
    return lost;
}

}  // namespace zorvane::glue
