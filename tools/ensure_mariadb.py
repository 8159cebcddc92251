"""Make sure the MariaDB server for the tests answers; start it when it is installed and stopped."""
import os
import shutil
import subprocess
import sys
import time

import pymysql

HOST, PORT, USER = "127.0.0.1", 3306, "root"
DAEMON = "/usr/sbin/mariadbd"


def reachable() -> bool:
    try:
        pymysql.connect(host=HOST, port=PORT, user=USER, password="", connect_timeout=2).close()
        return True
    except pymysql.err.OperationalError:
        return False


def main() -> int:
    if reachable():
        return 0
    if not os.path.exists(DAEMON):
        print(f"MariaDB is not reachable at {HOST}:{PORT} and {DAEMON} is not installed", file=sys.stderr)
        return 1
    print("starting MariaDB")
    ssd = shutil.which("start-stop-daemon") or "/sbin/start-stop-daemon"
    subprocess.run([ssd, "--start", "--oknodo", "--background", "--exec", DAEMON], check=True)
    for _ in range(60):
        time.sleep(1)
        if reachable():
            return 0
    print(f"MariaDB did not come up at {HOST}:{PORT}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
