"""Money transfers per second through @datasource(transactional=True), with and without retries.

Eight threads each make 200 transfers between 10 accounts (PostgreSQL at SERIALIZABLE, one UPDATE of
both accounts; MariaDB two UPDATEs in random order, which deadlock): without retries the transfers
that conflict fail, and only the committed ones count; with retries=10 every one commits. One thread
alone shows what the retry machinery costs when nothing conflicts. Server URLs come from MYSQL_URL and
POSTGRES_URL; each run works in a private database. The sides alternate; best and median of the rounds."""
import concurrent.futures
import logging
import random
import statistics
import time

import sqlalchemy as sa

from _fixtures import declaration, drop_database, private_database, server_urls
from _timing import header
from zorvane.zorvane import DBConfig, ZorvaneConfig, datasource, insert, update

ROUNDS = 5
SERIALIZABLE = {"options": "-c default_transaction_isolation=serializable"}


class Bank:
    @update("UPDATE account SET balance = balance + #{delta} WHERE id = #{id}")
    def move(self, id: int, delta: int) -> int: ...

    @update("UPDATE account SET balance = balance + CASE WHEN id = #{src} THEN -#{amount} ELSE #{amount} END "
            "WHERE id IN (#{src}, #{dst})")
    def both(self, src: int, dst: int, amount: int) -> int: ...

    @insert("INSERT INTO ledger (tid, src, dst, amount) VALUES (#{tid}, #{src}, #{dst}, #{amount})")
    def record(self, tid: str, src: int, dst: int, amount: int) -> int: ...


def transfer_body(kind):
    bank = Bank()

    def body(tid, src, dst, amount, flip):
        if kind == "postgresql":
            bank.both(src, dst, amount)
        else:
            for id, delta in ((dst, amount), (src, -amount)) if flip else ((src, -amount), (dst, amount)):
                bank.move(id, delta)
        bank.record(tid, src, dst, amount)

    return body


def rate(kind, transfer, threads, per_thread, tag):
    """(committed transfers per second, failed transfers) of one round."""
    rnd = random.Random(tag)
    plans = [[(f"{tag}-{w}-{i}", *rnd.sample(range(10), 2), rnd.randint(1, 50), rnd.random() < 0.5)
              for i in range(per_thread)] for w in range(threads)]

    def work(plan):
        failed = 0
        for t in plan:
            try:
                transfer(*t)
            except sa.exc.DBAPIError:
                failed += 1
        return failed

    t0 = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        failed = sum(pool.map(work, plans))
    seconds = time.perf_counter() - t0
    return (threads * per_thread - failed) / seconds, failed


def run(kind):
    engine = ZorvaneConfig.datasource[kind]["db"]
    with engine.begin() as c:
        c.exec_driver_sql("CREATE TABLE account (id INT PRIMARY KEY, balance INT NOT NULL)")
        c.exec_driver_sql("CREATE TABLE ledger (tid VARCHAR(40) PRIMARY KEY, src INT, dst INT, amount INT)")
        c.exec_driver_sql("INSERT INTO account VALUES " + ", ".join(f"({i}, 1000000)" for i in range(10)))
    body = transfer_body(kind)
    sides = {
        "1 thread, retries=0": (1, 800, datasource(kind, transactional=True)(body)),
        "1 thread, retries=10": (1, 800, datasource(kind, transactional=True, retries=10)(body)),
        "8 threads, retries=0 (conflicts fail)": (8, 200, datasource(kind, transactional=True)(body)),
        "8 threads, retries=10": (8, 200, datasource(kind, transactional=True, retries=10)(body)),
        "8 threads, retries=10, retry_base_s=0.05": (
            8, 200, datasource(kind, transactional=True, retries=10, retry_base_s=0.05)(body)),
    }
    results = {label: [] for label in sides}
    for r in range(ROUNDS):
        for i, (label, (threads, per_thread, transfer)) in enumerate(sides.items()):
            results[label].append(rate(kind, transfer, threads, per_thread, f"{r}-{i}"))
    header(f"{kind}: committed transfers per second ({ROUNDS} alternating rounds; best, median; failed per round)")
    for label, runs in results.items():
        rates = [r for r, _ in runs]
        failed = [f for _, f in runs]
        print(f"   {label:<44} best {max(rates):7.0f}/s  median {statistics.median(rates):7.0f}/s  failed {failed}")


logging.getLogger("zorvane.sql").setLevel(logging.WARNING)
servers = server_urls()
made = {kind: private_database(base) for kind, base in servers.items()}
declared = {kind: declaration(url) for kind, (_, _, url) in made.items()}
if "postgresql" in declared:
    declared["postgresql"]["connect_args"] = SERIALIZABLE
try:
    if declared:
        ZorvaneConfig(DBConfig(primary=next(iter(declared)), **declared))
    for kind in declared:
        run(kind)
    if not declared:
        print("bench_retries needs MYSQL_URL or POSTGRES_URL")
finally:
    for kind, (admin, name, _) in made.items():
        ZorvaneConfig.datasource.get(kind, {}).get("db", admin).dispose()
        drop_database(admin, name)
