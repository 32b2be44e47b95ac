"""One keep-alive HTTP connection to a registry, and the errors of talking to it.

Standard library only: a base install of did-vek must be able to publish and resolve.
"""

import http.client
import io
import json
import socket
import ssl
import time
from dataclasses import dataclass
from typing import cast
from urllib.parse import urlsplit

# Far more than any honest answer (a version is at most 64 KiB), and small enough that a
# server which never stops sending cannot fill the memory of the client.
MAX_ANSWER_BYTES = 128 * 1024 * 1024
# A server's "detail" is shown to the user: one short line, whatever the server sent.
_MAX_DETAIL = 300


class RegistryError(Exception):
    """The registry refused a request, or could not be reached.

    `status` is the HTTP status of the answer, or 0 when there was no answer at all (the
    connection failed or timed out, or the answer was not HTTP). `detail` says what is wrong
    in one line: the problem report's "detail" when the registry sent one.
    """

    def __init__(self, status: int, detail: str) -> None:
        super().__init__(f"{detail} (HTTP {status})" if status else detail)
        self.status = status
        self.detail = detail


class NotFound(RegistryError, LookupError):
    """404: the registry holds no version for the DID (or none for the selector)."""


@dataclass(frozen=True)
class Answer:
    status: int
    content_type: str
    body: bytes


def one_line(text: str) -> str:
    """`text` fit to print: control and other unprintable characters escaped, shortened."""
    # Not printable: control characters (terminal escapes included), line breaks, lone surrogates.
    printable = "".join(c if c.isprintable() else f"\\u{ord(c):04x}" for c in text[:_MAX_DETAIL])
    return printable + ("..." if len(text) > _MAX_DETAIL else "")


class _DeadlineReader(io.RawIOBase):
    """The socket as an answer is read from it: no read waits past the request's deadline.

    A timeout per read alone would let a server hold the client for as long as it likes, by
    sending one byte, or one interim answer, a little before each read would time out.
    """

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        super().__init__()
        self._sock = sock
        self._deadline = deadline
        # Set when the connection gave the socket up to this answer (one that closes after it).
        self.owns_socket = False

    def close(self) -> None:
        if self.owns_socket and not self.closed:
            self._sock.close()
        super().close()

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        remaining = self._deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("timed out")
        self._sock.settimeout(remaining)
        return self._sock.recv_into(buffer)


class _DeadlineSocket:
    """What `http.client` hands an answer to read: the connection's socket behind a deadline."""

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self._sock = sock
        self._reader = _DeadlineReader(sock, deadline)

    def makefile(self, mode: str) -> io.BufferedReader:
        return io.BufferedReader(self._reader)

    def close(self) -> None:
        # The connection closes its side once the answer says it will close: the answer, still
        # to be read, keeps the socket and closes it when done.
        self._reader.owns_socket = True
        if self._reader.closed:
            self._sock.close()


