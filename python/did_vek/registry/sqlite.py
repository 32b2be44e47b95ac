"""The registry's versions in one SQLite file, through the standard library's `sqlite3`.

Every thread has a connection of its own: a `sqlite3` connection used by two threads at once
is not safe, and one connection per thread lets readers run beside a writer under WAL. Appends
take the database's write lock before they read the last version (`BEGIN IMMEDIATE`), so the
version that `decide` judges is the one the new version follows, in this process or any other
on the same file. Holding that lock also makes `seq` grow in commit order: no version can
commit with a smaller `seq` after a larger one is visible, so an export page that ends at some
`seq` never skips a version that commits later.
"""

import sqlite3
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager

from .store import Decide, StoreBusy, StoredVersion, StoreUnavailable

# AUTOINCREMENT: a seq is never given twice, not even after the newest row went away.
_SCHEMA = """
CREATE TABLE IF NOT EXISTS versions (
    seq          INTEGER PRIMARY KEY AUTOINCREMENT,
    did          TEXT    NOT NULL,
    version      INTEGER NOT NULL,
    version_time TEXT    NOT NULL,
    created      TEXT    NOT NULL,
    signed       TEXT    NOT NULL,
    deactivates  INTEGER NOT NULL,
    UNIQUE (did, version)
)
"""
_COLUMNS = "did, version, seq, version_time, created, signed, deactivates"
# How long a writer waits for another connection's write lock before the store reports itself
# busy. A process frozen while it holds the lock holds it as long as it is frozen: the others
# then answer 503 after this wait instead of queueing without end.
BUSY_TIMEOUT_SECONDS = 5.0
_SYNCHRONOUS = ("FULL", "NORMAL")


def _switch_to_wal(connection: sqlite3.Connection) -> None:
    """Puts the file in WAL mode (a no-op once it is). Switching takes the file's exclusive lock,
    and SQLite answers "database is locked" at once, without its busy wait, while another
    connection holds it, as when several threads or processes open a new file together; so
    this waits here, as long as for any other lock."""
    deadline = time.monotonic() + BUSY_TIMEOUT_SECONDS
    while True:
        try:
            connection.execute("PRAGMA journal_mode=WAL")
            return
        except sqlite3.OperationalError as error:
            if error.sqlite_errorcode & 0xFF != sqlite3.SQLITE_BUSY or time.monotonic() > deadline:
                raise
        time.sleep(0.01)


def _row(row: tuple[str, int, int, str, str, str, int]) -> StoredVersion:
    did, version, seq, version_time, created, signed, deactivates = row
    return StoredVersion(did=did, version=version, seq=seq, version_time=version_time,
                         created=created, signed=signed, deactivates=bool(deactivates))


