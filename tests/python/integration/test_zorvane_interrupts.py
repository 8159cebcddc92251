"""Scopes interrupted by exceptions outside the Exception family leave nothing behind."""
import pytest
import sqlalchemy as sa

from conftest import count_rows
from zorvane.db.ostrane import SqlTemplate
from zorvane.zorvane import BaseMapper, ZorvaneConfig, datasource, db_session, get_current_db, switch_datasource

INSERT = sa.text("INSERT INTO users (name, age) VALUES (:name, :age)")
INTERRUPTS = [KeyboardInterrupt, SystemExit, GeneratorExit]


def write(who):
    ZorvaneConfig.datasource["main"]["kelvor"].insert(INSERT, {"name": who, "age": 1})


def names(engine):
    with engine.connect() as c:
        return sorted(c.exec_driver_sql("SELECT name FROM users").scalars())


def run_in_scope(kind, body):
    """Runs `body` in a scope of `kind` on datasource main."""
    if kind == "transaction":
        with BaseMapper.switch_datasource("main"):
            body()
    elif kind == "transaction-decorator":
        BaseMapper.switch_datasource("main")(body)()
    elif kind == "selection":
        with switch_datasource("main"):
            body()
    elif kind == "session":
        with db_session("main") as s:
            body(s)
    elif kind == "template-session":
        with SqlTemplate(ZorvaneConfig.datasource["main"]["db"]).get_session() as s:
            body(s)
    elif kind == "transactional-function":
        datasource("main", transactional=True)(body)()
    elif kind == "transactional-class":
        @datasource("main", transactional=True)
        class Service:
            def work(self):
                body()

        Service().work()
    else:
        raise AssertionError(kind)


KINDS = ["transaction", "transaction-decorator", "selection", "session", "template-session",
         "transactional-function", "transactional-class"]


@pytest.mark.parametrize("interrupt", INTERRUPTS)
@pytest.mark.parametrize("kind", KINDS)
def test_interrupted_scope_rolls_back_and_the_next_one_commits(main_ds, kind, interrupt):
    owns_rows = kind != "selection"  # a selection alone runs each statement in its own transaction
    raised = interrupt("stop")

    def body(s=None):
        if s is not None:
            s.execute(INSERT, {"name": "lost", "age": 1})
        else:
            write("lost")
        raise raised

    with pytest.raises(interrupt) as caught:
        run_in_scope(kind, body)
    assert caught.value is raised
    kelvor = ZorvaneConfig.datasource["main"]["kelvor"]
    assert kelvor._tx_depth.get() == 0 and kelvor.connection_local.get() is None
    assert get_current_db() == "side"
    assert main_ds.pool.checkedout() == 0

    def next_body(s=None):
        if s is not None:
            s.execute(INSERT, {"name": "kept", "age": 2})
        else:
            write("kept")

    run_in_scope(kind, next_body)
    assert names(main_ds) == (["kept"] if owns_rows else ["kept", "lost"])
    assert main_ds.pool.checkedout() == 0


@pytest.mark.parametrize("interrupt", INTERRUPTS)
def test_interrupt_in_a_nested_transaction_ends_the_whole_transaction(main_ds, interrupt):
    with pytest.raises(interrupt):
        with BaseMapper.switch_datasource("main"):
            write("outer")
            with BaseMapper.switch_datasource("main"):
                write("inner")
                raise interrupt()
    with BaseMapper.switch_datasource("main"):
        write("after")
    assert names(main_ds) == ["after"]
    assert main_ds.pool.checkedout() == 0


def test_failing_rollback_keeps_the_original_exception(main_ds):
    """A cleanup failure is attached to the exception that ended the block, not raised in its place."""
    raised = KeyboardInterrupt()
    kelvor = ZorvaneConfig.datasource["main"]["kelvor"]
    with pytest.raises(KeyboardInterrupt) as caught:
        with BaseMapper.switch_datasource("main"):
            write("lost")
            session = kelvor.connection_local.get()

            def broken():
                raise RuntimeError("rollback failed")

            session.rollback = broken
            raise raised
    assert caught.value is raised
    assert any("rollback failed" in note for note in caught.value.__notes__)
    assert kelvor._tx_depth.get() == 0 and kelvor.connection_local.get() is None
    assert main_ds.pool.checkedout() == 0 and count_rows(main_ds) == 0
