"""Configuration mistakes name what is wrong and what is accepted; the fixed message texts stay."""
import contextlib

import pytest

from zorvane.exception import ConfigError, ConfigKeyError, ZorvaneError
from zorvane.zorvane import DataSource, DBConfig, ZorvaneConfig

MYSQL = {"db_type": "mysql", "host": "h", "port": 3306, "user": "u", "password": "", "database": "d"}
SQLITE = {"db_type": "sqlite", "sqlite_path": ":memory:"}
KINDS = "'mysql', 'postgresql' or 'sqlite'"


@pytest.mark.parametrize(
    "kwargs, error, message, note",
    [
        ({"a": MYSQL, "b": SQLITE}, ConfigError, "datasource None not exist !",
         "several datasources are declared and no primary names the default one; pass primary= one of them "
         "(declared: 'a', 'b')"),
        ({"primary": "zz", "a": MYSQL, "b": SQLITE}, ConfigError, "datasource zz not exist !",
         "primary 'zz' names no declared datasource; declared: 'a', 'b'"),
        ({"a": {**MYSQL, "db_type": "postgres"}}, ConfigError, "datasource None not exist !",
         f"no keyword argument declares a usable datasource: a mapping whose db_type is {KINDS}; "
         "left out: 'a' (db_type 'postgres')"),
        ({"a": {"db_type": "sqlite"}}, ConfigKeyError, "sqlite_path not exist !",
         "datasource 'a' (db_type 'sqlite') has no 'sqlite_path'; a sqlite datasource needs sqlite_path"),
        ({"a": {k: v for k, v in MYSQL.items() if k != "port"}}, ConfigKeyError, "port not exist !",
         "datasource 'a' (db_type 'mysql') has no 'port'; a mysql datasource needs host, port, user, password and "
         "database"),
    ],
)
def test_declaration_errors_keep_their_text_and_explain_it(kwargs, error, message, note):
    left_out = "postgres" in kwargs.get("a", {}).values()  # warned about as it is dropped, then fails
    with pytest.raises(error) as info, pytest.warns(UserWarning) if left_out else contextlib.nullcontext() as warned:
        DBConfig(**kwargs)
    assert (str(info.value), info.value.__notes__) == (message, [note])
    assert isinstance(info.value, ZorvaneError) and isinstance(info.value, KeyError) == (error is ConfigKeyError)
    assert not left_out or [str(w.message) for w in warned] == [f"datasource 'a' left out: db_type 'postgres' is not {KINDS}"]


@pytest.mark.parametrize("add", [False, True], ids=["ZorvaneConfig", "add_datasource_config"])
def test_datasource_objects_of_no_kind_or_file_are_named(fresh_config, add):
    for ds, error, note in [(DataSource("postgres"), ConfigError, f"db_type 'postgres' is not {KINDS}"),
                            (DataSource("sqlite"), ConfigKeyError, "a sqlite datasource needs sqlite_path: a file "
                                                                   "name, or ':memory:'")]:
        cfg = DBConfig(ok=SQLITE)
        cfg.ds["bad"] = ds
        with pytest.raises(error) as info:
            ZorvaneConfig.add_datasource_config("bad", ds) if add else ZorvaneConfig(cfg)
        assert info.value.__notes__ == [note] and "bad" not in ZorvaneConfig.datasource
        assert error is ConfigKeyError or str(info.value).endswith(" is not MysqlConfig or SqliteConfig !")


@pytest.mark.parametrize("decl, takes", [
    (MYSQL, "db_type, host, port, user, password, database"),
    ({**MYSQL, "db_type": "postgresql"}, "db_type, host, port, user, password, database"),
    (SQLITE, "db_type, sqlite_path"),
])
def test_unknown_keys_are_warned_about_with_the_accepted_ones(decl, takes):
    kind = decl["db_type"]
    expected = (f"datasource 'a': unknown keys 'pool_szie', 'shards' left out; a {kind} datasource takes {takes}, "
                "pool_size, max_overflow, pool_recycle, pool_timeout, connect_args, log_params, slow_query_ms"
                + (", replicas, read_your_writes_s, replica_cooldown_s" if kind != "sqlite" else ""))
    with pytest.warns(UserWarning) as record:
        cfg = DBConfig(a={**decl, "pool_szie": 3, "shards": ["r1"]})
    assert [str(w.message) for w in record] == [expected] and cfg.ds["a"].pool_size == 10
