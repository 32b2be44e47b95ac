"""The registry's versions in one SQLite file, through the standard library's `sqlite3`.

Every thread has a connection of its own: a `sqlite3` connection used by two threads at once
is not safe, and one connection per thread lets readers run beside a writer under WAL. A write
takes the database's write lock before its first read (`BEGIN IMMEDIATE`), so the log writer
judges each version against the one it follows and extends the head it read, in this process or
any other on the same file. Holding that lock also makes `seq` grow in commit order: no version
can commit with a smaller `seq` after a larger one is visible, so an export page that ends at
some `seq` never skips a version that commits later.
"""

import fcntl
import os
import sqlite3
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

from .store import (Head, NewVersion, StoreBusy, StoredVersion, StoreUnavailable, held_by_tree, served_and_last_of,
                    served_and_last_query)

# AUTOINCREMENT: a seq is never given twice, not even after the newest row went away.
# log_index is NULL only for a version stored before the database had a log (see _LOG_SCHEMA).
_SCHEMA = """
CREATE TABLE IF NOT EXISTS versions (
    seq          INTEGER PRIMARY KEY AUTOINCREMENT,
    did          TEXT    NOT NULL,
    version      INTEGER NOT NULL,
    version_time TEXT    NOT NULL,
    created      TEXT    NOT NULL,
    signed       TEXT    NOT NULL,
    deactivates  INTEGER NOT NULL,
    log_index    INTEGER,
    UNIQUE (did, version)
)
"""
# A database made before the log gains its column here, and its log at the log writer's start.
_LOG_SCHEMA = """
CREATE UNIQUE INDEX IF NOT EXISTS versions_by_log_index ON versions (log_index);
CREATE TABLE IF NOT EXISTS log_entries (idx INTEGER PRIMARY KEY, entry TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS log_tiles (
    level INTEGER NOT NULL, idx INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (level, idx)
);
CREATE TABLE IF NOT EXISTS log_heads (
    kind       TEXT    PRIMARY KEY CHECK (kind IN ('built', 'served')),
    size       INTEGER NOT NULL,
    checkpoint TEXT    NOT NULL,
    map_entry  TEXT    NOT NULL
);
"""
_COLUMNS = "did, version, seq, version_time, created, signed, deactivates, log_index"
_SERVED_AND_LAST = served_and_last_query("log_heads", "versions", "log_entries", _COLUMNS, "?")
_T = TypeVar("_T")
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


def _row(row: Sequence[Any]) -> StoredVersion:
    did, version, seq, version_time, created, signed, deactivates, log_index = row
    return StoredVersion(did=did, version=version, seq=seq, version_time=version_time,
                         created=created, signed=signed, deactivates=bool(deactivates), log_index=log_index)


def _add_log(connection: sqlite3.Connection) -> None:
    columns = {row[1] for row in connection.execute("PRAGMA table_info(versions)")}
    if "log_index" not in columns:
        connection.execute("ALTER TABLE versions ADD COLUMN log_index INTEGER")
    for statement in _LOG_SCHEMA.split(";"):
        if statement.strip():
            connection.execute(statement)


def _head(connection: sqlite3.Connection, kind: str) -> Head | None:
    row = connection.execute("SELECT size, checkpoint, map_entry FROM log_heads WHERE kind = ?", (kind,)).fetchone()
    return None if row is None else Head(*row)


def _tiles(connection: sqlite3.Connection, keys: Sequence[tuple[int, int]]) -> list[bytes]:
    found: dict[tuple[int, int], bytes] = {}
    for level, index in set(keys):
        row = connection.execute("SELECT data FROM log_tiles WHERE level = ? AND idx = ?", (level, index)).fetchone()
        if row is not None:
            found[(level, index)] = bytes(row[0])
    return [found.get(key, b"") for key in keys]


def _entries(connection: sqlite3.Connection, start: int, end: int) -> list[str]:
    return [row[0] for row in connection.execute(
        "SELECT entry FROM log_entries WHERE idx >= ? AND idx < ? ORDER BY idx", (start, end))]


