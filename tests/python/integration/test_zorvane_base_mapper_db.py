"""BaseMapper on SQLite files and MariaDB: writes, reads, transactions and mapper interfaces."""
import asyncio
import types

import pydantic
import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import count_rows, datasource_decl
from zorvane.db.ostrane import Page
from zorvane.exception import TransactionRolledBackError
from zorvane.zorvane import AsyncBaseMapper, BaseMapper, DBConfig, ZorvaneConfig, get_current_db


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str | None] = mapped_column(sa.String(50))
    age: Mapped[int | None]
    note: Mapped[str | None] = mapped_column(sa.String(200))


class Tag(Base):
    __tablename__ = "tag"
    id: Mapped[int] = mapped_column(primary_key=True, autoincrement=False)
    label: Mapped[str] = mapped_column(sa.String(50))


class Draft(Base):
    __tablename__ = "draft"
    id: Mapped[int] = mapped_column(primary_key=True)
    title: Mapped[str] = mapped_column(sa.String(50))
    status: Mapped[str] = mapped_column(sa.String(20), server_default="draft")
    priority: Mapped[int] = mapped_column(default=5)
    label: Mapped[str | None] = mapped_column(sa.String(20), server_default="none given")
    extra: Mapped[dict | None] = mapped_column(sa.JSON)


class Code(Base):  # a text key in a composite one
    __tablename__ = "code"
    code: Mapped[str] = mapped_column(sa.String(20), primary_key=True)
    n: Mapped[int] = mapped_column(primary_key=True)
    title: Mapped[str | None] = mapped_column(sa.String(50))


class UserIn(pydantic.BaseModel):
    id: int | None = None
    name: str
    age: int
    note: str | None = None


MAPPER = f"""<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="UserMapper">
  <select id="find_adults" resultType="{__name__}.User">
    SELECT id, name, age, note FROM users WHERE age &gt;= #{{min_age}} ORDER BY id
  </select>
  <select id="count_adults" resultType="int">SELECT COUNT(*) FROM users WHERE age &gt;= #{{min_age}}</select>
  <select id="pick" resultType="{__name__}.User">
    SELECT id, name, age, note FROM users
    <where>
      <if test="params.get('name') is not None">AND name = #{{name}}</if>
      <if test="params.get('min_age') is not None">AND age &gt;= #{{min_age}}</if>
    </where>
    ORDER BY id
  </select>
  <select id="oldest" resultType="{__name__}.User">SELECT id, name, age, note FROM users ORDER BY age DESC</select>
  <select id="select_all">SELECT name FROM users ORDER BY id</select>
  <update id="rename">UPDATE users SET name = #{{name}} WHERE id = #{{id}}</update>
</mapper>
"""


class UserMapper(BaseMapper[User]):
    def find_adults(self, min_age: int) -> list[User]:
        raise AssertionError("routed calls never run the body")

    def count_adults(self, min_age) -> "int":  # a string annotation, as under postponed evaluation
        raise AssertionError("routed calls never run the body")

    def pick(self, name=None, min_age=None, page: Page = None) -> list[User]:
        raise AssertionError("routed calls never run the body")

    def rename(self, id, name):
        raise AssertionError("routed calls never run the body")

    def oldest(self) -> User | None:
        raise AssertionError("routed calls never run the body")

    def not_in_file(self, x, y=2):
        return ("body", x, y)


class Users(BaseMapper[User]):  # no mapper file of this name: every operation runs as written
    pass


class TagMapper(BaseMapper[Tag]):
    pass


def write(mode, model, op, data):
    """BaseMapper[model]().<op>(data), or the same awaited on an AsyncBaseMapper[model]."""
    mapper = types.new_class(f"{mode}_{model.__name__}", ((BaseMapper if mode == "sync" else AsyncBaseMapper)[model],))
    if mode == "sync":
        return getattr(mapper(), op)(data)

    async def main():
        try:
            return await getattr(mapper(), op)(data)
        finally:
            await ZorvaneConfig.dispose_async()

    return asyncio.run(main())


MODES = ["sync", pytest.param("async", marks=pytest.mark.greenlet)]


