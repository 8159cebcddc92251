// src/bindings/top/scopes.hpp: the scope bodies behind switch_datasource and db_session.
#pragma once
#include "top/state.hpp"

namespace zorvane::top {

// Every scope is made from its argument and an options word (see each scope) and exposes that
// word, so that a decorated call can make a fresh scope of the same kind.

// switch_datasource(db): enter selects `db` (a failed selection is undone before the
// error leaves); exit restores the previous selection. Options: kPrimary, the block's reads of
// `db` go to its primary rather than to its replicas.
class SwitchScope {
public:
    static constexpr long kPrimary = 1;
    explicit SwitchScope(long options = 0) : options_(options) {}
    long options() const { return options_; }
    nb::object enter(nb::handle db);
    void exit(bool failed, nb::handle exc);

private:
    long options_;
    Selection selection_;
    nb::object pinned_;  // the pinned names before the block, when kPrimary
};

// BaseMapper.switch_datasource(name): enter selects the datasource and begins a transaction
// (or one more level) of its session object, which it hands out; exit ends that level with
// finish_transaction, then restores the previous selection. Options: kNested, a SAVEPOINT as the
// level inside an open transaction.
class TransactionScope {
public:
    static constexpr long kNested = 1;
    explicit TransactionScope(long options = 0) : options_(options) {}
    long options() const { return options_; }
    nb::object enter(nb::handle datasource_name);
    void exit(bool failed, nb::handle exc);

private:
    long options_;
    Selection selection_;
    nb::object session_;
    nb::object span_;  // see glue::open_scope_span
};

// db_session(name): enter hands out a new ORM session of the datasource; exit commits
// (no error) or rolls back (any exception), then always closes.
class SessionScope {
public:
    explicit SessionScope(long = 0) {}
    long options() const { return 0; }
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

// finish_scope for one level of a session object's transaction: after a failure the level
// ends by rollback_level(exc), so an enclosing level learns that the transaction (or its
// savepoint) was rolled back; a commit refused for that reason is handled as a failing one.
void finish_transaction(nb::handle s, bool failed, nb::handle exc);

// Begins one level of the transaction of session object `s` for datasource `name`: a
// savepoint when `nested`, else a transaction or a joined level.
void begin_level(nb::handle s, nb::handle name, bool nested);

// New scope objects, usable in `with` or as decorators; arguments are checked by the callers.
nb::object new_session_scope(nb::handle datasource_name);
nb::object new_transaction_scope(nb::handle datasource_name, bool nested = false);

}  // namespace zorvane::top
