// src/bindings/testing.cpp: zorvane.testing, the pytest plugin of applications (pytest_plugins =
// ["zorvane.testing"]): fixtures over what the library runs during a test.
#include "glue/call.hpp"
#include "glue/common.hpp"
#include "top/callable.hpp"

namespace {
using namespace zorvane;
using top::guarded;
using top::payload;

// A finaliser: takes list payload 1 out of the collectors (payload 0).
PyObject *stop_collecting(PyObject *self, PyObject *const *, std::size_t, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle collectors(payload(self, 0)), seen(payload(self, 1));
        for (Py_ssize_t i = glue::list_size(collectors.ptr()) - 1; i >= 0; --i)
            if (glue::list_item(collectors.ptr(), i) == seen.ptr() && PySequence_DelItem(collectors.ptr(), i) < 0)
                throw nb::python_error();
        return nb::none();
    });
}

// Fixture zorvane_statements(request): a list that every statement run during the test is
// appended to, as zorvane.db.ostrane.Statement, in the order they ran.
PyObject *statements_fixture(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf) + (kwnames ? glue::tuple_size(kwnames) : 0);
        if (n != 1)
            glue::raise(PyExc_TypeError, "zorvane_statements takes the request only");
        nb::object collectors = nb::module_::import_("zorvane.db.ostrane").attr("_collectors");
        nb::list seen;
        collectors.attr("append")(seen);
        nb::handle(args[0]).attr("addfinalizer")(top::make_callable(&stop_collecting, {collectors, seen}));
        return std::move(seen);
    });
}

glue::Lazy greenlet_spawn{"sqlalchemy.util", "greenlet_spawn"};
glue::Lazy running_loop{"asyncio", "_get_running_loop"};

// A finaliser: ends the pins (payload 1) of the test, then takes them out of the rollback
// list (payload 0). An event loop that is still open and idle ends its own on it; a closed
// loop ended them as it closed, and a running one (not this thread's to drive) leaves them to
// its close.
PyObject *end_rollback(PyObject *self, PyObject *const *, std::size_t, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle list(payload(self, 0)), pins(payload(self, 1));
        nb::object end = nb::module_::import_("zorvane.db.kelvor").attr("_end_pins");
        std::exception_ptr failure;
        try {
            nb::list loops;
            for (nb::handle record : nb::list(pins.attr("values")())) {
                nb::handle loop(glue::tuple_item(record.ptr(), 3));
                if (!loop.is_none() && PySequence_Contains(loops.ptr(), loop.ptr()) == 0)
                    loops.append(loop);
            }
            for (nb::handle loop : loops) {
                const bool idle = !glue::truthy(loop.attr("is_closed")()) && !glue::truthy(loop.attr("is_running")()) &&
                                  running_loop().is_none();
                if (idle)
                    loop.attr("run_until_complete")(greenlet_spawn(end, loop));
                else
                    end(loop, "reach"_a = false);
            }
            end(nb::none());
        } catch (...) {
            failure = std::current_exception();
        }
        for (Py_ssize_t i = glue::list_size(list.ptr()) - 1; i >= 0; --i)
            if (glue::list_item(list.ptr(), i) == pins.ptr() && PySequence_DelItem(list.ptr(), i) < 0)
                throw nb::python_error();
        if (failure)
            std::rethrow_exception(failure);
        return nb::none();
    });
}

// Fixture zorvane_rollback(request): the statements of the test run in one outer transaction
// per datasource (and event loop), rolled back at its end; see zorvane.db.kelvor.
PyObject *rollback_fixture(PyObject *, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf) + (kwnames ? glue::tuple_size(kwnames) : 0);
        if (n != 1)
            glue::raise(PyExc_TypeError, "zorvane_rollback takes the request only");
        nb::object list = nb::module_::import_("zorvane.db.ostrane").attr("_rollback");
        if (glue::list_size(list.ptr()))
            glue::raise(PyExc_RuntimeError, "zorvane_rollback is already active");
        nb::dict pins;
        list.attr("append")(pins);
        nb::handle(args[0]).attr("addfinalizer")(top::make_callable(&end_rollback, {list, pins}));
        return nb::none();
    });
}

// A fixture made of `impl` taking the request: a callable with the metadata pytest reads.
nb::object fixture(nb::module_ &m, top::CallImpl impl, const char *name, const char *doc) {
    nb::object fn = top::make_callable(impl, {});
    nb::object inspect = nb::module_::import_("inspect");
    nb::object param = inspect.attr("Parameter");
    nb::setattr(fn, "__name__", nb::str(name));
    nb::setattr(fn, "__qualname__", nb::str(name));
    nb::setattr(fn, "__module__", m.attr("__name__"));
    nb::setattr(fn, "__doc__", nb::str(doc));
    nb::setattr(fn, "__signature__",
                inspect.attr("Signature")(nb::make_tuple(param("request", param.attr("POSITIONAL_OR_KEYWORD")))));
    return nb::module_::import_("pytest").attr("fixture")(fn);
}

}  // namespace

NB_MODULE(testing, m) {
    zorvane::glue::start_module();
    m.doc() = "pytest plugin for applications: pytest_plugins = [\"zorvane.testing\"] gives the fixtures "
              "zorvane_rollback and zorvane_statements.";
    top::register_callable_type(m);
    m.attr("Statement") = nb::module_::import_("zorvane.db.ostrane").attr("Statement");
    m.attr("zorvane_rollback") =
        fixture(m, &rollback_fixture, "zorvane_rollback",
                "Runs the statements of the test in one outer transaction per datasource, rolled back at its end; "
                "the test's own transactions and statements are savepoints inside it.");
    m.attr("zorvane_statements") =
        fixture(m, &statements_fixture, "zorvane_statements",
                "The statements the library runs during the test, in order, as Statement(id, sql, params, rows, "
                "datasource, operation, duration_ms, error).");
}
