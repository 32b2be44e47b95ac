# What bounds a writer, a DID and an answer: retries judged on what is signed, the limit of versions
# per DID, logs and export pages sent in batches, and writers that wait a bounded time for a lock.
import json
import sqlite3
import threading
import time

import pytest
from starlette.testclient import TestClient

from did_vek.registry import create_app, import_lines, open_log, open_store, paging, rules, sqlite
from did_vek.registry.postgres import PostgresStore
from did_vek.registry.store import NewVersion, StoreBusy, StoreUnavailable
from registry_histories import DID, day, history, keyed, keyed_version, signed

JSON = {"content-type": "application/json"}


@pytest.fixture
def client(db):
    with TestClient(create_app(db)) as client:
        yield client


def with_proof_created(text, created):
    value = json.loads(text)
    value["proof"]["created"] = created
    return json.dumps(value)


def test_a_copy_differing_only_in_an_unsigned_member_is_a_retry(client):
    first = signed(updated=day(2))
    assert client.post(f"/dids/{DID}", content=first, headers=JSON).status_code == 201
    copy = with_proof_created(first, "2020-01-01T00:00:00Z")
    assert client.post(f"/dids/{DID}", content=copy, headers=JSON).status_code == 200
    assert client.post(f"/dids/{DID}", content=first, headers=JSON).status_code == 200
    # The first text is the one kept.
    assert client.get(f"/dids/{DID}/log").json() == [json.loads(first)]


def test_import_skips_a_version_stored_with_other_unsigned_members(db):
    first = signed(updated=day(2))
    line = json.dumps({"seq": 1, "did": DID, "versionId": "1",
                       "signed": json.loads(with_proof_created(first, "2020-01-01T00:00:00Z"))})
    store = open_store(db)
    try:
        assert import_lines(store, [line.replace("2020-01-01", "2021-01-01")]) == (1, 0)
        assert import_lines(store, [line]) == (0, 1)
    finally:
        store.close()


def test_a_did_takes_at_most_max_versions(client, monkeypatch):
    monkeypatch.setattr(rules, "MAX_VERSIONS", 3)
    versions = history(4)
    for version in versions[:3]:
        assert client.post(f"/dids/{DID}", content=version, headers=JSON).status_code == 201
    refused = client.post(f"/dids/{DID}", content=versions[3], headers=JSON)
    assert refused.status_code == 409 and "MAX_VERSIONS 3" in refused.json()["detail"]
    # The last version's retry is still a retry.
    assert client.post(f"/dids/{DID}", content=versions[2], headers=JSON).status_code == 200


@pytest.mark.parametrize("versions, limit", [(1, 1000), (paging.BATCH, 1000), (2 * paging.BATCH + 1, 1000),
                                             (2 * paging.BATCH + 1, paging.BATCH + 3)])
def test_logs_and_export_pages_of_several_batches_are_whole(client, versions, limit):
    key = keyed("batches")
    did, texts = key.engine.create_did_from_key(), [keyed_version(key, k) for k in range(1, versions + 1)]
    for text in texts:
        assert client.post(f"/dids/{did}", content=text, headers=JSON).status_code == 201
    assert client.get(f"/dids/{did}/log").json() == [json.loads(text) for text in texts]
    lines = [json.loads(line) for line in client.get(f"/export?limit={limit}").text.splitlines()]
    assert [line["seq"] for line in lines] == list(range(1, min(versions, limit) + 1))
    assert [line["signed"] for line in lines] == [json.loads(text) for text in texts[:limit]]


def test_a_sqlite_writer_waits_a_bounded_time_then_gets_503(tmp_path, monkeypatch):
    # Another process holds the write lock (frozen, say): the writer answers 503 after its wait.
    monkeypatch.setattr(sqlite, "BUSY_TIMEOUT_SECONDS", 0.3)
    path = str(tmp_path / "registry.sqlite3")
    first, second = signed(updated=day(2)), signed(updated=day(3))
    with TestClient(create_app(path)) as client:
        assert client.post(f"/dids/{DID}", content=first, headers=JSON).status_code == 201
        holder = sqlite3.connect(path, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
        try:
            started = time.monotonic()
            busy = client.post(f"/dids/{DID}", content=second, headers=JSON)
            waited = time.monotonic() - started
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        assert busy.status_code == 503 and busy.headers["retry-after"] == "1", busy.text
        assert 0.2 <= waited < 3
        assert client.get(f"/dids/{DID}/log").json() == [json.loads(first)]
        assert client.post(f"/dids/{DID}", content=second, headers=JSON).status_code == 201


def version(text):
    return NewVersion(version_time="2026-01-01T00:00:00Z", created="2026-01-01T00:00:00Z", signed=text,
                      deactivates=False)


@pytest.mark.parametrize("queued", [1, 8])
def test_a_frozen_postgres_writer_holds_the_others_a_bounded_time(postgres_db, queued):
    # One server process freezes in the middle of an append, with `queued` more appends of the same
    # DID waiting behind it; the other process's writers go on within the bound however many.
    limits = {"stuck_transaction_timeout": 1.0, "lock_timeout": 0.5}
    frozen_process, other = PostgresStore(postgres_db, **limits), PostgresStore(postgres_db, **limits)
    thaw, frozen = threading.Event(), threading.Event()

    def freeze(last):
        frozen.set()
        thaw.wait(30)
        return version("frozen")

    def append_frozen():
        try:
            open_log(frozen_process).append("did:vek:a", freeze)
        except StoreUnavailable:
            pass  # its session was ended, or its wait for the lock ran out

    writers = [threading.Thread(target=append_frozen)]
    writers[0].start()
    try:
        assert frozen.wait(10)
        writers += [threading.Thread(target=append_frozen) for _ in range(queued)]
        for writer in writers[1:]:
            writer.start()
        started = time.monotonic()
        waits = []
        for did in ("did:vek:a", "did:vek:b"):
            while True:
                attempt = time.monotonic()
                try:
                    open_log(other).append(did, lambda last: version("other"))
                    break
                except StoreBusy:
                    waits.append(time.monotonic() - attempt)
        assert all(wait < 1.5 for wait in waits), waits
        assert time.monotonic() - started < 4
    finally:
        thaw.set()
        for writer in writers:
            writer.join(30)
        frozen_process.close(), other.close()
    reader = PostgresStore(postgres_db)
    try:
        assert [stored.signed for stored in reader.log("did:vek:a")] == ["other"]
    finally:
        reader.close()
