"""SqlTemplate.select_page against hand-written SQLAlchemy code running the same two statements."""
import sqlalchemy as sa
from sqlalchemy.orm import Session

from _fixtures import fill_users, sqlite_file_engine
from _timing import compare, header
from zorvane.db.ostrane import Page, SqlTemplate, count_query, limit_query

header("select_page, page 3 of 10 over 500 rows, SQLite file (target: within 1.10x)")
engine = sqlite_file_engine()
fill_users(engine, 500, age=lambda i: i % 90)
tpl = SqlTemplate(engine)
sql = "select id, name, age, note from user where age > :age order by id"
stmt = sa.text(sql)
args = {"age": 18}
page = Page(3, 10)
# The hand-written side runs exactly the statements select_page runs.
count_sql = count_query(stmt).text
page_sql = limit_query(stmt, page).text
assert count_sql == "SELECT COUNT(*) as count FROM user where age > :age order by id"


def by_hand():
    with Session(engine) as s:
        total = s.execute(sa.text(count_sql), args).scalar()
        q = sa.text(page_sql).bindparams(page_size=10, page_offset=20)
        result = s.execute(q, args)
        keys = list(result.keys())
        rows = [dict(zip(keys, r)) for r in result.all()]
        s.commit()
    return {"pageNum": 3, "pageSize": 10, "total": total, "list": rows}


def ours():
    return tpl.select_page(stmt, page, None, args)


assert ours() == by_hand() and len(ours()["list"]) == 10
compare("select_page vs Session/text/scalar + text/bindparams/dict(zip)", ours, by_hand, 300, 15, 1.10)
compare("count_query + limit_query vs text() of both rewritten texts",
        lambda: (count_query(stmt), limit_query(stmt, page)),
        lambda: (sa.text(count_sql), sa.text(page_sql).bindparams(page_size=10, page_offset=20)), 5000, 15)
engine.dispose()
