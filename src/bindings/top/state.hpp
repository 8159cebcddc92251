// src/bindings/top/state.hpp: state shared by the parts of the top module.
#pragma once
#include "glue/common.hpp"

namespace zorvane::top {

// BaseMapper (the class object); it carries the registry, the default name and raw_sql.
nb::handle base_mapper();
void set_base_mapper(nb::handle cls);

// AsyncBaseMapper (the class object), or nullptr before it is made.
nb::handle async_base_mapper() noexcept;
void set_async_base_mapper(nb::handle cls);

// The context variable "datasource_context" (name of the selected datasource or None).
nb::handle datasource_context() noexcept;
void create_datasource_context(nb::module_ &m);

// get_current_db(): the selected name when truthy, else BaseMapper.default_key.
nb::object current_db();

// BaseMapper.raw_sql as a truth value.
bool raw_sql_on();

// The registry entry of `name` (KeyError for an unknown name; TypeError before the
// registry has been published), and its session object for this call (entry_session).
nb::object registry_entry(nb::handle name);
nb::object session_object(nb::handle name);

// Writes `line` to standard output through the host's print.
void print_line(const std::string &line);

// The selection scope behind switch_datasource. enter() may raise; exit() must then
// still run. The previous selection is captured before the name is checked, so a
// failed switch leaves the caller's selection as it was.
class Selection {
public:
    void enter(nb::handle db);
    void exit();

private:
    nb::object previous_;
};

// Calls `callable(*args, **kwargs)` from a vectorcall argument block.
nb::object call_through(nb::handle callable, PyObject *const *args, std::size_t nargsf, PyObject *kwnames);

}  // namespace zorvane::top
