"""One keep-alive HTTP connection to a registry, and the errors of talking to it.

Standard library only: a base install of did-vek must be able to publish and resolve.
"""

import http.client
import json
import socket
import ssl
from dataclasses import dataclass
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


class Connection:
    """Requests to one registry over a single connection, kept open between requests.

    Not safe to share between threads: give each thread its own.
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
        while True:
            try:
                return self._exchange(method, self._prefix + path, body, headers or {})
            except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError) as error:
                self.close()
                if not retry_allowed:
                    raise RegistryError(0, f"cannot talk to the registry at {self.url}: {_reason(error)}") from None
                retry_allowed = False
            except (OSError, http.client.HTTPException) as error:
                self.close()
                raise RegistryError(0, f"cannot talk to the registry at {self.url}: {_reason(error)}") from None

    def _exchange(self, method: str, path: str, body: bytes | None, headers: dict[str, str]) -> Answer:
        self._connection.request(method, path, body=body, headers=headers)
        response = self._connection.getresponse()
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
