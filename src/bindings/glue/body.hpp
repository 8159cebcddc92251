// src/bindings/glue/body.hpp: whether a function's body does nothing (a declaration).
#pragma once
#include "glue/call.hpp"

namespace zorvane::glue {

// The code objects of bodies that only return None: `pass` or `...`, with and without a
// docstring, plain and async. Compiled once by the running interpreter, so the comparison
// follows its bytecode whatever the version.
inline nb::handle empty_body_codes() {
    static PyObject *codes = nullptr;
    if (!codes) {
        static const char source[] = "def a(self): pass\n"
                                     "def b(self):\n    'd'\n"
                                     "async def c(self): pass\n"
                                     "async def d(self):\n    'd'\n";
        nb::module_ builtins = nb::module_::import_("builtins");
        nb::dict ns;
        builtins.attr("exec")(builtins.attr("compile")(source, "<empty body>", "exec"), ns);
        nb::list out;
        for (const char *name : {"a", "b", "c", "d"})
            out.append(ns[name].attr("__code__"));
        codes = nb::tuple(out).release().ptr();
    }
    return codes;
}

// Whether `callable` (a function, or a method whose __func__ is one) has a body that does
// nothing but return None: `...`, `pass` or a docstring. Its bytecode equals a reference
// one and its constants are the same, a docstring standing for a docstring; a body that
// returns another constant has the same bytecode but other constants. Other callables: false.
inline bool has_empty_body(nb::handle callable) {
    static PyObject *n_func = intern("__func__"), *n_code = intern("__code__"), *n_co_code = intern("co_code"),
                    *n_consts = intern("co_consts");
    nb::object fn = optional_attr(callable, n_func);
    nb::object code = optional_attr(fn.is_valid() ? fn : nb::borrow(callable), n_code);
    nb::handle refs = empty_body_codes();
    if (!code.is_valid() || Py_TYPE(code.ptr()) != Py_TYPE(tuple_item(refs.ptr(), 0)))
        return false;
    nb::object bytecode = check(PyObject_GetAttr(code.ptr(), n_co_code));
    nb::object consts = check(PyObject_GetAttr(code.ptr(), n_consts));
    for (Py_ssize_t r = 0; r < tuple_size(refs.ptr()); ++r) {
        PyObject *ref = tuple_item(refs.ptr(), r);
        nb::object ref_consts = check(PyObject_GetAttr(ref, n_consts));
        if (!equals(bytecode, check(PyObject_GetAttr(ref, n_co_code))) ||
            tuple_size(consts.ptr()) != tuple_size(ref_consts.ptr()))
            continue;
        bool same = true;
        for (Py_ssize_t i = 0; same && i < tuple_size(consts.ptr()); ++i) {
            PyObject *mine = tuple_item(consts.ptr(), i), *theirs = tuple_item(ref_consts.ptr(), i);
            same = theirs == Py_None ? mine == Py_None : PyUnicode_Check(mine);
        }
        if (same)
            return true;
    }
    return false;
}

}  // namespace zorvane::glue