@pytest.fixture
def db(fresh_config, engine, tmp_path):
    """Datasource "main" on the backend's database (primary) and "side" on a SQLite file."""
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "user.xml").write_text(MAPPER)
    main = datasource_decl(engine.url)
    side = {"db_type": "sqlite", "sqlite_path": str(tmp_path / "side.db")}
    ZorvaneConfig(DBConfig(primary="main", mapper_xml_path=str(tmp_path / "mappers"), main=main, side=side))
    for e in (engine, ZorvaneConfig.datasource["side"]["db"]):
        Base.metadata.drop_all(e)
        Base.metadata.create_all(e)
    return engine


def rows(engine, sql="SELECT id, name, age, note FROM users ORDER BY id"):
    with engine.connect() as c:
        return [tuple(r) for r in c.exec_driver_sql(sql)]


def fill(n):
    Users().save_batch([UserIn(name=f"u{i}", age=i) for i in range(n)])


def test_insert_returns_new_key_and_keeps_callers_dict(db):
    m = Users()
    assert m.insert(UserIn(id=99, name="a", age=1)) == 1  # auto-increment key left to the database
    given = {"id": 42, "name": "b", "age": 2}
    assert m.insert(given) == 2 and given == {"id": 42, "name": "b", "age": 2}
    assert m.insert(User(id=7, name="c", age=3, note="n")) == 3
    assert rows(db) == [(1, "a", 1, None), (2, "b", 2, None), (3, "c", 3, "n")]
    assert TagMapper().insert({"id": 500, "label": "kept"}) == 500  # auto-increment off: the key is data
    assert rows(db, "SELECT id, label FROM tag") == [(500, "kept")]


