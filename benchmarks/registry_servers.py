"""The servers the registry benchmarks measure, each in a process group of its own on 127.0.0.1.

The registry as users run it (`python -m did_vek.registry`), a bare ASGI application under the
same uvicorn settings, nginx serving files, and a private PostgreSQL cluster (the tests' own).
"""

from __future__ import annotations

import atexit
import http.client
import importlib.util
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from types import ModuleType
from typing import Any

HERE = Path(__file__).resolve().parent
HOST = "127.0.0.1"
_POSTGRES_HELPER = HERE.parent / "tests" / "python" / "registry" / "postgres_server.py"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        port: int = probe.getsockname()[1]
        return port


class ServerProcess:
    """`command` in a new session, ready once `ready_path` answers `ready_status` (200 for most);
    stopped with its workers."""

    def __init__(self, name: str, command: list[str], port: int, ready_path: str, *,
                 cwd: Path | None = None, env: dict[str, str] | None = None, own_directory: Path | None = None,
                 ready_status: int = 200) -> None:
        self.name, self.command, self.port, self.ready_path = name, command, port, ready_path
        self.ready_status = ready_status
        self.cwd, self.env = cwd, env
        self.own_directory = own_directory  # the server's configuration and state, removed when it stops
        self.process: subprocess.Popen[bytes] | None = None
        self._stderr = tempfile.TemporaryFile()

    def __enter__(self) -> "ServerProcess":
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def url(self, path: str = "") -> str:
        return f"http://{HOST}:{self.port}{path}"

    def start(self, timeout: float = 60.0) -> None:
        self.process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=self._stderr,
                                        cwd=self.cwd, env=self.env, start_new_session=True)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.process.returncode}: {self.errors()}")
            if self._answers():
                return
            time.sleep(0.05)
        errors = self.errors()
        self.stop()
        raise RuntimeError(f"{self.name} did not answer on port {self.port} within {timeout} s: {errors}")

    def _answers(self) -> bool:
        connection = http.client.HTTPConnection(HOST, self.port, timeout=2)
        try:
            connection.request("GET", self.ready_path)
            return connection.getresponse().status == self.ready_status
        except OSError:
            return False
        finally:
            connection.close()

    def errors(self) -> str:
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace").strip()[-2000:]

    def stop(self) -> None:
        """Stops the server and every process of its group; returns once none of them runs, so
        that the next measurement does not share the cores with workers still shutting down."""
        if self.process is not None:
            self._end(self.process)
            self.process = None
        self._stderr.close()
        if self.own_directory is not None:
            shutil.rmtree(self.own_directory, ignore_errors=True)

    @staticmethod
    def _end(process: "subprocess.Popen[bytes]") -> None:
        group = process.pid
        if process.poll() is None:
            os.killpg(group, signal.SIGTERM)
        deadline = time.monotonic() + 20
        while (process.poll() is None or _group_running(group)) and time.monotonic() < deadline:
            time.sleep(0.05)
        if process.poll() is None or _group_running(group):
            os.killpg(group, signal.SIGKILL)
            process.wait(20)


def _group_running(group: int) -> bool:
    """Whether a process of the process group `group` still runs (a zombie has ended)."""
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            # The fields after the command's closing parenthesis: state, parent, process group, ...
            state, _, process_group = (entry / "stat").read_text().rsplit(")", 1)[1].split()[:3]
        except (OSError, ValueError):
            continue
        if int(process_group) == group and state != "Z":
            return True
    return False


def registry(db: str, workers: int, *, witnesses: Sequence[tuple[str, str]] = (),
             quorum: int | None = None, http_parser: str | None = None) -> ServerProcess:
    """`did-vek serve` on `db`; a PostgreSQL store signs its log with the benchmarks' own log key
    (a SQLite store keeps its key beside its file). With `witnesses` ((vkey, URL) pairs), each
    checkpoint waits for `quorum` of their cosignatures; with `http_parser`, on that parser rather
    than the one it chooses."""
    from did_vek.registry.server import HTTP_PARSER_VARIABLE
    port = free_port()
    command = [sys.executable, "-m", "did_vek", "serve", "--db", db, "--host", HOST, "--port", str(port),
               "--workers", str(workers)]
    if db.startswith(("postgresql://", "postgres://")):
        command += ["--log-key", str(bench_log_key())]
    for vkey, url in witnesses:
        command += ["--witness", vkey, url]
    if quorum is not None:
        command += ["--quorum", str(quorum)]
    env = None if http_parser is None else {**os.environ, HTTP_PARSER_VARIABLE: http_parser}
    return ServerProcess(f"registry on {db.split('://')[0] if '://' in db else 'SQLite'}", command, port,
                         "/healthz", env=env)


def bench_log_key() -> Path:
    """A log key file shared by every PostgreSQL registry of a run (their databases are new each
    run), made once per run in the temporary directory."""
    from did_vek._keyfile import write_secret
    path = Path(tempfile.gettempdir()) / f"did-vek-bench-log-key-{os.getpid()}"
    if not path.exists():
        write_secret(str(path), secrets.token_bytes(32).hex(), replace=False)
        atexit.register(path.unlink, missing_ok=True)
    return path


