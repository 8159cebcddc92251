// src/bindings/glue/backend.cpp: the profiles of the database kinds.
#include "glue/backend.hpp"
#include "glue/call.hpp"

namespace zorvane::glue {
namespace {

// SQLITE_BUSY ("database is locked": another connection holds the write lock) and its extended
// codes, such as SQLITE_BUSY_SNAPSHOT (a WAL read transaction that can no longer write).
Retry sqlite_retry(std::string_view status, bool) {
    return status.substr(0, 11) == "SQLITE_BUSY" ? Retry::Safe : Retry::Never;
}

// MySQL and MariaDB: 1213 deadlock (Galera reports its certification conflicts so too); 1205
// lock-wait timeout on request; 3101 a group-replication conflict found at commit. The
// distributed MySQL-protocol engines (TiDB): 9007 write conflict, 8005 optimistic write
// conflict, 8002 SELECT FOR UPDATE write conflict, 8022 a transaction error the engine marks
// safe to retry, 8028 the schema changed under the transaction.
Retry mysql_retry(std::string_view status, bool lock_waits) {
    for (std::string_view code : {"1213", "3101", "9007", "8005", "8002", "8022", "8028"})
        if (status == code)
            return Retry::Safe;
    return lock_waits && status == "1205" ? Retry::Safe : Retry::Never;
}

// PostgreSQL and the engines that speak its protocol (CockroachDB, YugabyteDB): 40001
// serialization failure, 40P01 deadlock; 40003 statement completion unknown (CockroachDB's
// ambiguous commit result).
Retry postgres_retry(std::string_view status, bool) {
    if (status == "40001" || status == "40P01")
        return Retry::Safe;
    return status == "40003" ? Retry::IfIdempotent : Retry::Never;
}

const Backend kSqlite{"sqlite", "sqlite", "sqlite+aiosqlite", nullptr,
                      /*server*/ false, /*key_by_returning*/ false, /*count_without_order*/ false,
                      /*dicts_as_jsonb*/ false, /*interrupt_on_cancel*/ true, /*text*/ {false, false},
                      /*native_uuid*/ false, /*native_temporal*/ false, /*key_column_query*/ nullptr,
                      "sqlalchemy.dialects.sqlite", /*on_duplicate_key*/ false, ErrorCode::Name, &sqlite_retry,
                      BulkLoad::Executemany};
const Backend kMysql{"mysql", "mysql+pymysql", "mysql+aiomysql", "rewriteBatchedStatements",
                     /*server*/ true, /*key_by_returning*/ false, /*count_without_order*/ false,
                     /*dicts_as_jsonb*/ false, /*interrupt_on_cancel*/ false, /*text*/ {true, false},
                     /*native_uuid*/ false, /*native_temporal*/ true, /*key_column_query*/ nullptr,
                     "sqlalchemy.dialects.mysql", /*on_duplicate_key*/ true, ErrorCode::Number, &mysql_retry,
                     BulkLoad::PacketSizedValues};
const Backend kPostgres{"postgresql", "postgresql+psycopg", "postgresql+psycopg", nullptr,
                        /*server*/ true, /*key_by_returning*/ true, /*count_without_order*/ true,
                        /*dicts_as_jsonb*/ true, /*interrupt_on_cancel*/ false, /*text*/ {false, true},
                        /*native_uuid*/ true, /*native_temporal*/ true,
                        /*key_column_query*/
                        "SELECT to_regclass(:t) IS NOT NULL, (SELECT a.attname FROM pg_attribute a "
                        "WHERE a.attrelid = to_regclass(:t) AND a.attnum > 0 AND NOT a.attisdropped "
                        "AND (a.attidentity <> '' OR pg_get_serial_sequence(:t, a.attname) IS NOT NULL) "
                        "ORDER BY a.attnum LIMIT 1)",
                        "sqlalchemy.dialects.postgresql", /*on_duplicate_key*/ false, ErrorCode::SqlState,
                        &postgres_retry, BulkLoad::Copy};

struct Named {
    const char *name;
    const Backend *backend;
};
const Named kNames[] = {{"sqlite", &kSqlite}, {"mysql", &kMysql}, {"mariadb", &kMysql}, {"postgresql", &kPostgres}};

Lazy enum_t{"enum", "Enum"};
Lazy uuid_t{"uuid", "UUID"};
Lazy decimal_t{"decimal", "Decimal"};
Lazy date_t{"datetime", "date"};
Lazy datetime_t{"datetime", "datetime"};
Lazy time_t{"datetime", "time"};
Lazy json_dumps{"json", "dumps"};

// Every driver binds these as they are.
bool plain(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    return v == Py_None || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == &PyBytes_Type;
}

bool is_a(PyObject *v, Lazy &type) {
    int r = PyObject_IsInstance(v, type.get().ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// `v` as the kind's driver takes it, or an invalid object when it binds as it is.
nb::object adapt(const Backend &k, PyObject *v) {
    if (plain(v) || PyList_Check(v) || PyTuple_Check(v))
        return nb::object();
    if (Py_TYPE(v) == reinterpret_cast<PyTypeObject *>(datetime_t.get().ptr())) {  // the common case, without the checks below
        if (k.native_temporal)
            return nb::object();
        static PyObject *space = intern(" ");
        return isoformat(v, {space});
    }
    if (is_a(v, enum_t)) {
        nb::object value = nb::handle(v).attr("value");
        nb::object again = adapt(k, value.ptr());
        return again.is_valid() ? again : value;
    }
    if (PyDict_Check(v))
        return k.dicts_as_jsonb ? nb::object() : json_dumps(nb::handle(v));
    if (!k.native_uuid && is_a(v, uuid_t))
        return nb::str(nb::handle(v));
    if (!k.native_temporal) {
        if (is_a(v, datetime_t))
            return nb::handle(v).attr("isoformat")(" ");  // the text sqlite3's own adapter made
        if (is_a(v, date_t) || is_a(v, time_t))
            return nb::handle(v).attr("isoformat")();
        if (is_a(v, decimal_t))
            return nb::str(nb::handle(v));
    }
    return nb::object();
}

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

nb::object adapt_values(const Backend *kind, nb::handle values) {
    if (!kind || !PyDict_Check(values.ptr()))
        return nb::borrow(values);
    nb::object out;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(values.ptr(), &pos, &key, &value)) {
        nb::object adapted = adapt(*kind, value);
        if (!adapted.is_valid())
            continue;
        if (!out.is_valid() && !(out = nb::steal(PyDict_Copy(values.ptr()))).is_valid())
            throw nb::python_error();
        if (PyDict_SetItem(out.ptr(), key, adapted.ptr()) < 0)
            throw nb::python_error();
    }
    return out.is_valid() ? out : nb::borrow(values);
}

nb::object adapt_value(const Backend *kind, PyObject *value) { return kind ? adapt(*kind, value) : nb::object(); }

const Backend *backend_of(nb::handle engine) {
    return backend_named(nb::getattr(nb::getattr(engine, "dialect", nb::none()), "name", nb::none()));
}

nb::object system_name(const Backend *kind, nb::handle engine) {
    nb::object dialect = nb::getattr(engine, "dialect", nb::none());
    if (kind && kind->error_code == ErrorCode::Number)
        return nb::str(glue::truthy(nb::getattr(dialect, "is_mariadb", nb::none())) ? "mariadb" : "mysql");
    return kind ? nb::str(kind->name) : nb::str(nb::getattr(dialect, "name", nb::str("other_sql")));
}

nb::object error_status(const Backend *kind, nb::handle exc) {
    nb::object orig = nb::getattr(exc, "orig", nb::none());
    if (!kind || orig.is_none())
        return nb::none();
    nb::object code;
    switch (kind->error_code) {
        case ErrorCode::Name: code = nb::getattr(orig, "sqlite_errorname", nb::none()); break;
        case ErrorCode::SqlState: code = nb::getattr(orig, "sqlstate", nb::none()); break;
        case ErrorCode::Number: {
            nb::object args = nb::getattr(orig, "args", nb::none());
            if (PyTuple_Check(args.ptr()) && glue::tuple_size(args.ptr()) > 0 &&
                PyLong_Check(glue::tuple_item(args.ptr(), 0)))
                code = nb::borrow(glue::tuple_item(args.ptr(), 0));
            break;
        }
    }
    return !code.is_valid() || code.is_none() ? nb::none() : nb::object(nb::str(code));
}

Retry retry_kind(const Backend *kind, nb::handle exc, bool at_commit, bool lock_waits) {
    if (!kind)
        return Retry::Never;
    nb::object status = error_status(kind, exc);
    const char *text = status.is_none() ? "" : str_utf8(status.ptr());
    if (!text)
        throw nb::python_error();
    const Retry r = kind->retry(text, lock_waits);
    if (r != Retry::Never || !at_commit)
        return r;
    // The toolkit marks a DBAPIError whose connection the dialect found broken.
    return truthy(nb::getattr(exc, "connection_invalidated", nb::none())) ? Retry::IfIdempotent : Retry::Never;
}

}  // namespace zorvane::glue
