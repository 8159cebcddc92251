// src/bindings/top/scopes.cpp: the current datasource and the scopes that change or use it.
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/scopes.hpp"
#include "top/state.hpp"
#include "glue/call.hpp"
#include "glue/observe.hpp"

namespace zorvane::top {
namespace {


// A scope object, usable once in a `with` block or any number of times as a decorator
// (each decorated call runs in a fresh scope of the same arguments).
template <class Scope>
struct ScopeCM {
    nb::object arg;
    Scope scope;
    bool active = false;

    nb::object enter() {
        if (active)
            glue::raise(PyExc_RuntimeError, "scope already entered");
        nb::object value = scope.enter(arg);
        active = true;
        return value;
    }

    bool exit(nb::handle exc_type, nb::handle exc, nb::handle) {
        active = false;
        scope.exit(!exc_type.is_none(), exc);
        return false;
    }
};

// Runs the wrapped function inside a new scope made from payload 1 (the argument) and the
// flags (the options).
template <class Scope>
PyObject *scoped_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        Scope scope(flags(self));
        scope.enter(payload(self, 1));
        nb::object result;
        try {
            result = settle_user_result(call_through(payload(self, 0), args, nargsf, kwnames));
        } catch (nb::python_error &e) {
            scope.exit(true, e.value());
            throw;
        } catch (...) {
            scope.exit(true, nb::handle());
            throw;
        }
        scope.exit(false, nb::handle());
        return result;
    });
}

template <class Scope>
void bind_scope(nb::module_ &m, const char *cls_name, const char *doc) {
    using CM = ScopeCM<Scope>;
    nb::class_<CM>(m, cls_name, doc)
        .def("__enter__", &CM::enter)
        .def("__exit__", &CM::exit, "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none())
        .def(
            "__aenter__", [](nb::handle self) { return spawn(self.attr("__enter__"), nullptr, 0, nullptr); },
            "Coroutine: enters the scope for `async with` (async statement calls inside it use it).")
        .def(
            "__aexit__",
            [](nb::handle self, nb::handle exc_type, nb::handle exc, nb::handle tb) {
                PyObject *args[] = {exc_type.ptr(), exc.ptr(), tb.ptr()};
                return spawn(self.attr("__exit__"), args, 3, nullptr);
            },
            "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none(), "Coroutine: leaves the scope of `async with`.")
        .def(
            "__call__",
            [](CM &cm, nb::handle func) {
                nb::object wrapper = make_callable(&scoped_call<Scope>, {func, cm.arg}, cm.scope.options());
                glue::update_wrapper(wrapper, func);
                return is_coroutine_function(func) ? async_wrapper(wrapper, func) : wrapper;
            },
            "func"_a, "Decorates `func` so that every call runs inside this scope.");
}

}  // namespace

glue::Lazy primary_reads{"zorvane.db.kelvor", "_primary_reads"};

nb::object SwitchScope::enter(nb::handle db) {
    try {
        selection_.enter(db);
        if (options_ & kPrimary) {
            nb::handle var = primary_reads.get();
            nb::object before = var.attr("get")();
            nb::object pinned = nb::steal(PySequence_Concat(before.ptr(), nb::make_tuple(db).ptr()));
            if (!pinned.is_valid())
                throw nb::python_error();
            var.attr("set")(pinned);
            pinned_ = std::move(before);
        }
    } catch (...) {
        selection_.exit();
        throw;
    }
    return nb::borrow(db);
}

void SwitchScope::exit(bool, nb::handle) {
    if (pinned_.is_valid()) {
        nb::object before = std::move(pinned_);
        try {
            primary_reads.get().attr("set")(before);
        } catch (...) {
            selection_.exit();
            throw;
        }
    }
    selection_.exit();
}

nb::object SessionScope::enter(nb::handle datasource_name) {
    nb::object name = datasource_name.is_none() ? current_db() : nb::borrow(datasource_name);
    glue::check_exact(name, &PyUnicode_Type, "datasource_name", true);
    if (in_async_call()) {
        nb::object session = new_async_session(registry_entry(name));
        session_ = session.attr("sync_session");
        return session;
    }
    nb::object kelvor = session_object(name);
    session_ = kelvor.attr("get_ori_session")();
    return session_;
}

void SessionScope::exit(bool failed, nb::handle exc) {
    nb::object s = std::move(session_);
    if (s.is_valid())
        finish_scope(s, failed, exc);
}

nb::object TransactionScope::enter(nb::handle datasource_name) {
    try {
        selection_.enter(datasource_name);
        session_ = session_object(datasource_name);
        begin_level(session_, datasource_name, options_ & kNested);
        span_ = glue::open_scope_span(datasource_name);
    } catch (...) {
        session_ = nb::object();
        selection_.exit();
        throw;
    }
    return in_async_call() ? async_session_view(session_) : session_;
}

void TransactionScope::exit(bool failed, nb::handle exc) {
    nb::object s = std::move(session_);
    std::exception_ptr failure;
    try {
        if (s.is_valid())
            finish_transaction(s, failed, exc);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        glue::close_scope_span(span_, failed || failure, exc);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("ending a transaction span");
    }
    try {
        selection_.exit();
    } catch (...) {
        if (!failure)
            throw;
    }
    if (failure)
        std::rethrow_exception(failure);
}

void finish_scope(nb::handle s, bool failed, nb::handle exc) { glue::end_unit(s, true, failed, exc); }

void finish_transaction(nb::handle s, bool failed, nb::handle exc) {
    glue::end_unit_with(s, true, failed, exc, [&](nb::handle cause) {
        s.attr("rollback_level")(cause.is_valid() ? cause : nb::none());
    });
}

void begin_level(nb::handle s, nb::handle name, bool nested) { s.attr(nested ? "begin_savepoint" : "begin_tx")(name); }

nb::object new_session_scope(nb::handle datasource_name) {
    return nb::cast(new ScopeCM<SessionScope>{nb::borrow(datasource_name), SessionScope()}, nb::rv_policy::take_ownership);
}

nb::object new_transaction_scope(nb::handle datasource_name, bool nested) {
    return nb::cast(new ScopeCM<TransactionScope>{nb::borrow(datasource_name),
                                                  TransactionScope(nested ? TransactionScope::kNested : 0)},
                    nb::rv_policy::take_ownership);
}

namespace {

nb::object switch_datasource_shim(nb::handle db, nb::handle primary) {
    glue::check_exact(db, &PyUnicode_Type, "db");
    const long options = glue::truthy(primary) ? SwitchScope::kPrimary : 0;
    return nb::cast(new ScopeCM<SwitchScope>{nb::borrow(db), SwitchScope(options)}, nb::rv_policy::take_ownership);
}

nb::object db_session_shim(nb::handle datasource_name) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name", true);
    return new_session_scope(datasource_name);
}

// datasource(name, transactional, nested, ...)(target): payload 0 the name, 1 the RetryPolicy or
// None; flags the TxMode.
PyObject *datasource_decorator(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && glue::tuple_size(kwnames)))
            glue::raise(PyExc_TypeError, "datasource(...) takes exactly one argument, the target");
        nb::handle target(args[0]);
        const auto mode = static_cast<TxMode>(flags(self));
        if (PyType_Check(target.ptr()))
            return decorate_class(target, payload(self, 0), mode, payload(self, 1));
        return create_wrapped_method(target, payload(self, 0), mode, true, payload(self, 1));
    });
}

