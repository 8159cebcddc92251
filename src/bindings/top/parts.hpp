// src/bindings/top/parts.hpp: the registration steps of the top module, in the order they run.
#pragma once
#include "glue/common.hpp"

namespace zorvane::top {

void register_base_mapper(nb::module_ &m);  // BaseMapper and its class-level settings
void register_config(nb::module_ &m);       // DataSource, DBConfig, ZorvaneConfig
void register_scopes(nb::module_ &m);       // get_current_db, switch_datasource, db_session, datasource
void register_decorate(nb::module_ &m);     // _create_wrapped_method, _decorate_class
void register_decorators(nb::module_ &m);   // select_one ... delete, _sql_decorator and their helpers
void register_async(nb::module_ &m);        // AsyncBaseMapper, ZorvaneConfig.dispose_async
void register_streams(nb::module_ &m);      // AsyncRowStream

// How a call bound to a datasource runs: with the datasource selected only; in a transaction
// (one more level of an open one); in a SAVEPOINT of an open transaction, else a transaction.
enum TxMode : long { kNoTransaction = 0, kTransaction = 1, kSavepoint = 2 };
TxMode tx_mode(bool transactional, bool nested);

// Method wrapping behind `datasource` (also used by class decoration).
nb::object create_wrapped_method(nb::handle method, nb::handle datasource_name, TxMode mode, bool mark_decorated);
nb::object decorate_class(nb::handle cls, nb::handle datasource_name, TxMode mode);

}  // namespace zorvane::top
