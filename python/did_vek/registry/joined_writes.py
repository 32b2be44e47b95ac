"""A transport that sends an answer's head and body as one write.

uvicorn writes an answer's status line and headers, then its body, each at once: two sends,
so two packets and two wake-ups of the client, for an answer that fits in one. Here a write is
held until the next one, which goes out with it at once; one that none follows in the same step
of the event loop (the last part of a streamed answer, say) goes out when the step ends. What
is written before a close goes out before it.
"""

import asyncio
from typing import Any


class JoinedWrites(asyncio.Transport):
    def __init__(self, transport: asyncio.Transport, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__()
        self._transport = transport
        self._loop = loop
        self._held: list[bytes] = []

    def write(self, data: bytes | bytearray | memoryview) -> None:
        self._held.append(bytes(data))
        if len(self._held) == 1:
            self._loop.call_soon(self._send)
        else:
            self._send()

    def writelines(self, list_of_data: Any) -> None:
        for data in list_of_data:
            self.write(data)

    def _send(self) -> None:
        held, self._held = self._held, []
        if held and not self._transport.is_closing():
            self._transport.write(b"".join(held))

    def close(self) -> None:
        self._send()
        self._transport.close()

    def abort(self) -> None:
        self._held = []
        self._transport.abort()

    def is_closing(self) -> bool:
        return self._transport.is_closing()

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        return self._transport.get_extra_info(name, default)

    def pause_reading(self) -> None:
        self._transport.pause_reading()

    def resume_reading(self) -> None:
        self._transport.resume_reading()

    def is_reading(self) -> bool:
        return self._transport.is_reading()

    def set_write_buffer_limits(self, high: int | None = None, low: int | None = None) -> None:
        self._transport.set_write_buffer_limits(high, low)

    def get_write_buffer_size(self) -> int:
        return self._transport.get_write_buffer_size() + sum(map(len, self._held))

    def get_write_buffer_limits(self) -> tuple[int, int]:
        return self._transport.get_write_buffer_limits()

    def can_write_eof(self) -> bool:
        return False

    def set_protocol(self, protocol: asyncio.BaseProtocol) -> None:
        self._transport.set_protocol(protocol)

    def get_protocol(self) -> asyncio.BaseProtocol:
        return self._transport.get_protocol()
