// src/bindings/zorvane.cpp: zorvane.zorvane, the top-level API.
#include "glue/common.hpp"

NB_MODULE(zorvane, m) {
    m.doc() = "Top-level API: configuration, datasource scopes, statement decorators and the base mapper.";
    nb::module_::import_("zorvane.db.kelvor");
    nb::module_::import_("zorvane.db.ostrane");
    nb::module_::import_("zorvane.mapper.vantrel");
    nb::module_::import_("zorvane.utils.pennick");
}
