// src/bindings/top/binding.hpp: where every decorated function and mapper method binds a call's
// arguments to the parameters of its statement.
#pragma once
#include "glue/common.hpp"

#include <string>

namespace zorvane::top {

// The parameters of `func`, read once per function: a tuple (signature, entries), each entry
// (name, default, annotated Page, kind) with kind the inspect.Parameter kind as an int. String
// annotations (postponed evaluation too) are resolved to find Page parameters; when the hints
// cannot be resolved they are compared as written.
nb::tuple param_plan(nb::handle func);

// The same for an already read signature of `func` (a bound method's, without self).
nb::tuple param_plan(nb::handle func, nb::handle signature);

struct Bound {
    nb::dict params;             // name -> value, Page values left out
    nb::object page = nb::none();  // the Page argument, or None
};

// Binds a vectorcall's arguments as a Python call of the planned function would: positional
// arguments fill positional parameters in order, keywords their names, defaults the rest; a
// missing required argument, an unexpected or repeated keyword or too many positional
// arguments raise the TypeError the call itself would raise. A Page-annotated parameter, or
// any Page value, goes to the page slot; a Page-annotated parameter may be left out.
Bound bind_call(nb::handle plan, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// The lenient binding of the private `__combine_args` helpers: the same slots, but unknown
// keywords and surplus positional arguments are ignored and a parameter without a value gets
// its declared default (inspect.Parameter.empty when it has none).
Bound bind_lenient(nb::handle plan, nb::handle args, nb::handle kwargs);

// The signature of a method the library defines itself (the base mapper's): its parameters'
// interned names and which of them are required, fixed at start-up.
constexpr std::size_t kMaxFixedParams = 4;
struct FixedSignature {
    std::string display;  // the method's name in errors
    std::size_t count = 0;
    const char *names[kMaxFixedParams] = {};
    PyObject *interned[kMaxFixedParams] = {};
    bool required[kMaxFixedParams] = {};
};

// Binds a vectorcall to a fixed signature with the same TypeErrors as bind_call; `out`
// receives borrowed references, one per parameter, nullptr for an optional one left out
// (the caller supplies its default).
void bind_fixed(const FixedSignature &sig, PyObject *const *args, std::size_t nargsf, PyObject *kwnames,
                PyObject *(&out)[kMaxFixedParams]);

}  // namespace zorvane::top
