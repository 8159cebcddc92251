// src/bindings/glue/page.hpp: the rows a page request asks for, checked before any SQL runs.
#pragma once
#include "glue/call.hpp"

namespace zorvane::glue {

struct PageWindow {
    nb::object num, size, offset;  // pageNum, pageSize and the first row (counted from 0)
};

// The window of `page` (a Page, or any object with pageNum and pageSize): the first row is
// its `offset` when set (Page.from_offset), else (pageNum - 1) * pageSize. A size or number
// below 1, or a negative offset, raises ValueError: databases would answer those each in
// their own way (rows, all rows, or an error).
inline PageWindow page_window(nb::handle page) {
    static PyObject *n_num = intern("pageNum"), *n_size = intern("pageSize"), *n_offset = intern("offset");
    PageWindow w{check(PyObject_GetAttr(page.ptr(), n_num)), check(PyObject_GetAttr(page.ptr(), n_size)), nb::object()};
    auto below = [](nb::handle v, long bound, const char *what, const char *hint = "") {
        nb::object b = nb::int_(bound);
        int r = PyObject_RichCompareBool(v.ptr(), b.ptr(), Py_LT);
        if (r < 0)
            throw nb::python_error();
        if (r)
            raise(PyExc_ValueError, std::string(what) + " " + text_of(nb::repr(v)) + " is below " +
                                        std::to_string(bound) + hint);
    };
    below(w.size, 1, "page size");
    nb::object set = optional_attr(page, n_offset);
    if (set.is_valid() && !set.is_none()) {
        below(set, 0, "page offset");
        w.offset = set;
        return w;
    }
    below(w.num, 1, "page number", ": pages count from 1");
    nb::object before = check(PyNumber_Subtract(w.num.ptr(), nb::int_(1).ptr()));
    w.offset = check(PyNumber_Multiply(before.ptr(), w.size.ptr()));
    return w;
}

}  // namespace zorvane::glue