nb::object datasource_shim(nb::handle datasource_name, nb::handle transactional, nb::handle nested, nb::handle retries,
                           nb::handle retry_base_s, nb::handle retry_cap_s, nb::handle retry_lock_timeouts,
                           nb::handle idempotent) {
    glue::check_exact(datasource_name, &PyUnicode_Type, "datasource_name");
    const TxMode mode = tx_mode(glue::truthy(transactional), glue::truthy(nested));
    nb::object policy = retry_policy(mode, retries, retry_base_s, retry_cap_s, retry_lock_timeouts, idempotent);
    return make_callable(&datasource_decorator, {datasource_name, policy}, mode);
}

}  // namespace

void register_scopes(nb::module_ &m) {
    bind_scope<SwitchScope>(m, "_SwitchDatasource", "Scope selecting a datasource for a block (switch_datasource).");
    bind_scope<SessionScope>(m, "_DbSession", "Scope handing out a raw ORM session of a datasource (db_session).");
    bind_scope<TransactionScope>(m, "_MapperTransaction",
                                 "Scope running a block in one transaction of a datasource (BaseMapper.switch_datasource).");
    m.def("get_current_db", &current_db, "The selected datasource of this thread or task, else the primary name.");
    m.def("switch_datasource", &switch_datasource_shim, "db"_a.none(), "primary"_a.none() = false,
          "Context manager selecting datasource `db` for a block; the previous selection comes back afterwards. "
          "With `primary`, the block's reads of `db` go to its primary, not to its replicas.");
    m.def("db_session", &db_session_shim, "datasource_name"_a.none() = nb::none(),
          "Context manager yielding a new ORM session of the datasource, committed or rolled back and closed at the end.");
    m.def("datasource", &datasource_shim, "datasource_name"_a.none(), "transactional"_a.none() = false,
          "nested"_a.none() = false, nb::kw_only(), "retries"_a.none() = 0, "retry_base_s"_a.none() = 0.005,
          "retry_cap_s"_a.none() = 1.0, "retry_lock_timeouts"_a.none() = false, "idempotent"_a.none() = false,
          "Decorator binding a function, method or class to a datasource, optionally one transaction per call "
          "(with `nested`, a SAVEPOINT inside an open transaction). With `retries`, a call whose transaction fails "
          "with a conflict (serialization failure, deadlock, database locked) runs again, at most `retries` more "
          "times, after a random delay below min(retry_cap_s, retry_base_s * 2**(attempt-1)).");
}

}  // namespace zorvane::top
