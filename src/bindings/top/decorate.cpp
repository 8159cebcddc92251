// src/bindings/top/decorate.cpp: method wrapping with a datasource, retried transactional calls
// and class decoration.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>

#include "glue/backend.hpp"
#include "glue/observe.hpp"
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/scopes.hpp"
#include "top/state.hpp"
#include "glue/call.hpp"

namespace zorvane::top {
namespace {

PyObject *name_marker, *name_ds_name, *name_tx, *name_nested, *name_retry;
glue::Lazy rolled_back_error{"zorvane.exception", "TransactionRolledBackError"};
glue::Lazy get_logger{"logging", "getLogger"};
glue::Lazy time_sleep{"time", "sleep"};
glue::Lazy asyncio_sleep{"asyncio", "sleep"};
glue::Lazy await_only{"sqlalchemy.util", "await_only"};

// The transaction level of a transactional call on session object `kelvor`: begin, run,
// commit; rollback on any exception (of the call or the commit, interrupts included); close in
// every case once the level began. A level that could not begin has nothing to end, as in
// TransactionScope. `at_commit` tells whether an exception came from the end of the level.
// Each level (each attempt of a retried call) has the INTERNAL span `transaction <datasource>`
// of a transaction scope, open from before the begin until after the end, when a tracer is
// configured.
nb::object run_in_transaction(nb::handle kelvor, nb::handle name, bool nested, nb::handle method,
                              PyObject *const *args, std::size_t nargsf, PyObject *kwnames, bool &at_commit) {
    at_commit = false;
    nb::object span = glue::open_scope_span(name);
    auto end_span = [&](bool failed, nb::handle exc) {
        try {
            glue::close_scope_span(span, failed, exc);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("ending a transaction span");
        }
    };
    nb::object result;
    try {
        begin_level(kelvor, name, nested);
    } catch (nb::python_error &e) {
        end_span(true, e.value());
        throw;
    }
    try {
        result = settle_user_result(call_through(method, args, nargsf, kwnames));
    } catch (nb::python_error &e) {
        finish_transaction(kelvor, true, e.value());
        end_span(true, e.value());
        throw;
    } catch (...) {
        finish_transaction(kelvor, true, nb::handle());
        end_span(true, nb::handle());
        throw;
    }
    at_commit = true;
    try {
        finish_transaction(kelvor, false, nb::handle());
    } catch (nb::python_error &e) {
        end_span(true, e.value());
        throw;
    }
    end_span(false, nb::handle());
    return result;
}

// The failure behind `exc`: a TransactionRolledBackError stands for the one that rolled its
// transaction back (a caught failure inside it), which is its cause.
nb::object root_failure(nb::handle exc) {
    nb::object failure = nb::borrow(exc);
    for (int hops = 0; hops < 8 && PyObject_IsInstance(failure.ptr(), rolled_back_error.get().ptr()) == 1; ++hops) {
        nb::object cause = nb::getattr(failure, "__cause__", nb::none());
        if (cause.is_none())
            break;
        failure = cause;
    }
    PyErr_Clear();
    return failure;
}

// Bumped in a child process after fork, so that workers forked from one parent draw delays of
// their own rather than the parent's sequence.
std::atomic<unsigned> g_seed_epoch{0};
void reseed_after_fork() { ++g_seed_epoch; }

// A delay before attempt `attempt + 1`: full jitter, uniform in [0, min(cap, base * 2^(attempt-1))].
double backoff(const RetryPolicy &p, long attempt) {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    thread_local unsigned epoch = 0;
    if (epoch != g_seed_epoch.load()) {
        epoch = g_seed_epoch.load();
        rng.seed(std::random_device{}());
    }
    const double ceiling = std::min(p.cap_s, p.base_s * std::ldexp(1.0, static_cast<int>(std::min(attempt - 1, 60L))));
    return std::uniform_real_distribution<double>(0.0, ceiling)(rng);
}

// Waits `seconds`: inside an async call on the event loop (asyncio.sleep), else in this thread.
void pause(double seconds) {
    if (in_async_call())
        await_only(asyncio_sleep(seconds));
    else
        time_sleep(seconds);
}

// An INFO record of logger zorvane.sql about attempt `attempt` of `method`, which failed with
// `error` and runs again after `delay` seconds.
void log_retry(nb::handle method, nb::handle name, long attempt, const RetryPolicy &p, nb::handle error, double delay) {
    nb::object logger = get_logger("zorvane.sql");
    if (!glue::truthy(logger.attr("isEnabledFor")(20)))
        return;
    nb::object id = nb::getattr(method, "__qualname__", nb::none());
    nb::dict extra;
    extra["statement_id"] = id;
    extra["datasource"] = name;
    extra["attempt"] = nb::int_(attempt);
    extra["retries"] = nb::int_(p.retries);
    extra["delay_ms"] = nb::float_(delay * 1000.0);
    extra["error"] = nb::repr(error);
    logger.attr("info")("%s [%s] attempt %d of %d failed, retrying in %.1f ms: %s", id, name, attempt,
                        p.retries + 1, delay * 1000.0, nb::repr(error), "extra"_a = extra);
}

void add_note(nb::handle exc, const std::string &note) {
    if (!exc.is_valid())
        return;
    nb::object r = nb::steal(PyObject_CallMethod(exc.ptr(), "add_note", "s", note.c_str()));
    if (!r.is_valid())
        PyErr_Clear();  // not an exception that takes notes; it goes on as it is
}

// A transactional call retried by `p`. Only the outermost level retries: a call that joins an
// open transaction (or opens a savepoint in it) runs once and lets its failure reach the call
// that opened the transaction. Every attempt is a transaction of its own: the failed one was
// rolled back and closed, which also ended its rollback-only state and savepoints.
nb::object run_retrying(nb::handle name, bool nested, const RetryPolicy &p, nb::handle method, PyObject *const *args,
                        std::size_t nargsf, PyObject *kwnames) {
    nb::object kelvor = session_object(name);
    bool at_commit = false;
    if (glue::truthy(kelvor.attr("_in_transaction")()))
        return run_in_transaction(kelvor, name, nested, method, args, nargsf, kwnames, at_commit);
    const glue::Backend *kind = glue::backend_of(kelvor.attr("data_source"));
    for (long attempt = 1;; ++attempt) {
        try {
            glue::ContextValue mark(glue::attempt_var, nb::int_(attempt));
            return run_in_transaction(kelvor, name, nested, method, args, nargsf, kwnames, at_commit);
        } catch (nb::python_error &e) {
            nb::object failure = root_failure(e.value());
            const glue::Retry how = glue::retry_kind(kind, failure, at_commit, p.lock_waits);
            if (how == glue::Retry::Never || (how == glue::Retry::IfIdempotent && !p.idempotent)) {
                if (how == glue::Retry::IfIdempotent)
                    add_note(e.value(), "whether the transaction committed is unknown (the connection was lost while "
                                        "committing); not retried, as the call is not declared idempotent=True");
                if (attempt > 1)
                    add_note(e.value(), "failed on attempt " + std::to_string(attempt) + " of at most " +
                                            std::to_string(p.retries + 1) + "; this error is not retried");
                throw;
            }
            if (attempt > p.retries) {
                add_note(e.value(), "gave up after " + std::to_string(attempt) + " attempts (retries=" +
                                        std::to_string(p.retries) + "); this is the last attempt's error");
                throw;
            }
            const double delay = backoff(p, attempt);
            log_retry(method, name, attempt, p, e.value(), delay);
            pause(delay);
        }
    }
}

// Payload: 0 the wrapped callable, 1 the datasource name, 2 the RetryPolicy or None; flags:
// the TxMode.
PyObject *wrapped_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        nb::handle method(payload(self, 0)), name(payload(self, 1)), policy(payload(self, 2));
        Selection selection;
        nb::object result;
        bool at_commit;
        try {
            selection.enter(name);
            const bool nested = flags(self) == kSavepoint;
            if (!flags(self))
                result = settle_user_result(call_through(method, args, nargsf, kwnames));
            else if (policy.is_none())
                result = run_in_transaction(session_object(name), name, nested, method, args, nargsf, kwnames, at_commit);
            else
                result = run_retrying(name, nested, nb::cast<const RetryPolicy &>(policy), method, args, nargsf, kwnames);
        } catch (...) {
            selection.exit();
            throw;
        }
        selection.exit();
        return result;
    });
}

