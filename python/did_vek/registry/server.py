"""Running the registry under uvicorn, in one process or several: the one way every command
starts a server.

The HTTP parser is httptools' where installed (the `registry` extra brings it), else h11's;
$DID_VEK_HTTP_PARSER=h11 chooses h11's all the same, to rule the C parser out when a client
and the server disagree about what was sent.
"""

import importlib.util
import os
import socket
import ssl
from collections.abc import Callable, Sequence
from urllib.parse import urlsplit

from starlette.applications import Starlette
from starlette.types import ASGIApp

from .cosigning import Cosigner, WitnessPeer, witnesses_to_environment
from .engines import open_store
from .connection_guard import ConnectionGuard
from .limits import REQUEST_TIMEOUT_VARIABLE, ServeLimits, log_config
from .log_key import LOG_KEY_VARIABLE, ORIGIN_VARIABLE
from .log_view import LogView
from .log_writer import open_log
from .store import StoreUnavailable

# Worker processes start from an import string, not from an object: the store they open is
# handed over in the environment, which they inherit.
DB_VARIABLE = "DID_VEK_REGISTRY_DB"
HTTP_PARSER_VARIABLE = "DID_VEK_HTTP_PARSER"
HTTP_PARSERS = ("httptools", "h11")


class CannotListen(OSError):
    """The address cannot be listened on (in use, not this machine's, no permission)."""


class StoreDoesNotAnswer(StoreUnavailable):
    """The store opened, but does not answer a trivial query."""


class UnusableCertificate(ValueError):
    """The certificate and key for HTTPS are not both given, or cannot be loaded as a pair."""


def app_from_environment() -> Starlette:
    """The application over the store that `serve` named; the factory each worker calls."""
    from .app import create_app
    return create_app(os.environ[DB_VARIABLE])


def event_loop() -> str:
    """uvicorn's event loop for the registry: uvloop's where installed (the `registry` extra brings it)."""
    return "uvloop" if importlib.util.find_spec("uvloop") is not None else "asyncio"


def http_parser() -> str:
    """The name of the HTTP parser the registry runs on, as uvicorn's --http option takes it."""
    chosen = os.environ.get(HTTP_PARSER_VARIABLE, "")
    if chosen and chosen not in HTTP_PARSERS:
        raise ValueError(f"${HTTP_PARSER_VARIABLE} names no HTTP parser ({', '.join(HTTP_PARSERS)}): {chosen!r}")
    if chosen == "h11" or importlib.util.find_spec("httptools") is None:
        return "h11"
    return "httptools"


def http_protocol() -> type[ConnectionGuard]:
    """uvicorn's protocol for `http_parser()`, under the connection guard."""
    if http_parser() == "httptools":
        from .guarded_httptools import GuardedHttpToolsProtocol
        return GuardedHttpToolsProtocol
    from .guarded_h11 import GuardedH11Protocol
    return GuardedH11Protocol


