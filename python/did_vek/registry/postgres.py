"""The registry's versions in PostgreSQL, through psycopg 3 and a pool of connections.

Any number of server processes, on one machine or many, may share one database. The appends to
one DID queue on a lock of that DID held to the end of their transaction, so each reads the last
version only after the append before it committed, and `decide` judges the version the new one
will follow. The unique key on (did, version) stays the last word: should two appends ever take
the same number, the loser runs `decide` again against the version that won.

`seq` follows commit order. A plain sequence would not: its numbers are handed out when a
transaction asks, not when it commits, so a transaction holding seq 7 may commit after another
one's seq 8 is visible, and an export reader who paged past 8 would never see 7. Instead one
counter row is incremented as the last step before the commit; its row lock is held until the
commit (and released only after the commit is visible), so the next appender reads the counter
only once the previous version can be seen. The price is that appends commit one after another
across the whole registry, each waiting for the previous commit's flush; for a registry of DIDs
that is plenty.

Durability rests on the server's `synchronous_commit = on` (PostgreSQL's default, which this
store does not change): a commit returns only once its WAL is flushed, and `append` returns,
and the version is acknowledged, only after the commit.
"""

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TypeVar

import psycopg
from psycopg import errors
from psycopg.conninfo import conninfo_to_dict
from psycopg_pool import ConnectionPool, PoolTimeout

