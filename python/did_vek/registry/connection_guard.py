"""The slow-connection guard that every HTTP protocol of the registry's server shares.

uvicorn waits without end for a request that arrives a byte at a time and for a client that
never reads its answer, and it accepts connections until the process runs out of file
descriptors. A protocol that mixes this in closes such connections; it tells the guard when a
request starts to arrive and when it is whole, which only its parser knows.
"""

import asyncio
import logging
import os
from typing import Any

from uvicorn.config import Config
from uvicorn.server import ServerState

from .joined_writes import JoinedWrites
from .limits import REQUEST_TIMEOUT_VARIABLE, ServeLimits

_log = logging.getLogger("did_vek.registry")


class ConnectionGuard(asyncio.Protocol):
    """Cuts off slow requests and slow readers and caps the connections of the process.

    Mixed in before one of uvicorn's HTTP protocols, whose `__init__` calls `_guard` once it
    has run, and whose parser calls `_request_started` and `_request_whole`.
    """

    loop: asyncio.AbstractEventLoop
    transport: asyncio.Transport

    def _guard(self, config: Config, server_state: ServerState) -> None:
        self._request_timeout = float(os.environ.get(REQUEST_TIMEOUT_VARIABLE, ServeLimits.request_timeout))
        self._max_connections = config.limit_concurrency or ServeLimits.max_connections
        self._open_connections: set[Any] = server_state.connections
        self._request_timer: asyncio.TimerHandle | None = None
        self._write_timer: asyncio.TimerHandle | None = None
        self._turned_away = False

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        if len(self._open_connections) >= self._max_connections:
            self._turned_away = True
            _log.warning("%d connections are open, the most this process takes: new ones are closed at once",
                         self._max_connections)
            transport.abort()
            return
        super().connection_made(JoinedWrites(transport, self.loop))
        self._request_started()

    def connection_lost(self, exc: Exception | None) -> None:
        if self._turned_away:
            return
        self._cancel_timers()
        super().connection_lost(exc)

    def pause_writing(self) -> None:
        super().pause_writing()
        if self._write_timer is None:
            self._write_timer = self.loop.call_later(self._request_timeout, self._cut, "reads none of its answer")

    def resume_writing(self) -> None:
        super().resume_writing()
        self._cancel(self._write_timer)
        self._write_timer = None

    def _request_started(self) -> None:
        """A request may be arriving: from now it has the request timeout to arrive whole."""
        if self._request_timer is None:
            self._request_timer = self.loop.call_later(self._request_timeout, self._cut, "sends its request too slowly")

    def _request_whole(self) -> None:
        """The request arrived whole (or the connection is done with): waiting for the next one
        is the idle timeout's business."""
        self._cancel(self._request_timer)
        self._request_timer = None

    def _cut(self, why: str) -> None:
        self._request_timer = self._write_timer = None
        if not self.transport.is_closing():
            _log.warning("a client that %s for %g s: its connection is closed", why, self._request_timeout)
            self.transport.abort()

    def _cancel_timers(self) -> None:
        self._cancel(self._request_timer)
        self._cancel(self._write_timer)
        self._request_timer = self._write_timer = None

    @staticmethod
    def _cancel(timer: asyncio.TimerHandle | None) -> None:
        if timer is not None:
            timer.cancel()
