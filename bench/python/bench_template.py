"""Statement conversion and SqlTemplate.select_list against hand-written SQLAlchemy code."""
import sqlalchemy as sa
from sqlalchemy.orm import Session

from _fixtures import fill_users, sqlite_file_engine
from _timing import compare, header
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

prep = ParseMapper.to_prepared_statement

header("to_prepared_statement, 10 placeholders (target: at most 0.5x of text() on its output)")
sql10 = "select * from user where " + " and ".join(f"c{i} = #{{p{i}}}" for i in range(10))
params10 = {f"p{i}": i for i in range(10)}
out_sql = prep(sql10, params10)[0].text
compare("to_prepared_statement vs sa.text(output)", lambda: prep(sql10, params10), lambda: sa.text(out_sql), 20000, 15, 0.5)

header("select_list of 20 rows, SQLite file (target: within 1.10x)")
engine = sqlite_file_engine()
fill_users(engine)
tpl = SqlTemplate(engine)
raw = "select id, name, age, note from user where age >= :age order by id limit 20"
mapped = "select id, name, age, note from user where age >= #{age} order by id limit 20"
args = {"age": 5}
stmt, values = prep(mapped, args)
assert len(tpl.select_list(stmt, args=values)) == 20


def by_hand():
    with Session(engine) as s:
        rows = s.execute(sa.text(raw), args)
        keys = list(rows.keys())
        return [dict(zip(keys, r)) for r in rows.all()]


def ours():
    s, v = prep(mapped, args)
    return tpl.select_list(s, None, v)


compare("prepare + select_list vs Session/text/dict(zip)", ours, by_hand, 300, 15, 1.10)
compare("select_list (prepared once) vs Session/text/dict(zip)", lambda: tpl.select_list(stmt, None, values), by_hand, 300, 15, 1.10)
engine.dispose()