from .store import Decide, StoreBusy, StoredVersion, StoreUnavailable

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
"""
# Two processes creating the same table at once can both pass IF NOT EXISTS and one then fails
# on the catalog's unique index; this lock (any fixed number, held to the end of the
# transaction) lets one of them create and the others find the tables made.
_SCHEMA_LOCK = 0x646964766B
# A read meets at most this many connections cut by a restart before it gives up.
_READ_ATTEMPTS = 3
# The first key of the two-key advisory locks that queue the writers of one DID (the second is
# the DID's hash: two DIDs that share it only queue together). Two-key and one-key locks never meet.
_APPEND_LOCKS = 0x646964
_COLUMNS = "did, version, seq, version_time, created, signed, deactivates"
_LAST = f"SELECT {_COLUMNS} FROM did_vek_versions WHERE did = %s ORDER BY version DESC LIMIT 1"

# The queue of writers per DID leaves the unique key nothing to catch between writers that take
# it; the key and these attempts are what still holds if a writer ever bypasses the queue.
_APPEND_ATTEMPTS = 32

_T = TypeVar("_T")


def _row(row: tuple[Any, ...]) -> StoredVersion:
    did, version, seq, version_time, created, signed, deactivates = row
    return StoredVersion(did=did, version=version, seq=seq, version_time=version_time,
                         created=created, signed=signed, deactivates=deactivates)


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
        self._pool: ConnectionPool[psycopg.Connection[tuple[Any, ...]]] = ConnectionPool(
            url,
            min_size=1,
            max_size=max_connections,
            timeout=timeout,
            # A connection attempt that keeps failing gives up after this long and the next
            # request starts a fresh one: reconnection never backs off for minutes.
            reconnect_timeout=10.0,
            kwargs={
                # Transactions are spelled out with conn.transaction(); lone reads need none.
                "autocommit": True,
                "connect_timeout": 3,
                # A server that vanished from the network is noticed within seconds.
                "keepalives": 1, "keepalives_idle": 5, "keepalives_interval": 2, "keepalives_count": 3,
                "tcp_user_timeout": 10_000,
                # An append holds its DID's lock and, at the end, the counter that every append
                # needs. A server process that freezes or loses the network in between must not
                # hold them until PostgreSQL's own keepalive gives up hours later: its session is
                # ended, its transaction rolled back, and the other writers go on.
                "options": options,
            },
            name="did-vek-registry",
            open=True,
        )

    @contextmanager
    def _connection(self, timeout: float | None = None) -> Iterator[psycopg.Connection[tuple[Any, ...]]]:
        """A pooled connection with the tables in place; every database failure, in one line,
        as `StoreUnavailable`."""
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
        # Connections left in the pool from before a database restart fail at their first use,
        # and the pool drops them when they come back. A read changes nothing, so it is sent
        # again on the next connection: cheaper than checking every connection with a query of
        # its own each time it leaves the pool, which would double the round trips of a read.
        for attempt in range(_READ_ATTEMPTS):
            try:
                with self._connection() as connection:
                    return take(connection.execute(query, parameters).fetchall())
            except StoreUnavailable as error:
                if attempt + 1 == _READ_ATTEMPTS or not isinstance(error.__cause__, psycopg.OperationalError):
                    raise
        raise AssertionError("unreachable")

    def _one(self, query: str, parameters: tuple[object, ...]) -> StoredVersion | None:
        return self._read(query, parameters, lambda rows: _row(rows[0]) if rows else None)

    def _all(self, query: str, parameters: tuple[object, ...]) -> list[StoredVersion]:
        return self._read(query, parameters, lambda rows: [_row(row) for row in rows])

    def last(self, did: str) -> StoredVersion | None:
        return self._one(_LAST, (did,))

    def version(self, did: str, version: int) -> StoredVersion | None:
        return self._one(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE did = %s AND version = %s",
                         (did, version))

    def at_time(self, did: str, version_time: str) -> StoredVersion | None:
        # Version times grow with the version and share one fixed layout, so text order is time
        # order; COLLATE "C" compares them byte by byte whatever the database's collation.
        return self._one(f"SELECT {_COLUMNS} FROM did_vek_versions"
                         ' WHERE did = %s AND version_time COLLATE "C" <= %s'
                         " ORDER BY version DESC LIMIT 1", (did, version_time))

    def log(self, did: str, after: int = 0, limit: int | None = None) -> list[StoredVersion]:
        # LIMIT NULL: no limit.
        return self._all(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE did = %s AND version > %s"
                         " ORDER BY version LIMIT %s", (did, after, limit))

    def export(self, after: int, limit: int) -> list[StoredVersion]:
        return self._all(f"SELECT {_COLUMNS} FROM did_vek_versions WHERE seq > %s ORDER BY seq LIMIT %s",
                         (after, limit))

    def append(self, did: str, decide: Decide) -> StoredVersion:
        with self._connection() as connection:
            for _ in range(_APPEND_ATTEMPTS):
                try:
                    return self._append_once(connection, did, decide)
                except errors.UniqueViolation:
                    # Another writer committed this DID's next version first: judge again.
                    continue
        raise StoreUnavailable(f"PostgreSQL: {did} kept changing under {_APPEND_ATTEMPTS} attempts to append")

    def _append_once(self, connection: psycopg.Connection[tuple[Any, ...]], did: str,
                     decide: Decide) -> StoredVersion:
        # Leaving the block commits; an exception from decide (Refused, AlreadyStored) or from
        # the database rolls back and passes on.
        with connection.transaction():
            # Writers of one DID queue here, in arrival order, each reading the last version only
            # once the one before it committed. Without the queue a writer could lose the race for
            # the next number again and again to writers that keep coming back.
            connection.execute("SELECT pg_advisory_xact_lock(%s, hashtext(%s))", (_APPEND_LOCKS, did))
            row = connection.execute(_LAST, (did,)).fetchone()
            last = None if row is None else _row(row)
            new = decide(last)
            number = 1 if last is None else last.version + 1
            # The counter last: its row lock orders the commits (see the module's comment).
            counter = connection.execute("UPDATE did_vek_seq SET last_seq = last_seq + 1 RETURNING last_seq").fetchone()
            assert counter is not None
            seq = int(counter[0])
            connection.execute(
                "INSERT INTO did_vek_versions (did, version, seq, version_time, created, signed, deactivates)"
                " VALUES (%s, %s, %s, %s, %s, %s, %s)",
                (did, number, seq, new.version_time, new.created, new.signed, new.deactivates))
        return StoredVersion(did=did, version=number, seq=seq, version_time=new.version_time,
                             created=new.created, signed=new.signed, deactivates=new.deactivates)

    def healthy(self) -> bool:
        try:
            with self._connection(timeout=self._health_timeout) as connection:
                connection.execute("SELECT 1 FROM did_vek_versions LIMIT 1").fetchall()
        except (StoreUnavailable, psycopg.Error):
            return False
        return True

    def close(self) -> None:
        self._pool.close()
