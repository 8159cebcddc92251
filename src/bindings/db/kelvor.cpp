// src/bindings/db/kelvor.cpp: zorvane.db.kelvor, the per-datasource session object.
#include "glue/common.hpp"

NB_MODULE(kelvor, m) {
    m.doc() = "SQL session: per-context nested transactions and mapper statements by namespace and id.";
    nb::module_::import_("zorvane.db.ostrane");
    nb::module_::import_("zorvane.utils.pennick");
}
