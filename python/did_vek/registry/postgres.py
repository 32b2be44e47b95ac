"""The registry's versions in PostgreSQL, through psycopg 3 and a pool of connections.

Any number of server processes, on one machine or many, may share one database. Every write
transaction of the log takes one lock held to its end (a transaction-level advisory lock), so
writers take turns, each reading the head and the last versions only after the batch before it
committed. That also makes `seq` follow commit order: a plain sequence would not (its numbers are
handed out when a transaction asks, not when it commits, so an export reader who paged past 8
could miss a 7 that commits later). A writer frozen while it holds the lock holds it until
PostgreSQL ends its idle transaction; the others give up waiting before that (`lock_timeout`), and
the frozen one, when it wakes, finds its transaction gone and writes nothing.

Durability rests on the server's `synchronous_commit = on` (PostgreSQL's default, which this
store does not change): a commit returns only once its WAL is flushed, and `write` returns,
and a version is acknowledged, only after the commit.
"""

import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

import psycopg
from psycopg import errors
from psycopg.conninfo import conninfo_to_dict
from psycopg_pool import ConnectionPool, PoolTimeout

from .postgres_loop import LoopReads
from .store import (Head, NewVersion, StoreBusy, StoredVersion, StoreUnavailable, WouldBlock, held_by_tree,
                    served_and_last_of, served_and_last_query)

_SCHEMA = """
CREATE TABLE IF NOT EXISTS did_vek_versions (
    did          text    NOT NULL,
    version      integer NOT NULL,
    seq          bigint  NOT NULL UNIQUE,
    version_time text    NOT NULL,
    created      text    NOT NULL,
    signed       text    NOT NULL,
    deactivates  boolean NOT NULL,
    PRIMARY KEY (did, version)
);
CREATE TABLE IF NOT EXISTS did_vek_seq (
    only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row),
    last_seq bigint  NOT NULL
);
INSERT INTO did_vek_seq (last_seq) VALUES (0) ON CONFLICT DO NOTHING;
ALTER TABLE did_vek_versions ADD COLUMN IF NOT EXISTS log_index bigint UNIQUE;
CREATE TABLE IF NOT EXISTS did_vek_log_entries (idx bigint PRIMARY KEY, entry text NOT NULL);
CREATE TABLE IF NOT EXISTS did_vek_log_tiles (
    level integer NOT NULL, idx bigint NOT NULL, data bytea NOT NULL, PRIMARY KEY (level, idx)
);
CREATE TABLE IF NOT EXISTS did_vek_log_heads (
    kind       text   PRIMARY KEY CHECK (kind IN ('built', 'served')),
    size       bigint NOT NULL,
    checkpoint text   NOT NULL,
    map_entry  text   NOT NULL
);
"""
# Two processes creating the same table at once can both pass IF NOT EXISTS and one then fails
# on the catalog's unique index; this lock (any fixed number, held to the end of the
# transaction) lets one of them create and the others find the tables made.
_SCHEMA_LOCK = 0x646964766B
# A read meets at most this many connections cut by a restart before it gives up.
_READ_ATTEMPTS = 3
# The lock every write transaction of the log holds (any fixed number but the schema's).
_WRITE_LOCK = 0x646964766B6C
# The lock of the turn to ask the witnesses (see `cosigning`).
_COSIGN_LOCK = 0x646964766B63
_COLUMNS = "did, version, seq, version_time, created, signed, deactivates, log_index"
_FIELDS = _COLUMNS.split(", ")
_SERVED_AND_LAST = served_and_last_query("did_vek_log_heads", "did_vek_versions", "did_vek_log_entries", _COLUMNS, "%s")
_SERVED_AND_LASTS = served_and_last_query("did_vek_log_heads", "did_vek_versions", "did_vek_log_entries", _COLUMNS,
                                          "k.did", dids="unnest(%s::text[]) AS k(did)")

_T = TypeVar("_T")


def _row(row: Sequence[Any]) -> StoredVersion:
    did, version, seq, version_time, created, signed, deactivates, log_index = row
    return StoredVersion(did=did, version=version, seq=seq, version_time=version_time,
                         created=created, signed=signed, deactivates=deactivates, log_index=log_index)


Connection = psycopg.Connection[tuple[Any, ...]]


