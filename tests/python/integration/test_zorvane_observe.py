"""What runs, seen from outside: the SQL log (logger zorvane.sql), OpenTelemetry spans and the duration
histogram, on every backend, for sync and async calls."""
import asyncio
import contextlib
import logging

import pytest
import sqlalchemy as sa

from conftest import create_user_table, datasource_decl
from zorvane.zorvane import (AsyncBaseMapper, BaseMapper, DBConfig, ZorvaneConfig, datasource, insert, insert_list, select_list,
                             switch_datasource)

trace = pytest.importorskip("opentelemetry.trace")
from opentelemetry import metrics  # noqa: E402
from opentelemetry.metrics import _internal as metrics_internal  # noqa: E402
from opentelemetry.sdk.metrics import MeterProvider  # noqa: E402
from opentelemetry.sdk.metrics.export import InMemoryMetricReader  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402

pytestmark = pytest.mark.greenlet

SECRET = "zed-secret-value"  # a bound value: never in a span, in the log only with log_params
STATUS = {"sqlite": "SQLITE_CONSTRAINT_PRIMARYKEY", "mysql": "1062", "postgresql": "23505"}
CLIENT, INTERNAL = trace.SpanKind.CLIENT, trace.SpanKind.INTERNAL


class Dao:
    @insert("INSERT INTO users (id, name, age) VALUES (#{id}, #{name}, #{age})")
    def add(self, id: int, name: str, age: int) -> int: ...

    @insert_list("INSERT INTO users (id, name, age) VALUES (:id, :name, :age)")
    def add_many(self, data: list) -> None: ...

    @select_list("SELECT id, name FROM users WHERE age >= #{age} ORDER BY id")
    def older(self, age: int) -> list[dict]: ...


class AsyncDao:
    @insert("INSERT INTO users (id, name, age) VALUES (#{id}, #{name}, #{age})")
    async def add(self, id: int, name: str, age: int) -> int: ...

    @insert_list("INSERT INTO users (id, name, age) VALUES (:id, :name, :age)")
    async def add_many(self, data: list) -> None: ...

    @select_list("SELECT id, name FROM users WHERE age >= #{age} ORDER BY id")
    async def older(self, age: int) -> list[dict]: ...


class User(sa.orm.DeclarativeBase):
    pass


class Person(User):
    __tablename__ = "users"
    id: sa.orm.Mapped[int] = sa.orm.mapped_column(primary_key=True)
    name: sa.orm.Mapped[str | None] = sa.orm.mapped_column(sa.String(50))
    age: sa.orm.Mapped[int | None]


class People(BaseMapper[Person]):
    def adults(self, min_age: int) -> list[dict]: ...


People.__name__ = "PeopleMapper"  # the namespace of the mapper file

MAPPER = """<mapper namespace="PeopleMapper">
  <select id="adults">SELECT id, name FROM users WHERE age &gt;= #{min_age}</select>
</mapper>"""


def reset_providers():
    trace._TRACER_PROVIDER = None
    trace._TRACER_PROVIDER_SET_ONCE._done = False
    metrics_internal._METER_PROVIDER = None
    metrics_internal._METER_PROVIDER_SET_ONCE._done = False


@pytest.fixture
def otel():
    """A tracer provider with an in-memory exporter and a meter provider with an in-memory reader."""
    exporter, reader = InMemorySpanExporter(), InMemoryMetricReader()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    reset_providers()
    trace.set_tracer_provider(provider)
    metrics.set_meter_provider(MeterProvider(metric_readers=[reader]))
    yield exporter, reader
    reset_providers()


@pytest.fixture
def main(fresh_config, engine, tmp_path):
    """Datasource "main" on the backend, with the people mapper file; its engine."""
    (tmp_path / "PeopleMapper.xml").write_text(MAPPER)
    ZorvaneConfig(DBConfig(mapper_xml_path=str(tmp_path), main=datasource_decl(engine.url)))
    eng = ZorvaneConfig.datasource["main"]["db"]
    create_user_table(eng)
    return eng


@pytest.fixture
def sql_log(caplog):
    caplog.set_level(logging.DEBUG, logger="zorvane.sql")
    return lambda: [r for r in caplog.records if r.name == "zorvane.sql"]


def workload(mode):
    """A success, a failure (a duplicate key), a batch of two and a query of three rows."""
    rows = [{"id": 2, "name": SECRET, "age": 40}, {"id": 3, "name": "b", "age": 50}]
    if mode == "sync":
        dao = Dao()
        with switch_datasource("main"):
            dao.add(1, SECRET, 30)
            with pytest.raises(sa.exc.IntegrityError):
                dao.add(1, SECRET, 31)
            dao.add_many(rows)
            assert len(dao.older(0)) == 3
        return "Dao"

    async def work():
        dao = AsyncDao()
        try:
            with switch_datasource("main"):
                await dao.add(1, SECRET, 30)
                with pytest.raises(sa.exc.IntegrityError):
                    await dao.add(1, SECRET, 31)
                await dao.add_many(rows)
                assert len(await dao.older(0)) == 3
        finally:
            await ZorvaneConfig.dispose_async()

    asyncio.run(work())
    return "AsyncDao"


