"""Choosing the storage engine from the text the user gave: a PostgreSQL URL or a SQLite path."""

import importlib

from .store import Store


def open_store(db: str) -> Store:
    """The store named by `db`: a postgresql:// or postgres:// URL, or else a SQLite file path."""
    if db.startswith(("postgresql://", "postgres://")):
        # Imported only when asked for: SQLite users need no PostgreSQL driver.
        postgres = importlib.import_module(".postgres", __package__)
        store: Store = postgres.PostgresStore(db)
        return store
    from .sqlite import SqliteStore
    return SqliteStore(db)
