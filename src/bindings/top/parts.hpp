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

// How a transactional call runs again after its transaction failed with a conflict: at most
// `retries` more attempts, each after a delay drawn uniformly from [0, min(cap_s, base_s *
// 2^(attempt-1))]; `lock_waits`: MySQL lock-wait timeouts count as conflicts; `idempotent`: a
// transaction whose commit outcome is unknown runs again too.
struct RetryPolicy {
    long retries;
    double base_s, cap_s;
    bool lock_waits, idempotent;
};

// The policy object of datasource()'s retry arguments, checked (TypeError, ValueError): None
// when `retries` is 0.
nb::object retry_policy(TxMode mode, nb::handle retries, nb::handle base_s, nb::handle cap_s, nb::handle lock_waits,
                        nb::handle idempotent);

// Method wrapping behind `datasource` (also used by class decoration); `retry`: its
// RetryPolicy object, or None (or unset) for a call that never retries.
nb::object create_wrapped_method(nb::handle method, nb::handle datasource_name, TxMode mode, bool mark_decorated,
                                 nb::handle retry = nb::handle());
nb::object decorate_class(nb::handle cls, nb::handle datasource_name, TxMode mode, nb::handle retry = nb::handle());

}  // namespace zorvane::top