// hasattr(value, "_datasource_decorated"): only AttributeError means absent.
bool has_marker(nb::handle value) {
    PyObject *v = PyObject_GetAttr(value.ptr(), name_marker);
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

// Replacement constructor. Payload: 0 the previous constructor, 1 the name, 2 the transactional
// flag, 3 the nested flag, 4 the RetryPolicy or None. The attributes are set before the previous
// constructor runs, so methods fetched inside it work, and again afterwards, so the outermost
// decoration's values win.
PyObject *decorated_init(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) < 1)
            glue::raise(PyExc_TypeError, "__init__ needs the instance");
        nb::handle instance(args[0]);
        auto mark = [&] {
            if (PyObject_SetAttr(instance.ptr(), name_ds_name, payload(self, 1)) < 0 ||
                PyObject_SetAttr(instance.ptr(), name_tx, payload(self, 2)) < 0 ||
                PyObject_SetAttr(instance.ptr(), name_nested, payload(self, 3)) < 0 ||
                PyObject_SetAttr(instance.ptr(), name_retry, payload(self, 4)) < 0)
                throw nb::python_error();
        };
        mark();
        call_through(payload(self, 0), args, nargsf, kwnames);
        mark();
        return nb::none();
    });
}

// Replacement attribute fetch. Payload: 0 the previous fetch.
PyObject *decorated_getattribute(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) != 2 || (kwnames && glue::tuple_size(kwnames)))
            glue::raise(PyExc_TypeError, "__getattribute__ expects (instance, name)");
        nb::object value = call_through(payload(self, 0), args, nargsf, kwnames);
        nb::handle instance(args[0]), name(args[1]);
        if (!PyCallable_Check(value.ptr()) || !PyUnicode_Check(name.ptr()) ||
            PyUnicode_Tailmatch(name.ptr(), nb::str("__").ptr(), 0, PY_SSIZE_T_MAX, -1) == 1 || has_marker(value))
            return value;
        nb::object ds = nb::steal(PyObject_GetAttr(instance.ptr(), name_ds_name));
        if (!ds.is_valid())
            throw nb::python_error();
        nb::object tx = nb::steal(PyObject_GetAttr(instance.ptr(), name_tx));
        if (!tx.is_valid())
            throw nb::python_error();
        nb::object nested = nb::steal(PyObject_GetAttr(instance.ptr(), name_nested));
        if (!nested.is_valid())
            throw nb::python_error();
        nb::object retry = nb::steal(PyObject_GetAttr(instance.ptr(), name_retry));
        if (!retry.is_valid())
            throw nb::python_error();
        return create_wrapped_method(value, ds, tx_mode(glue::truthy(tx), glue::truthy(nested)), false, retry);
    });
}

