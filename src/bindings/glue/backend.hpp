// src/bindings/glue/backend.hpp: what the bindings do differently per database kind, one
// profile per kind (SQLite, MySQL/MariaDB, PostgreSQL).
#pragma once
#include <string_view>

#include "glue/common.hpp"
#include "text/sql_text.hpp"

namespace zorvane::glue {

// How a kind's driver identifies a failed statement: sqlite3's error name, the server's
// error number (the exception's first argument), or the SQLSTATE of the exception.
enum class ErrorCode { Name, Number, SqlState };

// Whether a transaction that failed may run again from its start: Safe when the database
// refused it for a conflict with another transaction (and rolled it back); IfIdempotent when
// whether it committed is unknown; Never for anything else.
enum class Retry { Never, Safe, IfIdempotent };

// How a plain column insert of many rows reaches the database: the driver's executemany,
// COPY FROM STDIN, or the driver's multi-row VALUES rewrite with statements as long as the
// server's packet limit allows.
enum class BulkLoad { Executemany, Copy, PacketSizedValues };

struct Backend {
    const char *name;          // db_type of its datasources and name of its dialect
    const char *sync_driver;   // URL drivername of the engines the configuration makes
    const char *async_driver;  // URL drivername of their async twins
    // URL option of datasources added at run time that the driver does not take: the connect
    // call drops it (a do_connect listener) and async URLs leave it out. nullptr: none.
    const char *batch_option;
    bool server;               // host, port, user, password, database; else a file (sqlite_path)
    bool key_by_returning;     // an insert's key is its RETURNING value: the driver has no lastrowid
    bool count_without_order;  // count queries leave the statement's ORDER BY out
    bool dicts_as_jsonb;       // a connect listener binds dicts as jsonb, on sync and async engines
    bool interrupt_on_cancel;  // async engines interrupt a cancelled statement (handle_error listener)
    core::SqlDialect text;     // the rules statement text is read by
    bool native_uuid;          // the driver binds uuid.UUID; else its text
    bool native_temporal;      // the driver binds Decimal, date, datetime and time; else their text
    // With key_by_returning: a select of (whether table :t exists, the name of its identity or
    // serial column or NULL), run once per table to add RETURNING to inserts that have none.
    const char *key_column_query;
    // Module whose insert(table) writes the kind's upserts: on_conflict_do_update/_nothing, or
    // with `on_duplicate_key` on_duplicate_key_update (any unique key conflicts).
    const char *upsert_module;
    bool on_duplicate_key;
    ErrorCode error_code;      // what error_status reads
    // How a transaction that failed with database status `status` (error_status's text, empty
    // when there is none) may be retried; `lock_waits`: lock-wait timeouts count as conflicts.
    Retry (*retry)(std::string_view status, bool lock_waits);
    BulkLoad bulk_load;        // how insert_rows loads many rows of a plain column insert
};

// The bound values `values` (a dict) as the kind's driver takes them: an Enum member binds its
// value, a dict its JSON text (PostgreSQL: jsonb), a UUID, Decimal or date and time value its
// text where the driver has no adapter. `values` itself when nothing needs adapting.
nb::object adapt_values(const Backend *kind, nb::handle values);

// One value as adapt_values adapts it; an invalid object when it binds as it is.
nb::object adapt_value(const Backend *kind, PyObject *value);

// The profile of a db_type or dialect name ("mariadb" is the MySQL kind); nullptr for any
// other name or object.
const Backend *backend_named(std::string_view name);
const Backend *backend_named(nb::handle name);

// db.system.name of `engine` of `kind`: "sqlite", "postgresql", "mariadb" or "mysql" (as the
// connected server reports); the dialect's name for other engines.
nb::object system_name(const Backend *kind, nb::handle engine);

// The database's status code of a failed statement, as text: SQLSTATE on PostgreSQL, the
// error number on MySQL/MariaDB, the error name on SQLite; None when `exc` (a toolkit
// DBAPIError or any exception) carries none.
nb::object error_status(const Backend *kind, nb::handle exc);

// How the transaction that failed with `exc` (a toolkit DBAPIError or any exception) may be
// retried: the kind's rule for its status; a connection lost while committing (`at_commit`)
// leaves the outcome unknown. Never without a kind.
Retry retry_kind(const Backend *kind, nb::handle exc, bool at_commit, bool lock_waits);

// The profile of an engine, by its dialect's name; nullptr for none or another kind.
const Backend *backend_of(nb::handle engine);

}  // namespace zorvane::glue
