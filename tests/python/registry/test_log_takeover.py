# Two server processes on one store, publishing under load while one of them is killed or frozen:
# the other goes on writing the log within seconds, every acknowledged version is in it exactly
# once, and every checkpoint served during the run is consistent with the last one.
import base64
import http.client
import os
import signal
import threading
import time

import pytest

from conftest import LONG
from did_vek import RegistryClient
from did_vek.tlog import merkle
from did_vek.tlog.audit import audit
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import parse_note
from racing import join_threads, start_threads
from registry_histories import keyed, keyed_version
from registry_process import RegistryProcess
from test_reliability import check_registry

PUBLISHERS = 8
KILLS = 5
FROZEN_SECONDS = 60 if LONG else 8
VERSIONS_PER_DID = 500
# A process killed mid-answer cuts the connection before its headers (OSError) or within its body.
CUT_OFF = (OSError, http.client.IncompleteRead)


def started_pair(db):
    running = [RegistryProcess(db).start(), RegistryProcess(db).start()]
    yield running
    for server in running:
        server.process is not None and server.process.poll() is None and os.killpg(server.process.pid, signal.SIGCONT)
        server.kill()


@pytest.fixture
def pair(db):
    yield from started_pair(db)


@pytest.fixture
def postgres_pair(postgres_db):
    # A SQLite process frozen inside its write holds the file's lock as long as it is frozen.
    yield from started_pair(postgres_db)


class Load:
    """PUBLISHERS threads publishing their own DIDs' versions, half through each server, and a
    watcher keeping every checkpoint either server serves."""

    def __init__(self, servers):
        self.servers, self.stop = servers, threading.Event()
        self.sent, self.pending = [0] * PUBLISHERS, {}
        self.acknowledged, self.checkpoints, self.last_201 = [], set(), [0.0, 0.0]

    def publish(self, i):
        while not self.stop.is_set():
            server = self.servers[i % 2]
            # The same text until it is answered: a new signing would differ in the proof's time.
            # A DID of its own every VERSIONS_PER_DID versions: a long run would reach MAX_VERSIONS.
            key = keyed(f"takeover-{i}-{self.sent[i] // VERSIONS_PER_DID}")
            did = key.engine.create_did_from_key()
            text = self.pending.setdefault(i, keyed_version(key, self.sent[i] % VERSIONS_PER_DID + 1))
            try:
                answer = server.publish(text, did)
            except CUT_OFF:
                time.sleep(0.05)
                continue
            if answer.status in (200, 201):
                self.acknowledged.append((did, answer.json()["versionId"], text, answer.status))
                self.last_201[self.servers.index(server)] = time.monotonic()
                self.sent[i] += 1
                del self.pending[i]
            else:
                assert answer.status in (500, 503), (answer.status, answer.body)
                time.sleep(0.05)

    def watch(self):
        while not self.stop.is_set():
            for server in self.servers:
                try:
                    answer = server.request("GET", "/tlog/checkpoint", timeout=2)
                except CUT_OFF:
                    continue
                if answer.status == 200:
                    self.checkpoints.add(answer.body.decode())
            time.sleep(0.02)

    def run(self, disturb):
        threads, failures = start_threads(PUBLISHERS, self.publish)
        watcher = threading.Thread(target=self.watch)
        watcher.start()
        try:
            disturb()
        finally:
            self.stop.set()
            join_threads(threads, failures)
            watcher.join()

    def check(self, server):
        check_registry(server, sorted({did for did, *_ in self.acknowledged}), self.acknowledged)
        final = Checkpoint.parse(parse_note(server.request("GET", "/tlog/checkpoint").body.decode()).text)
        for signed in self.checkpoints:
            seen = Checkpoint.parse(parse_note(signed).text)
            proof = server.request("GET", f"/tlog/consistency?old={seen.size}&new={final.size}").body.split()
            merkle.verify_consistency(seen.size, final.size, seen.root, final.root,
                                      [base64.b64decode(line) for line in proof])
        with RegistryClient(f"http://127.0.0.1:{server.port}") as client:
            report = audit(client)  # the tiles, every entry, map and history, against the documents
        # A version whose answer a kill took away, and that was not sent again, is logged all the same.
        assert report.size == final.size and report.versions >= len({(a[0], a[1]) for a in self.acknowledged})


def writes_within(load, index, seconds):
    since = time.monotonic()
    while time.monotonic() - since < seconds:
        if load.last_201[index] > since:
            return True
        time.sleep(0.01)
    return False


def test_killing_a_writing_process_loses_nothing_and_the_other_writes_on(pair):
    load = Load(pair)

    def kill_again_and_again():
        for _ in range(KILLS):
            time.sleep(0.3)
            pair[0].kill()
            assert writes_within(load, 1, 2.0), "the other process did not write within 2 s"
            pair[0] = RegistryProcess(pair[0].db).start()
            load.servers[0] = pair[0]

    load.run(kill_again_and_again)
    load.check(pair[1])
    assert len(load.acknowledged) > PUBLISHERS


def test_a_frozen_process_holds_the_log_a_bounded_time_and_writes_nothing_when_it_wakes(postgres_pair):
    pair = postgres_pair
    load = Load(pair)

    def freeze():
        time.sleep(0.3)
        os.killpg(pair[0].process.pid, signal.SIGSTOP)
        try:
            assert writes_within(load, 1, 5.0), "the other process did not write within 5 s"
            time.sleep(FROZEN_SECONDS)
        finally:
            os.killpg(pair[0].process.pid, signal.SIGCONT)
        time.sleep(1)

    load.run(freeze)
    load.check(pair[1])