nb::object create_wrapped_method_shim(nb::handle method, nb::handle datasource_name, nb::handle transactional,
                                      nb::handle mark_decorated, nb::handle nested) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    return create_wrapped_method(method, datasource_name, tx_mode(glue::truthy(transactional), glue::truthy(nested)),
                                 glue::truthy(mark_decorated));
}

nb::object decorate_class_shim(nb::handle cls, nb::handle datasource_name, nb::handle transactional,
                               nb::handle nested) {
    if (!PyType_Check(cls.ptr()))
        glue::raise(PyExc_TypeError, std::string("Argument 'cls' has incorrect type (expected type, got ") +
                                         glue::type_name(cls.ptr()) + ")");
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    return decorate_class(cls, datasource_name, tx_mode(glue::truthy(transactional), glue::truthy(nested)));
}

// A number of seconds for datasource()'s argument `arg`: an int or float above 0.
double seconds_arg(nb::handle v, const char *arg) {
    if (PyBool_Check(v.ptr()) || !(PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())))
        glue::raise(PyExc_TypeError, std::string(arg) + " must be a number of seconds, not " + glue::type_name(v.ptr()));
    const double s = PyFloat_AsDouble(v.ptr());
    if (s == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    if (!(s > 0) || !std::isfinite(s))
        glue::raise(PyExc_ValueError, std::string(arg) + " must be above 0 seconds, got " + nb::repr(v).c_str());
    return s;
}

}  // namespace

