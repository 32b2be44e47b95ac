"""What one server process holds for its clients at most, and how often it says the same thing.

uvicorn closes a kept-alive connection that stays idle, and answers 503 past its concurrency
limit, but it waits without end for a request that arrives a byte at a time, for a client that
never reads its answer, and it accepts connections until the process runs out of file
descriptors; each failure to accept is then logged again, thousands of times a minute. The
protocol here closes such connections, and the log filter lets one line of each kind through.
"""

import asyncio
import logging
import math
import os
import threading
import time
from dataclasses import dataclass
from typing import Any

import h11
from uvicorn.config import Config
from uvicorn.protocols.http.h11_impl import H11Protocol
from uvicorn.server import ServerState

_log = logging.getLogger("did_vek.registry")

# Server processes are started from an import string: the timeout reaches them in the environment.
REQUEST_TIMEOUT_VARIABLE = "DID_VEK_REQUEST_TIMEOUT"


@dataclass(frozen=True)
class ServeLimits:
    """The bounds of one server process.

    `max_connections`: connections open at once; one more is closed as soon as it is accepted,
    and a request that finds them all taken (or as many requests in progress) gets 503.
    `idle_timeout`: a kept-alive connection with no request for this long is closed.
    `request_timeout`: a request must arrive whole (headers and body) within this long of its
    first byte, and a client must take each part of an answer within this long.
    """
    max_connections: int = 500
    idle_timeout: float = 5.0
    request_timeout: float = 10.0

    def __post_init__(self) -> None:
        if self.max_connections < 1 or not self.idle_timeout > 0 or not self.request_timeout > 0:
            raise ValueError(f"connections must be 1 or more and timeouts above 0, not {self}")


class GuardedH11Protocol(H11Protocol):
    """uvicorn's HTTP/1.1 protocol, with slow requests and slow readers cut off and a hard cap on
    the connections of the process."""

    def __init__(self, config: Config, server_state: ServerState, app_state: dict[str, Any],
                 _loop: asyncio.AbstractEventLoop | None = None) -> None:
        super().__init__(config, server_state, app_state, _loop)
        self._request_timeout = float(os.environ.get(REQUEST_TIMEOUT_VARIABLE, ServeLimits.request_timeout))
        self._max_connections = config.limit_concurrency or ServeLimits.max_connections
        self._request_timer: asyncio.TimerHandle | None = None
        self._write_timer: asyncio.TimerHandle | None = None
        self._turned_away = False

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        if len(self.connections) >= self._max_connections:
            self._turned_away = True
            _log.warning("%d connections are open, the most this process takes: new ones are closed at once",
                         self._max_connections)
            transport.abort()
            return
        super().connection_made(transport)
        self._start_request_timer()

    def connection_lost(self, exc: Exception | None) -> None:
        if self._turned_away:
            return
        self._cancel_timers()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        self._start_request_timer()
        super().data_received(data)
        if self.conn.their_state is not h11.SEND_BODY and self.conn.their_state is not h11.IDLE:
            # The request is whole (or the connection is done with): its time no longer runs, and
            # waiting for the next one is the idle timeout's business. An answer sent before the
            # body was whole (413, say) leaves the time running for the rest of it.
            self._cancel(self._request_timer)
            self._request_timer = None

    def pause_writing(self) -> None:
        super().pause_writing()
        if self._write_timer is None:
            self._write_timer = self.loop.call_later(self._request_timeout, self._cut, "reads none of its answer")

    def resume_writing(self) -> None:
        super().resume_writing()
        self._cancel(self._write_timer)
        self._write_timer = None

    def _start_request_timer(self) -> None:
        if self._request_timer is None and self.conn.their_state is h11.IDLE:
            self._request_timer = self.loop.call_later(self._request_timeout, self._cut, "sends its request too slowly")

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


class OncePerInterval(logging.Filter):
    """Lets one record of a kind through per `seconds` (a kind: the logger, the first line of the
    message's template, the exception's type); the next one that passes says how many were held."""

    _MAX_KINDS = 1000

    def __init__(self, seconds: float = 60.0) -> None:
        super().__init__()
        self.seconds = seconds
        self._kinds: dict[tuple[str, str, object], tuple[float, int]] = {}
        self._lock = threading.Lock()

    def filter(self, record: logging.LogRecord) -> bool:
        first_line = str(record.msg).split("\n", 1)[0][:200]
        kind = (record.name, first_line, record.exc_info[0] if record.exc_info else None)
        now = time.monotonic()
        with self._lock:
            shown, held = self._kinds.get(kind, (-math.inf, 0))
            if now - shown < self.seconds:
                self._kinds[kind] = (shown, held + 1)
                return False
            if len(self._kinds) >= self._MAX_KINDS:
                self._kinds.clear()
            self._kinds[kind] = (now, 0)
        if held:
            record.msg = f"{record.msg} [{held} more like this in the last {now - shown:.0f} s not shown]"
        return True


def log_config(seconds: float = 60.0) -> dict[str, Any]:
    """The logging of a server process: warnings and worse to stderr, each kind once per `seconds`."""
    return {
        "version": 1,
        "disable_existing_loggers": False,
        "filters": {"once": {"()": OncePerInterval, "seconds": seconds}},
        "formatters": {"plain": {"format": "%(asctime)s %(levelname)s %(name)s: %(message)s"}},
        "handlers": {"stderr": {"class": "logging.StreamHandler", "formatter": "plain", "filters": ["once"],
                                "stream": "ext://sys.stderr"}},
        "root": {"handlers": ["stderr"], "level": "WARNING"},
        "loggers": {"uvicorn": {"level": "WARNING"}, "uvicorn.access": {"level": "WARNING"}},
    }