def expected_system(engine):
    if engine.dialect.name != "mysql":
        return engine.dialect.name
    with engine.connect() as c:
        return "mariadb" if "mariadb" in c.exec_driver_sql("SELECT VERSION()").scalar().lower() else "mysql"


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_each_statement_is_logged_once_with_its_fields(main, sql_log, mode):
    cls = workload(mode)
    records = sql_log()
    assert [(r.levelno, r.statement_id, r.operation, r.rows, r.error is None) for r in records] == [
        (logging.DEBUG, f"{cls}.add", "INSERT", 1, True),
        (logging.DEBUG, f"{cls}.add", "INSERT", None, False),
        (logging.DEBUG, f"{cls}.add_many", "INSERT", 2, True),
        (logging.DEBUG, f"{cls}.older", "SELECT", 3, True),
    ]
    for r in records:
        assert r.datasource == "main" and r.duration_ms >= 0
        assert r.sql.lstrip().upper().startswith(r.operation) and "users" in r.sql
        assert not hasattr(r, "params") and SECRET not in r.getMessage()
        assert r.statement_id in r.getMessage() and r.sql in r.getMessage()
    assert "IntegrityError" in records[1].error


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_spans_and_histogram_follow_the_database_conventions(main, otel, backend, mode):
    exporter, reader = otel
    tracer = trace.get_tracer("test")
    with tracer.start_as_current_span("request") as request:
        cls = workload(mode)
    spans = [s for s in exporter.get_finished_spans() if s.kind == CLIENT]
    assert [s.name for s in spans] == [f"{cls}.add", f"{cls}.add", f"{cls}.add_many", f"{cls}.older"]
    ok, failed, batch, query = spans
    system = expected_system(main)
    for s in spans:
        a = s.attributes
        assert s.parent.span_id == request.get_span_context().span_id
        assert a["db.system.name"] == system and a["db.query.summary"] == s.name
        assert a["db.namespace"] == main.url.database
        assert a.get("server.address") == main.url.host and a.get("server.port") == main.url.port
        assert a["db.operation.name"] == ("SELECT" if s is query else "INSERT")
        assert "users" in a["db.query.text"] and SECRET not in str(dict(a))
    assert query.attributes["db.response.returned_rows"] == 3
    assert batch.attributes["db.operation.batch.size"] == 2
    assert not {"db.response.returned_rows", "db.operation.batch.size", "error.type"} & set(ok.attributes)
    assert ok.status.status_code == trace.StatusCode.UNSET
    assert failed.status.status_code == trace.StatusCode.ERROR
    assert failed.attributes["error.type"] == "sqlalchemy.exc.IntegrityError"
    assert failed.attributes["db.response.status_code"] == STATUS[backend]
    assert [e.name for e in failed.events] == ["exception"] and SECRET not in str(dict(failed.events[0].attributes))

    metric = [m for rm in reader.get_metrics_data().resource_metrics for sm in rm.scope_metrics
              for m in sm.metrics if m.name == "db.client.operation.duration"]
    assert len(metric) == 1 and metric[0].unit == "s"
    points = {tuple(sorted(p.attributes.items())): p for p in metric[0].data.data_points}
    assert sum(p.count for p in points.values()) == 4
    failed_points = [dict(k) for k in points if "error.type" in dict(k)]
    assert failed_points == [{"db.system.name": system, "db.operation.name": "INSERT",
                              "db.query.summary": f"{cls}.add", "error.type": "sqlalchemy.exc.IntegrityError"}]
    assert list(metric[0].data.data_points)[0].explicit_bounds[:3] == (0.001, 0.005, 0.01)


def older_or_fail(fail):
    Dao().older(0)
    if fail:
        raise LookupError("undo")


async def older_or_fail_async(fail):
    await AsyncDao().older(0)
    if fail:
        raise LookupError("undo")


def in_scope(fail):
    with BaseMapper.switch_datasource("main"):
        older_or_fail(fail)


@datasource("main", transactional=True)
def in_both(fail):
    """A savepoint failing inside a transactional call: one span each, the savepoint's inside."""
    Dao().older(0)
    with pytest.raises(LookupError) if fail else contextlib.nullcontext():
        datasource("main", nested=True)(older_or_fail)(fail)


def run_async(fail):
    async def work():
        try:
            await datasource("main", transactional=True)(older_or_fail_async)(fail)
        finally:
            await ZorvaneConfig.dispose_async()
    asyncio.run(work())


