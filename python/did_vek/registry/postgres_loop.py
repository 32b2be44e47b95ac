"""The first read of a resolution awaited on the server's event loop, on a connection of its own.

Handing each resolution to a worker thread costs more than its whole read: the thread is woken,
takes the interpreter lock from the event loop and gives it back, and wakes the loop again. A
read awaited on the loop costs a round trip and nothing else; the loop serves other requests
meanwhile. One connection per event loop carries these reads, one statement at a time: the
requests that arrive while a statement is on its way are read together by the next one, so a
busy loop pays one round trip for many answers rather than one each, queued behind each other.

It is a shortcut only: whenever it cannot answer at once (no connection, a failed or slow read),
it says `WouldBlock`, and the answer is made in a worker thread on the store's pool as before,
with the pool's own waits, reconnection and messages.
"""

import asyncio
import time
import weakref
from dataclasses import dataclass, field
from typing import Any

import psycopg

from .store import WouldBlock

# A read slower than this is left to a worker thread: the loop's reads queue on one connection,
# and a database that stopped answering must not hold every request of the loop behind it.
READ_SECONDS = 1.0
# After a failed connection, the loop does not try again for this long: requests go to the
# pool meanwhile, instead of each waiting for a connection attempt of its own.
RETRY_SECONDS = 1.0


# The keys asked for, each with the future of its row.
_Waiting = list[tuple[str, asyncio.Future[tuple[Any, ...] | None]]]


@dataclass
class _OnLoop:
    """The connection of one event loop, the lock its requests wait on while it is made, and the
    keys asked for since the statement on its way was sent, each with the future of its row."""
    connecting: asyncio.Lock = field(default_factory=asyncio.Lock)
    connection: psycopg.AsyncConnection[tuple[Any, ...]] | None = None
    waiting: _Waiting = field(default_factory=list)
    reader: asyncio.Task[None] | None = None


class LoopReads:
    """Reads on one `psycopg.AsyncConnection` per event loop (a server process runs one; each
    test client runs its own), made at first use and made again after it failed."""

    def __init__(self, url: str, options: dict[str, Any]) -> None:
        self._url, self._options = url, options
        self._loops: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _OnLoop] = weakref.WeakKeyDictionary()
        self._failed_at = -RETRY_SECONDS

    async def fetch_keyed(self, query: str, key: str) -> tuple[Any, ...] | None:
        """The row of `key` that `query` gives, without the key; None when it gives none.

        `query` takes an array of keys as its one parameter and gives a row for each key it
        finds, the key first: the keys asked for meanwhile on this loop are read with it."""
        loop = asyncio.get_running_loop()
        on_loop = self._loops.get(loop)
        if on_loop is None:
            on_loop = self._loops[loop] = _OnLoop()
        row: asyncio.Future[tuple[Any, ...] | None] = loop.create_future()
        on_loop.waiting.append((key, row))
        if on_loop.reader is None:
            # A task of its own, so that a request given up does not take the others' read with it.
            on_loop.reader = loop.create_task(self._read_waiting(on_loop, query))
        return await row

    async def _read_waiting(self, on_loop: _OnLoop, query: str) -> None:
        batch: _Waiting = []
        try:
            while on_loop.waiting:
                batch, on_loop.waiting = on_loop.waiting, []
                try:
                    rows = await self._fetch_all(on_loop, query, (list(dict.fromkeys(key for key, _ in batch)),))
                except WouldBlock as error:
                    _settle(batch, {}, str(error))
                    continue
                _settle(batch, {found[0]: found[1:] for found in rows})
        finally:
            on_loop.reader = None
            # Cut short (its loop closing), it leaves no request waiting for it.
            _settle(batch + on_loop.waiting, {}, "the read on the event loop was cut short")
            on_loop.waiting = []

    async def _fetch_all(self, on_loop: _OnLoop, query: str, parameters: tuple[object, ...]) -> list[tuple[Any, ...]]:
        """The rows of `query`. A connection left over from before a database restart fails at
        its first use: the read is sent once more, on a new one."""
        for attempt in (1, 2):
            connection = await self._connected(on_loop)
            try:
                async with asyncio.timeout(READ_SECONDS):
                    cursor = await connection.execute(query, parameters)
                    return await cursor.fetchall()
            except (psycopg.Error, TimeoutError) as error:
                _drop(on_loop, connection)
                if attempt == 1 and isinstance(error, psycopg.OperationalError):
                    continue
                raise WouldBlock(f"the read on the event loop failed: {type(error).__name__}") from error
        raise AssertionError("unreachable")

    async def _connected(self, on_loop: _OnLoop) -> psycopg.AsyncConnection[tuple[Any, ...]]:
        async with on_loop.connecting:  # the requests that arrive meanwhile wait for one connection
            if on_loop.connection is None or on_loop.connection.closed:
                if time.monotonic() - self._failed_at < RETRY_SECONDS:
                    raise WouldBlock("the event loop's connection failed a moment ago")
                try:
                    async with asyncio.timeout(READ_SECONDS):
                        on_loop.connection = await psycopg.AsyncConnection.connect(
                            self._url, autocommit=True, **self._options)
                except (psycopg.Error, TimeoutError) as error:
                    self._failed_at = time.monotonic()
                    raise WouldBlock(f"no connection on the event loop: {type(error).__name__}") from error
            return on_loop.connection

    def close(self) -> None:
        """Closes the connections, from any thread, once no read is under way."""
        for on_loop in list(self._loops.values()):
            if on_loop.connection is not None:
                _drop(on_loop, on_loop.connection)


def _settle(batch: _Waiting, rows: dict[str, tuple[Any, ...]], failure: str | None = None) -> None:
    """Gives each request of `batch` not yet answered its row, or `WouldBlock(failure)`."""
    for key, row in batch:
        if row.done():
            continue
        if failure is not None:
            row.set_exception(WouldBlock(failure))
        else:
            row.set_result(rows.get(key))


def _drop(on_loop: _OnLoop, connection: psycopg.AsyncConnection[tuple[Any, ...]]) -> None:
    if on_loop.connection is connection:
        on_loop.connection = None
    connection.pgconn.finish()  # at once, without a round trip to a server that may be gone
