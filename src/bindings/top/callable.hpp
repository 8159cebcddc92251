// src/bindings/top/callable.hpp: a small callable type for the wrappers the top module makes.
#pragma once
#include "glue/common.hpp"

#include <initializer_list>

namespace zorvane::top {

// Behaviour of a callable: receives the callable itself and the call's vectorcall arguments;
// returns a new reference, or nullptr with an exception set.
using CallImpl = PyObject *(*)(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames);

constexpr int kPayloadSlots = 7;

// A new callable running `impl`. `payload` objects (at most kPayloadSlots) are owned and
// visited by the garbage collector; `flags` is free for the behaviour's own use. Instances
// have a __dict__ (so functools.update_wrapper can copy metadata onto them) and bind like
// functions when stored on a class.
nb::object make_callable(CallImpl impl, std::initializer_list<nb::handle> payload, long flags = 0);

// Borrowed payload object `i` of a callable made by make_callable (None when unset).
PyObject *payload(PyObject *callable, int i) noexcept;
long flags(PyObject *callable) noexcept;

// Replaces payload object `i` (a value computed after creation and kept with the callable).
void set_payload(PyObject *callable, int i, nb::handle value) noexcept;
void set_flags(PyObject *callable, long flags) noexcept;

// Creates the type; called once from the module initialisation.
void register_callable_type(nb::module_ &m);

// Sets the Python error matching one of nanobind's builtin exceptions.
void set_builtin_error(const nb::builtin_exception &e) noexcept;

// Runs a C++ body inside a CallImpl: C++ exceptions become Python errors.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        set_builtin_error(e);
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace zorvane::top