def serve(db: str, host: str = "127.0.0.1", port: int = 8080, workers: int = 1,
          limits: ServeLimits = ServeLimits(), *, tls_cert: str | None = None, tls_key: str | None = None,
          log_key: str | None = None, origin: str | None = None,
          witnesses: Sequence[WitnessPeer] = (), quorum: int | None = None,
          started: Callable[[str], None] | None = None) -> None:
    """Serve the registry over `db` (a SQLite path or a PostgreSQL URL) until interrupted, each
    process within `limits`; with `tls_cert` and `tls_key` (PEM files: the certificate and its
    chain, its private key) over HTTPS only.

    Everything that would keep the server from working is found before it starts: a port out
    of range, a worker count below 1 or an unknown $DID_VEK_HTTP_PARSER (`ValueError`), an address that cannot be listened on
    (`CannotListen`), a store that cannot be opened (`StoreUnavailable`) or does not answer
    (`StoreDoesNotAnswer`), a certificate and key that cannot serve HTTPS (`UnusableCertificate`),
    a log key that is missing or not the log's (`LogKeyError`, `KeyFileError`), rather than a
    server that answers only 500 or a log line of uvicorn's. `started` is given the log's
    verifier key once the log is open.
    """
    if not 0 <= port <= 65535:
        raise ValueError(f"not a port number (0 to 65535): {port!r}")
    if workers < 1:
        raise ValueError(f"not a number of processes (1 or more): {workers!r}")
    http_parser()
    check_listen(host, port)
    _check_tls(tls_cert, tls_key)
    store = open_store(db)
    try:
        if not store.healthy():
            raise StoreDoesNotAnswer(f"the store {_shown(db)} does not answer")
        # The log is made (or an old database's versions logged) once, before any worker starts;
        # a quorum that the witnesses can never reach is refused here.
        cosigner = Cosigner(witnesses, quorum, LogView(store)) if witnesses else None
        try:
            vkey = open_log(store, log_key, origin, cosigner).key.vkey
        finally:
            if cosigner is not None:
                cosigner.close()
    finally:
        store.close()
    if started is not None:
        started(vkey)
    os.environ[DB_VARIABLE] = db
    if log_key is not None:
        os.environ[LOG_KEY_VARIABLE] = os.path.abspath(log_key)
    if origin is not None:
        os.environ[ORIGIN_VARIABLE] = origin
    witnesses_to_environment(witnesses, quorum)
    run_uvicorn("did_vek.registry.server:app_from_environment", host=host, port=port, workers=workers,
                limits=limits, tls_cert=tls_cert, tls_key=tls_key)


def run_uvicorn(app: "str | ASGIApp", *, host: str, port: int, workers: int = 1,
                limits: ServeLimits = ServeLimits(), tls_cert: str | None = None, tls_key: str | None = None) -> None:
    """uvicorn, every process of it within `limits` and logging as the registry logs: the one way
    this package serves HTTP. A text `app` names the factory each worker process calls."""
    import uvicorn

    os.environ[REQUEST_TIMEOUT_VARIABLE] = str(limits.request_timeout)
    _allow_descriptors(limits.max_connections)
    uvicorn.run(app, factory=isinstance(app, str), host=host, port=port,
                workers=workers, log_level="warning", log_config=log_config(), proxy_headers=False,
                server_header=False, http=http_protocol(), loop=event_loop(),
                limit_concurrency=limits.max_connections, timeout_keep_alive=max(1, round(limits.idle_timeout)),
                ssl_certfile=tls_cert, ssl_keyfile=tls_key)


def _allow_descriptors(connections: int) -> None:
    # Each connection is a descriptor, and the store, its threads and the log need some more.
    # Where the soft limit is below that and the hard one allows it, it is raised.
    import resource

    wanted = connections + 256
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (wanted if hard == resource.RLIM_INFINITY else min(wanted, hard), hard))


def check_listen(host: str, port: int) -> None:
    try:
        addresses = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
        family, kind, protocol, _, address = addresses[0]
        with socket.socket(family, kind, protocol) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind(address)
    except OSError as error:
        raise CannotListen(f"cannot listen on {host} port {port}: {error.strerror or error}") from None


def _check_tls(certificate: str | None, key: str | None) -> None:
    if (certificate is None) != (key is None):
        raise UnusableCertificate("HTTPS needs both a certificate (--tls-cert) and its key (--tls-key)")
    if certificate is None or key is None:
        return
    try:
        ssl.create_default_context(ssl.Purpose.CLIENT_AUTH).load_cert_chain(certificate, key)
    except (OSError, ssl.SSLError) as error:
        raise UnusableCertificate(f"cannot serve HTTPS with {certificate} and {key}: "
                                  f"{getattr(error, 'strerror', None) or error}") from None


def _shown(db: str) -> str:
    # A URL may carry a password: name only its host and database.
    if "://" not in db:
        return db
    parts = urlsplit(db)
    return f"{parts.scheme}://{parts.hostname or ''}{parts.path}"
