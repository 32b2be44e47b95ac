# The registry's log as a client and a monitor see it: every answer proven against the served
# checkpoint, the tiles and bundles rebuilding that checkpoint, and an old database gaining its log.
import json
import sqlite3
from concurrent.futures import ThreadPoolExecutor

import pytest
from starlette.testclient import TestClient

from did_vek import RegistryClient
from did_vek.registry import create_app, log_view, open_log, open_store
from did_vek.registry.log_key import LogKeyError, load_log_key
from did_vek.tlog import answers, merkle
from did_vek.tlog._base64 import decode
from did_vek.tlog.audit import audit
from did_vek.tlog.checkpoint import open_checkpoint
from did_vek.tlog.note import Verifier
from did_vek.tlog.tiles import TileHashReader, entry_bundles_for_size, split_bundle, split_tile, tiles_for_size
from registries import real_registry
from registry_histories import DID, day, history, keyed, keyed_version, signed

JSON = {"content-type": "application/json"}
OTHER = keyed("other").engine.create_did_from_key()
ABSENT = keyed("absent").engine.create_did_from_key()


@pytest.fixture
def client(db):
    """ALICE's DID with 3 versions, another DID with 1 and then deactivated."""
    with TestClient(create_app(db)) as client:
        for version in history(3):
            assert client.post(f"/dids/{DID}", content=version, headers=JSON).status_code == 201
        other = keyed("other")
        for version in (keyed_version(other, 1), signed(other, did=OTHER, keys=(), deactivate=True,
                                                        created="2026-01-01T00:00:00Z", updated="2026-01-01T00:00:02Z")):
            assert client.post(f"/dids/{OTHER}", content=version, headers=JSON).status_code == 201
        yield client


def opened(client, signed_checkpoint):
    verifier = Verifier.from_vkey(client.get("/tlog/key").text.strip())
    return open_checkpoint(signed_checkpoint, [verifier]).checkpoint


def stored(client, did, version_id):
    return json.dumps(client.get(f"/dids/{did}/log").json()[version_id - 1])


@pytest.mark.parametrize("did, query, status, served", [
    (DID, "", 200, 3),
    (DID, "?versionId=1", 200, 1),  # with the entries of versions 2 and 3 as its chain
    (DID, "?versionId=9", 404, None),  # the latest version's proof
    (OTHER, "", 410, 2),  # the deactivating version, and its signed document
    (ABSENT, "", 404, None),  # proven absent
])
def test_every_resolution_result_proves_what_it_serves(client, did, query, status, served):
    answer = client.get(f"/1.0/identifiers/{did}{query}")
    assert (answer.status_code, answer.headers["cache-control"]) == (status, "no-store")
    metadata = answer.json()["didResolutionMetadata"]
    vek_log = metadata["vekLog"]
    signed_checkpoint = answers.resolution_checkpoint(vek_log)
    checkpoint = opened(client, signed_checkpoint)
    if status == 410:
        assert json.loads(stored(client, did, served)) == metadata["signed"]
    document = None if served is None or status == 410 else stored(client, did, served)
    answers.check_resolution(did, vek_log, signed_checkpoint, checkpoint, document=document,
                             version_id=None if document is None else served)
    assert (did == ABSENT) == ("entry" not in vek_log)


def check_proven(reader, client, did, served):
    """The latest resolution of `did` that `reader` gives is proven: `served` its version, None absent."""
    vek_log = reader.get(f"/1.0/identifiers/{did}").json()["didResolutionMetadata"]["vekLog"]
    signed_checkpoint = answers.resolution_checkpoint(vek_log)
    document = None if served is None else stored(client, did, served)
    answers.check_resolution(did, vek_log, signed_checkpoint, opened(client, signed_checkpoint),
                             document=document, version_id=served)


@pytest.mark.parametrize("read_batch", [1, 2, 10_000])
def test_a_restarted_process_rebuilds_the_map_with_each_dids_latest_version(client, db, monkeypatch, read_batch):
    # A new application is a new process's view: it reads the whole log, a batch at a time,
    # and DID's three versions fall into different batches when they are small.
    monkeypatch.setattr(log_view, "_READ_BATCH", read_batch)
    with TestClient(create_app(db)) as restarted:
        for did, served in ((DID, 3), (ABSENT, None)):
            check_proven(restarted, client, did, served)


def test_answers_after_a_publish_prove_the_new_checkpoints_map_entry(client):
    # The map entry's proof is kept per checkpoint: one kept from before a publish would not
    # lead to the new tree's root.
    for number, version in ((4, history(5)[3]), (5, history(5)[4])):
        client.get(f"/1.0/identifiers/{DID}")
        assert client.post(f"/dids/{DID}", content=version, headers=JSON).status_code == 201
        for did, served in ((DID, number), (ABSENT, None)):
            check_proven(client, client, did, served)


def test_a_receipt_and_a_history_are_proven_and_the_history_extends_what_was_known(client):
    known = opened(client, client.get("/tlog/checkpoint").text)
    version = signed(did=DID, updated=day(5))
    receipt = client.post(f"/dids/{DID}", content=version, headers=JSON).json()
    entry = decode(receipt["proof"].split("\n")[1].removeprefix("extra "), "extra").decode()
    vek_log = {"entry": entry, "proof": receipt["proof"], "chain": [], **receipt["vekLog"]}
    signed_checkpoint = answers.resolution_checkpoint(vek_log)
    checkpoint = opened(client, signed_checkpoint)
    answers.check_resolution(DID, vek_log, signed_checkpoint, checkpoint, document=version, version_id=4)

    answer = client.get(f"/dids/{DID}/history?known={known.size}")
    assert answer.headers["cache-control"] == "no-store"
    body = answer.json()
    versions = [json.dumps(value) for value in body["versions"]]
    answers.check_history(DID, versions, body["vekLog"], body["vekLog"]["checkpoint"], checkpoint)
    merkle.verify_consistency(known.size, checkpoint.size, known.root, checkpoint.root,
                              answers.history_consistency(body["vekLog"]))
    absent = client.get(f"/dids/{ABSENT}/history")
    assert absent.status_code == 404 and absent.json()["versions"] == []
    answers.check_history(ABSENT, [], absent.json()["vekLog"], absent.json()["vekLog"]["checkpoint"], checkpoint)


