# Every registry test runs against each storage engine, on a store of its own.
import itertools

import pytest

from .postgres_server import PostgresServer, free_port

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


@pytest.fixture
def postgres_db(postgres_server):
    """The URL of a new, empty database on the session's PostgreSQL."""
    name = f"registry_{next(_databases)}"
    postgres_server.execute(f"CREATE DATABASE {name}")
    yield postgres_server.url(name)
    if postgres_server.running():
        postgres_server.execute(f"DROP DATABASE {name} WITH (FORCE)")


@pytest.fixture(params=["sqlite", "postgresql"])
def db(request, tmp_path):
    """Where a fresh, empty store lives: a SQLite file path or a PostgreSQL URL."""
    if request.param == "sqlite":
        return str(tmp_path / "registry.sqlite3")
    return request.getfixturevalue("postgres_db")


@pytest.fixture
def nothing_listening():
    """A PostgreSQL URL on a loopback port where no server listens."""
    return f"postgresql://postgres@127.0.0.1:{free_port()}/registry"
