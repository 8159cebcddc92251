// src/bindings/exception.cpp: zorvane.exception, the public database exception.
#include "glue/common.hpp"

namespace {

// Stores the message and nothing else; the base initialisation is not called, so the
// text form comes from the positional arguments the exception was created with.
void db_exception_init_shim(nb::handle self, nb::handle message) {
    nb::setattr(self, "message", message);
}

}  // namespace

NB_MODULE(exception, m) {
    zorvane::glue::start_module();
    m.doc() = "The library's exceptions: database errors and errors in the use of the library.";
    nb::dict ns;
    ns["__module__"] = "zorvane.exception";
    ns["__doc__"] = "Exception for database errors; `message` holds the constructor's argument unchanged.";
    ns["__init__"] = nb::cpp_function(&db_exception_init_shim, nb::is_method(), nb::name("__init__"),
                                      "message"_a);
    nb::object cls = nb::handle((PyObject *)&PyType_Type)("DBException", nb::make_tuple(nb::handle(PyExc_Exception)), ns);
    m.attr("DBException") = cls;

    nb::handle type((PyObject *)&PyType_Type);
    nb::dict base_ns;
    base_ns["__module__"] = "zorvane.exception";
    base_ns["__doc__"] = "Base class of the errors the library raises about its own use.";
    nb::object base = type("ZorvaneError", nb::make_tuple(nb::handle(PyExc_Exception)), base_ns);
    m.attr("ZorvaneError") = base;
    auto subclass = [&](const char *name, nb::object bases, const char *doc) {
        nb::dict ns;
        ns["__module__"] = "zorvane.exception";
        ns["__doc__"] = doc;
        nb::object cls = type(name, bases, ns);
        m.attr(name) = cls;
        return cls;
    };
    subclass("ParameterError", nb::make_tuple(base),
             "A statement's placeholder or parameter does not fit the call; raised before any SQL runs.");
    subclass("StatementNotFoundError", nb::make_tuple(base),
             "No statement of the id asked for: a mapper file has none, or a mapper method with an empty body finds "
             "none for its name on the current datasource.");
    nb::object config = subclass("ConfigError", nb::make_tuple(base),
                                 "A datasource declaration or configuration the library cannot use; raised before any "
                                 "connection is made.");
    // Raised where a KeyError used to be, so that both except clauses catch it; the text form
    // is the message itself, not KeyError's quoted one.
    nb::object key_error = subclass("ConfigKeyError", nb::make_tuple(config, nb::handle(PyExc_KeyError)),
                                    "A ConfigError for a key a declaration lacks; also a KeyError.");
    key_error.attr("__str__") = nb::handle(PyExc_BaseException).attr("__str__");
    subclass("TransactionRolledBackError", nb::make_tuple(base),
             "A statement or the end of a scope met a transaction that was rolled back earlier in it; the failure "
             "that rolled it back is the __cause__.");
}
