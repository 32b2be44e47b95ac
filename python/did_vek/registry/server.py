"""Running the registry under uvicorn, in one process or several."""

import os

from urllib.parse import urlsplit

from starlette.applications import Starlette

from .engines import open_store
from .limits import REQUEST_TIMEOUT_VARIABLE, GuardedH11Protocol, ServeLimits, log_config
from .store import StoreUnavailable

# Worker processes start from an import string, not from an object: the store they open is
# handed over in the environment, which they inherit.
DB_VARIABLE = "DID_VEK_REGISTRY_DB"


def app_from_environment() -> Starlette:
    """The application over the store that `serve` named; the factory each worker calls."""
    from .app import create_app
    return create_app(os.environ[DB_VARIABLE])


def serve(db: str, host: str = "127.0.0.1", port: int = 8080, workers: int = 1,
          limits: ServeLimits = ServeLimits()) -> None:
    """Serve the registry over `db` (a SQLite path or a PostgreSQL URL) until interrupted, each
    process within `limits`.

    A store that cannot be opened (no such directory, a refused connection) raises
    `StoreUnavailable` before the server starts, rather than a server that answers only 500.
    """
    import uvicorn

    store = open_store(db)
    try:
        if not store.healthy():
            raise StoreUnavailable(f"the store {_shown(db)} does not answer")
    finally:
        store.close()
    os.environ[DB_VARIABLE] = db
    os.environ[REQUEST_TIMEOUT_VARIABLE] = str(limits.request_timeout)
    _allow_descriptors(limits.max_connections)
    uvicorn.run("did_vek.registry.server:app_from_environment", factory=True, host=host, port=port,
                workers=workers, log_level="warning", log_config=log_config(), proxy_headers=False,
                server_header=False, http=GuardedH11Protocol, limit_concurrency=limits.max_connections,
                timeout_keep_alive=max(1, round(limits.idle_timeout)))


def _allow_descriptors(connections: int) -> None:
    # Each connection is a descriptor, and the store, its threads and the log need some more.
    # Where the soft limit is below that and the hard one allows it, it is raised.
    import resource

    wanted = connections + 256
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (wanted if hard == resource.RLIM_INFINITY else min(wanted, hard), hard))


def _shown(db: str) -> str:
    # A URL may carry a password: name only its host and database.
    if "://" not in db:
        return db
    parts = urlsplit(db)
    return f"{parts.scheme}://{parts.hostname or ''}{parts.path}"
