"""A private PostgreSQL cluster for the tests: its own data directory, socket directory and port
on 127.0.0.1, started and stopped by the tests themselves.

The server refuses to run as root, so when the tests run as root the cluster belongs to the
`postgres` user that Debian's package creates, and every server program runs as that user.
"""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

# Debian puts the server programs here, outside PATH; another pg_ctl on PATH may be something else.
_DEBIAN_BINARIES = "/usr/lib/postgresql/*/bin"


# The sanitizer run preloads its runtime into the interpreter through the environment; the
# database server is not ours to instrument, and must not inherit it.
_SERVER_ENVIRONMENT = {name: value for name, value in os.environ.items()
                       if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def binaries() -> Path:
    """The directory of initdb and pg_ctl: $DID_VEK_PG_BIN, else Debian's newest PostgreSQL."""
    if configured := os.environ.get("DID_VEK_PG_BIN"):
        found = [configured]
    else:
        found = sorted(glob.glob(_DEBIAN_BINARIES), key=lambda path: int(path.split("/")[-2]))
    for directory in reversed(found):
        if (Path(directory) / "initdb").is_file() and (Path(directory) / "pg_ctl").is_file():
            return Path(directory)
    raise RuntimeError(f"no PostgreSQL server programs (initdb, pg_ctl) in {_DEBIAN_BINARIES} or $DID_VEK_PG_BIN: "
                       "scripts/setup.sh installs Debian's postgresql package")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


class PostgresServer:
    """A throw-away cluster; `url(database)` connects to it over TCP on 127.0.0.1."""

    def __init__(self) -> None:
        self.bin = binaries()
        self.root = Path(tempfile.mkdtemp(prefix="did-vek-pg-"))
        self.data = self.root / "data"
        self.sockets = self.root / "sockets"
        self.log = self.root / "server.log"
        self.port = free_port()
        self._prefix: list[str] = []
        if os.geteuid() == 0:
            owner = pwd.getpwnam("postgres")
            self._prefix = ["runuser", "-u", "postgres", "--"]
            os.chown(self.root, owner.pw_uid, owner.pw_gid)
        self.sockets.mkdir()
        if self._prefix:
            os.chown(self.sockets, pwd.getpwnam("postgres").pw_uid, -1)
        # No fsync at initdb only: the template files are made again for every test session.
        self._run("initdb", "-D", str(self.data), "-U", "postgres", "-A", "trust", "-E", "UTF8",
                  "--locale=C", "--no-sync")

    def _run(self, program: str, *arguments: str) -> None:
        command = [*self._prefix, str(self.bin / program), *arguments]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=self.root,
                                env=_SERVER_ENVIRONMENT)
        if result.returncode != 0:
            log = self.log.read_text() if self.log.exists() else ""
            raise RuntimeError(f"{program} failed ({result.returncode}): {result.stderr.strip()}\n{log}")

    def start(self) -> None:
        options = f"-k {self.sockets} -h 127.0.0.1 -p {self.port} -c max_connections=200"
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.log), "-o", options, "-w", "-t", "60", "start")

    def stop(self) -> None:
        """Fast shutdown: open transactions are rolled back, clients disconnected."""
        self._run("pg_ctl", "-D", str(self.data), "-m", "fast", "-w", "-t", "60", "stop")

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def execute(self, statement: str, database: str = "postgres") -> None:
        """Runs one statement outside a transaction (CREATE/DROP DATABASE need that)."""
        import psycopg
        with psycopg.connect(self.url(database), autocommit=True, connect_timeout=5) as connection:
            connection.execute(statement)  # type: ignore[arg-type]

    def running(self) -> bool:
        return (self.data / "postmaster.pid").exists()

    def destroy(self) -> None:
        try:
            if self.running():
                self.stop()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
