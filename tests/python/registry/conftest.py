# Every registry test runs against each storage engine, on a store of its own.
import itertools

import pytest

from .postgres_server import PostgresServer

_databases = itertools.count(1)


@pytest.fixture(scope="session")
def postgres_server():
    """One private PostgreSQL for the session, started on first use. Missing server programs
    fail the PostgreSQL cases: they are never skipped."""
    server = PostgresServer()
    try:
        server.start()
        yield server
    finally:
        server.destroy()


@pytest.fixture(params=["sqlite", "postgresql"])
def db(request, tmp_path):
    """Where a fresh, empty store lives: a SQLite file path or a PostgreSQL URL."""
    if request.param == "sqlite":
        yield str(tmp_path / "registry.sqlite3")
        return
    server = request.getfixturevalue("postgres_server")
    name = f"registry_{next(_databases)}"
    server.execute(f"CREATE DATABASE {name}")
    yield server.url(name)
    if server.running():
        server.execute(f"DROP DATABASE {name} WITH (FORCE)")