class Connection:
    """Requests to one registry over a single connection, kept open between requests.

    `timeout` bounds each request as a whole: connecting, sending, and reading the answer with
    any number of interim answers before it. Not safe to share between threads: give each
    thread its own.
    """

    def __init__(self, url: str, timeout: float, ca: str | None = None) -> None:
        parts = urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"the registry URL must be http://HOST[:PORT] or https://..., not {url!r}")
        try:
            port = parts.port
        except ValueError:
            raise ValueError(f"the registry URL has an invalid port: {url!r}") from None
        if parts.query or parts.fragment:
            raise ValueError(f"the registry URL must not have a query or fragment: {url!r}")
        self.url = url
        self._timeout = timeout
        self._prefix = parts.path.rstrip("/")
        self._connection: http.client.HTTPConnection
        if parts.scheme == "https":
            self._connection = http.client.HTTPSConnection(parts.hostname, port, timeout=timeout,
                                                           context=_tls_context(ca))
        elif ca is not None:
            raise ValueError(f"a CA certificate is for https:// registries, not {url!r}")
        else:
            self._connection = http.client.HTTPConnection(parts.hostname, port, timeout=timeout)
        self._used = False

    def request(self, method: str, path: str, *, body: bytes | None = None,
                headers: dict[str, str] | None = None) -> Answer:
        """Send one request and read its whole answer; any failure to talk is a status-0 error.

        A kept-alive connection that the server has closed in the meantime fails on its
        first use; the request is then sent once more on a new connection. That is safe for
        every request of this client: reads change nothing, and sending a version that is
        already stored is answered as a retry.
        """
        retry_allowed = self._used
        deadline = time.monotonic() + self._timeout
        while True:
            try:
                return self._exchange(method, self._prefix + path, body, headers or {}, deadline)
            except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError) as error:
                self.close()
                if not retry_allowed:
                    raise RegistryError(0, f"cannot talk to the registry at {self.url}: {_reason(error)}") from None
                retry_allowed = False
            except (OSError, http.client.HTTPException) as error:
                self.close()
                raise RegistryError(0, f"cannot talk to the registry at {self.url}: {_reason(error)}") from None

    def _exchange(self, method: str, path: str, body: bytes | None, headers: dict[str, str],
                  deadline: float) -> Answer:
        connection = self._connection
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("timed out")
        # Connecting and sending wait at most what is left (sendall's timeout covers all of it).
        if connection.sock is None:
            connection.timeout = remaining
        else:
            connection.sock.settimeout(remaining)
        connection.request(method, path, body=body, headers=headers)
        sock = connection.sock
        bounded = _DeadlineSocket(sock, deadline)
        connection.sock = cast(socket.socket, bounded)
        try:
            response = connection.getresponse()
        finally:
            if connection.sock is cast(socket.socket, bounded):
                connection.sock = sock
        data = response.read(MAX_ANSWER_BYTES + 1)
        if len(data) > MAX_ANSWER_BYTES:
            self.close()
            raise RegistryError(0, f"the registry at {self.url} sent an answer over {MAX_ANSWER_BYTES} bytes")
        if response.will_close:
            self.close()
        else:
            self._used = True
        return Answer(response.status, response.getheader("Content-Type", ""), data)

    def close(self) -> None:
        self._connection.close()
        self._used = False


def _tls_context(ca: str | None) -> ssl.SSLContext:
    """The system's trusted certificates, or only those in the file `ca` (a private CA)."""
    try:
        return ssl.create_default_context(cafile=ca)
    except (OSError, ssl.SSLError) as error:
        raise ValueError(f"cannot read CA certificates from {ca}: {error.strerror or error}") from None


def _reason(error: BaseException) -> str:
    if isinstance(error, ssl.SSLCertVerificationError):
        return f"its certificate does not verify ({error.verify_message})"
    if isinstance(error, TimeoutError):
        return "timed out"
    if isinstance(error, socket.gaierror):
        return f"unknown host ({error.strerror})"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return one_line(str(error)) or type(error).__name__


def refusal(answer: Answer) -> RegistryError:
    """The error for an answer of status 400 or above, with the detail the registry gave."""
    detail = _detail(answer.body) or http.client.responses.get(answer.status, "unexpected answer")
    error_type = NotFound if answer.status == 404 else RegistryError
    return error_type(answer.status, one_line(detail))


def _detail(body: bytes) -> str | None:
    # Refusals of the registry's own operations are problem reports with a "detail"; those of
    # resolution carry it in the resolution result's error object.
    try:
        report = json.loads(body)
    except ValueError:
        return None
    if not isinstance(report, dict):
        return None
    metadata = report.get("didResolutionMetadata")
    if isinstance(metadata, dict) and isinstance(metadata.get("error"), dict):
        report = metadata["error"]
    detail = report.get("detail")
    return detail if isinstance(detail, str) and detail else None
