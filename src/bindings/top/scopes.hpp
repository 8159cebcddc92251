// src/bindings/top/scopes.hpp: the scope bodies behind switch_datasource and db_session.
#pragma once
#include "top/state.hpp"

namespace zorvane::top {

// switch_datasource(db): enter selects `db` (a failed selection is undone before the
// error leaves); exit restores the previous selection.
class SwitchScope {
public:
    nb::object enter(nb::handle db);
    void exit(bool failed, nb::handle exc);

private:
    Selection selection_;
};

// BaseMapper.switch_datasource(name): enter selects the datasource and begins a transaction
// (or one more level) of its session object, which it hands out; exit commits (no error) or
// rolls back (any exception), always closes, then restores the previous selection.
class TransactionScope {
public:
    nb::object enter(nb::handle datasource_name);
    void exit(bool failed, nb::handle exc);

private:
    Selection selection_;
    nb::object session_;
    nb::object span_;  // see glue::open_scope_span
};

// db_session(name): enter hands out a new ORM session of the datasource; exit commits
// (no error) or rolls back (any exception), then always closes.
class SessionScope {
public:
    nb::object enter(nb::handle datasource_name);
    void exit(bool failed, nb::handle exc);

private:
    nb::object session_;
};

// Ends a scope's work on `s` (an ORM session or a session object). After a block that
// raised (`failed`; `exc` the exception, whatever its kind): rollback, then close; errors
// of either are attached to `exc` as notes and never replace it. After a block that ended
// normally: commit, then close; a failing commit is rolled back and closed, then re-raised.
void finish_scope(nb::handle s, bool failed, nb::handle exc);

// New scope objects, usable in `with` or as decorators; arguments are checked by the callers.
nb::object new_session_scope(nb::handle datasource_name);
nb::object new_transaction_scope(nb::handle datasource_name);

}  // namespace zorvane::top