nb::object retry_policy(TxMode mode, nb::handle retries, nb::handle base_s, nb::handle cap_s, nb::handle lock_waits,
                        nb::handle idempotent) {
    if (PyBool_Check(retries.ptr()) || !PyLong_Check(retries.ptr()))
        glue::raise(PyExc_TypeError, std::string("retries must be an int, not ") + glue::type_name(retries.ptr()));
    const long n = PyLong_AsLong(retries.ptr());
    if (n == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (n < 0)
        glue::raise(PyExc_ValueError, "retries must be 0 or more, got " + std::to_string(n));
    RetryPolicy p{n, seconds_arg(base_s, "retry_base_s"), seconds_arg(cap_s, "retry_cap_s"), glue::truthy(lock_waits),
                  glue::truthy(idempotent)};
    if (p.cap_s < p.base_s)
        glue::raise(PyExc_ValueError, "retry_cap_s must not be below retry_base_s");
    if (n == 0)
        return nb::none();
    if (mode == kNoTransaction)
        glue::raise(PyExc_ValueError, "retries=" + std::to_string(n) +
                                          " needs transactional=True: only a call that runs in a transaction of its "
                                          "own can be run again");
    return nb::cast(p, nb::rv_policy::move);
}

TxMode tx_mode(bool transactional, bool nested) {
    return nested ? kSavepoint : transactional ? kTransaction : kNoTransaction;
}

nb::object create_wrapped_method(nb::handle method, nb::handle datasource_name, TxMode mode, bool mark_decorated,
                                 nb::handle retry) {
    nb::object wrapper = make_callable(&wrapped_call, {method, datasource_name, retry.is_valid() ? retry : nb::none()}, mode);
    glue::update_wrapper(wrapper, method);
    if (is_coroutine_function(method))
        wrapper = async_wrapper(wrapper, method);
    if (mark_decorated && PyObject_SetAttr(wrapper.ptr(), name_marker, Py_True) < 0)
        throw nb::python_error();
    return wrapper;
}

nb::object decorate_class(nb::handle cls, nb::handle datasource_name, TxMode mode, nb::handle retry) {
    nb::object prev_init = cls.attr("__init__");
    nb::object init = make_callable(&decorated_init, {prev_init, datasource_name, nb::bool_(mode != kNoTransaction),
                                                      nb::bool_(mode == kSavepoint), retry.is_valid() ? retry : nb::none()});
    glue::update_wrapper(init, prev_init);
    nb::setattr(cls, "__init__", init);
    nb::object prev_fetch = cls.attr("__getattribute__");
    nb::setattr(cls, "__getattribute__", make_callable(&decorated_getattribute, {prev_fetch}));
    return nb::borrow(cls);
}

void register_decorate(nb::module_ &m) {
    name_marker = glue::intern("_datasource_decorated");
    name_ds_name = glue::intern("_datasource_name");
    name_tx = glue::intern("_transactional");
    name_nested = glue::intern("_nested");
    name_retry = glue::intern("_datasource_retry");
    glue::after_fork_in_child(&reseed_after_fork);
    nb::class_<RetryPolicy>(m, "_RetryPolicy", "How a transactional call bound to a datasource is retried.")
        .def_ro("retries", &RetryPolicy::retries, "Attempts after the first one, at most.")
        .def_ro("base_s", &RetryPolicy::base_s, "Ceiling of the delay before the second attempt, in seconds.")
        .def_ro("cap_s", &RetryPolicy::cap_s, "Highest ceiling of any delay, in seconds.")
        .def_ro("lock_waits", &RetryPolicy::lock_waits, "Whether MySQL lock-wait timeouts are retried.")
        .def_ro("idempotent", &RetryPolicy::idempotent, "Whether a commit of unknown outcome is retried.");
    m.def("_create_wrapped_method", &create_wrapped_method_shim, "method"_a.none(), "datasource_name"_a.none(),
          "transactional"_a.none(), "mark_decorated"_a.none() = false, "nested"_a.none() = false,
          "Wraps `method` to run with the datasource selected, optionally inside one transaction (a SAVEPOINT "
          "inside an open one with `nested`).");
    m.def("_decorate_class", &decorate_class_shim, "cls"_a.none(), "datasource_name"_a.none(),
          "transactional"_a.none(), "nested"_a.none() = false,
          "Makes every instance remember the datasource and every fetched method run wrapped; returns `cls`.");
}

}  // namespace zorvane::top
