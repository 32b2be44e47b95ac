# A registry with three witnesses (`did-vek witness` processes) and a quorum of two: a checkpoint is
# served only with two cosignatures; one witness down changes nothing, two down make publishes
# wait and then fail, and the same publish sent again succeeds once the quorum is back.
import http.client
import json
import os
import subprocess
import sys
import time

import pytest
from starlette.testclient import TestClient

from did_vek._keyfile import write_secret
from did_vek.registry import create_app, sequencer
from did_vek.registry.cosigning import witness_peer
from did_vek.registry.log_key import load_log_key
from did_vek.tlog.errors import InvalidProof
from did_vek.tlog.policy import parse_policy
from postgres_server import free_port
from registry_histories import DID, day, history, signed

JSON = {"content-type": "application/json"}


class WitnessProcess:
    def __init__(self, tmp_path, name, log_vkey):
        self.name, self.port = name, free_port()
        key = str(tmp_path / f"{name}.key")
        write_secret(key, os.urandom(32).hex(), replace=False)
        self.command = [sys.executable, "-m", "did_vek", "witness", "--name", name, "--key", key,
                        "--db", str(tmp_path / f"{name}.sqlite3"), "--log", log_vkey, "--port", str(self.port)]
        self.process = None

    def start(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.vkey = self.process.stdout.readline().decode().strip()
        deadline = time.monotonic() + 20
        while True:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=1)
            try:
                connection.request("POST", "/add-checkpoint", body=b"")
                connection.getresponse().read()
                return self
            except OSError:
                assert self.process.poll() is None and time.monotonic() < deadline
                time.sleep(0.05)
            finally:
                connection.close()

    def stop(self):
        self.process.kill()
        self.process.wait(10)
        self.process.stdout.close()


@pytest.fixture
def witnesses(tmp_path, log_key_file):
    log_vkey = load_log_key(str(log_key_file)).vkey
    running = [WitnessProcess(tmp_path, f"witness-{number}.example", log_vkey).start() for number in range(3)]
    yield running
    for witness in running:
        if witness.process.poll() is None:
            witness.stop()


def test_checkpoints_are_served_with_the_quorum_and_publishes_wait_for_it(tmp_path, witnesses, log_key_file,
                                                                          monkeypatch):
    monkeypatch.setattr(sequencer, "COSIGN_WAIT_SECONDS", 1.0)
    peers = [witness_peer(witness.vkey, f"http://127.0.0.1:{witness.port}") for witness in witnesses]
    policy = parse_policy("".join([f"log {load_log_key(str(log_key_file)).vkey}\n",
                                   *(f"witness w{n} {w.vkey}\n" for n, w in enumerate(witnesses)),
                                   "group two 2 w0 w1 w2\n", "quorum two\n"]))
    versions = history(3) + [signed(updated=day(5))]
    with TestClient(create_app(str(tmp_path / "registry.sqlite3"), witnesses=peers, quorum=2)) as client:
        assert client.post(f"/dids/{DID}", content=versions[0], headers=JSON).status_code == 201
        policy.check_checkpoint(client.get("/tlog/checkpoint").text)

        witnesses[0].stop()
        assert client.post(f"/dids/{DID}", content=versions[1], headers=JSON).status_code == 201
        policy.check_checkpoint(client.get("/tlog/checkpoint").text)

        witnesses[1].stop()
        served = client.get("/tlog/checkpoint").text
        refused = client.post(f"/dids/{DID}", content=versions[2], headers=JSON)
        assert refused.status_code == 503 and refused.headers["retry-after"] == "1", refused.text
        assert client.get("/tlog/checkpoint").text == served  # the new version is logged, not served
        assert len(client.get(f"/dids/{DID}/log").json()) == 2

        witnesses[1].start()
        again = client.post(f"/dids/{DID}", content=versions[2], headers=JSON)
        assert (again.status_code, again.json()["versionId"]) == (200, "3")
        policy.check_checkpoint(client.get("/tlog/checkpoint").text)
        assert len(client.get(f"/dids/{DID}/log").json()) == 3


