// src/bindings/top/binding.cpp: argument binding of decorated functions and mapper methods.
#include "top/binding.hpp"

#include "top/mapper.hpp"

namespace zorvane::top {
namespace {

glue::Lazy page_class{"zorvane.db.ostrane", "Page"};
glue::Lazy inspect_parameter{"inspect", "Parameter"};

enum Kind : long { kPositionalOnly = 0, kPositionalOrKeyword = 1, kVarPositional = 2, kKeywordOnly = 3, kVarKeyword = 4 };
enum Field : Py_ssize_t { kName = 0, kDefault = 1, kIsPage = 2, kKind = 3 };
enum PlanField : Py_ssize_t { kSignature = 0, kEntries = 1, kAnyKeyword = 2 };

using glue::equals;

bool is_page_value(PyObject *value) {
    nb::handle page = page_class.get();
    if (Py_TYPE(value) == (PyTypeObject *)page.ptr())
        return true;
    int r = PyObject_IsInstance(value, page.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// The value a planned parameter has no default for.
PyObject *empty_marker() {
    static PyObject *empty = nullptr;  // immortal for the interpreter's life, like the inspect module
    if (!empty)
        empty = nb::object(inspect_parameter.get().attr("empty")).release().ptr();
    return empty;
}

// Resolved annotation of parameter `name`, or an invalid object when the hints are unknown.
nb::object resolved_hint(nb::handle func, nb::handle name, nb::object &hints, bool &hints_read) {
    if (!hints_read) {
        hints_read = true;
        try {  // looked up on its module when called, so a replaced function is honoured
            hints = nb::module_::import_("typing_extensions").attr("get_type_hints")(func);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
    }
    if (!hints.is_valid())
        return nb::object();
    nb::object hint = lookup(hints, name);
    return hint.is_valid() ? hint : nb::none();
}

// The keyword argument `name` of a vectorcall, or nullptr.
PyObject *keyword(PyObject *kwnames, PyObject *const *values, PyObject *name) {
    if (!kwnames)
        return nullptr;
    const Py_ssize_t n = glue::tuple_size(kwnames);
    for (Py_ssize_t j = 0; j < n; ++j)
        if (glue::tuple_item(kwnames, j) == name)
            return values[j];
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyUnicode_Compare(glue::tuple_item(kwnames, j), name) == 0)
            return values[j];
    return nullptr;
}

void place(Bound &b, PyObject *entry, PyObject *value) {
    if (glue::tuple_item(entry, kIsPage) == Py_True || is_page_value(value))
        b.page = nb::borrow(value);
    else if (PyDict_SetItem(b.params.ptr(), glue::tuple_item(entry, kName), value) < 0)
        throw nb::python_error();
}

// Raises the TypeError of the call: what signature.bind_partial(*args, **kwargs) raises for an
// unexpected or repeated keyword or surplus positional arguments, else the missing `name`.
[[noreturn]] void raise_like_call(nb::handle plan, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                                  PyObject *name = nullptr) {
    nb::object positional = nb::steal(PyTuple_New(nargs));
    nb::dict keywords;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        glue::tuple_set(positional.ptr(), i, Py_NewRef(args[i]));
    for (Py_ssize_t j = 0, n = kwnames ? glue::tuple_size(kwnames) : 0; j < n; ++j)
        if (PyDict_SetItem(keywords.ptr(), glue::tuple_item(kwnames, j), args[nargs + j]) < 0)
            throw nb::python_error();
    nb::object bind = nb::handle(glue::tuple_item(plan.ptr(), kSignature)).attr("bind_partial");
    check(PyObject_Call(bind.ptr(), positional.ptr(), keywords.ptr()));
    if (name)
        glue::raise(PyExc_TypeError, "missing a required argument: " + std::string(nb::repr(nb::handle(name)).c_str()));
    glue::raise(PyExc_TypeError, "the arguments do not match the signature");
}

}  // namespace

nb::tuple param_plan(nb::handle func, nb::handle signature) {
    nb::handle page = page_class.get();
    nb::object hints;
    bool hints_read = false, any_keyword = false;
    nb::list entries;
    for (nb::handle p : signature.attr("parameters").attr("values")()) {
        nb::object name = p.attr("name"), ann = p.attr("annotation");
        long kind = nb::cast<long>(nb::int_(p.attr("kind")));
        any_keyword = any_keyword || kind == kVarKeyword;
        bool annotated_page = equals(ann, page);
        if (!annotated_page && PyUnicode_Check(ann.ptr())) {
            nb::object resolved = resolved_hint(func, name, hints, hints_read);
            annotated_page = resolved.is_valid() && !resolved.is_none() && equals(resolved, page);
        }
        entries.append(nb::make_tuple(name, p.attr("default"), nb::bool_(annotated_page), kind));
    }
    return nb::make_tuple(signature, nb::tuple(entries), nb::bool_(any_keyword));
}

// inspect.signature looked up when called, like the hints.
nb::tuple param_plan(nb::handle func) { return param_plan(func, nb::module_::import_("inspect").attr("signature")(func)); }

Bound bind_call(nb::handle plan, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *entries = glue::tuple_item(plan.ptr(), kEntries);
    PyObject *const *kwvalues = args + nargs;
    const Py_ssize_t n = glue::tuple_size(entries), nkw = kwnames ? glue::tuple_size(kwnames) : 0;
    const bool any_keyword = glue::tuple_item(plan.ptr(), kAnyKeyword) == Py_True;
    Bound b;
    Py_ssize_t used_pos = 0, used_kw = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *entry = glue::tuple_item(entries, i);
        PyObject *name = glue::tuple_item(entry, kName);
        const long kind = PyLong_AsLong(glue::tuple_item(entry, kKind));
        nb::object rest;  // what a *args or **kwargs parameter collects
        PyObject *value = nullptr;
        if (kind == kVarPositional) {
            rest = nb::steal(PyTuple_New(nargs - used_pos));
            for (Py_ssize_t k = used_pos; k < nargs; ++k)
                glue::tuple_set(rest.ptr(), k - used_pos, Py_NewRef(args[k]));
            used_pos = nargs;
            value = rest.ptr();
        } else if (kind == kVarKeyword) {
            nb::dict extra;
            for (Py_ssize_t j = 0; j < nkw; ++j) {
                PyObject *key = glue::tuple_item(kwnames, j);
                bool named = false;
                for (Py_ssize_t k = 0; k < n && !named; ++k) {
                    PyObject *other = glue::tuple_item(entries, k);
                    const long ok = PyLong_AsLong(glue::tuple_item(other, kKind));
                    named = (ok == kPositionalOrKeyword || ok == kKeywordOnly) &&
                            PyUnicode_Compare(glue::tuple_item(other, kName), key) == 0;
                }
                if (!named && PyDict_SetItem(extra.ptr(), key, kwvalues[j]) < 0)
                    throw nb::python_error();
            }
            rest = extra;
            value = rest.ptr();
        } else {
            PyObject *kw = kind == kPositionalOnly ? nullptr : keyword(kwnames, kwvalues, name);
            used_kw += kw != nullptr;
            if (kind != kKeywordOnly && used_pos < nargs) {
                if (kw)  // a value by position and by keyword
                    raise_like_call(plan, args, nargs, kwnames);
                value = args[used_pos++];
            } else {
                value = kw ? kw : glue::tuple_item(entry, kDefault);
            }
            // Required and not given; a Page parameter may be left out (the first page then).
            if (value == empty_marker() && glue::tuple_item(entry, kIsPage) != Py_True)
                raise_like_call(plan, args, nargs, kwnames, name);
            if (value == empty_marker())
                value = Py_None;
        }
        place(b, entry, value);
    }
    if (used_pos < nargs || (used_kw < nkw && !any_keyword))
        raise_like_call(plan, args, nargs, kwnames);
    return b;
}

Bound bind_lenient(nb::handle plan, nb::handle args, nb::handle kwargs) {
    glue::check_exact(kwargs, &PyDict_Type, "kwargs");
    nb::object seq = nb::steal(PySequence_Tuple(args.ptr()));
    if (!seq.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))  // PySequence_Fast's wording, kept
            glue::raise(PyExc_TypeError, "args must be a sequence");
        throw nb::python_error();
    }
    PyObject *entries = glue::tuple_item(plan.ptr(), kEntries);
    const Py_ssize_t npos = glue::tuple_size(seq.ptr());
    Bound b;
    for (Py_ssize_t i = 0, n = glue::tuple_size(entries); i < n; ++i) {
        PyObject *entry = glue::tuple_item(entries, i);
        PyObject *value = i < npos ? glue::tuple_item(seq.ptr(), i) : nullptr;
        if (!value && !(value = PyDict_GetItemWithError(kwargs.ptr(), glue::tuple_item(entry, kName))) &&
            PyErr_Occurred())
            throw nb::python_error();
        place(b, entry, value ? value : glue::tuple_item(entry, kDefault));
    }
    return b;
}

void bind_fixed(const FixedSignature &sig, PyObject *const *args, std::size_t nargsf, PyObject *kwnames,
                PyObject *(&out)[kMaxFixedParams]) {
    const std::size_t n = sig.count;
    const std::size_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zu were given", sig.display.c_str(), n, nargs);
        throw nb::python_error();
    }
    for (std::size_t i = 0; i < kMaxFixedParams; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? glue::tuple_size(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = glue::tuple_item(kwnames, j);
        std::size_t i = 0;
        while (i < n && key != sig.interned[i] && PyUnicode_Compare(key, sig.interned[i]) != 0)
            ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.display.c_str(), key);
            throw nb::python_error();
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.display.c_str(), sig.names[i]);
            throw nb::python_error();
        }
        out[i] = args[nargs + j];
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!out[i] && sig.required[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", sig.display.c_str(),
                         sig.names[i]);
            throw nb::python_error();
        }
    }
}

}  // namespace zorvane::top