def _head(connection: Connection, kind: str) -> Head | None:
    row = connection.execute("SELECT size, checkpoint, map_entry FROM did_vek_log_heads WHERE kind = %s",
                             (kind,)).fetchone()
    return None if row is None else Head(*row)


def _tiles(connection: Connection, keys: Sequence[tuple[int, int]]) -> list[bytes]:
    if not keys:
        return []
    rows = connection.execute(
        "SELECT level, idx, data FROM did_vek_log_tiles JOIN unnest(%s::integer[], %s::bigint[]) AS wanted (l, i)"
        " ON level = l AND idx = i", ([level for level, _ in keys], [index for _, index in keys])).fetchall()
    found = {(level, index): bytes(data) for level, index, data in rows}
    return [found.get(key, b"") for key in keys]


def _entries(connection: Connection, start: int, end: int) -> list[str]:
    return [row[0] for row in connection.execute(
        "SELECT entry FROM did_vek_log_entries WHERE idx >= %s AND idx < %s ORDER BY idx", (start, end))]


class _Transaction:
    """The `LogTransaction` on a connection in a transaction that holds the write lock.

    The versions of a batch are inserted together, in one statement, rather than one round trip
    each: `add_version` gives each its seq at once (the write lock keeps the counter for this
    transaction alone) and keeps the row until anything else is read or written, or the work ends.
    """

    def __init__(self, connection: Connection) -> None:
        self._raw = connection
        self._last_seq: int | None = None  # the counter, once read by this transaction
        self._added: list[StoredVersion] = []  # not yet inserted

    @property
    def _connection(self) -> Connection:
        self.flush()
        return self._raw

    def flush(self) -> None:
        """Inserts the versions added since the last flush, and moves the counter past them."""
        if not self._added:
            return
        added, self._added = self._added, []
        self._raw.execute(
            "WITH counter AS (UPDATE did_vek_seq SET last_seq = %s)"
            " INSERT INTO did_vek_versions (did, version, seq, version_time, created, signed, deactivates, log_index)"
            " SELECT * FROM unnest(%s::text[], %s::integer[], %s::bigint[], %s::text[], %s::text[], %s::text[],"
            " %s::boolean[], %s::bigint[])",
            (added[-1].seq, *([getattr(version, field) for version in added] for field in _FIELDS)))

    def head(self) -> Head | None:
        return _head(self._connection, "built")

    def served(self) -> Head | None:
        return _head(self._connection, "served")

    def last(self, did: str) -> tuple[StoredVersion, str] | None:
        row = self._connection.execute(
            f"SELECT {_COLUMNS}, entry FROM did_vek_versions JOIN did_vek_log_entries ON idx = log_index"
            " WHERE did = %s ORDER BY version DESC LIMIT 1", (did,)).fetchone()
        return None if row is None else (_row(row[:-1]), row[-1])

    def lasts(self, dids: Sequence[str]) -> dict[str, tuple[StoredVersion, str]]:
        # One round trip for a batch rather than one per DID.
        rows = self._connection.execute(
            f"SELECT DISTINCT ON (did) {_COLUMNS}, entry FROM did_vek_versions JOIN did_vek_log_entries"
            " ON idx = log_index WHERE did = ANY(%s) ORDER BY did, version DESC", (list(dids),)).fetchall()
        return {row[0]: (_row(row[:-1]), row[-1]) for row in rows}

    def unlogged(self, limit: int) -> list[StoredVersion]:
        rows = self._connection.execute(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE log_index IS NULL"
                                        " ORDER BY seq LIMIT %s", (limit,)).fetchall()
        return [_row(row) for row in rows]

    def tiles(self, keys: Sequence[tuple[int, int]]) -> list[bytes]:
        return _tiles(self._connection, keys)

    def entries(self, start: int, end: int) -> list[str]:
        return _entries(self._connection, start, end)

    def add_version(self, did: str, number: int, new: NewVersion, log_index: int) -> StoredVersion:
        if self._last_seq is None:
            # FOR UPDATE: the row stays this transaction's even for a writer without the write lock.
            row = self._raw.execute("SELECT last_seq FROM did_vek_seq FOR UPDATE").fetchone()
            assert row is not None
            self._last_seq = int(row[0])
        self._last_seq += 1
        stored = StoredVersion(did=did, version=number, seq=self._last_seq, version_time=new.version_time,
                               created=new.created, signed=new.signed, deactivates=new.deactivates,
                               log_index=log_index)
        self._added.append(stored)
        return stored

    def set_log_index(self, seq: int, log_index: int) -> None:
        self._connection.execute("UPDATE did_vek_versions SET log_index = %s WHERE seq = %s", (log_index, seq))

    # Rows of a batch go in as arrays, one statement each. Not `executemany`: psycopg pipelines it,
    # and a session left idle in its transaction just after a pipeline was found to escape
    # `idle_in_transaction_session_timeout`, so a writer frozen there kept the write lock.
    def add_entries(self, start: int, texts: Sequence[str]) -> None:
        self._connection.execute(
            "INSERT INTO did_vek_log_entries (idx, entry) SELECT * FROM unnest(%s::bigint[], %s::text[])",
            (list(range(start, start + len(texts))), list(texts)))

    def put_tiles(self, tiles: dict[tuple[int, int], bytes]) -> None:
        self._connection.execute(
            "INSERT INTO did_vek_log_tiles (level, idx, data)"
            " SELECT * FROM unnest(%s::integer[], %s::bigint[], %s::bytea[])"
            " ON CONFLICT (level, idx) DO UPDATE SET data = excluded.data",
            ([level for level, _ in tiles], [index for _, index in tiles], list(tiles.values())))

    def set_head(self, head: Head) -> None:
        self._set("built", head)

    def set_served(self, head: Head) -> None:
        self._set("served", head)

    def _set(self, kind: str, head: Head) -> None:
        self._connection.execute(
            "INSERT INTO did_vek_log_heads (kind, size, checkpoint, map_entry) VALUES (%s, %s, %s, %s)"
            " ON CONFLICT (kind) DO UPDATE SET size = excluded.size, checkpoint = excluded.checkpoint,"
            " map_entry = excluded.map_entry", (kind, head.size, head.checkpoint, head.map_entry))