@pytest.mark.parametrize("n", [1, 2, 1000])
def test_save_batch_inserts_each_row_once(db, n):
    assert Users().save_batch([UserIn(id=0, name=f"u{i}", age=i) for i in range(n)]) is None
    assert count_rows(db) == n
    assert rows(db, "SELECT MIN(id), MAX(id), COUNT(DISTINCT name), SUM(age) FROM users") == [(1, n, n, n * (n - 1) // 2)]


@pytest.mark.parametrize("mode", MODES)
def test_unset_attributes_take_the_column_defaults(db, mode):
    assert write(mode, Draft, "insert", Draft(title="a", label=None)) == 1
    write(mode, Draft, "save_batch", [Draft(title="b"), Draft(title="c", status="live", priority=1, extra={"k": 1})])
    got = rows(db, "SELECT id, title, status, priority, label, CASE WHEN extra IS NULL THEN 1 ELSE 0 END FROM draft "
                   "ORDER BY id")
    assert got == [(1, "a", "draft", 5, None, 1), (2, "b", "draft", 5, "none given", 1),
                   (3, "c", "live", 1, "none given", 0)]


@pytest.mark.parametrize("mode", MODES)
def test_save_batch_rows_of_different_keys(db, mode):
    write(mode, Draft, "save_batch", [{"title": "a"}, {"title": "b", "label": None},
                                      {"title": "c", "label": "x", "status": "s"}, {"title": "d"}])
    assert rows(db, "SELECT title, status, priority, label FROM draft ORDER BY title") == [
        ("a", "draft", 5, "none given"), ("b", "draft", 5, None), ("c", "s", 5, "x"), ("d", "draft", 5, "none given")]
    with pytest.raises(sa.exc.IntegrityError):  # a failing key set undoes those written before it
        write(mode, Draft, "save_batch", [{"title": "e"}, {"title": None, "label": "x"}])
    assert count_rows(db, "draft") == 4


@pytest.mark.parametrize("mode", MODES)
def test_keys_other_than_an_integer_auto_increment_are_written(db, mode):
    assert write(mode, Code, "insert", Code(code="c1", n=1, title="one")) == "c1"
    assert write(mode, Code, "insert", {"code": "c1", "n": 2}) == "c1"
    write(mode, Code, "save_batch", [Code(code="c2", n=1), {"code": "c3", "n": 1, "title": "three"}])
    assert rows(db, "SELECT code, n, title FROM code ORDER BY code, n") == [
        ("c1", 1, "one"), ("c1", 2, None), ("c2", 1, None), ("c3", 1, "three")]


def test_save_batch_of_nothing_writes_nothing(db):
    Users().save_batch([])
    assert count_rows(db) == 0


@pytest.mark.parametrize("selective, expected", [(True, ("a", 5, "keep")), (False, ("a", 5, None))])
def test_update_by_id_selective(db, selective, expected):
    m = Users()
    m.insert({"name": "x", "age": 1, "note": "keep"})
    data = {"id": 1, "name": "a", "age": 5, "note": None}
    assert m.update_by_id(data, selective=selective) == 1
    assert data == {"id": 1, "name": "a", "age": 5, "note": None}
    assert rows(db)[0][1:] == expected
    assert m.update_by_id({"id": 77, "name": "none"}) == 0
    with pytest.raises(KeyError, match="id"):
        m.update_by_id({"name": "no key"})


def test_deletes_updates_and_bulk_mappings(db):
    fill(4)
    m = Users()
    assert m.delete_by_id(2) == 1 and m.delete_by_id(2) == 0
    assert m.update(sa.update(User).where(User.age >= sa.bindparam("a")).values(note="old"), {"a": 2}) == 2
    assert m.delete(sa.delete(User).where(User.name == "u0")) == 1
    m.bulk_update_mappings(data_list=[{"id": 3, "age": 30}, {"id": 4, "name": "four"}])
    assert rows(db) == [(3, "u2", 30, "old"), (4, "four", 3, "old")]
    m.add(User(name="added", age=9))
    m.add_all([User(name="all1", age=1), User(name="all2", age=2)])
    assert count_rows(db) == 5


def test_reads_by_statement_shape(db):
    fill(3)
    m = Users()
    assert [u.name for u in m.select_all()] == ["u0", "u1", "u2"]
    assert m.select_all(sa.select(User.age).order_by(User.id)) == [0, 1, 2]
    two = m.select_all(sa.select(User.name, User.age).order_by(User.id))
    assert [tuple(r) for r in two] == [("u0", 0), ("u1", 1), ("u2", 2)]
    assert m.select_one().name == "u0"
    assert m.select_one(sa.select(User.name, User.age).order_by(User.id.desc())) == {"name": "u2", "age": 2}
    assert m.select_one(sa.select(User.age).where(User.age > 0).order_by(User.age)) == 1
    assert m.select_by_id(2).name == "u1" and m.select_by_id(9) is None
    assert m.select_all_by_sql("SELECT name FROM users WHERE age > :a ORDER BY id", {"a": 0}) == [
        {"name": "u1"}, {"name": "u2"}]
    page = m.select_page_by_sql("SELECT name FROM users ORDER BY id", None, Page(2, 2))
    assert page == {"pageNum": 2, "pageSize": 2, "total": 3, "list": [{"name": "u2"}]}
    m.delete(sa.delete(User))
    assert m.select_one() is None and m.select_all() == []


def test_select_page_by_orm(db):
    fill(25)
    m = Users()
    first = m.select_page_by_orm(sa.select(User).order_by(User.id))
    assert list(first) == ["list", "total"] and first["total"] == 25
    assert [u.id for u in first["list"]] == list(range(1, 11))
    third = m.select_page_by_orm(sa.select(User).where(User.age >= 5).order_by(User.id), Page(3, 8))
    assert third["total"] == 20 and [u.age for u in third["list"]] == [21, 22, 23, 24]
    pairs = m.select_page_by_orm(sa.select(User.name, User.age).order_by(User.id), Page(1, 2))
    assert [tuple(r) for r in pairs["list"]] == [("u0", 0), ("u1", 1)] and pairs["total"] == 25
    shifted = m.select_page_by_orm(sa.select(User.age).order_by(User.id), Page.from_offset(7, 3))
    assert shifted == {"list": [7, 8, 9], "total": 25}


def test_nested_switch_on_one_datasource_commits_once(db):
    commits = []
    sa.event.listen(ZorvaneConfig.datasource["main"]["db"], "commit", lambda conn: commits.append(1))
    m = Users()
    with Users.switch_datasource("main") as outer:
        m.insert({"name": "a", "age": 1})
        with Users.switch_datasource("main") as inner:
            assert inner is outer and get_current_db() == "main"
            m.insert({"name": "b", "age": 2})
        assert count_rows(db) == 0 and commits == []
        with Users.switch_datasource("side"):  # another datasource: its own transaction
            m.insert({"name": "s", "age": 3})
        assert count_rows(ZorvaneConfig.datasource["side"]["db"]) == 1
    assert count_rows(db) == 2 and commits == [1]


def test_inner_error_rolls_back_the_whole_transaction(db):
    m = Users()
    with pytest.raises(ZeroDivisionError):
        with Users.switch_datasource("side"):
            m.insert({"name": "a", "age": 1})
            with Users.switch_datasource("side"):
                m.insert({"name": "b", "age": 2})
                1 / 0
    assert count_rows(ZorvaneConfig.datasource["side"]["db"]) == 0 and get_current_db() == "main"
    with pytest.raises(ValueError, match="Unknown data source"):
        with Users.switch_datasource("nope"):
            pass


def test_caught_inner_error_leaves_the_block_rollback_only(db):
    m = Users()
    with pytest.raises(TransactionRolledBackError):  # the block ends normally, its work undone
        with Users.switch_datasource("main"):
            m.insert({"name": "lost", "age": 1})
            try:
                with Users.switch_datasource("main"):
                    m.insert({"name": "lost too", "age": 2})
                    raise LookupError
            except LookupError:
                pass
            with pytest.raises(TransactionRolledBackError):
                m.insert({"name": "never run", "age": 3})
            assert count_rows(db) == 0  # nothing committed on its own
    assert rows(db) == []


def test_db_session_commits_and_closes(db):
    with Users.db_session() as s:
        s.add(User(name="a", age=1))
    assert [r[1] for r in rows(db)] == ["a"] and ZorvaneConfig.datasource["main"]["db"].pool.checkedout() == 0


def test_interface_methods_run_their_statements(db):
    fill(5)
    m = UserMapper()
    adults = m.find_adults(3)
    assert all(type(u) is User for u in adults) and [u.name for u in adults] == ["u3", "u4"]
    assert m.count_adults(min_age=1) == 4
    assert [u.name for u in m.pick(min_age=2, name="u3")] == ["u3"]
    assert [u.age for u in m.pick()] == [0, 1, 2, 3, 4]  # missing arguments take their defaults
    page = m.pick(None, 1, Page(2, 3))
    assert (page["total"], [u.age for u in page["list"]]) == (4, [4])
    page = m.pick(min_age=0, page=None)  # annotated Page: never a statement parameter
    assert [u.age for u in page] == [0, 1, 2, 3, 4]
    assert m.rename(name="renamed", id=1) == 1 and m.select_by_id(1).name == "renamed"
    assert m.select_all() == [{"name": n} for n in ["renamed", "u1", "u2", "u3", "u4"]]  # the file's select_all
    assert m.not_in_file(1) == ("body", 1, 2)
    assert m.oldest().age == 4  # `X | None` converts the first row by X


def test_routing_follows_the_current_datasource(db):
    m = UserMapper()
    ZorvaneConfig.datasource["side"]["mapper_dict"] = {}
    with pytest.raises(AssertionError, match="never run the body"):
        with UserMapper.switch_datasource("side"):
            m.find_adults(1)
    assert m.find_adults(1) == []

    class Other(BaseMapper[User]):  # no namespace of this name
        def find_adults(self, min_age):
            return ["body", min_age]

    assert Other().find_adults(4) == ["body", 4]


def test_same_named_mappers_bind_by_their_own_signatures(db):
    fill(4)
    other = types.ModuleType("other_mappers")
    exec("from zorvane.zorvane import BaseMapper\n"
         "class UserMapper(BaseMapper[User]):\n"
         "    def pick(self, min_age=None) -> list[User]: ...\n", {"User": User, "__name__": "other_mappers"},
         other.__dict__)
    assert [u.name for u in UserMapper().pick(None, 2)] == ["u2", "u3"]
    assert [u.name for u in other.UserMapper().pick(3)] == ["u3"]
    assert UserMapper._sig_cache[(other.UserMapper, "pick")] != UserMapper._sig_cache[(UserMapper, "pick")]
