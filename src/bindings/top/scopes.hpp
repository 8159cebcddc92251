// src/bindings/top/scopes.hpp: the scope bodies behind switch_datasource and db_session.
#pragma once
#include "top/state.hpp"

namespace zorvane::top {

// switch_datasource(db): enter selects `db` (a failed selection is undone before the
// error leaves); exit restores the previous selection.
class SwitchScope {
public:
    nb::object enter(nb::handle db);
    void exit(nb::handle exc_type);

private:
    Selection selection_;
};

// db_session(name): enter hands out a new ORM session of the datasource; exit commits
// (no error) or rolls back (ordinary error), then always closes.
class SessionScope {
public:
    nb::object enter(nb::handle datasource_name);
    void exit(nb::handle exc_type);

private:
    nb::object session_;
};

}  // namespace zorvane::top