class PostgresStore:
    """The `Store` on the PostgreSQL database at `url`, its tables created on first use.

    `max_connections` bounds the pool; `timeout` is how long (seconds) a call waits for a
    connection before it reports the store unavailable; a transaction left idle for
    `stuck_transaction_timeout` is ended by PostgreSQL, which frees the locks it held; a writer
    waits at most `lock_timeout` for a lock before it reports the store busy. Together they bound
    what a server process frozen in the middle of appends costs the others: its transaction that
    holds a lock is ended after `stuck_transaction_timeout`, and those it had queued before it
    froze gave up waiting by then, however many they are, as long as `lock_timeout` is the
    shorter of the two (else each of them would take the lock in turn, and hold it as long
    again). While PostgreSQL is down, `healthy()` answers False within `health_timeout`, and so
    do the other calls fail once one has waited in vain; the pool keeps reconnecting in the
    background, so service resumes by itself when the database is back.
    """

    # A read is a round trip to the server, and may wait for a connection of the pool.
    reads_inline = False

    def __init__(self, url: str, *, max_connections: int = 10, timeout: float = 5.0,
                 health_timeout: float = 1.0, stuck_transaction_timeout: float = 3.0,
                 lock_timeout: float = 2.0) -> None:
        self._timeout = timeout
        self._health_timeout = health_timeout
        # Set when the last wait for a connection ran out: the database is most likely down, and
        # requests then fail after the short health timeout instead of each waiting the full one.
        self._unreachable = False
        self._schema_ready = False
        self._schema_lock = threading.Lock()
        self._reading = threading.local()  # the connection of this thread's read_together, if any
        try:
            given = conninfo_to_dict(url)
        except psycopg.Error:
            # Not the parser's message: it may quote the URL, password and all.
            raise StoreUnavailable("PostgreSQL: the URL is not one that libpq can read") from None
        # Options of the URL's own (a search_path, say) are kept: the pool's would replace them.
        limits = (f"-c idle_in_transaction_session_timeout={int(stuck_transaction_timeout * 1000)}"
                  f" -c lock_timeout={int(lock_timeout * 1000)}")
        options = f"{given['options']} {limits}" if given.get("options") else limits
        self._lock_timeout = lock_timeout
        connecting: dict[str, Any] = {
            "connect_timeout": 3,
            # A server that vanished from the network is noticed within seconds.
            "keepalives": 1, "keepalives_idle": 5, "keepalives_interval": 2, "keepalives_count": 3,
            "tcp_user_timeout": 10_000,
            # An append holds its DID's lock and, at the end, the counter that every append
            # needs. A server process that freezes or loses the network in between must not
            # hold them until PostgreSQL's own keepalive gives up hours later: its session is
            # ended, its transaction rolled back, and the other writers go on.
            "options": options,
        }
        self._loop_reads = LoopReads(url, connecting)
        self._on_loop = threading.local()  # set while an answer is made on the event loop
        self._pool: ConnectionPool[psycopg.Connection[tuple[Any, ...]]] = ConnectionPool(
            url,
            min_size=1,
            max_size=max_connections,
            timeout=timeout,
            # A connection attempt that keeps failing gives up after this long and the next
            # request starts a fresh one: reconnection never backs off for minutes.
            reconnect_timeout=10.0,
            # Transactions are spelled out with conn.transaction(); lone reads need none.
            kwargs={"autocommit": True, **connecting},
            name="did-vek-registry",
            open=True,
        )

    @contextmanager
    def _connection(self, timeout: float | None = None) -> Iterator[psycopg.Connection[tuple[Any, ...]]]:
        """A pooled connection with the tables in place; every database failure, in one line,
        as `StoreUnavailable`."""
        if getattr(self._on_loop, "refusing", False):
            raise WouldBlock("a read of PostgreSQL would block the event loop")
        wait = timeout if timeout is not None else self._health_timeout if self._unreachable else self._timeout
        try:
            with self._pool.connection(timeout=wait) as connection:
                self._unreachable = False
                self._ensure_schema(connection)
                yield connection
        except errors.LockNotAvailable as error:
            raise StoreBusy(f"PostgreSQL: a lock was held past lock_timeout ({self._lock_timeout:g} s)") from error
        except PoolTimeout:
            self._unreachable = True
            # Why the pool cannot connect is in its log, attempt by attempt.
            raise StoreUnavailable(f"PostgreSQL: no connection within {wait:g} s") from None
        except psycopg.Error as error:
            message = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
            raise StoreUnavailable(f"PostgreSQL: {message}") from error

    def _ensure_schema(self, connection: psycopg.Connection[tuple[Any, ...]]) -> None:
        with self._schema_lock:
            if self._schema_ready:
                return
            with connection.transaction():
                connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
                connection.execute(_SCHEMA)
            self._schema_ready = True

    def _read(self, query: str, parameters: tuple[object, ...],
              take: Callable[[list[tuple[Any, ...]]], _T]) -> _T:
        return self._read_with(lambda connection: take(connection.execute(query, parameters).fetchall()))

    def _read_with(self, read: Callable[[Connection], _T]) -> _T:
        shared = getattr(self._reading, "connection", None)
        if shared is not None:  # within read_together, whose connection maps the failures
            return read(shared)
        return self._again_on_stale(lambda: self._on_connection(read))

    def _on_connection(self, read: Callable[[Connection], _T]) -> _T:
        with self._connection() as connection:
            return read(connection)

    def _again_on_stale(self, reads: Callable[[], _T]) -> _T:
        # Connections left in the pool from before a database restart fail at their first use,
        # and the pool drops them when they come back. A read changes nothing, so it is sent
        # again on the next connection: cheaper than checking every connection with a query of
        # its own each time it leaves the pool, which would double the round trips of a read.
        for attempt in range(_READ_ATTEMPTS):
            try:
                return reads()
            except StoreUnavailable as error:
                if attempt + 1 == _READ_ATTEMPTS or not isinstance(error.__cause__, psycopg.OperationalError):
                    raise
        raise AssertionError("unreachable")

    def read_together(self, work: Callable[[], _T]) -> _T:
        if getattr(self._reading, "connection", None) is not None:
            return work()

        def on_one_connection(connection: Connection) -> _T:
            self._reading.connection = connection
            try:
                return work()
            finally:
                self._reading.connection = None

        return self._again_on_stale(lambda: self._on_connection(on_one_connection))

    def _one(self, query: str, parameters: tuple[object, ...]) -> StoredVersion | None:
        return self._read(query, parameters, lambda rows: _row(rows[0]) if rows else None)

    def _all(self, query: str, parameters: tuple[object, ...]) -> list[StoredVersion]:
        return self._read(query, parameters, lambda rows: [_row(row) for row in rows])

    def last(self, did: str, size: int | None = None) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE did = %s{held_by_tree(size)}"
                         " ORDER BY version DESC LIMIT 1", (did,))

    def version(self, did: str, version: int, size: int | None = None) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE did = %s AND version = %s{held_by_tree(size)}",
                         (did, version))

    def at_time(self, did: str, version_time: str, size: int | None = None) -> StoredVersion | None:
        # Version times grow with the version and share one fixed layout, so text order is time
        # order; COLLATE "C" compares them byte by byte whatever the database's collation.
        return self._one(f"SELECT {_COLUMNS} FROM did_vek_versions"
                         f' WHERE did = %s AND version_time COLLATE "C" <= %s{held_by_tree(size)}'
                         " ORDER BY version DESC LIMIT 1", (did, version_time))

    def log(self, did: str, after: int = 0, limit: int | None = None, size: int | None = None) -> list[StoredVersion]:
        # LIMIT NULL: no limit.
        return self._all(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE did = %s AND version > %s{held_by_tree(size)}"
                         " ORDER BY version LIMIT %s", (did, after, limit))

    def export(self, after: int, limit: int, size: int | None = None) -> list[StoredVersion]:
        return self._all(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE seq > %s{held_by_tree(size)} ORDER BY seq LIMIT %s",
                         (after, limit))

    def head(self, *, built: bool = False) -> Head | None:
        return self._read_with(lambda connection: _head(connection, "built" if built else "served"))

    def served_and_last(self, did: str) -> tuple[Head | None, StoredVersion | None, str | None]:
        return served_and_last_of(self._read(_SERVED_AND_LAST, (did, did), lambda rows: rows[0] if rows else None),
                                  _row)

    async def served_and_last_on_loop(self, did: str) -> tuple[Head | None, StoredVersion | None, str | None]:
        if not self._schema_ready:  # the pool's first connection makes the tables
            raise WouldBlock("the tables are not known to be there yet")
        return served_and_last_of(await self._loop_reads.fetch_keyed(_SERVED_AND_LASTS, did), _row)

    @contextmanager
    def refusing_blocking_reads(self) -> Iterator[None]:
        self._on_loop.refusing = True
        try:
            yield
        finally:
            self._on_loop.refusing = False

    def entries(self, start: int, end: int) -> list[str]:
        return self._read_with(lambda connection: _entries(connection, start, end))

    def tiles(self, keys: Sequence[tuple[int, int]]) -> list[bytes]:
        return self._read_with(lambda connection: _tiles(connection, keys))

    def write(self, work: Callable[[_Transaction], _T]) -> _T:
        with self._connection() as connection:
            # Leaving the block commits; an exception from `work` or the database rolls back.
            with connection.transaction():
                connection.execute("SELECT pg_advisory_xact_lock(%s)", (_WRITE_LOCK,))
                transaction = _Transaction(connection)
                result = work(transaction)
                transaction.flush()
                return result

    @contextmanager
    def cosigning(self, until: float) -> Iterator[None]:
        # A session's lock, not a transaction's: no transaction stays open while the witnesses
        # answer. It goes with the session if the process dies.
        with self._connection() as connection:
            def take() -> bool:
                row = connection.execute("SELECT pg_try_advisory_lock(%s)", (_COSIGN_LOCK,)).fetchone()
                return row is not None and bool(row[0])

            while not (held := take()) and time.monotonic() < until:
                time.sleep(0.0005)
            try:
                yield
            finally:
                if held:
                    connection.execute("SELECT pg_advisory_unlock(%s)", (_COSIGN_LOCK,))

    def healthy(self) -> bool:
        try:
            with self._connection(timeout=self._health_timeout) as connection:
                connection.execute("SELECT 1 FROM did_vek_versions LIMIT 1").fetchall()
        except (StoreUnavailable, psycopg.Error):
            return False
        return True

    def close(self) -> None:
        self._loop_reads.close()
        self._pool.close()
