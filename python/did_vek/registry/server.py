"""Running the registry under uvicorn, in one process or several."""

import importlib.util
import os
from urllib.parse import urlsplit

from starlette.applications import Starlette

from .engines import open_store
from .store import StoreUnavailable

# Worker processes start from an import string, not from an object: the store they open is
# handed over in the environment, which they inherit.
DB_VARIABLE = "DID_VEK_REGISTRY_DB"


def app_from_environment() -> Starlette:
    """The application over the store that `serve` named; the factory each worker calls."""
    from .app import create_app
    return create_app(os.environ[DB_VARIABLE])


def fast_stack() -> tuple[str, str]:
    """uvicorn's HTTP parser and event loop: the C ones (httptools, uvloop) where installed."""
    http = "httptools" if importlib.util.find_spec("httptools") is not None else "h11"
    loop = "uvloop" if importlib.util.find_spec("uvloop") is not None else "asyncio"
    return http, loop


def serve(db: str, host: str = "127.0.0.1", port: int = 8080, workers: int = 1, *,
          tls_cert: str | None = None, tls_key: str | None = None) -> None:
    """Serve the registry over `db` (a SQLite path or a PostgreSQL URL) until interrupted.

    With `tls_cert` and `tls_key` (PEM files: the certificate chain, its private key) it
    serves HTTPS only. A store that cannot be opened (no such directory, a refused
    connection) raises `StoreUnavailable` before the server starts, rather than a server that
    answers only 500.
    """
    if (tls_cert is None) != (tls_key is None):
        raise ValueError("HTTPS needs both a certificate and its key")
    import uvicorn

    store = open_store(db)
    try:
        if not store.healthy():
            raise StoreUnavailable(f"the store {_shown(db)} does not answer")
    finally:
        store.close()
    os.environ[DB_VARIABLE] = db
    http, loop = fast_stack()
    uvicorn.run("did_vek.registry.server:app_from_environment", factory=True, host=host, port=port,
                workers=workers, log_level="warning", proxy_headers=False, server_header=False,
                http=http, loop=loop, ssl_certfile=tls_cert, ssl_keyfile=tls_key)


def _shown(db: str) -> str:
    # A URL may carry a password: name only its host and database.
    if "://" not in db:
        return db
    parts = urlsplit(db)
    return f"{parts.scheme}://{parts.hostname or ''}{parts.path}"
