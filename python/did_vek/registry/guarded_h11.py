"""uvicorn's pure-Python HTTP/1.1 protocol (h11) under the connection guard."""

import asyncio
from typing import Any

import h11
from uvicorn.config import Config
from uvicorn.protocols.http.h11_impl import H11Protocol
from uvicorn.server import ServerState

from .connection_guard import ConnectionGuard


class GuardedH11Protocol(ConnectionGuard, H11Protocol):
    def __init__(self, config: Config, server_state: ServerState, app_state: dict[str, Any],
                 _loop: asyncio.AbstractEventLoop | None = None) -> None:
        super().__init__(config, server_state, app_state, _loop)
        self._guard(config, server_state)

    def data_received(self, data: bytes) -> None:
        # h11 stays IDLE until a request's head is whole, and in SEND_BODY until its body is.
        if self.conn.their_state is h11.IDLE:
            self._request_started()
        super().data_received(data)
        if self.conn.their_state is not h11.SEND_BODY and self.conn.their_state is not h11.IDLE:
            # An answer sent before the body was whole (413, say) leaves the time running for
            # the rest of it.
            self._request_whole()
