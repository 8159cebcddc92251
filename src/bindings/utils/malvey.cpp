// src/bindings/utils/malvey.cpp: zorvane.utils.malvey.
#include "glue/common.hpp"

NB_MODULE(malvey, m) {
    m.doc() = "Keyword replacement at the start or end of a SQL text.";
}
