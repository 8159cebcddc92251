// src/bindings/utils/drumsel.cpp: zorvane.utils.drumsel.
#include "glue/common.hpp"

NB_MODULE(drumsel, m) {
    m.doc() = "Placeholder scanner: the #{...}, ${...} and $f{...} placeholders of SQL text.";
}
