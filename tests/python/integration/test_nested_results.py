"""Joined rows into nested objects and collections, through every entry point that builds result classes."""
import asyncio
import dataclasses
from typing import Iterator, Optional

import pydantic
import pytest

from zorvane.db.ostrane import Page
from zorvane.zorvane import BaseMapper, AsyncBaseMapper, ZorvaneConfig, select_iter, select_list, select_one, select_page
from zorvane.zorvane import switch_datasource

pytestmark = pytest.mark.greenlet


def models(kind):
    """Article(id, title, author, comments[Comment(id, body, by: Author | None)], tags[str]) as dataclasses or models."""
    if kind == "dataclass":
        def make(name, fields):
            return dataclasses.make_dataclass(name, [(f, t) if d is ... else (f, t, dataclasses.field(default=d))
                                                     for f, t, d in fields])
    else:
        def make(name, fields):
            return pydantic.create_model(name, **{f: (t, d) for f, t, d in fields})
    author = make("Author", [("name", str, ...)])
    comment = make("Comment", [("id", int, ...), ("body", str, ...), ("by", Optional[author], None)])
    article = make("Article", [("id", int, ...), ("title", str, ...), ("author", Optional[author], ...),
                               ("comments", list[comment], ...), ("tags", list[str], ...)])
    return article, comment, author


def fill(engine):
    with engine.begin() as c:
        for t in ("tags", "comments", "articles", "authors"):
            c.exec_driver_sql(f"DROP TABLE IF EXISTS {t}")
        c.exec_driver_sql("CREATE TABLE authors (id INTEGER PRIMARY KEY, name VARCHAR(20))")
        c.exec_driver_sql("CREATE TABLE articles (id INTEGER PRIMARY KEY, title VARCHAR(20), author_id INTEGER)")
        c.exec_driver_sql("CREATE TABLE comments (id INTEGER PRIMARY KEY, article_id INTEGER, body VARCHAR(20), "
                          "author_id INTEGER)")
        c.exec_driver_sql("CREATE TABLE tags (article_id INTEGER, tag VARCHAR(20))")
        c.exec_driver_sql("INSERT INTO authors VALUES (1, 'ann'), (2, 'bob')")
        c.exec_driver_sql("INSERT INTO articles VALUES (10, 'first', 1), (20, 'second', NULL), (30, 'third', 2)")
        c.exec_driver_sql("INSERT INTO comments VALUES (100, 10, 'c1', 2), (101, 10, 'c2', NULL), (102, 30, 'c3', 1)")
        c.exec_driver_sql("INSERT INTO tags VALUES (10, 'x'), (10, 'y'), (30, 'z')")


def expected(article, comment, author):
    ann, bob = author(name="ann"), author(name="bob")
    return [article(id=10, title="first", author=ann, tags=["x", "y"],
                    comments=[comment(id=100, body="c1", by=bob), comment(id=101, body="c2", by=None)]),
            article(id=20, title="second", author=None, comments=[], tags=[]),
            article(id=30, title="third", author=bob, comments=[comment(id=102, body="c3", by=ann)], tags=["z"])]


def joined(q):
    """Three levels, two sibling collections multiplying each other's rows; `q` quotes a dotted label."""
    return (f"SELECT a.id, a.title, au.name AS {q}author.name{q}, c.id AS comments__id, c.body AS comments__body, "
            "cb.name AS comments__by__name, t.tag AS tags__tag FROM articles a "
            "LEFT JOIN authors au ON au.id = a.author_id LEFT JOIN comments c ON c.article_id = a.id "
            "LEFT JOIN authors cb ON cb.id = c.author_id LEFT JOIN tags t ON t.article_id = a.id "
            "WHERE a.id >= #{low} ORDER BY a.id, c.id, t.tag")


AGGREGATE = {"sqlite": ("json_group_array(json_object({}))", "json_group_array({})"),
             "mysql": ("JSON_ARRAYAGG(JSON_OBJECT({}))", "JSON_ARRAYAGG({})"),
             "postgresql": ("json_agg(json_build_object({}))", "json_agg({})")}


def json_form(backend):
    """One row per article: the lists as JSON arrays (a nested object inside each comment)."""
    objects, values = AGGREGATE[backend]
    by = {"sqlite": "json_object('name', cb.name)", "mysql": "JSON_OBJECT('name', cb.name)",
          "postgresql": "json_build_object('name', cb.name)"}[backend]
    comments = objects.format(f"'id', c.id, 'body', c.body, 'by', CASE WHEN cb.name IS NULL THEN NULL ELSE {by} END")
    return (f"SELECT a.id, a.title, au.name AS author__name, (SELECT {comments} FROM comments c LEFT JOIN authors cb "
            f"ON cb.id = c.author_id WHERE c.article_id = a.id) AS comments, (SELECT {values.format('t.tag')} FROM tags t "
            "WHERE t.article_id = a.id) AS tags FROM articles a LEFT JOIN authors au ON au.id = a.author_id "
            "WHERE a.id >= #{low} ORDER BY a.id")