@pytest.mark.parametrize("fail", [False, True])
@pytest.mark.parametrize("entry", ["scope", "function", "async function", "savepoint in a function"])
def test_a_transaction_parents_its_statements(main, otel, entry, fail):
    exporter, _ = otel
    call = {"scope": in_scope, "function": datasource("main", transactional=True)(older_or_fail),
            "savepoint in a function": in_both, "async function": run_async}[entry]
    with pytest.raises(LookupError) if fail and entry != "savepoint in a function" else contextlib.nullcontext():
        call(fail)
    scope = [s for s in exporter.get_finished_spans() if s.kind == INTERNAL]
    statement = [s for s in exporter.get_finished_spans() if s.kind == CLIENT]
    assert {s.name for s in scope} == {"transaction main"} and len(statement) == len(scope)
    assert [st.parent.span_id for st in statement] == [sc.context.span_id for sc in scope][::-1]  # inner ends first
    assert scope[0].status.status_code == (trace.StatusCode.ERROR if fail else trace.StatusCode.UNSET)
    if len(scope) == 2:
        assert scope[0].parent.span_id == scope[1].context.span_id and scope[1].status.status_code == trace.StatusCode.UNSET
    assert trace.get_current_span() is trace.INVALID_SPAN  # the scope's span is no longer current


def test_async_tasks_parent_their_statements_to_their_own_span(main, otel):
    exporter, _ = otel
    tracer = trace.get_tracer("test")

    async def one(tag):
        with tracer.start_as_current_span(tag) as span:
            await asyncio.sleep(0)
            with switch_datasource("main"):
                await AsyncDao().older(0)
            return span.get_span_context().span_id

    async def work():
        try:
            return await asyncio.gather(one("a"), one("b"))
        finally:
            await ZorvaneConfig.dispose_async()

    parents = set(asyncio.run(work()))
    statements = [s for s in exporter.get_finished_spans() if s.kind == CLIENT]
    assert {s.parent.span_id for s in statements} == parents and len(parents) == 2


def test_mapper_and_base_mapper_statements_are_named_by_their_ids(main, sql_log, otel):
    exporter, _ = otel
    with switch_datasource("main"):
        People().insert({"name": "g", "age": 70})
        assert [r["name"] for r in People().adults(18)] == ["g"]
        assert len(People().select_all()) == 1
    # rows of an insert are the driver's rowcount: PostgreSQL's key-returning insert reports none
    assert [(r.statement_id, r.operation, r.rows) for r in sql_log()][1:] == [
        ("PeopleMapper.adults", "SELECT", 1), ("Person.select_all", "SELECT", 1)]
    assert (sql_log()[0].statement_id, sql_log()[0].operation) == ("Person.insert", "INSERT")
    assert [s.name for s in exporter.get_finished_spans()] == ["Person.insert", "PeopleMapper.adults", "Person.select_all"]


class AsyncPeople(AsyncBaseMapper[Person]):
    pass


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_orm_writes_record_the_sql_of_their_flush(main, sql_log, otel, mode):
    exporter, _ = otel

    async def work(people, wait):
        with switch_datasource("main"):
            await wait(people.add(Person(id=1, name="a", age=1)))
            await wait(people.add_all([Person(id=2, name="b", age=2), Person(id=3, name="c", age=3)]))
            await wait(people.bulk_update_mappings(Person, [{"id": 1, "age": 9}, {"id": 3, "age": 9}]))
            with pytest.raises(sa.exc.IntegrityError):
                await wait(people.add(Person(id=1, name="again")))
        await ZorvaneConfig.dispose_async()

    async def value(v):
        return v
    people = AsyncPeople() if mode == "async" else People()
    asyncio.run(work(people, (lambda c: c) if mode == "async" else value))
    rows = {}
    for r in sql_log():
        assert r.sql.startswith({"INSERT": "INSERT INTO users", "UPDATE": "UPDATE users SET"}[r.operation])
        rows[r.statement_id] = rows.get(r.statement_id, 0) + (r.rows or 0)
    assert rows == {"Person.add": 1, "Person.add_all": 2, "Person.bulk_update_mappings": 2}
    assert [r.error is not None for r in sql_log()][-1] and sql_log()[-1].statement_id == "Person.add"
    spans = exporter.get_finished_spans()
    assert [s.attributes["db.query.text"] for s in spans] == [r.sql for r in sql_log()]
    assert [s.name for s in spans] == [r.statement_id for r in sql_log()]


@pytest.mark.parametrize("slow_ms, warned", [(0, True), (60_000, False)])
def test_log_params_and_slow_queries(fresh_config, engine, tmp_path, caplog, slow_ms, warned):
    decl = {**datasource_decl(engine.url), "log_params": True, "slow_query_ms": slow_ms}
    ZorvaneConfig(DBConfig(main=decl))
    create_user_table(ZorvaneConfig.datasource["main"]["db"])
    caplog.set_level(logging.WARNING, logger="zorvane.sql")  # DEBUG off: only slow statements show
    with switch_datasource("main"):
        Dao().add(1, SECRET, 30)
    records = [r for r in caplog.records if r.name == "zorvane.sql"]
    assert [r.levelno for r in records] == ([logging.WARNING] if warned else [])
    if warned:
        assert records[0].params == {"id": 1, "name": SECRET, "age": 30} and SECRET in records[0].getMessage()
        assert records[0].statement_id == "Dao.add" and records[0].rows == 1
