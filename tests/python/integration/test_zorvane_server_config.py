"""MySQL and PostgreSQL datasources made by the configuration connect to the real servers."""
import uuid

import pytest
import sqlalchemy as sa

from conftest import datasource_decl
from zorvane.zorvane import DataSource, DBConfig, ZorvaneConfig

# Per server kind: the URL driver, the current database, the current user, a connect_args
# entry the driver applies and the query that reads it back.
KINDS = {
    "mysql": ("mysql+pymysql", "SELECT DATABASE()", "SELECT CURRENT_USER()",
              {"init_command": "SET @zv_tag = 'zv-app'"}, "SELECT @zv_tag"),
    "postgresql": ("postgresql+psycopg", "SELECT current_database()", "SELECT current_user",
                   {"application_name": "zv-app"}, "SELECT current_setting('application_name')"),
}


@pytest.fixture(params=list(KINDS))
def server_url(request):
    return request.getfixturevalue({"mysql": "mysql_url", "postgresql": "postgres_url"}[request.param])


def scalar(name, sql):
    session = ZorvaneConfig.datasource[name]["kelvor"].get_ori_session()
    try:
        return session.execute(sa.text(sql)).scalar()
    finally:
        session.close()


def test_declared_server_and_sqlite_both_run(fresh_config, server_url, tmp_path):
    driver, current_db, _, connect_args, read_back = KINDS[server_url.get_backend_name()]
    decl = {**datasource_decl(server_url), "connect_args": connect_args, "pool_size": 3, "pool_timeout": 7}
    ZorvaneConfig(DBConfig(primary="srv", srv=decl, lite={"db_type": "sqlite", "sqlite_path": str(tmp_path / "l.db")}))
    engine = ZorvaneConfig.datasource["srv"]["db"]
    assert engine.url.render_as_string(hide_password=False) == (
        f"{driver}://{decl['user']}:{decl['password']}@{decl['host']}:{decl['port']}/{decl['database']}")
    assert (engine.pool.size(), engine.pool._timeout, engine.pool._max_overflow) == (3, 7, 30)
    assert scalar("srv", current_db) == server_url.database
    assert scalar("srv", read_back) == "zv-app"
    assert scalar("lite", "SELECT sqlite_version()")


def test_runtime_server_datasource_connects(fresh_config, server_url):
    ZorvaneConfig.add_datasource_config("late", DataSource(**datasource_decl(server_url)))
    batch_option = str(ZorvaneConfig.datasource["late"]["db"].url).endswith("?rewriteBatchedStatements=true")
    assert batch_option == (server_url.get_backend_name() == "mysql")
    assert scalar("late", "SELECT 41 + 1") == 42


@pytest.fixture
def odd_user(server_url):
    """A server account whose name and password hold URL-special characters."""
    admin = sa.create_engine(server_url)
    user, password = f"zv@u:{uuid.uuid4().hex[:6]}", "p@ss:w/rd#%?"
    mysql = server_url.get_backend_name() == "mysql"
    with admin.begin() as c:
        if mysql:
            c.execute(sa.text("CREATE USER :u@'%' IDENTIFIED BY :p"), {"u": user, "p": password})
            c.execute(sa.text(f"GRANT ALL ON `{server_url.database}`.* TO :u@'%'"), {"u": user})
        else:
            c.exec_driver_sql(f"CREATE ROLE \"{user}\" LOGIN PASSWORD '{password.replace('%', '%%')}'")
    yield user, password
    with admin.begin() as c:
        if mysql:
            c.execute(sa.text("DROP USER :u@'%'"), {"u": user})
        else:
            c.exec_driver_sql(f'DROP ROLE "{user}"')
    admin.dispose()


@pytest.mark.parametrize("runtime", [False, True])
def test_special_characters_in_credentials(fresh_config, server_url, odd_user, runtime):
    user, password = odd_user
    source = {**datasource_decl(server_url), "user": user, "password": password}
    if runtime:
        ZorvaneConfig.add_datasource_config("odd", DataSource(**source))
    else:
        ZorvaneConfig(DBConfig(odd=source))
    assert scalar("odd", KINDS[server_url.get_backend_name()][2]).startswith(user)
    ZorvaneConfig.datasource["odd"]["db"].dispose()  # the role can be dropped only without sessions
