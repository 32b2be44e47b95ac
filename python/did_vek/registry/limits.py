"""What one server process holds for its clients at most, and how often it says the same thing.

uvicorn closes a kept-alive connection that stays idle, and answers 503 past its concurrency
limit; the connection guard (`connection_guard`) closes the connections it would keep without
end. When the process runs out of file descriptors each failure to accept is logged again,
thousands of times a minute: the log filter here lets one line of each kind through.
"""

import logging
import math
import threading
import time
from dataclasses import dataclass
from typing import Any

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
