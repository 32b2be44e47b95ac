# The registry as deployed, server processes on 127.0.0.1 over each storage engine: killed in the
# middle of concurrent publishing, raced on one DID, and left without its database.
import http.client
import json
import time

import pytest

import did_vek
from conftest import LONG

from racing import join_threads, start_threads
from registry_histories import keyed, keyed_version
from registry_process import RegistryProcess

PUBLISHERS = 8
KILLS = 3 if LONG else 1
ACKS_PER_ROUND = 150 if LONG else 40
RACE_ROUNDS = 25 if LONG else 6


@pytest.fixture
def servers():
    """Starts registry processes for a test and kills whatever of them still runs after it."""
    started: list[RegistryProcess] = []

    def start(db):
        started.append(RegistryProcess(db).start())
        return started[-1]

    yield start
    for server in started:
        server.kill()


def export(server):
    lines, after = [], 0
    while page := [json.loads(line) for line in server.request("GET", f"/export?after={after}").body.splitlines()]:
        lines += page
        after = page[-1]["seq"]
    return lines


def check_registry(server, dids, acknowledged):
    """Every acknowledged version is served as it was sent, no version number was acknowledged
    twice, every DID's numbers run 1..n in acceptance order, and every log verifies."""
    created = [(did, version_id) for did, version_id, _, status in acknowledged if status == 201]
    assert len(created) == len(set(created))
    logs = {}
    for did in dids:
        answer = server.request("GET", f"/dids/{did}/log")
        assert answer.status == 200, answer
        history = did_vek.verify_history(answer.body.decode())
        assert [version.version_id for version in history.versions] == [str(n) for n in range(1, len(history.versions) + 1)]
        logs[did] = answer.json()
    for did, version_id, text, _ in acknowledged:
        assert logs[did][int(version_id) - 1] == json.loads(text)
    lines = export(server)
    assert [line["seq"] for line in lines] == sorted({line["seq"] for line in lines})
    for did in dids:
        assert [line["versionId"] for line in lines if line["did"] == did] == [str(n) for n in range(1, len(logs[did]) + 1)]


def test_a_killed_server_loses_no_acknowledged_version(db, servers):
    keys = [keyed(f"publisher-{i}") for i in range(PUBLISHERS)]
    dids = [key.engine.create_did_from_key() for key in keys]
    length = KILLS * ACKS_PER_ROUND  # more than a publisher can reach: the kill comes first
    chains = [[keyed_version(key, n) for n in range(1, length + 1)] for key in keys]
    acknowledged: list[tuple[str, str, str, int]] = []
    sent = [0] * PUBLISHERS  # per publisher: its versions answered so far; the next may be in flight

    def publish(server, i):
        while sent[i] < length:
            text = chains[i][sent[i]]
            try:
                answer = server.publish(text, dids[i])
            except (OSError, http.client.HTTPException):
                return  # the server is gone; this version may or may not have been stored
            # 200: the version was stored before a kill took its answer away, and is known again.
            assert answer.status in (200, 201), (answer.status, answer.body)
            acknowledged.append((dids[i], answer.json()["versionId"], text, answer.status))
            sent[i] += 1

    server = servers(db)
    for kill in range(1, KILLS + 1):
        threads, failures = start_threads(PUBLISHERS, lambda i: publish(server, i))
        deadline = time.monotonic() + 60
        while len(acknowledged) < kill * ACKS_PER_ROUND and time.monotonic() < deadline and not failures:
            time.sleep(0.002)
        server.kill()
        join_threads(threads, failures)
        server = servers(db)
    # Each publisher sends again the version it had no answer for, as a client would.
    for i in range(PUBLISHERS):
        text = chains[i][sent[i]]
        answer = server.publish(text, dids[i])
        assert answer.status in (200, 201), (answer.status, answer.body)
        acknowledged.append((dids[i], answer.json()["versionId"], text, answer.status))
    check_registry(server, dids, acknowledged)
    assert sum(len(server.log(did)) for did in dids) == len({(a[0], a[1]) for a in acknowledged})


@pytest.mark.parametrize("if_match", [False, True], ids=["blind", "if-match"])
@pytest.mark.parametrize("processes", [1, 2], ids=["one-process", "two-processes"])
def test_racing_writers_take_each_version_number_once(db, servers, processes, if_match):
    # Blind writers send versions of fixed times: one whose time is not past the last version's
    # loses (409). Careful writers build on the last version they saw and name it in If-Match:
    # one that was overtaken loses (412) and tries again on the new last version.
    key = keyed("raced")
    did = key.engine.create_did_from_key()
    running = [servers(db) for _ in range(processes)]
    assert running[0].publish(keyed_version(key, 0), did).status == 201
    acknowledged: list[tuple[str, str, str, int]] = []

    def write(i):
        server = running[i % processes]
        for round in range(RACE_ROUNDS):
            if if_match:
                last = len(server.log(did))
                text = keyed_version(key, last * PUBLISHERS + i)
                answer = server.publish(text, did, if_match=str(last))
                assert answer.status in (201, 412), (answer.status, answer.body)
                assert answer.status == 412 or answer.json()["versionId"] == str(last + 1)
            else:
                text = keyed_version(key, 1 + round * PUBLISHERS + i)
                answer = server.publish(text, did)
                assert answer.status in (201, 409), (answer.status, answer.body)
            if answer.status == 201:
                acknowledged.append((did, answer.json()["versionId"], text, 201))

    join_threads(*start_threads(PUBLISHERS, write))
    check_registry(running[-1], [did], acknowledged)
    assert len(running[0].log(did)) == 1 + len(acknowledged) > 2


def test_the_registry_outlives_its_postgresql(postgres_server, postgres_db, servers):
    key = keyed("outlives")
    did = key.engine.create_did_from_key()
    server = servers(postgres_db)
    assert server.publish(keyed_version(key, 0), did).status == 201
    postgres_server.stop()
    try:
        answer = server.request("GET", f"/1.0/identifiers/{did}")
        assert answer.status == 500
        assert answer.json()["didResolutionMetadata"]["error"]["type"].endswith("#INTERNAL_ERROR")
        assert server.request("GET", "/healthz").status == 503
        assert server.publish(keyed_version(key, 1), did).status == 500
        assert server.alive()
    finally:
        postgres_server.start()
    deadline = time.monotonic() + 30
    while server.request("GET", "/healthz").status != 200:
        assert time.monotonic() < deadline, "the registry did not recover when PostgreSQL came back"
        time.sleep(0.2)
    assert server.request("GET", f"/1.0/identifiers/{did}").status == 200
    assert server.publish(keyed_version(key, 1), did).status == 201