@pytest.fixture
def nest(main_ds, tmp_path, backend):
    """scan(sql, cls, fetch) registers mapper Nested with statements listed/one/page/streamed over `sql`."""
    fill(main_ds)

    def scan(sql, cls, fetch=2):
        folder = tmp_path / f"m{abs(hash((sql, cls)))}"
        folder.mkdir()
        text = sql.replace("<", "&lt;").replace(">", "&gt;")
        globals()[cls.__name__] = cls  # the resultType names it in this module
        cls.__module__, cls.__qualname__ = __name__, cls.__name__
        rt = f"{__name__}.{cls.__name__}"
        (folder / "Nested.xml").write_text('<mapper namespace="Nested">' + "".join(
            f'<select id="{m}" resultType="{rt}" fetchSize="{fetch}">{text}</select>'
            for m in ("listed", "one", "page", "streamed")) + "</mapper>")
        ZorvaneConfig.scan_mapper_xml(str(folder))
    return scan


def entry(kind, sql, cls):
    """The function that returns `cls` rows of `sql` for entry point `kind`."""
    many = not kind.endswith("one")
    rt = list[cls] if many and not kind.endswith("iter") else Iterator[cls] if many else cls
    if kind.startswith("decorator"):
        deco = {"one": select_one, "page": select_page, "iter": lambda s: select_iter(s, 2)}.get(kind.split("-")[1],
                                                                                                 select_list)
        if kind.endswith("async"):
            async def fn(low: int, page: Page = None) -> rt: ...
        else:
            def fn(low: int, page: Page = None) -> rt: ...
        return deco(sql)(fn)
    base = AsyncBaseMapper if kind.endswith("async") else BaseMapper
    method = {"one": "one", "page": "page", "iter": "streamed"}.get(kind.split("-")[1], "listed")
    if kind.endswith("async"):
        async def m(self, low: int, page: Page = None) -> rt: ...
    else:
        def m(self, low: int, page: Page = None) -> rt: ...
    m.__name__ = method
    mapper = type("Nested", (base,), {method: m})
    return getattr(mapper(), method)


def run(kind, sql, cls, *args, **kwargs):
    fn = entry(kind, sql, cls)
    if kind.endswith("async"):
        async def go():
            try:
                with switch_datasource("main"):
                    return await fn(*args, **kwargs)
            finally:
                await ZorvaneConfig.dispose_async()
        return asyncio.run(go())
    with switch_datasource("main"):
        got = fn(*args, **kwargs)
        return got if kind.endswith("one") or kind.endswith("page") else list(got)


