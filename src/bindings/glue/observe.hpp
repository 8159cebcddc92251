// src/bindings/glue/observe.hpp: what the SQL log and OpenTelemetry read of a call: the id of the
// statement call in progress, and the configured tracer and meter providers, if any.
#pragma once
#include "glue/call.hpp"
#include "glue/common.hpp"

namespace zorvane::glue {

// Context variable (zorvane.db.ostrane._statement): the id of the statement call in progress,
// resolved only when something records it: a str, a decorated function (its __qualname__),
// (namespace, id) of a mapper statement, or (owner, operation) for the base mapper.
inline Lazy statement_var{"zorvane.db.ostrane", "_statement"};

// Context variable (zorvane.db.ostrane._attempt): the attempt (1, 2, ...) of the retrying
// transactional call in progress, or None outside one.
inline Lazy attempt_var{"zorvane.db.ostrane", "_attempt"};

// Sets a context variable for the life of the object.
class ContextValue {
public:
    ContextValue(Lazy &var, nb::handle value) : var_(var.get().ptr()), token_(context_var_set(var_, value.ptr())) {
        if (!token_)
            throw nb::python_error();
    }
    ~ContextValue() {
        if (context_var_reset(var_, token_) < 0)
            PyErr_Clear();
        Py_DECREF(token_);
    }
    ContextValue(const ContextValue &) = delete;
    ContextValue &operator=(const ContextValue &) = delete;

private:
    PyObject *var_;
    PyObject *token_;
};

// Names the statement call for the life of the object.
class StatementId : public ContextValue {
public:
    explicit StatementId(nb::handle id) : ContextValue(statement_var, id) {}
};

// The attempt of the retrying call in progress (see attempt_var), or None.
inline nb::object current_attempt() {
    PyObject *v = nullptr;
    if (context_var_get(attempt_var.get().ptr(), nullptr, &v) < 0)
        throw nb::python_error();
    return v ? nb::steal(v) : nb::none();
}

// The globals of opentelemetry's trace (0) and metrics (1) modules, imported once; nullptr
// when the API is not installed.
inline PyObject *otel_globals(int which) {
    static PyObject *dicts[2] = {nullptr, nullptr};
    static bool tried = false;
    if (!tried && !runtime().down()) {
        tried = true;
        const char *modules[2] = {"opentelemetry.trace", "opentelemetry.metrics._internal"};
        for (int i = 0; i < 2; ++i) {
            PyObject *m = PyImport_ImportModule(modules[i]);
            if (!m) {
                PyErr_Clear();
                continue;
            }
            runtime().keep(dicts[i], Py_NewRef(PyModule_GetDict(m)));
            Py_DECREF(m);
        }
    }
    return dicts[which];
}

// The global tracer (0) or meter (1) provider an application set, else nullptr (borrowed).
// Costs one dictionary look-up per call.
inline PyObject *otel_provider(int which) {
    PyObject *globals = otel_globals(which);
    if (!globals)
        return nullptr;
    static PyObject *keys[2] = {intern("_TRACER_PROVIDER"), intern("_METER_PROVIDER")};
    PyObject *p = PyDict_GetItemWithError(globals, keys[which]);
    if (!p && PyErr_Occurred())
        PyErr_Clear();
    return p && p != Py_None ? p : nullptr;
}

// The library's tracer of the configured provider, else an invalid object; made once per provider.
inline nb::object tracer() {
    static PyObject *pair = nullptr;  // (provider, tracer)
    PyObject *provider = otel_provider(0);
    if (!provider)
        return nb::object();
    if (!pair || glue::tuple_item(pair, 0) != provider) {
        nb::object t = nb::handle(provider).attr("get_tracer")("zorvane");
        runtime().keep(pair, nb::make_tuple(nb::handle(provider), t));
    }
    return nb::borrow(glue::tuple_item(pair, 1));
}

// A transaction scope's INTERNAL span `transaction <datasource>`, current until close_scope_span;
// (span, context token), or an invalid object without a tracer.
inline nb::object open_scope_span(nb::handle datasource) {
    nb::object t = tracer();
    if (!t.is_valid())
        return nb::object();
    static Lazy internal{"opentelemetry.trace", "SpanKind"}, in_context{"opentelemetry.trace", "set_span_in_context"},
        attach{"opentelemetry.context", "attach"};
    nb::str name(("transaction " + std::string(nb::str(datasource).c_str())).c_str());
    nb::object span = t.attr("start_span")(name, "kind"_a = internal.get().attr("INTERNAL"));
    span.attr("set_attribute")("db.zorvane.datasource", nb::str(datasource));
    if (nb::object attempt = current_attempt(); !attempt.is_none())
        span.attr("set_attribute")("db.zorvane.transaction.attempt", attempt);
    return nb::make_tuple(span, attach(in_context(span)));
}

inline void close_scope_span(nb::object &opened, bool failed, nb::handle exc) {
    if (!opened.is_valid())
        return;
    nb::object pair = std::move(opened);
    static Lazy detach{"opentelemetry.context", "detach"}, status{"opentelemetry.trace", "Status"},
        code{"opentelemetry.trace", "StatusCode"};
    nb::handle span(glue::tuple_item(pair.ptr(), 0));
    detach(nb::handle(glue::tuple_item(pair.ptr(), 1)));
    if (failed) {
        if (exc.is_valid() && !exc.is_none()) {
            span.attr("record_exception")(exc);
            span.attr("set_attribute")("error.type", nb::handle((PyObject *)Py_TYPE(exc.ptr())).attr("__qualname__"));
        }
        span.attr("set_status")(status(code.get().attr("ERROR")));
    }
    span.attr("end")();
}

}  // namespace zorvane::glue