class _Transaction:
    """The `LogTransaction` on a connection that holds the file's write lock."""

    def __init__(self, connection: sqlite3.Connection) -> None:
        self._connection = connection

    def head(self) -> Head | None:
        # The write lock, taken at BEGIN IMMEDIATE, already keeps every other writer out.
        return _head(self._connection, "built")

    def served(self) -> Head | None:
        return _head(self._connection, "served")

    def last(self, did: str) -> tuple[StoredVersion, str] | None:
        row = self._connection.execute(
            f"SELECT {_COLUMNS}, entry FROM versions JOIN log_entries ON idx = log_index WHERE did = ?"
            " ORDER BY version DESC LIMIT 1", (did,)).fetchone()
        return None if row is None else (_row(row[:-1]), row[-1])

    def lasts(self, dids: Sequence[str]) -> dict[str, tuple[StoredVersion, str]]:
        # A read in process costs less than building one query for all.
        return {did: found for did in dids if (found := self.last(did)) is not None}

    def unlogged(self, limit: int) -> list[StoredVersion]:
        rows = self._connection.execute(f"SELECT {_COLUMNS} FROM versions WHERE log_index IS NULL"
                                        " ORDER BY seq LIMIT ?", (limit,)).fetchall()
        return [_row(row) for row in rows]

    def tiles(self, keys: Sequence[tuple[int, int]]) -> list[bytes]:
        return _tiles(self._connection, keys)

    def entries(self, start: int, end: int) -> list[str]:
        return _entries(self._connection, start, end)

    def add_version(self, did: str, number: int, new: NewVersion, log_index: int) -> StoredVersion:
        cursor = self._connection.execute(
            "INSERT INTO versions (did, version, version_time, created, signed, deactivates, log_index)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            (did, number, new.version_time, new.created, new.signed, int(new.deactivates), log_index))
        assert cursor.lastrowid is not None
        return StoredVersion(did=did, version=number, seq=cursor.lastrowid, version_time=new.version_time,
                             created=new.created, signed=new.signed, deactivates=new.deactivates,
                             log_index=log_index)

    def set_log_index(self, seq: int, log_index: int) -> None:
        self._connection.execute("UPDATE versions SET log_index = ? WHERE seq = ?", (log_index, seq))

    def add_entries(self, start: int, texts: Sequence[str]) -> None:
        self._connection.executemany("INSERT INTO log_entries (idx, entry) VALUES (?, ?)",
                                     [(start + offset, text) for offset, text in enumerate(texts)])

    def put_tiles(self, tiles: dict[tuple[int, int], bytes]) -> None:
        self._connection.executemany("INSERT OR REPLACE INTO log_tiles (level, idx, data) VALUES (?, ?, ?)",
                                     [(level, index, data) for (level, index), data in tiles.items()])

    def set_head(self, head: Head) -> None:
        self._set("built", head)

    def set_served(self, head: Head) -> None:
        self._set("served", head)

    def _set(self, kind: str, head: Head) -> None:
        self._connection.execute("INSERT OR REPLACE INTO log_heads (kind, size, checkpoint, map_entry)"
                                 " VALUES (?, ?, ?, ?)", (kind, head.size, head.checkpoint, head.map_entry))


def _lock_file(descriptor: int, until: float) -> bool:
    """Whether the lock on the file was taken before `until` (monotonic time). Tried again and
    again rather than waited for, so that the wait can end."""
    while True:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            if time.monotonic() >= until:
                return False
            time.sleep(0.0005)


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
        self._schema_ready = False  # the file is in WAL mode and has every table
        # Writers take turns on a lock file before they take SQLite's write lock (see `_turn`).
        self._writing = threading.Lock()
        self._turn_file: int | None = None

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
                connection.execute(f"PRAGMA synchronous={self._synchronous}")
                if not self._schema_ready:
                    # Once per store: a worker thread's first read then does not queue behind
                    # the writers for SQLite's write lock.
                    _switch_to_wal(connection)
                    # In a write transaction taken up front, which waits for other writers: a
                    # lone CREATE reads first and cannot wait when another connection writes.
                    connection.execute("BEGIN IMMEDIATE")
                    connection.execute(_SCHEMA)
                    _add_log(connection)
                    connection.execute("COMMIT")
                    self._schema_ready = True
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

    def last(self, did: str, size: int | None = None) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM versions WHERE did = ?{held_by_tree(size)}"
                         " ORDER BY version DESC LIMIT 1", (did,))

    def version(self, did: str, version: int, size: int | None = None) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM versions WHERE did = ? AND version = ?{held_by_tree(size)}",
                         (did, version))

    def at_time(self, did: str, version_time: str, size: int | None = None) -> StoredVersion | None:
        # Version times grow with the version and share one layout, so text order is time order.
        return self._one(f"SELECT {_COLUMNS} FROM versions WHERE did = ? AND version_time <= ?{held_by_tree(size)}"
                         " ORDER BY version DESC LIMIT 1", (did, version_time))

    def log(self, did: str, after: int = 0, limit: int | None = None, size: int | None = None) -> list[StoredVersion]:
        # LIMIT -1: no limit.
        return self._all(f"SELECT {_COLUMNS} FROM versions WHERE did = ? AND version > ?{held_by_tree(size)}"
                         " ORDER BY version LIMIT ?", (did, after, -1 if limit is None else limit))

    def export(self, after: int, limit: int, size: int | None = None) -> list[StoredVersion]:
        return self._all(f"SELECT {_COLUMNS} FROM versions WHERE seq > ?{held_by_tree(size)} ORDER BY seq LIMIT ?",
                         (after, limit))

    def head(self, *, built: bool = False) -> Head | None:
        with self._failures():
            return _head(self._connection(), "built" if built else "served")

    def served_and_last(self, did: str) -> tuple[Head | None, StoredVersion | None, str | None]:
        with self._failures():
            row = self._connection().execute(_SERVED_AND_LAST, (did, did)).fetchone()
        return served_and_last_of(row, _row)

    def entries(self, start: int, end: int) -> list[str]:
        with self._failures():
            return _entries(self._connection(), start, end)

    def tiles(self, keys: Sequence[tuple[int, int]]) -> list[bytes]:
        with self._failures():
            return _tiles(self._connection(), keys)

    @contextmanager
    def _turn(self) -> Iterator[None]:
        """The writers' turn, among the threads of this process and the processes on this file.

        SQLite's own wait for its write lock sleeps longer and longer between tries (up to a
        tenth of a second), so a writer that commits batch after batch keeps the lock while the
        other processes sleep: their publishes waited seconds. A lock file is taken as soon as
        it is free; SQLite's lock is then free too, but for writers that bypass the store."""
        deadline = time.monotonic() + BUSY_TIMEOUT_SECONDS
        if not self._writing.acquire(timeout=BUSY_TIMEOUT_SECONDS):
            raise StoreBusy(f"SQLite {self.path}: another writer of this process held the log"
                            f" (waited {BUSY_TIMEOUT_SECONDS:g} s)")
        try:
            if self._turn_file is None:
                self._turn_file = os.open(f"{self.path}.writer-lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
            if not _lock_file(self._turn_file, deadline):
                raise StoreBusy(f"SQLite {self.path}: another process held the log"
                                f" (waited {BUSY_TIMEOUT_SECONDS:g} s)")
            try:
                yield
            finally:
                fcntl.flock(self._turn_file, fcntl.LOCK_UN)
        finally:
            self._writing.release()

    @contextmanager
    def cosigning(self, until: float) -> Iterator[None]:
        # The lock goes with the descriptor: when it is closed, or when its process dies.
        descriptor = os.open(f"{self.path}.cosign-lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            _lock_file(descriptor, until)
            yield
        finally:
            os.close(descriptor)

    def read_together(self, work: Callable[[], _T]) -> _T:
        return work()  # every read of a thread is on that thread's connection already

    def write(self, work: Callable[[_Transaction], _T]) -> _T:
        with self._turn(), self._failures():
            connection = self._connection()
            # The write lock is held from the first read to the commit: the log writer works on
            # the head it read, and no other writer, in this process or another, can move it.
            connection.execute("BEGIN IMMEDIATE")
            try:
                result = work(_Transaction(connection))
                connection.execute("COMMIT")
            except BaseException:
                if connection.in_transaction:
                    connection.execute("ROLLBACK")
                raise
        return result

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
        with self._writing:
            if self._turn_file is not None:
                os.close(self._turn_file)
                self._turn_file = None
