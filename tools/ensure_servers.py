"""Make sure the database servers for the tests answer; start local ones that are installed and stopped.

Usage: ensure_servers.py URL...   (SQLAlchemy URLs; the mysql and postgresql ones are checked)

The private replica pairs of tools/replicas.py are started too; when they cannot be, the tests that need
them skip, so that is told and not an error.
"""
import glob
import os
import shutil
import subprocess
import sys
import time

import sqlalchemy as sa

LOCAL = {"127.0.0.1", "localhost", "::1"}


def reachable(url) -> bool:
    # The driver alone: a pooled engine is more than a probe needs.
    try:
        if url.get_backend_name() == "mysql":
            import pymysql
            pymysql.connect(host=url.host, port=url.port or 3306, user=url.username, password=url.password or "",
                            connect_timeout=2).close()
        else:
            import psycopg
            psycopg.connect(host=url.host, port=url.port or 5432, user=url.username, password=url.password,
                            dbname=url.database, connect_timeout=2).close()
        return True
    except Exception:  # any connect failure means "not yet"
        return False


def start_mariadb() -> bool:
    daemon = "/usr/sbin/mariadbd"
    if not os.path.exists(daemon):
        return False
    ssd = shutil.which("start-stop-daemon") or "/sbin/start-stop-daemon"
    subprocess.run([ssd, "--start", "--oknodo", "--background", "--exec", daemon], check=True)
    return True


def start_postgres() -> bool:
    versions = sorted(os.path.basename(p) for p in glob.glob("/etc/postgresql/*"))
    if not versions or not shutil.which("pg_ctlcluster"):
        return False
    subprocess.run(["pg_ctlcluster", "--skip-systemctl-redirect", versions[-1], "main", "start"], check=False)
    return True


START = {"mysql": ("MariaDB", start_mariadb), "postgresql": ("PostgreSQL", start_postgres)}


def ensure(url) -> int:
    name, start = START[url.get_backend_name()]
    where = f"{url.host}:{url.port}"
    if reachable(url):
        return 0
    if url.host not in LOCAL or not start():
        print(f"{name} is not reachable at {where} and cannot be started here", file=sys.stderr)
        return 1
    print(f"starting {name}")
    for _ in range(60):
        time.sleep(1)
        if reachable(url):
            return 0
    print(f"{name} did not come up at {where}", file=sys.stderr)
    return 1


def main(argv) -> int:
    urls = [sa.make_url(a) for a in argv]
    status = max((ensure(u) for u in urls if u.get_backend_name() in START), default=0)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import replicas

    for kind, got in replicas.ensure().items():
        if isinstance(got, replicas.Unavailable):
            print(f"{kind} replica pair not started ({got}): its tests will skip", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
