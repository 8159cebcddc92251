// src/bindings/top/state.cpp: state shared by the parts of the top module.
#include "top/state.hpp"

#include "glue/call.hpp"
#include "top/async_bridge.hpp"

namespace zorvane::top {
namespace {

PyObject *g_base_mapper = nullptr;
PyObject *g_async_base_mapper = nullptr;
PyObject *g_context = nullptr;
glue::Lazy host_print{"builtins", "print"};

nb::object context_get() {
    PyObject *v = nullptr;
    if (glue::context_var_get(g_context, nullptr, &v) < 0)
        throw nb::python_error();
    return nb::steal(v);
}

void context_set(nb::handle value) {
    PyObject *token = glue::context_var_set(g_context, value.ptr());
    if (!token)
        throw nb::python_error();
    Py_DECREF(token);
}

using glue::text_of;

}  // namespace

nb::handle base_mapper() {
    if (!g_base_mapper)
        glue::raise(PyExc_RuntimeError, "zorvane has shut down: the interpreter is exiting");
    return g_base_mapper;
}
void set_base_mapper(nb::handle cls) { glue::runtime().keep(g_base_mapper, Py_NewRef(cls.ptr())); }
nb::handle async_base_mapper() noexcept { return g_async_base_mapper; }
void set_async_base_mapper(nb::handle cls) { glue::runtime().keep(g_async_base_mapper, Py_NewRef(cls.ptr())); }
nb::handle datasource_context() noexcept { return g_context; }

void create_datasource_context(nb::module_ &m) {
    g_context = glue::context_var_new("datasource_context", Py_None);
    if (!g_context)
        throw nb::python_error();
    m.attr("datasource_context") = nb::handle(g_context);
}

nb::object current_db() {
    nb::object v = context_get();
    if (glue::truthy(v))
        return v;
    return nb::borrow(base_mapper()).attr("default_key");
}

bool raw_sql_on() { return glue::truthy(nb::borrow(base_mapper()).attr("raw_sql")); }

nb::object registry_entry(nb::handle name) {
    nb::object registry = nb::borrow(base_mapper()).attr("datasource");
    PyObject *entry = PyObject_GetItem(registry.ptr(), name.ptr());
    if (!entry)
        throw nb::python_error();
    return nb::steal(entry);
}

nb::object session_object(nb::handle name) { return entry_session(registry_entry(name)); }

void print_line(const std::string &line) { host_print(glue::make_str(line)); }

void Selection::enter(nb::handle db) {
    nb::object current = context_get();
    previous_ = current;
    nb::object registry = nb::borrow(base_mapper()).attr("datasource");
    int has = PySequence_Contains(registry.ptr(), db.ptr());
    if (has < 0)
        throw nb::python_error();
    if (!has)
        glue::raise(PyExc_ValueError, "Unknown data source");
    if (raw_sql_on())
        print_line("change_datasource: " + text_of(current) + " -> " + text_of(db));
    context_set(db);
}

void Selection::exit() {
    nb::object current = context_get();
    if (!current.is_none())
        context_set(nb::none());
    if (raw_sql_on())
        print_line("change_datasource: " + text_of(current) + " -> " + text_of(previous_.is_valid() ? previous_ : nb::none()));
    if (previous_.is_valid() && !previous_.is_none())
        context_set(previous_);
}

nb::object call_through(nb::handle callable, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    PyObject *r = PyObject_Vectorcall(callable.ptr(), args, nargsf, kwnames);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

}  // namespace zorvane::top
