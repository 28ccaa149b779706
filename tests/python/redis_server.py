"""A private Redis server for one test run: redis-server (Debian's 7.0) on a
unix socket in a temporary folder and on a free port of 127.0.0.1, with no
persistence, stopped and removed whatever happened. `command` is a minimal
RESP client so the tests need no Redis library."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time

SERVER = shutil.which("redis-server") or "/usr/bin/redis-server"
START_TIMEOUT_S = 30


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _read_reply(f):
    line = f.readline()
    if not line.endswith(b"\r\n"):
        raise ConnectionError("connection closed")
    kind, rest = line[:1], line[1:-2]
    if kind == b"+":
        return rest.decode()
    if kind == b"-":
        raise RuntimeError(rest.decode())
    if kind == b":":
        return int(rest)
    if kind == b"$":
        n = int(rest)
        return None if n < 0 else f.read(n + 2)[:-2]
    if kind == b"*":
        n = int(rest)
        return None if n < 0 else [_read_reply(f) for _ in range(n)]
    raise RuntimeError(f"bad reply {line!r}")


def encode(*args) -> bytes:
    out = [b"*%d\r\n" % len(args)]
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out.append(b"$%d\r\n%s\r\n" % (len(a), a))
    return b"".join(out)


class Server:
    def __init__(self, password: str | None = None) -> None:
        if not os.path.exists(SERVER):
            raise RuntimeError("redis-server is not installed; run scripts/bootstrap.sh")
        self.root = tempfile.mkdtemp(prefix="velnor-redis-")
        self.socket = os.path.join(self.root, "redis.sock")
        self.password = password
        self.port = 0
        self.proc: subprocess.Popen | None = None

    @property
    def unix_url(self) -> str:
        return f"unix://{self.socket}"

    @property
    def tcp_url(self) -> str:
        auth = f":{self.password}@" if self.password else ""
        return f"redis://{auth}127.0.0.1:{self.port}"

    def start(self) -> None:
        # The same port across restarts, so stores keep their URL.
        for attempt in range(5):
            if not self.port or attempt:
                self.port = free_port()
            args = [SERVER, "--bind", "127.0.0.1", "--port", str(self.port),
                    "--unixsocket", self.socket, "--unixsocketperm", "700",
                    "--save", "", "--appendonly", "no", "--dir", self.root,
                    "--maxmemory-policy", "noeviction", "--logfile", os.path.join(self.root, "log")]
            if self.password:
                args += ["--requirepass", self.password]
            env = {k: v for k, v in os.environ.items()
                   if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
            self.proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + START_TIMEOUT_S
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    if self.command("PING") == "PONG":
                        return
                except (OSError, ConnectionError):
                    pass
                except RuntimeError as e:  # NOAUTH before requirepass is seen
                    if "NOAUTH" not in str(e):
                        raise
                time.sleep(0.02)
            self.stop()  # the port was taken meanwhile: try another
        raise RuntimeError("redis-server did not start")

    def command(self, *args, timeout: float = 5.0):
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(timeout)
            s.connect(self.socket)
            f = s.makefile("rb")
            if self.password:
                s.sendall(encode("AUTH", self.password))
                _read_reply(f)
            s.sendall(encode(*args))
            return _read_reply(f)

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=START_TIMEOUT_S)
        self.proc = None
        try:
            os.unlink(self.socket)
        except FileNotFoundError:
            pass

    def remove(self) -> None:
        try:
            self.stop()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
