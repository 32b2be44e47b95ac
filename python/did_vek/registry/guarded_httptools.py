"""uvicorn's HTTP/1.1 protocol on the C parser of httptools under the connection guard.
Importing it raises ImportError where httptools is not installed."""

import asyncio
from typing import Any

from uvicorn.config import Config
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
from uvicorn.server import ServerState

from .connection_guard import ConnectionGuard


class GuardedHttpToolsProtocol(ConnectionGuard, HttpToolsProtocol):
    def __init__(self, config: Config, server_state: ServerState, app_state: dict[str, Any],
                 _loop: asyncio.AbstractEventLoop | None = None) -> None:
        super().__init__(config, server_state, app_state, _loop)
        self._guard(config, server_state)
        self._in_message = False

    def data_received(self, data: bytes) -> None:
        # Bytes between requests (blank lines, say) begin no message, but count against the
        # time of the request they may precede.
        if not self._in_message:
            self._request_started()
        super().data_received(data)

    # The parser's callbacks: one connection's data may hold the end of a request and the
    # start of the next, so the time of each starts and ends here, not per read.
    def on_message_begin(self) -> None:
        self._in_message = True
        self._request_started()
        super().on_message_begin()

    def on_message_complete(self) -> None:
        # Even when an answer went out before the body was whole (413, say), which uvicorn's
        # own callback then ignores: the body has arrived all the same.
        self._in_message = False
        self._request_whole()
        super().on_message_complete()
