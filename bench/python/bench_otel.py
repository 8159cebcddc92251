"""What a statement costs with OpenTelemetry's SDK configured (a tracer provider with SimpleSpanProcessor and an
in-memory exporter, and a meter provider with an in-memory reader) against no provider at all, in alternating
batches in one process: a decorated select_one on a SQLite file, and a BaseMapper.add_all of two rows."""
import gc
import time

from opentelemetry import metrics, trace
from opentelemetry.metrics import _internal as metrics_internal
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from _fixtures import Base, UserRow, fill_users, sqlite_file_engine
from _timing import header
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig, select_one, switch_datasource

exporter = InMemorySpanExporter()
tracing = TracerProvider()
tracing.add_span_processor(SimpleSpanProcessor(exporter))
metering = MeterProvider(metric_readers=[InMemoryMetricReader()])


def providers(on: bool) -> None:
    trace._TRACER_PROVIDER = tracing if on else None
    metrics_internal._METER_PROVIDER = metering if on else None


class Dao:
    @select_one("SELECT name FROM user WHERE id = #{id}")
    def name(self, id: int) -> str: ...


class Users(BaseMapper[UserRow]):
    pass


engine = sqlite_file_engine()
fill_users(engine)
ZorvaneConfig(DBConfig(main={"db_type": "sqlite", "sqlite_path": engine.url.database}))
Base.metadata.create_all(ZorvaneConfig.datasource["main"]["db"])
dao, users = Dao(), Users()


def added():
    users.add_all([UserRow(name="a", age=1, note="x"), UserRow(name="b", age=2, note="y")])


def batch(fn, n):
    gc.disable()
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    gc.enable()
    exporter.clear()
    return (time.perf_counter() - t0) / n


header("OpenTelemetry SDK: cost per call, no provider vs SDK providers with in-memory export")
with switch_datasource("main"):
    for label, fn, n, statements in (("@select_one", lambda: dao.name(1), 300, 1),
                                     ("BaseMapper.add_all, 2 rows", added, 100, 2)):
        fn()
        off, on = [], []
        for _ in range(15):
            providers(False)
            off.append(batch(fn, n))
            providers(True)
            on.append(batch(fn, n))
        providers(False)
        a, b = min(off), min(on)
        print(f"   {label:<40} none {a * 1e6:8.1f} us   SDK {b * 1e6:8.1f} us   "
              f"+{(b - a) * 1e6 / statements:.1f} us a statement ({statements} per call)")
