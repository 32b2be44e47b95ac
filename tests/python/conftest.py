# Shared data: the RFC 8032 vectors, the long-run switch, a sequence the test steers, and a ticker thread.
import itertools
import json
import os
import threading
import time
from pathlib import Path

import pytest

RFC8032 = json.loads((Path(__file__).resolve().parents[1] / "vectors" / "rfc8032_ed25519.json").read_text())
SECRET, PUBLIC, SIG1 = (RFC8032[0][name] for name in ("secret_key", "public_key", "signature"))  # TEST 1, message ""
DID = "did:vek:abc"
# The slow cases and the full call counts run in CI, which sets DID_VEK_LONG_TESTS=1.
LONG = bool(os.environ.get("DID_VEK_LONG_TESTS"))
# ASan keeps freed memory in quarantine, so resident memory says nothing under it (the sanitizer
# run preloads it into this interpreter and every server process the tests start).
UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()


def sequence(iterate, length=lambda: 1):  # it has __getitem__, never called; __iter__ and __len__ as supplied
    methods = {"__getitem__": lambda s, i: None, "__iter__": lambda s: iterate(), "__len__": lambda s: length()}
    return type("Steered", (), methods)()


def ticks_during(call):
    """How often another thread ran (it ticks every 0.5 ms) while `call()` ran. With the lock held for
    the whole call, the other thread could not run at all between its start and end; released, it
    runs throughout."""
    ticks, done = [], threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        done.set()
        thread.join()
    return sum(start < tick < end for tick in ticks)


@pytest.fixture(scope="session", autouse=True)
def log_key_file(tmp_path_factory):
    """One log key for every registry the tests open that names none, as `serve` hands its key to
    its worker processes: a PostgreSQL registry has no key file of its own."""
    path = tmp_path_factory.mktemp("log-key") / "log.key"
    path.write_text(os.urandom(32).hex() + "\n")
    path.chmod(0o600)
    os.environ["DID_VEK_LOG_KEY"] = str(path)
    yield path
    os.environ.pop("DID_VEK_LOG_KEY", None)


# The store that every registry test runs against, fresh for each test, once on each engine. It
# lives here, not in a conftest.py of tests/python/registry: two conftest modules without packages
# share one module name, and the second would hide this one's constants from `from conftest import`.
@pytest.fixture(params=["sqlite", "postgresql"])
def db(request, tmp_path):
    """What open_store / create_app take: a new SQLite file, or the URL of a new PostgreSQL schema."""
    if request.param == "sqlite":
        return str(tmp_path / "registry.sqlite3")
    return request.getfixturevalue("postgres_db")


@pytest.fixture(scope="session")
def postgres_server():
    """One private PostgreSQL for the session, started on first use, with the database
    "registry". Missing server programs fail the PostgreSQL cases: they are never skipped."""
    from registry.postgres_server import PostgresServer
    server = PostgresServer()
    try:
        server.start()
        server.execute("CREATE DATABASE registry")
        yield server
    finally:
        server.destroy()


@pytest.fixture
def postgres_db(postgres_server):
    """The URL of a new, empty store on the session's PostgreSQL: a schema of its own in the
    database "registry", first on the search path of every connection made with the URL. A
    schema is made and dropped in milliseconds, a database in a tenth of a second."""
    name = f"test_{next(_schemas)}"
    postgres_server.execute(f"CREATE SCHEMA {name}", database="registry")
    yield postgres_server.url("registry") + f"?options=-c%20search_path%3D{name}"
    if postgres_server.running():
        postgres_server.execute(f"DROP SCHEMA {name} CASCADE", database="registry")


_schemas = itertools.count(1)


@pytest.fixture(autouse=True)
def client_state(tmp_path_factory, monkeypatch):
    """Clients remember the logs they verified: each test (and each command it runs) in a state of
    its own, never the user's."""
    directory = tmp_path_factory.mktemp("client-state")
    monkeypatch.setenv("DID_VEK_STATE", str(directory))
    return directory
