# What only the PostgreSQL store does: tables made by many processes at once, refusals that leave
# the counter alone, a writer stuck in its transaction, life without its database, and
# resolutions read on the event loop.
import threading
import time

import psycopg
import pytest
from starlette.testclient import TestClient

from did_vek.registry import create_app, open_log
from did_vek.registry.postgres import PostgresStore
from did_vek.registry.store import AlreadyStored, NewVersion, Refused, StoredVersion, StoreUnavailable
from postgres_server import free_port
from racing import in_threads
from registry_histories import DID, history


def append(store, did, decide):
    return open_log(store).append(did, decide)


def version(text, time="2026-01-01T00:00:00Z"):
    return NewVersion(version_time=time, created=time, signed=text, deactivates=False)


@pytest.fixture
def stores(postgres_db):
    """Two stores with pools of their own on one database: two server processes, as far as
    PostgreSQL can tell."""
    opened = [PostgresStore(postgres_db), PostgresStore(postgres_db)]
    yield opened
    for store in opened:
        store.close()


@pytest.mark.parametrize("refusal", [Refused(409, "stale"), AlreadyStored(StoredVersion(
    did="did:vek:a", version=1, seq=1, version_time="t", created="t", signed="x", deactivates=False))])
def test_a_refused_append_stores_nothing_and_spends_no_seq(stores, refusal):
    store = stores[0]
    append(store, "did:vek:a", lambda last: version("first"))

    def refuse(last):
        raise refusal

    with pytest.raises(type(refusal)):
        append(store, "did:vek:a", refuse)
    second = append(store, "did:vek:b", lambda last: version("second"))
    assert [stored.signed for stored in store.export(0, 10)] == ["first", "second"]
    assert second.seq == 2


def test_tables_are_made_once_when_many_processes_start_together(postgres_db):
    opened = [PostgresStore(postgres_db) for _ in range(6)]
    try:
        in_threads(len(opened), lambda i: opened[i].last("did:vek:a"))
        assert all(store.healthy() for store in opened)
    finally:
        for store in opened:
            store.close()


def test_without_its_database_the_store_says_so_in_one_line():
    store = PostgresStore(f"postgresql://postgres@127.0.0.1:{free_port()}/registry", timeout=1.0, health_timeout=0.5)
    try:
        started = time.monotonic()
        assert store.healthy() is False
        assert time.monotonic() - started < 3
        for call in (lambda: store.last("did:vek:a"), lambda: store.write(lambda transaction: None)):
            with pytest.raises(StoreUnavailable) as raised:
                call()
            assert str(raised.value).startswith("PostgreSQL: ") and "\n" not in str(raised.value)
    finally:
        store.close()


def _stuck_after_reading_the_last_version(store, frozen):
    def freeze(last):
        frozen.set()
        time.sleep(2.5)
        return version("stuck")
    append(store, "did:vek:a", freeze)


def _stuck_after(write_rows):
    def stuck(store, frozen):
        def work(transaction):
            write_rows(transaction)
            frozen.set()
            time.sleep(2.5)
        store.write(work)
    return stuck


# A paused process or a lost network freezes a writer inside its transaction: PostgreSQL ends its
# session wherever it stopped, and the next writer goes on. Rows written as a batch are among
# those places (they once left the session where the timeout did not reach it).
@pytest.mark.parametrize("stuck_writer", [
    _stuck_after_reading_the_last_version,
    _stuck_after(lambda transaction: transaction.add_entries(0, ["entry"])),
    _stuck_after(lambda transaction: transaction.put_tiles({(0, 0): b"tile", (1, 0): b"upper"})),
], ids=["last version read", "entries added", "tiles put"])
def test_a_writer_stuck_inside_its_transaction_does_not_hold_the_log_for_long(postgres_db, stuck_writer):
    stuck, other = PostgresStore(postgres_db, stuck_transaction_timeout=0.5), PostgresStore(postgres_db)
    frozen = threading.Event()
    outcome: list[BaseException] = []

    def write():
        try:
            stuck_writer(stuck, frozen)
        except BaseException as error:  # noqa: BLE001 - judged by the test thread
            outcome.append(error)

    writer = threading.Thread(target=write)
    try:
        writer.start()
        assert frozen.wait(10)
        started = time.monotonic()
        assert append(other, "did:vek:a", lambda last: version("next")).version == 1
        assert time.monotonic() - started < 2
        writer.join(10)
        assert len(outcome) == 1 and isinstance(outcome[0], StoreUnavailable), outcome
        assert [stored.signed for stored in other.log("did:vek:a")] == ["next"]
    finally:
        writer.join(10)
        stuck.close(), other.close()


def test_the_reads_of_one_answer_share_a_connection_and_start_again_on_a_fresh_one(postgres_db):
    store = PostgresStore(postgres_db, max_connections=1, timeout=1.0)
    try:
        append(store, "did:vek:a", lambda last: version("first"))
        # With one connection in the pool, reads that each took their own would wait in vain.
        together = store.read_together(lambda: (store.head(), store.read_together(lambda: store.last("did:vek:a"))))
        assert together[1].signed == "first"
        with psycopg.connect(postgres_db, autocommit=True) as admin:  # the pooled connection goes stale
            admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                          " WHERE datname = current_database() AND pid <> pg_backend_pid()")
        calls = []
        assert store.read_together(lambda: calls.append(1) or store.last("did:vek:a")).signed == "first"
        assert len(calls) == 2
    finally:
        store.close()


@pytest.mark.parametrize("url", ["postgresql://reg:secret@db/registry?nosuch=1", "postgresql://reg:secret@%zz/registry"])
def test_an_unreadable_url_is_refused_without_showing_it(url):
    with pytest.raises(StoreUnavailable) as raised:
        PostgresStore(url)
    assert "secret" not in str(raised.value)


@pytest.mark.parametrize("query", ["", "?versionId=1"], ids=["last version, on the event loop", "older, in a thread"])
def test_resolutions_go_on_after_the_database_ended_their_connections(postgres_db, query):
    with TestClient(create_app(postgres_db)) as client:
        for version in history(2):
            assert client.post(f"/dids/{DID}", content=version, headers={"content-type": "application/json"}).status_code == 201
        first = client.get(f"/1.0/identifiers/{DID}{query}")
        assert first.status_code == 200
        with psycopg.connect(postgres_db, autocommit=True) as admin:  # as a database restart would
            admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                          " WHERE datname = current_database() AND pid <> pg_backend_pid()")
        again = client.get(f"/1.0/identifiers/{DID}{query}")
        assert again.status_code == 200 and again.content == first.content