KINDS = ["decorator-list", "decorator-async", "decorator-iter", "decorator-one",
         "interface-list", "interface-async", "interface-iter", "interface-one"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("classes", ["dataclass", "pydantic"])
def test_joined_rows_nest_objects_and_collections(nest, backend, kind, classes):
    article, comment, author = models(classes)
    want = expected(article, comment, author)
    sql = joined("`" if backend == "mysql" else '"')
    nest(sql, article)
    got = run(kind, sql, article, 10)
    assert got == (want[0] if kind.endswith("one") else want)
    if kind.endswith("iter") or kind.endswith("list"):  # parents keep the order of their first row
        nest(sql := sql.replace("ORDER BY a.id", "ORDER BY a.id DESC"), article)
        assert run(kind, sql, article, 20) == want[:0:-1]


@pytest.mark.parametrize("kind", ["decorator-list", "interface-async", "decorator-page", "interface-page"])
@pytest.mark.parametrize("classes", ["dataclass", "pydantic"])
def test_json_array_columns_fill_lists_and_page_by_parent(nest, backend, kind, classes):
    article, comment, author = models(classes)
    want = expected(article, comment, author)
    sql = json_form(backend)
    nest(sql, article)
    if kind.endswith("page"):
        got = run(kind, sql, article, 10, page=Page(2, 2))
        assert (got["total"], got["list"]) == (3, want[2:])
    else:
        assert run(kind, sql, article, 10) == want


@pytest.mark.parametrize("kind", ["decorator-page", "interface-page"])
def test_a_page_of_joined_collections_points_at_json_arrays(nest, backend, kind):
    article = models("dataclass")[0]
    sql = joined("`" if backend == "mysql" else '"')
    nest(sql, article)
    for low in (10, 1000):  # with rows or without
        with pytest.raises(TypeError, match="JSON array column"):
            run(kind, sql, article, low, page=Page(1, 2))


@pytest.mark.parametrize("kind", KINDS + ["decorator-page", "interface-page"])
def test_missing_and_null_nested_objects_are_errors_naming_the_field(nest, kind):
    @dataclasses.dataclass
    class Author:
        name: str

    @dataclasses.dataclass
    class Post:
        id: int
        author: Author

    def posts(sql, low):
        got = run(kind, sql, Post, low, **({"page": Page(1, 5)} if kind.endswith("page") else {}))
        return [got] if kind.endswith("one") else got["list"] if kind.endswith("page") else got

    no_columns = "SELECT id FROM articles WHERE id >= #{low}"
    nest(no_columns, Post)
    for low in (10, 1000):  # the column labels tell it, with rows or without
        with pytest.raises(TypeError, match="field 'author' of .*Post.*'author__'"):
            posts(no_columns, low)
    null_author = ("SELECT a.id, au.name AS author__name FROM articles a LEFT JOIN authors au ON au.id = a.author_id "
                   "WHERE a.id >= #{low} ORDER BY a.id")
    nest(null_author, Post)
    assert posts(null_author, 30) == [Post(30, Author("bob"))]
    nest(repeated := null_author.replace("a.id,", "a.id, a.id,"), Post)  # a repeated label: the last one counts
    assert posts(repeated, 30) == [Post(30, Author("bob"))]
    with pytest.raises(ValueError, match="field 'author' of .*Post.* not optional"):
        posts(null_author, 20)


def variant(kind):
    """A dataclass Post(id, author, notes) of one construction kind, and what its constructor makes of a row."""
    extra = {"frozen": {"frozen": True}, "slots": {"slots": True}, "kw_only": {"kw_only": True}}.get(kind, {})

    @dataclasses.dataclass(**extra)
    class Author:
        name: str

    namespace = {"__annotations__": {"id": int, "author": Author, "notes": list[str]},
                 "notes": dataclasses.field(default_factory=lambda: ["fresh"])}
    if kind == "post_init":
        namespace["__post_init__"] = lambda self: setattr(self, "seen", self.author.name.upper())
    if kind == "init_var":
        namespace["__annotations__"]["scale"] = dataclasses.InitVar[int]
        namespace["scale"] = 2
    if kind == "own_setattr":  # every assignment goes through it
        namespace["__setattr__"] = lambda self, k, v: object.__setattr__(self, k, v if k == "id" else (v, "set"))
    if kind == "own_init":
        extra = {"init": False}

        def init(self, id, author, notes=None):
            self.id, self.author, self.notes = id, author, notes or ["own"]
        namespace["__init__"] = init
    post = dataclasses.dataclass(**extra)(type("Post", (), namespace))
    return post, post(id=10, author=Author(name="ann"))


@pytest.mark.parametrize("kind", ["plain", "frozen", "slots", "kw_only", "post_init", "init_var", "own_setattr",
                                  "own_init"])
def test_dataclasses_come_out_as_their_constructor_makes_them(nest, kind):
    post, want = variant(kind)
    sql = "SELECT a.id, au.name AS author__name FROM articles a JOIN authors au ON au.id = a.author_id WHERE a.id = #{low}"
    nest(sql, post)
    for k in ("decorator-list", "interface-one"):
        first, second = [got if k.endswith("one") else got[0] for got in (run(k, sql, post, 10), run(k, sql, post, 10))]
        assert first == want and getattr(first, "__dict__", None) == getattr(want, "__dict__", None)
        assert first.notes is not second.notes  # a default factory (or list) per object


def test_pydantic_models_with_their_own_init_are_built_through_it(nest):
    class Author(pydantic.BaseModel):
        name: str

    class Post(pydantic.BaseModel):
        id: int
        author: Author

        def __init__(self, **data):
            super().__init__(**{**data, "id": data["id"] + 1})

    sql = "SELECT a.id, au.name AS author__name FROM articles a JOIN authors au ON au.id = a.author_id WHERE a.id = #{low}"
    nest(sql, Post)
    assert run("decorator-list", sql, Post, 10) == [Post(id=10, author=Author(name="ann"))]
    assert run("interface-one", sql, Post, 10).id == 11


def test_dicts_stay_flat_and_unknown_prefixes_follow_the_class_rule(nest):
    @dataclasses.dataclass
    class Plain:
        id: int

    class Model(pydantic.BaseModel):
        id: int

    sql = "SELECT id, title AS author__name FROM articles WHERE id = #{i}"

    def returning(rt):
        def fn(i: int) -> rt: ...
        return select_list(sql)(fn)

    with switch_datasource("main"):
        assert returning(list[dict])(10) == [{"id": 10, "author__name": "first"}]
        assert returning(list[Model])(10) == [Model(id=10)]  # models ignore unknown columns
        with pytest.raises(TypeError, match="author__name"):  # dataclasses refuse them
            returning(list[Plain])(10)