class SqliteStore:
    """The `Store` on a SQLite file at `path`, created with its table on first use.

    `synchronous` is how hard each commit pushes to the disk. "FULL" (the default) syncs the
    write-ahead log at every commit: an acknowledged version survives a killed process and a
    power loss. "NORMAL" syncs only at checkpoints: faster, and it survives a killed process,
    but a power loss can take the last acknowledged versions.
    """

    # Reads take microseconds and never wait for a writer under WAL: no worker thread needed.
    reads_inline = True

    def __init__(self, path: str, *, synchronous: str = "FULL") -> None:
        if synchronous not in _SYNCHRONOUS:
            raise ValueError(f"synchronous must be one of {', '.join(_SYNCHRONOUS)}, not {synchronous!r}")
        self.path = path
        self._synchronous = synchronous
        self._local = threading.local()
        self._connections: list[sqlite3.Connection] = []
        self._lock = threading.Lock()
        self._closed = False

    def _connection(self) -> sqlite3.Connection:
        connection: sqlite3.Connection | None = getattr(self._local, "connection", None)
        if connection is not None:
            return connection
        with self._lock:
            if self._closed:
                raise StoreUnavailable("the store is closed")
            # isolation_level=None: no implicit transactions; every transaction is spelled out.
            # check_same_thread=False only so that close() may close it from another thread.
            connection = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None,
                                         check_same_thread=False)
            try:
                _switch_to_wal(connection)
                connection.execute(f"PRAGMA synchronous={self._synchronous}")
                # In a write transaction taken up front, which waits for other writers: a lone
                # CREATE reads first and cannot wait when another connection writes meanwhile.
                connection.execute("BEGIN IMMEDIATE")
                connection.execute(_SCHEMA)
                connection.execute("COMMIT")
            except BaseException:
                connection.close()
                raise
            self._connections.append(connection)
        self._local.connection = connection
        return connection

    @contextmanager
    def _failures(self) -> Iterator[None]:
        """Reports every engine failure as `StoreUnavailable`, in one line."""
        try:
            yield
        except sqlite3.Error as error:
            message = f"SQLite {self.path}: {error}".splitlines()[0]
            if getattr(error, "sqlite_errorcode", 0) & 0xFF == sqlite3.SQLITE_BUSY:
                raise StoreBusy(f"{message} (waited {BUSY_TIMEOUT_SECONDS:g} s)") from error
            raise StoreUnavailable(message) from error

    def _one(self, query: str, parameters: tuple[object, ...]) -> StoredVersion | None:
        # The read of every resolution: spelled out rather than through _failures, which costs
        # more than the query itself.
        try:
            row = self._connection().execute(query, parameters).fetchone()
        except sqlite3.Error as error:
            raise StoreUnavailable(f"SQLite {self.path}: {error}".splitlines()[0]) from error
        return None if row is None else _row(row)

    def _all(self, query: str, parameters: tuple[object, ...]) -> list[StoredVersion]:
        with self._failures():
            rows = self._connection().execute(query, parameters).fetchall()
        return [_row(row) for row in rows]

    def last(self, did: str) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM versions WHERE did = ? ORDER BY version DESC LIMIT 1", (did,))

    def version(self, did: str, version: int) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM versions WHERE did = ? AND version = ?", (did, version))

    def at_time(self, did: str, version_time: str) -> StoredVersion | None:
        # Version times grow with the version and share one layout, so text order is time order.
        return self._one(f"SELECT {_COLUMNS} FROM versions WHERE did = ? AND version_time <= ?"
                         " ORDER BY version DESC LIMIT 1", (did, version_time))

    def log(self, did: str, after: int = 0, limit: int | None = None) -> list[StoredVersion]:
        # LIMIT -1: no limit.
        return self._all(f"SELECT {_COLUMNS} FROM versions WHERE did = ? AND version > ? ORDER BY version LIMIT ?",
                         (did, after, -1 if limit is None else limit))

    def export(self, after: int, limit: int) -> list[StoredVersion]:
        return self._all(f"SELECT {_COLUMNS} FROM versions WHERE seq > ? ORDER BY seq LIMIT ?", (after, limit))

    def append(self, did: str, decide: Decide) -> StoredVersion:
        with self._failures():
            connection = self._connection()
            # The write lock is held from the read of the last version to the commit, so no other
            # writer can take this version number in between: there is nothing to run again.
            connection.execute("BEGIN IMMEDIATE")
            try:
                row = connection.execute(f"SELECT {_COLUMNS} FROM versions WHERE did = ?"
                                         " ORDER BY version DESC LIMIT 1", (did,)).fetchone()
                last = None if row is None else _row(row)
                new = decide(last)
                number = 1 if last is None else last.version + 1
                cursor = connection.execute(
                    "INSERT INTO versions (did, version, version_time, created, signed, deactivates)"
                    " VALUES (?, ?, ?, ?, ?, ?)",
                    (did, number, new.version_time, new.created, new.signed, int(new.deactivates)))
                seq = cursor.lastrowid
                connection.execute("COMMIT")
            except BaseException:
                if connection.in_transaction:
                    connection.execute("ROLLBACK")
                raise
        assert seq is not None
        return StoredVersion(did=did, version=number, seq=seq, version_time=new.version_time,
                             created=new.created, signed=new.signed, deactivates=new.deactivates)

    def healthy(self) -> bool:
        try:
            with self._failures():
                self._connection().execute("SELECT 1 FROM versions LIMIT 1").fetchall()
        except StoreUnavailable:
            return False
        return True

    def close(self) -> None:
        with self._lock:
            self._closed = True
            connections, self._connections = self._connections, []
        for connection in connections:
            connection.close()
