"""Choosing the storage engine from the text the user gave: a PostgreSQL URL or a SQLite path."""

from .store import Store


def open_store(db: str) -> Store:
    """The store named by `db`: a postgresql:// or postgres:// URL, or else a SQLite file path."""
    if db.startswith(("postgresql://", "postgres://")):
        # Imported only when asked for: SQLite users need no PostgreSQL driver.
        from .postgres import PostgresStore
        return PostgresStore(db)
    from .sqlite import SqliteStore
    return SqliteStore(db)
