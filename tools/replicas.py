"""Private replicated servers for the tests: a PostgreSQL primary with a streaming hot standby and a MariaDB
primary with a GTID replica, under build/replicas of this tree, on 127.0.0.1 ports of their own.

Usage: replicas.py start|stop|status

start makes what is missing (initdb and pg_basebackup -R; mariadb-install-db, copied for the replica) and
starts what is stopped; a second start finds them running. Each command prints one line per server:
"<kind> <role> <URL>". The shared servers on 3306 and 5432 are never touched. The ports are chosen once,
when the servers are first made (55432/55433 and 53306/53307, or the next free ones), and kept in
build/replicas/ports.json. Run as root: PostgreSQL runs as the `postgres` user, MariaDB as `mysql`.
"""
import contextlib
import fcntl
import json
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1] / "build" / "replicas"
PG_BIN = pathlib.Path("/usr/lib/postgresql/15/bin")
MARIADBD = "/usr/sbin/mariadbd"
PREFERRED = {"postgresql": (55432, 55433), "mysql": (53306, 53307)}
ROLES = ("primary", "replica")
PG_OPTIONS = "-c listen_addresses=127.0.0.1 -c unix_socket_directories='' -c fsync=off -c full_page_writes=off"


# What a sanitized test run sets for its own interpreter stays out of the servers and their tools.
ENV = {k: v for k, v in os.environ.items()
       if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH")}


class Unavailable(Exception):
    """A server pair that cannot be made or started on this machine."""


def _run(cmd, user=None, **kw):
    if user:
        cmd = ["runuser", "-u", user, "--", *cmd]
    r = subprocess.run(cmd, capture_output=True, text=True, env=ENV, **kw)
    if r.returncode:
        raise Unavailable(f"{' '.join(map(str, cmd))} failed: {(r.stderr or r.stdout).strip()[-600:]}")
    return r.stdout


def _port_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the servers do: closed connections may linger
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def _answers(port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def _ports(kind):
    """The (primary, replica) ports of `kind`: kept from the first start, else the preferred or next free pair."""
    path = ROOT / "ports.json"
    kept = json.loads(path.read_text()) if path.exists() else {}
    if kind in kept:
        return tuple(kept[kind])
    first, second = PREFERRED[kind]
    for step in range(0, 200, 10):
        pair = (first + step, second + step)
        if all(_port_free(p) for p in pair):
            kept[kind] = pair
            path.write_text(json.dumps(kept))
            return pair
    raise Unavailable(f"no free port pair near {first}/{second}")


def _owned_dir(path, user):
    path.mkdir(parents=True, exist_ok=True)
    entry = pwd.getpwnam(user)
    os.chown(path, entry.pw_uid, entry.pw_gid)


def _url(kind, port):
    if kind == "postgresql":
        return f"postgresql+psycopg://postgres@127.0.0.1:{port}/postgres"
    return f"mysql+pymysql://root@127.0.0.1:{port}/mysql"


def _wait(check, what, seconds=30.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    raise Unavailable(f"{what} did not come up within {seconds:.0f} s")


# ---- PostgreSQL ------------------------------------------------------------------------------------------

def _pg_dir(role):
    return ROOT / "pg" / role


def _pg_running(role):
    d = _pg_dir(role)
    return d.exists() and subprocess.run(["runuser", "-u", "postgres", "--", PG_BIN / "pg_ctl", "-D", d, "status"],
                                         capture_output=True, env=ENV).returncode == 0


def _pg_start(role, port):
    d = _pg_dir(role)
    _run([PG_BIN / "pg_ctl", "-D", d, "-l", ROOT / "pg" / f"{role}.log", "-w", "-t", "60",
          "-o", f"-c port={port} {PG_OPTIONS}", "start"], user="postgres")


def _pg_make(ports):
    base = ROOT / "pg"
    if (base / ".made").exists():
        return
    shutil.rmtree(base, ignore_errors=True)
    _owned_dir(base, "postgres")
    _run([PG_BIN / "initdb", "-D", _pg_dir("primary"), "-U", "postgres", "--auth=trust", "-E", "UTF8",
          "--no-sync", "--no-instructions"], user="postgres")
    _pg_start("primary", ports[0])
    _run([PG_BIN / "pg_basebackup", "-h", "127.0.0.1", "-p", str(ports[0]), "-U", "postgres", "-D",
          _pg_dir("replica"), "-R", "-X", "stream", "-c", "fast", "--no-sync"], user="postgres")
    (base / ".made").touch()


def _pg_stop(role):
    if _pg_running(role):
        _run([PG_BIN / "pg_ctl", "-D", _pg_dir(role), "-m", "fast", "-w", "stop"], user="postgres")


# ---- MariaDB ---------------------------------------------------------------------------------------------

def _my_dir(role):
    return ROOT / "mariadb" / role


def _my_pid(role):
    path = ROOT / "mariadb" / f"{role}.pid"
    try:
        pid = int(path.read_text().split()[0])
        os.kill(pid, 0)
        return pid
    except (OSError, ValueError, IndexError):
        return None


def _my_connect(port, **kw):
    import pymysql

    return pymysql.connect(host="127.0.0.1", port=port, user="root", password="", connect_timeout=2, **kw)


def _my_answers(port):
    try:
        _my_connect(port).close()
        return True
    except Exception:  # not up yet
        return False


def _my_start(role, port):
    base = ROOT / "mariadb"
    server_id = ROLES.index(role) + 1
    # setsid -f: the server runs on in a session of its own, a child of no one here.
    subprocess.run(
        ["setsid", "-f", MARIADBD, "--no-defaults", "--user=mysql", f"--datadir={_my_dir(role)}", f"--port={port}",
         "--bind-address=127.0.0.1", f"--socket={base / role}.sock", f"--pid-file={base / role}.pid",
         f"--log-error={base / role}.err", f"--server-id={server_id}", "--log-bin=binlog", "--gtid-strict-mode=1",
         "--binlog-format=ROW", "--skip-name-resolve", "--innodb-buffer-pool-size=64M",
         "--innodb-flush-log-at-trx-commit=2", "--sync-binlog=0", "--performance-schema=OFF"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, env=ENV)
    _wait(lambda: _my_answers(port), f"MariaDB {role} on port {port}")


def _my_make(ports):
    base = ROOT / "mariadb"
    if (base / ".made").exists():
        return
    shutil.rmtree(base, ignore_errors=True)
    _owned_dir(base, "mysql")
    _run(["mariadb-install-db", "--no-defaults", f"--datadir={_my_dir('primary')}", "--user=mysql",
          "--auth-root-authentication-method=normal", "--skip-test-db", "--skip-name-resolve"])
    # The replica starts as a copy of the fresh primary and then follows its binary log from the start.
    shutil.copytree(_my_dir("primary"), _my_dir("replica"), symlinks=True)
    entry = pwd.getpwnam("mysql")
    for path in [_my_dir("replica"), *_my_dir("replica").rglob("*")]:
        os.chown(path, entry.pw_uid, entry.pw_gid, follow_symlinks=False)
    _my_start("primary", ports[0])
    _my_start("replica", ports[1])
    with contextlib.closing(_my_connect(ports[1], autocommit=True)) as c, c.cursor() as cur:
        cur.execute(f"CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT={ports[0]}, MASTER_USER='root', "
                    "MASTER_PASSWORD='', MASTER_CONNECT_RETRY=1, MASTER_USE_GTID=slave_pos")
        cur.execute("START SLAVE")
    (base / ".made").touch()


def _my_stop(role):
    pid = _my_pid(role)
    if pid is None:
        return
    os.kill(pid, signal.SIGTERM)
    _wait(lambda: _my_pid(role) is None, f"MariaDB {role} to stop")


# ---- both ------------------------------------------------------------------------------------------------

KINDS = {
    "postgresql": dict(present=lambda: (PG_BIN / "initdb").exists(), make=_pg_make, running=_pg_running,
                       start=_pg_start, stop=_pg_stop, user="postgres"),
    "mysql": dict(present=lambda: os.path.exists(MARIADBD) and shutil.which("mariadb-install-db") is not None,
                  make=_my_make, running=lambda role: _my_pid(role) is not None, start=_my_start, stop=_my_stop,
                  user="mysql"),
}


@contextlib.contextmanager
def _locked(name=".lock"):
    ROOT.mkdir(parents=True, exist_ok=True)
    with open(ROOT / name, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


def exclusive():
    """Held by a test that pauses or stops a server, so that another run in this tree waits for it."""
    return _locked(".tests.lock")


def start_server(kind, role):
    """Starts one server of a made pair when it is stopped."""
    k = KINDS[kind]
    if not k["running"](role):
        k["start"](role, _ports(kind)[ROLES.index(role)])


def stop_server(kind, role):
    KINDS[kind]["stop"](role)


def ensure_kind(kind):
    """{"primary": URL, "replica": URL} of `kind`, made and started as needed; Unavailable when it cannot be."""
    k = KINDS[kind]
    if os.geteuid() != 0:
        raise Unavailable("the replica servers are started as root (they run as the postgres and mysql users)")
    if not k["present"]():
        raise Unavailable(f"the {kind} server programs are not installed")
    try:
        pwd.getpwnam(k["user"])
    except KeyError:
        raise Unavailable(f"no user {k['user']}") from None
    with _locked():
        ports = _ports(kind)
        for role, port in zip(ROLES, ports):
            if not k["running"](role) and _answers(port):
                raise Unavailable(f"port {port} is taken by another server")
        k["make"](ports)
        for role in ROLES:
            start_server(kind, role)
        return {role: _url(kind, port) for role, port in zip(ROLES, ports)}


def ensure():
    """{kind: {"primary": URL, "replica": URL} or the Unavailable of that kind}."""
    out = {}
    for kind in KINDS:
        try:
            out[kind] = ensure_kind(kind)
        except Unavailable as e:
            out[kind] = e
    return out


def stop():
    if not ROOT.exists():
        return
    with _locked():
        for kind, k in KINDS.items():
            for role in reversed(ROLES):
                try:
                    k["stop"](role)
                except Unavailable as e:
                    print(f"{kind} {role}: {e}", file=sys.stderr)


def main(argv):
    command = argv[0] if argv else "status"
    if command == "stop":
        stop()
        return 0
    if command not in ("start", "status"):
        print(__doc__, file=sys.stderr)
        return 2
    failed = 0
    started = ensure() if command == "start" else {}
    for kind, k in KINDS.items():
        if command == "start":
            got = started[kind]
        else:
            path = ROOT / "ports.json"
            ports = json.loads(path.read_text()).get(kind) if path.exists() else None
            got = ({role: _url(kind, p) for role, p in zip(ROLES, ports)}
                   if ports and all(k["running"](r) for r in ROLES) else Unavailable("not running"))
        if isinstance(got, Unavailable):
            failed = 1
            print(f"{kind}: {got}", file=sys.stderr)
            continue
        for role in ROLES:
            print(f"{kind} {role} {got[role]}")
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
