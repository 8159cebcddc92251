// src/bindings/zorvane.cpp: zorvane.zorvane, the top-level API.
#include "glue/common.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/state.hpp"

NB_MODULE(zorvane, m) {
    zorvane::glue::start_module();
    using namespace zorvane::top;
    m.doc() = "Top-level API: configuration, datasource scopes, statement decorators and the base mapper.";
    nb::module_::import_("zorvane.db.kelvor");
    nb::module_::import_("zorvane.db.ostrane");
    nb::module_::import_("zorvane.mapper.vantrel");
    nb::module_::import_("zorvane.utils.pennick");
    register_callable_type(m);
    create_datasource_context(m);
    register_base_mapper(m);
    register_config(m);
    register_scopes(m);
    register_decorate(m);
    register_decorators(m);
    register_async(m);
    register_streams(m);
}
