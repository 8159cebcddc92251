// src/bindings/utils/tibbet.cpp: zorvane.utils.tibbet, template functions.
#include "glue/common.hpp"

NB_MODULE(tibbet, m) {
    m.doc() = "Template functions that turn values into SQL string literals.";
    nb::module_::import_("zorvane.utils.corvint");
}
