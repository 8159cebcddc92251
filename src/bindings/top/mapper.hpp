// src/bindings/top/mapper.hpp: pieces of BaseMapper shared by its operations and its interception.
#pragma once
#include "top/state.hpp"

namespace zorvane::top {

// The C-level base of BaseMapper. Its attribute fetch routes public methods to mapper
// statements; every Python subclass inherits it as a C function.
nb::object make_intercepting_base(nb::module_ &m);

// Fills the interception's caches from BaseMapper once it exists (the signature cache is
// BaseMapper._sig_cache).
void init_interception();

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

// The model class of mapper class `cls` (BaseMapper._type_cache, filled from the bases).
nb::object type_parameter(nb::handle cls);

// The ZorvaneSqlSession of the current datasource, read from the registry `cls.datasource`.
nb::object mapper_session(nb::handle cls);

}  // namespace zorvane::top
