"""The end-to-end reads of bench_servers.py on a datasource with one replica (the reads go to it) against the
same datasource without replicas, on the private pairs of tools/replicas.py (started when needed).

Two routed datasources: one whose replica is the pair's real replica (another server), and one whose
replica is the primary itself (another pool on the same server), which leaves only the cost of the routing."""
import pathlib
import sys
import tempfile
import time

import sqlalchemy as sa

from _fixtures import Base, User, UserRow, declaration, drop_database, private_database
from _timing import compare, header
from zorvane.db.ostrane import Page
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig, select_list, select_page, switch_datasource

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import replicas  # noqa: E402

ADULTS = "SELECT id, name, age, note FROM users WHERE age >= #{min_age} ORDER BY id LIMIT 20"
MAPPER = f"""<mapper namespace="UsersMapper">
  <select id="adults" resultType="_fixtures.User">{ADULTS}</select>
</mapper>"""


class UsersMapper(BaseMapper[UserRow]):
    def adults(self, min_age: int) -> list[User]: ...


class UserDao:
    @select_list(ADULTS)
    def adults(self, min_age: int) -> list[User]: ...

    @select_page("SELECT id, name, age, note FROM users WHERE age > #{age} ORDER BY id")
    def page(self, age: int, page: Page) -> list[User]: ...


def on(name, call):
    def run():
        with switch_datasource(name):
            return call()
    return run


def run(kind, replica_port):
    engine = ZorvaneConfig.datasource[kind]["db"]
    Base.metadata.create_all(engine)
    with engine.begin() as c:
        c.execute(sa.insert(UserRow), [{"name": f"u{i}", "age": i % 90, "note": f"n{i}"} for i in range(500)])
    seen = ZorvaneConfig.datasource[f"{kind}_replica"]["replicas"][0]
    for _ in range(200):  # the replica has to catch up first
        try:
            with seen.connect() as c:
                if c.exec_driver_sql("SELECT COUNT(*) FROM users").scalar() == 500:
                    break
        except sa.exc.DBAPIError:
            pass
        time.sleep(0.05)
    mapper, dao = UsersMapper(), UserDao()
    cases = [("mapper interface, 20 rows into dataclasses", lambda: mapper.adults(5)),
             ("@select_list, 20 rows into dataclasses", lambda: dao.adults(5)),
             ("@select_page, page 3 of 10 into dataclasses", lambda: dao.page(18, Page(3, 10)))]
    for routed, what in ((f"{kind}_replica", f"its replica (port {replica_port})"),
                         (f"{kind}_self", "a second pool on the primary")):
        header(f"{kind}: reads with one replica, {what}, vs no replicas (target: within 1.03x)")
        for label, call in cases:
            assert on(routed, call)() == on(kind, call)()
            compare(label, on(routed, call), on(kind, call), 20, 51, 1.03)


class Answer:
    """A template stand-in that answers at once: what is left of a call is the session object's own work."""

    data_source = None

    def select_list(self, sql, con=None, args=None):
        return []


def routing_alone():
    from zorvane.db.kelvor import ZorvaneSqlSession, _ReadRouting

    plain, routed = ZorvaneSqlSession({}, ostrane=Answer()), ZorvaneSqlSession({}, ostrane=Answer())
    routed._route_reads(_ReadRouting("x", ["replica:1"], 3.0, 10.0), [Answer()])
    header("the routing decision alone: a read on a session object with a replica vs without")
    compare("select_list on a template that answers at once", lambda: routed.select_list("q"),
            lambda: plain.select_list("q"), 20000, 15)


routing_alone()
pairs = {kind: got for kind, got in replicas.ensure().items() if not isinstance(got, Exception)}
made = {kind: private_database(urls["primary"]) for kind, urls in pairs.items()}
mappers = pathlib.Path(tempfile.mkdtemp())
(mappers / "users.xml").write_text(MAPPER)
declared = {}
for kind, (_, _, url) in made.items():
    replica_port = sa.make_url(pairs[kind]["replica"]).port
    declared[kind] = declaration(url)
    declared[f"{kind}_replica"] = dict(declaration(url), replicas=[{"port": replica_port}])
    declared[f"{kind}_self"] = dict(declaration(url), replicas=[{}])
try:
    ZorvaneConfig(DBConfig(mapper_xml_path=str(mappers), primary=next(iter(declared)), **declared))
    for kind in made:
        run(kind, sa.make_url(pairs[kind]["replica"]).port)
finally:
    for name, entry in ZorvaneConfig.datasource.items():
        for e in [entry["db"], *entry.get("replicas", [])]:
            e.dispose()
    for kind, (admin, name, _) in made.items():
        drop_database(admin, name)
