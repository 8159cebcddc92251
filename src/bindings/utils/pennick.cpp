// src/bindings/utils/pennick.cpp: zorvane.utils.pennick.
#include "glue/common.hpp"

NB_MODULE(pennick, m) {
    m.doc() = "Type utilities: type names from text, container types and result classes.";
}
