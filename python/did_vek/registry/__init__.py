"""The did:vek registry: stores the versions of DIDs, accepts only valid ones, serves them over HTTP.

Needs the `registry` extra (Starlette, uvicorn, psycopg); the rest of `did_vek` does not.
"""

import importlib

from .importer import ImportRefused, import_lines
from .store import Store


def open_store(db: str) -> Store:
    """The store named by `db`: a postgresql:// or postgres:// URL, or else a SQLite file path."""
    if db.startswith(("postgresql://", "postgres://")):
        # Imported only when asked for: SQLite users need no PostgreSQL driver.
        postgres = importlib.import_module(".postgres", __name__)
        store: Store = postgres.PostgresStore(db)
        return store
    from .sqlite import SqliteStore
    return SqliteStore(db)


from .app import create_app  # noqa: E402  (after open_store, which the application uses)
from .server import serve  # noqa: E402

__all__ = ["open_store", "create_app", "serve", "import_lines", "ImportRefused", "Store"]
