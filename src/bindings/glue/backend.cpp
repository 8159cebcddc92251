// src/bindings/glue/backend.cpp: the profiles of the database kinds.
#include "glue/backend.hpp"

namespace zorvane::glue {
namespace {

const Backend kSqlite{"sqlite", "sqlite", "sqlite+aiosqlite", nullptr,
                      /*server*/ false, /*key_by_returning*/ false, /*count_without_order*/ false,
                      /*dicts_as_jsonb*/ false, /*interrupt_on_cancel*/ true, /*text*/ {}};
const Backend kMysql{"mysql", "mysql+pymysql", "mysql+aiomysql", "rewriteBatchedStatements",
                     /*server*/ true, /*key_by_returning*/ false, /*count_without_order*/ false,
                     /*dicts_as_jsonb*/ false, /*interrupt_on_cancel*/ false, /*text*/ {true}};
const Backend kPostgres{"postgresql", "postgresql+psycopg", "postgresql+psycopg", nullptr,
                        /*server*/ true, /*key_by_returning*/ true, /*count_without_order*/ true,
                        /*dicts_as_jsonb*/ true, /*interrupt_on_cancel*/ false, /*text*/ {}};

struct Named {
    const char *name;
    const Backend *backend;
};
const Named kNames[] = {{"sqlite", &kSqlite}, {"mysql", &kMysql}, {"mariadb", &kMysql}, {"postgresql", &kPostgres}};

}  // namespace

const Backend *backend_named(std::string_view name) {
    for (const Named &n : kNames)
        if (name == n.name)
            return n.backend;
    return nullptr;
}

const Backend *backend_named(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return nullptr;
    for (const Named &n : kNames)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), n.name) == 0)
            return n.backend;
    return nullptr;
}

const Backend *backend_of(nb::handle engine) {
    return backend_named(nb::getattr(nb::getattr(engine, "dialect", nb::none()), "name", nb::none()));
}

}  // namespace zorvane::glue
