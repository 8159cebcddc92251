// src/bindings/utils/corvint.cpp: zorvane.utils.corvint.
#include "glue/common.hpp"

NB_MODULE(corvint, m) {
    m.doc() = "CDATA handling and SQL literal formatting.";
}
