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
    zorvane::glue::quiet_shutdown();
    m.doc() = "The library's exception for database errors.";
    nb::dict ns;
    ns["__module__"] = "zorvane.exception";
    ns["__doc__"] = "Exception for database errors; `message` holds the constructor's argument unchanged.";
    ns["__init__"] = nb::cpp_function(&db_exception_init_shim, nb::is_method(), nb::name("__init__"),
                                      "message"_a);
    nb::object cls = nb::handle((PyObject *)&PyType_Type)("DBException", nb::make_tuple(nb::handle(PyExc_Exception)), ns);
    m.attr("DBException") = cls;
}
