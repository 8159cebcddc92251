// src/bindings/glue/common.hpp: shared shims for every binding module.
#pragma once
#include <nanobind/nanobind.h>

#include "glue/capi.hpp"

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>
#include <string_view>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace zorvane::glue {

// Raises `type` with `msg` and leaves C++ through nb::python_error.
[[noreturn]] inline void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}

// The host's generic exception (`Exception`) with a fixed message.
[[noreturn]] inline void raise_exception(const std::string &msg) { raise(PyExc_Exception, msg); }

// Raises `type` with the fixed message `msg` (callers may match on it) and `note` (PEP 678)
// saying what exactly is wrong.
[[noreturn]] inline void raise_with_note(PyObject *type, const std::string &msg, const std::string &note) {
    nb::object e = nb::steal(PyObject_CallFunction(type, "s", msg.c_str()));
    if (!e.is_valid())
        throw nb::python_error();
    nb::object r = nb::steal(PyObject_CallMethod(e.ptr(), "add_note", "s", note.c_str()));
    if (!r.is_valid())
        throw nb::python_error();
    PyErr_SetObject(type, e.ptr());
    throw nb::python_error();
}

// The argument check of the library's typed entry points: `obj` must be exactly of
// type `tp` (subclasses rejected); None passes only when `none_ok`.
inline void check_exact(nb::handle obj, PyTypeObject *tp, const char *arg, bool none_ok = false) {
    if (Py_TYPE(obj.ptr()) == tp || (none_ok && obj.is_none()))
        return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 glue::type_name_of(tp).c_str(), glue::type_name(obj.ptr()).c_str());
    throw nb::python_error();
}

// Truth value in the host's sense; errors of __bool__/__len__ propagate.
inline bool truthy(nb::handle obj) {
    if (obj.is_none())
        return false;
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// `obj` as UTF-8; `obj` must be a str.
inline std::string_view utf8(nb::handle obj) {
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(obj.ptr(), &n);
    if (!p)
        throw nb::python_error();
    return {p, static_cast<std::size_t>(n)};
}

// Raises the decoding error for bytes that are not UTF-8 instead of handing back null.
inline nb::str make_str(std::string_view s) {
    PyObject *o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (!o)
        throw nb::python_error();
    return nb::steal<nb::str>(o);
}

// The references one extension module keeps between calls: cached imports, classes and
// callables it made, its caches. One per module (each shared object has its own copy, as
// symbols are hidden); runtime() is the only way in. teardown() runs from an atexit hook,
// while the interpreter still runs: it releases what the module owns and empties its caches
// in place, so that nothing kept here outlives the interpreter and nanobind's leak report
// lists real leaks only. Interned names stay: they hold no object of the library.
class Runtime {
public:
    enum class At { Release, Empty };

    // Takes `value` (a new reference; nullptr with an error set raises) into `slot`; at
    // teardown the slot is released (At::Release) or the container emptied (At::Empty).
    PyObject *keep(PyObject *&slot, PyObject *value, At at = At::Release) {
        if (!value)
            throw nb::python_error();
        PyObject *old = slot;
        slot = value;
        Py_XDECREF(old);
        kept_.push_back({&slot, at});
        return value;
    }
    PyObject *keep(PyObject *&slot, nb::object value, At at = At::Release) { return keep(slot, value.release().ptr(), at); }

    // Runs `step` first at teardown (steps in reverse order of registration); it must not raise.
    void at_teardown(void (*step)()) { steps_.push_back(step); }

    void teardown() noexcept {
        for (auto it = steps_.rbegin(); it != steps_.rend(); ++it)
            (*it)();
        steps_.clear();
        std::vector<Kept> kept;
        kept.swap(kept_);
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            if (!*it->slot)
                continue;
            if (it->at == At::Release) {
                Py_CLEAR(*it->slot);
            } else if (PyObject *r = PyObject_CallMethod(*it->slot, "clear", nullptr)) {
                Py_DECREF(r);
            } else {
                PyErr_Clear();
            }
        }
        down_ = true;
    }

    // A slot's object; RuntimeError once teardown has released it (a daemon thread still
    // calling in while the interpreter exits).
    static nb::handle alive(PyObject *slot) {
        if (!slot)
            raise(PyExc_RuntimeError, "zorvane has shut down: the interpreter is exiting");
        return slot;
    }

    // Whether teardown has run (the interpreter is exiting).
    bool down() const noexcept { return down_; }

private:
    struct Kept {
        PyObject **slot;
        At at;
    };
    std::vector<Kept> kept_;
    std::vector<void (*)()> steps_;
    bool down_ = false;
};

inline Runtime &runtime() noexcept {
    static Runtime r;
    return r;
}

// An attribute of an importable module, imported on first use and kept in the runtime
// (imported again if asked for after teardown).
class Lazy {
public:
    constexpr Lazy(const char *module, const char *name) : module_(module), name_(name) {}
    nb::handle get() {
        if (!obj_)
            runtime().keep(obj_, nb::object(nb::module_::import_(module_).attr(name_)));
        return obj_;
    }
    nb::handle operator->() { return get(); }
    template <class... Args> nb::object operator()(Args &&...args) { return get()(std::forward<Args>(args)...); }

private:
    const char *module_;
    const char *name_;
    PyObject *obj_ = nullptr;
};

// Cleanup steps that all run: each failure after the first is dropped, and finish() raises
// the first one.
struct AllSteps {
    std::exception_ptr failure;
    template <class Step> void operator()(Step &&step) {
        try {
            step();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    void finish() {
        if (failure)
            std::rethrow_exception(std::exchange(failure, nullptr));
    }
};

// Runs a cleanup step while `exc` (the exception that ended a block; None or unset when
// it is not a Python one) is on its way out. A failure of the step is attached to `exc` as
// a note instead of replacing it, so the caller sees the block's own exception object.
template <class Step>
void unwind_step(nb::handle exc, Step &&step) {
    std::string what;
    try {
        step();
        return;
    } catch (nb::python_error &e) {
        PyObject *text = PyObject_Repr(e.value().ptr());
        const char *utf8 = text ? glue::str_utf8(text) : nullptr;
        what = utf8 ? utf8 : "an error without a printable form";
        Py_XDECREF(text);
        PyErr_Clear();
    } catch (std::exception &e) {
        what = e.what();
    }
    if (!exc.is_valid() || !PyExceptionInstance_Check(exc.ptr()))
        return;
    PyObject *r = PyObject_CallMethod(exc.ptr(), "add_note", "s", ("during cleanup: " + what).c_str());
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

// Registers `fn` to run in the child process after os.fork(). It runs with only the forking
// thread left and in that thread's context; it must not raise (errors are reported as
// unraisable and the child goes on).
inline void after_fork_in_child(void (*fn)()) {
    nb::module_::import_("os").attr("register_at_fork")("after_in_child"_a = nb::cpp_function(fn));
}

// Called first in every module's initialisation: registers the runtime's teardown with
// atexit. nanobind's leak report is on where ZORVANE_LEAK_WARNINGS is set (the test runs):
// a program may keep the library's objects past exit on purpose.
inline void start_module() {
    nb::set_leak_warnings(std::getenv("ZORVANE_LEAK_WARNINGS") != nullptr);
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] { runtime().teardown(); }));
}

}  // namespace zorvane::glue
