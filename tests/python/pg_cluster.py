"""A private PostgreSQL 15 cluster for one test run: initdb in a temporary
folder, a unix socket inside it and no TCP listener, run by an unprivileged
user (the Debian `postgres` account when the tests run as root), stopped
and removed whatever happened."""

from __future__ import annotations

import os
import pwd
import shutil
import subprocess
import tempfile
import time

BIN = "/usr/lib/postgresql/15/bin"
START_TIMEOUT_S = 60


class Cluster:
    def __init__(self, durable: bool = False) -> None:
        self.durable = durable
        if not os.path.exists(f"{BIN}/initdb"):
            raise RuntimeError(f"PostgreSQL 15 is not installed ({BIN}/initdb); run scripts/bootstrap.sh")
        self.user = pwd.getpwuid(os.geteuid()).pw_name
        self._as: list[str] = []
        if os.geteuid() == 0:
            self.user = "postgres"
            self._as = ["runuser", "-u", "postgres", "--"]
        self.root = tempfile.mkdtemp(prefix="velnor-pg-")
        self.data = os.path.join(self.root, "data")
        if self._as:
            entry = pwd.getpwnam("postgres")
            os.chown(self.root, entry.pw_uid, entry.pw_gid)
        os.chmod(self.root, 0o700)
        self.running = False
        self._databases = 0

    def _run(self, *args: str) -> None:
        # The server is not ours to instrument: the sanitizer runs preload
        # their runtimes into Python, and children would inherit them.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        subprocess.run([*self._as, *args], check=True, capture_output=True,
                       timeout=START_TIMEOUT_S, env=env)

    def init(self) -> None:
        self._run(f"{BIN}/initdb", "-D", self.data, "-U", self.user, "--auth=trust",
                  "--no-sync", "-E", "UTF8", "--locale=C")
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            # Durability across power loss is not what these tests look at:
            # atomicity and locking are, and fsync would only slow them.
            conf.write(f"listen_addresses = ''\nunix_socket_directories = '{self.root}'\n"
                       "max_connections = 60\n")
            if not self.durable:
                conf.write("fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n")
        self.start()

    def start(self) -> None:
        self._run(f"{BIN}/pg_ctl", "-D", self.data, "-l", os.path.join(self.root, "log"),
                  "-w", "-t", str(START_TIMEOUT_S), "start")
        self.running = True

    def stop(self, mode: str = "fast") -> None:
        self._run(f"{BIN}/pg_ctl", "-D", self.data, "-m", mode, "-w", "stop")
        self.running = False

    def url(self, dbname: str = "postgres") -> str:
        return f"postgresql:///{dbname}?host={self.root}&user={self.user}"

    def new_database(self) -> str:
        import psycopg

        self._databases += 1
        name = f"log{self._databases}"
        with psycopg.connect(self.url(), autocommit=True) as db:
            db.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def remove(self) -> None:
        try:
            if self.running:
                self.stop("immediate")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)


def wait_until(predicate, timeout_s: float = 30.0, step_s: float = 0.05) -> bool:
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step_s)
    return False
