"""MySQL datasources made by the configuration connect to the real server."""
import uuid

import pytest
import sqlalchemy as sa

from zorvane.zorvane import DataSource, DBConfig, ZorvaneConfig


def mysql_source(url, **override):
    d = {"db_type": "mysql", "host": url.host, "port": url.port or 3306, "user": url.username,
         "password": url.password or "", "database": url.database}
    d.update(override)
    return d


def scalar(name, sql):
    session = ZorvaneConfig.datasource[name]["kelvor"].get_ori_session()
    try:
        return session.execute(sa.text(sql)).scalar()
    finally:
        session.close()


def test_declared_mysql_and_sqlite_both_run(fresh_config, mysql_url, tmp_path):
    ZorvaneConfig(DBConfig(primary="my", my=mysql_source(mysql_url),
                           lite={"db_type": "sqlite", "sqlite_path": str(tmp_path / "l.db")}))
    url = ZorvaneConfig.datasource["my"]["db"].url
    assert url.render_as_string(hide_password=False) == (
        f"mysql+pymysql://{mysql_url.username}:{mysql_url.password or ''}@{mysql_url.host}:"
        f"{mysql_url.port or 3306}/{mysql_url.database}")
    assert scalar("my", "SELECT DATABASE()") == mysql_url.database
    assert scalar("lite", "SELECT sqlite_version()")


def test_runtime_mysql_datasource_connects(fresh_config, mysql_url):
    ZorvaneConfig.add_datasource_config("late", DataSource(**mysql_source(mysql_url)))
    assert str(ZorvaneConfig.datasource["late"]["db"].url).endswith("?rewriteBatchedStatements=true")
    assert scalar("late", "SELECT 41 + 1") == 42


@pytest.fixture
def odd_user(mysql_url):
    """A server account whose name and password hold URL-special characters."""
    admin = sa.create_engine(mysql_url)
    user, password = f"zv@u:{uuid.uuid4().hex[:6]}", "p@ss:w/rd#%?"
    with admin.begin() as c:
        c.execute(sa.text("CREATE USER :u@'%' IDENTIFIED BY :p"), {"u": user, "p": password})
        c.execute(sa.text(f"GRANT ALL ON `{mysql_url.database}`.* TO :u@'%'"), {"u": user})
    yield user, password
    with admin.begin() as c:
        c.execute(sa.text("DROP USER :u@'%'"), {"u": user})
    admin.dispose()


@pytest.mark.parametrize("runtime", [False, True])
def test_special_characters_in_credentials(fresh_config, mysql_url, odd_user, runtime):
    user, password = odd_user
    source = mysql_source(mysql_url, user=user, password=password)
    if runtime:
        ZorvaneConfig.add_datasource_config("odd", DataSource(**source))
    else:
        ZorvaneConfig(DBConfig(odd=source))
    assert scalar("odd", "SELECT CURRENT_USER()").startswith(user)