def test_the_tiles_and_entry_bundles_rebuild_the_checkpoint(client):
    checkpoint = opened(client, client.get("/tlog/checkpoint").text)
    tiles = {}
    for tile in tiles_for_size(checkpoint.size):
        answer = client.get(f"/tlog/{tile.path}")
        assert answer.status_code == 200, tile.path
        tiles[tile] = answer.content
        split_tile(answer.content, tile)
    leaves = []
    for bundle in entry_bundles_for_size(checkpoint.size):
        leaves += [merkle.leaf_hash(entry) for entry in split_bundle(client.get(f"/tlog/{bundle.path}").content, bundle)]
    assert b"".join(leaves) == b"".join(data for tile, data in tiles.items() if tile.level == 0)
    reader = TileHashReader(checkpoint.size, lambda wanted: [tiles[tile] for tile in wanted])
    assert merkle.root(reader, checkpoint.size) == checkpoint.root
    proof = [decode(line, "hash") for line in client.get(f"/tlog/consistency?old=1&new={checkpoint.size}").text.split()]
    assert proof == merkle.consistency_proof(reader, 1, checkpoint.size)


@pytest.mark.parametrize("path, status", [
    ("/tlog/consistency?old=0&new=1", 400),
    ("/tlog/consistency?old=2&new=1", 400),
    ("/tlog/consistency?old=1&new=99999", 400),
    ("/tlog/tile/0/000.p/255", 404),  # wider than the tree has
    ("/tlog/tile/1/000", 404),
    ("/tlog/tile/0/0", 404),
    ("/tlog/tile/entries/001", 404),
])
def test_what_the_log_does_not_hold_is_refused(client, path, status):
    assert client.get(path).status_code == status


def test_publishes_that_arrive_together_share_a_batch(db):
    keys = [keyed(f"batch-{number}") for number in range(24)]
    with TestClient(create_app(db)) as client:
        before = opened(client, client.get("/tlog/checkpoint").text).size
        with ThreadPoolExecutor(8) as pool:
            statuses = list(pool.map(lambda key: client.post(f"/dids/{key.engine.create_did_from_key()}",
                                                             content=keyed_version(key, 1), headers=JSON).status_code,
                                     keys))
        assert statuses == [201] * len(keys)
        after = opened(client, client.get("/tlog/checkpoint").text).size
        # One map entry per batch: fewer batches than versions means shared commits.
        assert len(keys) < after - before < 2 * len(keys)


def test_an_old_database_gains_its_log_and_serves_what_it_served(tmp_path):
    path = str(tmp_path / "old.sqlite3")
    versions = history(3)
    with sqlite3.connect(path) as old:  # the schema before the log, as a previous release wrote it
        old.execute("CREATE TABLE versions (seq INTEGER PRIMARY KEY AUTOINCREMENT, did TEXT NOT NULL,"
                    " version INTEGER NOT NULL, version_time TEXT NOT NULL, created TEXT NOT NULL,"
                    " signed TEXT NOT NULL, deactivates INTEGER NOT NULL, UNIQUE (did, version))")
        for number, text in enumerate(versions, 1):
            canonical = json.dumps(json.loads(text), indent=2, sort_keys=True, ensure_ascii=False)
            old.execute("INSERT INTO versions (did, version, version_time, created, signed, deactivates)"
                        " VALUES (?, ?, ?, ?, ?, 0)", (DID, number, day(number + 1), day(2), canonical))
    with real_registry(path) as url, RegistryClient(url) as registry:
        assert audit(registry).versions == 3
    with TestClient(create_app(path)) as client:
        assert [json.dumps(v) for v in client.get(f"/dids/{DID}/log").json()] == [stored(client, DID, n) for n in (1, 2, 3)]
        body = client.get(f"/dids/{DID}/history").json()
        checkpoint = opened(client, body["vekLog"]["checkpoint"])
        assert checkpoint.size == 1 + 3 + 1  # the first map entry, the versions, their map entry
        answers.check_history(DID, [json.dumps(v) for v in body["versions"]], body["vekLog"],
                              body["vekLog"]["checkpoint"], checkpoint)


def test_a_log_is_signed_by_one_key_only(tmp_path, monkeypatch):
    monkeypatch.delenv("DID_VEK_LOG_KEY")
    path = str(tmp_path / "registry.sqlite3")
    store = open_store(path)
    try:
        first = open_log(store).key.vkey
        assert (tmp_path / "registry.sqlite3.log-key").stat().st_mode & 0o777 == 0o600
        assert open_log(store).key.vkey == first  # made once, then reused
        other = tmp_path / "other.key"
        other.write_text("44" * 32 + "\n")
        other.chmod(0o600)
        with pytest.raises(LogKeyError, match="not signed as"):
            open_log(store, str(other))
        with pytest.raises(LogKeyError, match="not signed as"):
            open_log(store, load_log_key(str(tmp_path / "registry.sqlite3.log-key"), "another-origin"))
    finally:
        store.close()
