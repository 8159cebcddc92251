// src/bindings/db/rows.cpp: rows of a result as dictionaries.
#include "db/stream.hpp"

#include "glue/call.hpp"

namespace zorvane::glue {
namespace {

nb::object call(nb::handle obj, const char *name) {
    PyObject *r = PyObject_CallMethod(obj.ptr(), name, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

bool unique_labels(nb::handle keys) {
    const Py_ssize_t k = glue::list_size(keys.ptr());
    for (Py_ssize_t a = 0; a < k; ++a)
        for (Py_ssize_t b = a + 1; b < k; ++b)
            if (!PyUnicode_Check(glue::list_item(keys.ptr(), a)) ||
                PyUnicode_Compare(glue::list_item(keys.ptr(), a), glue::list_item(keys.ptr(), b)) == 0)
                return false;
    return true;
}

}  // namespace

nb::list rows_as_dicts(nb::handle rows, nb::handle keys) {
    const Py_ssize_t n = glue::list_size(rows.ptr());
    nb::list out = nb::steal<nb::list>(PyList_New(n));
    if (n == 0)
        return out;
    const Py_ssize_t k = glue::list_size(keys.ptr());
    const bool unique = unique_labels(keys);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = glue::list_item(rows.ptr(), i);
        if (!unique && !PyTuple_Check(row)) {  // a driver's tuple: the last of repeated labels wins, as there
            glue::list_set(out.ptr(), i, call(row, "_asdict").release().ptr());
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
                raise(PyExc_RuntimeError, "row is shorter than its keys");
            }
            if (PyDict_SetItem(d.ptr(), glue::list_item(keys.ptr(), c), v.ptr()) < 0)
                throw nb::python_error();
        }
        glue::list_set(out.ptr(), i, d.release().ptr());
    }
    return out;
}

}  // namespace zorvane::glue