def test_without_its_quorum_a_new_log_serves_no_checkpoint(tmp_path, witnesses):
    peers = [witness_peer(witness.vkey, f"http://127.0.0.1:{witness.port}") for witness in witnesses]
    for witness in witnesses[1:]:
        witness.stop()
    with TestClient(create_app(str(tmp_path / "registry.sqlite3"), witnesses=peers, quorum=2)) as client:
        assert client.get("/tlog/checkpoint").status_code == 503
        witnesses[1].start()
        checkpoint = client.get("/tlog/checkpoint")
        assert checkpoint.status_code == 200 and checkpoint.text.count("\n\u2014 ") == 3  # the log and two witnesses


def test_a_policy_that_wants_all_three_refuses_a_checkpoint_two_cosigned(tmp_path, witnesses, log_key_file):
    peers = [witness_peer(witness.vkey, f"http://127.0.0.1:{witness.port}") for witness in witnesses]
    witnesses[2].stop()
    policy = parse_policy("".join([f"log {load_log_key(str(log_key_file)).vkey}\n",
                                   *(f"witness w{n} {w.vkey}\n" for n, w in enumerate(witnesses)),
                                   "group every all w0 w1 w2\n", "quorum every\n"]))
    with TestClient(create_app(str(tmp_path / "registry.sqlite3"), witnesses=peers, quorum=2)) as client:
        with pytest.raises(InvalidProof):
            policy.check_checkpoint(client.get("/tlog/checkpoint").text)


@pytest.mark.parametrize("max_age, accepted", [(None, True), (3600.0, True), (1.0, False)])
def test_a_client_requires_the_quorum_recent_enough(tmp_path, witnesses, log_key_file, monkeypatch, max_age, accepted):
    from did_vek import RegistryClient
    from registries import real_registry

    # As `serve` hands its witnesses to its processes.
    monkeypatch.setenv("DID_VEK_WITNESSES", "".join(f"{w.vkey} http://127.0.0.1:{w.port}\n" for w in witnesses))
    monkeypatch.setenv("DID_VEK_QUORUM", "2")
    policy = tmp_path / "policy.txt"
    policy.write_text("".join([f"log {load_log_key(str(log_key_file)).vkey}\n",
                               *(f"witness w{n} {w.vkey}\n" for n, w in enumerate(witnesses)),
                               "group two 2 w0 w1 w2\n", "quorum two\n"]))
    with real_registry(tmp_path / "registry.sqlite3") as url:
        with RegistryClient(url, trust=str(policy), state=tmp_path / "state", max_age=max_age) as client:
            client.publish(history(1)[0])
            time.sleep(1.1)
            if accepted:
                assert client.resolve(DID).version_id == "1"
            else:
                with pytest.raises(InvalidProof):
                    client.resolve(DID)


@pytest.mark.parametrize("running, status", [(3, 0), (1, 2)])
def test_an_import_serves_its_versions_only_once_the_quorum_cosigned(tmp_path, witnesses, log_key_file, running,
                                                                      status, monkeypatch):
    from did_vek.registry import open_store

    monkeypatch.setattr(sequencer, "COSIGN_WAIT_SECONDS", 1.0)
    for witness in witnesses[running:]:
        witness.stop()
    export = tmp_path / "export.jsonl"
    export.write_text("".join(json.dumps({"did": DID, "versionId": str(number), "signed": json.loads(text)}) + "\n"
                              for number, text in enumerate(history(2), start=1)))
    db = tmp_path / "registry.sqlite3"
    command = [sys.executable, "-m", "did_vek", "import", "--db", str(db), "--log-key", str(log_key_file),
               "--quorum", "2", str(export)]
    for witness in witnesses:
        command[-1:-1] = ["--witness", witness.vkey, f"http://127.0.0.1:{witness.port}"]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run(command, capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == status, result.stderr
    store = open_store(str(db))
    try:
        served, built = store.head(), store.head(built=True)
    finally:
        store.close()
    if status == 0:
        assert served.size == built.size and served.checkpoint.count("\n\u2014 ") == 3  # the log and two witnesses
    else:
        assert "has not cosigned" in result.stderr and (served is None or served.size < built.size)
