// src/bindings/glue/expression.hpp: compiles mapper test and foreach-collection expressions.
#pragma once
#include <algorithm>
#include <string>

#include "glue/common.hpp"

namespace zorvane::glue {

// Code object of expression `src` as eval() would compile it, named `filename` in
// tracebacks; throws the compile error (SyntaxError, ValueError ...).
inline nb::object compile_expression(std::string_view src, const char *filename) {
    // eval() drops leading blanks and tabs of a source string; so do we.
    src.remove_prefix(std::min(src.find_first_not_of(" \t"), src.size()));
    if (src.find('\0') != std::string_view::npos)
        raise(PyExc_SyntaxError, "source code string cannot contain null bytes");
    std::string source(src);
#if defined(Py_LIMITED_API)
    // Py_CompileString compiles UTF-8 source with the running version's grammar, as the flags below say.
    PyObject *code = Py_CompileString(source.c_str(), filename, Py_eval_input);
#else
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    flags.cf_feature_version = PY_MINOR_VERSION;
    PyObject *code = Py_CompileStringExFlags(source.c_str(), filename, Py_eval_input, &flags, -1);
#endif
    if (!code)
        throw nb::python_error();
    return nb::steal(code);
}

}  // namespace zorvane::glue