def registry_sqlite_normal(path: str, workers: int) -> ServerProcess:
    """The registry on SQLite with synchronous=NORMAL, under the settings `serve` gives uvicorn."""
    from registry_variants import DB_VARIABLE
    port = free_port()
    return ServerProcess("registry on SQLite, synchronous=NORMAL",
                         [*_uvicorn("registry_variants:sqlite_normal", port, workers), "--factory"],
                         port, "/healthz", env={**os.environ, DB_VARIABLE: path})


def _uvicorn(app: str, port: int, workers: int, stack: tuple[str, str] | None = None) -> list[str]:
    """uvicorn's command line with the settings `did_vek.registry.serve` gives it; with `stack`,
    another HTTP parser and event loop than those it chooses."""
    from did_vek.registry.server import event_loop, http_parser
    http, loop = stack or (http_parser(), event_loop())
    return [sys.executable, "-m", "uvicorn", app, "--app-dir", str(HERE), "--host", HOST, "--port", str(port),
            "--workers", str(workers), "--log-level", "warning", "--no-proxy-headers", "--no-server-header",
            "--http", http, "--loop", loop]


# uvicorn's pure-Python HTTP parser and the standard event loop: what runs without uvloop.
PURE_PYTHON_STACK = ("h11", "asyncio")


def bare_asgi(workers: int, stack: tuple[str, str] | None = None, app: str = "bare_asgi:app") -> ServerProcess:
    """The fixed-bytes application (or another of `bare_asgi`'s) served as `did-vek serve` serves
    the registry; with `stack`, by uvicorn on that HTTP parser and event loop."""
    port = free_port()
    command = (_uvicorn(app, port, workers, stack) if stack is not None
               else [sys.executable, str(HERE / "bare_asgi.py"), str(port), str(workers), app.partition(":")[2]])
    return ServerProcess("bare ASGI app", command, port, "/", cwd=HERE,
                         ready_status=201 if app.endswith(":created") else 200)


def witness(name: str, directory: Path, key: Path, log_vkey: str) -> ServerProcess:
    """`did-vek witness` of the log `log_vkey`, its state in `directory`; ready once it answers
    at all (it serves only POST /add-checkpoint)."""
    port = free_port()
    return ServerProcess(f"witness {name}", [sys.executable, "-m", "did_vek", "witness", "--name", name,
                                             "--db", str(directory / f"{name.replace('/', '-')}.sqlite3"),
                                             "--key", str(key),
                                             "--log", log_vkey, "--host", HOST, "--port", str(port)],
                         port, "/add-checkpoint", ready_status=405)


def registry_on_stack(db: str, workers: int, stack: tuple[str, str]) -> ServerProcess:
    """The registry as `serve` runs it, but on the HTTP parser and event loop of `stack`."""
    from did_vek.registry.server import DB_VARIABLE
    port = free_port()
    return ServerProcess(f"registry on {stack[0]} and {stack[1]}",
                         [*_uvicorn("did_vek.registry.server:app_from_environment", port, workers, stack), "--factory"],
                         port, "/healthz", env={**os.environ, DB_VARIABLE: db, **_log_key_variable(db)})


def _log_key_variable(db: str) -> dict[str, str]:
    from did_vek.registry.log_key import LOG_KEY_VARIABLE
    return {LOG_KEY_VARIABLE: str(bench_log_key())} if db.startswith(("postgresql://", "postgres://")) else {}


_NGINX_CONFIG = """\
worker_processes {workers};
daemon off;
pid {root}/nginx.pid;
error_log stderr warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path {root}/body;
    proxy_temp_path {root}/proxy;
    fastcgi_temp_path {root}/fastcgi;
    uwsgi_temp_path {root}/uwsgi;
    scgi_temp_path {root}/scgi;
    types {{ }}
    default_type application/did-resolution;
    server {{
        listen {host}:{port};
        root {tree};
        location = /healthz {{ return 200 "ok"; }}
    }}
}}
"""


def nginx(tree: Path, workers: int) -> ServerProcess:
    """nginx serving the files under `tree` by their paths, configured in a directory of its own."""
    binary = shutil.which("nginx") or "/usr/sbin/nginx"
    root = Path(tempfile.mkdtemp(prefix="did-vek-nginx-"))
    port = free_port()
    (root / "nginx.conf").write_text(_NGINX_CONFIG.format(workers=workers, root=root, host=HOST, port=port,
                                                          tree=tree))
    # Run as root, nginx's workers take another user, who must be able to read the files.
    for directory in (root, tree):
        directory.chmod(0o755)
    return ServerProcess("nginx", [binary, "-p", str(root), "-c", str(root / "nginx.conf"), "-e", "stderr"],
                         port, "/healthz", own_directory=root)


def _load(path: Path, name: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _postgres_helper() -> ModuleType:
    return _load(_POSTGRES_HELPER, "did_vek_bench_postgres_server")


def postgres_binaries() -> Path:
    """Where the PostgreSQL server programs are (their directory names the version)."""
    directory: Path = _postgres_helper().binaries()
    return directory


def postgres_server() -> Any:
    """A private PostgreSQL cluster, the one the registry's tests start: `start()`, `url(db)`,
    `execute(sql)`, `destroy()`."""
    return _postgres_helper().PostgresServer()
