# The registry client over HTTP against a registry made of a log the tests bend: histories and receipts
# are accepted only with proofs that hold, their checkpoints remembered; a fork is printed and exits 3.
import base64

import pytest

from did_vek import DIDEngine, InvalidProof, NotFound, RegistryClient
from did_vek.cli import main
from did_vek.tlog import merkle
from did_vek.tlog.note import Signer
from did_vek.tlog.proof import TlogProof
from did_vek.tlog.state import ClientState
from histories import DID, KEYS, life_of_a_did, stamp, version
from lying_log import ORIGIN, Log, history_path, history_route, key_route
from registries import FakeRegistry
from test_lying_registry import snapshot

V = life_of_a_did()
SIGNER = Signer(ORIGIN, DIDEngine())
OTHER_V1 = version(KEYS[0], "key-1", {"key-1": KEYS[0]}, updated=stamp(1))  # another valid version 1
OTHER_DID = KEYS[2].create_did_from_key()
POST = "/dids/" + DID.replace(":", "%3A")


def consistency_route(log, old, new):
    hashes = merkle.consistency_proof(log.tree, old, new)
    return {f"/tlog/consistency?old={old}&new={new}": (200, b"".join(base64.b64encode(h) + b"\n" for h in hashes))}


def test_resolve_checks_the_history_against_the_log_and_remembers_it(client_state):
    log = Log(SIGNER).publish(V[0])
    with FakeRegistry({**key_route(log), **history_route(log, DID)}) as fake, RegistryClient(fake.url) as client:
        assert client.resolve(DID).version_id == "1"
        log.publish(V[1])
        fake.routes.update(history_route(log, DID, known=3))
        assert client.resolve(DID, version_id="1").history.latest.version_id == "2"
        fake.routes.update(history_route(log, OTHER_DID, known=5))
        with pytest.raises(NotFound, match="no version in the registry's log"):
            client.resolve(OTHER_DID)  # proven absent
    assert fake.paths == [history_path(DID), "/tlog/key", history_path(DID, 3), history_path(OTHER_DID, 5)]
    assert ClientState(client_state).checkpoint(ORIGIN) == log.signed()


def test_a_fork_is_printed_with_both_checkpoints_exit_3_and_nothing_stored(tmp_path, capsys):
    real, forked = Log(SIGNER).publish(V[0]), Log(SIGNER).publish(OTHER_V1).publish(V[1])
    state = tmp_path / "state"
    with FakeRegistry({**key_route(real), **history_route(real, DID)}) as fake:
        command = ["resolve", "--registry", fake.url, "--state", str(state), DID]
        assert main(command) == 0
        before = snapshot(state)
        fake.routes.update(history_route(forked, DID, known=3))
        capsys.readouterr()
        assert main(command) == 3
    error = capsys.readouterr().err
    assert "the registry's log forked" in error and real.signed() in error and forked.signed() in error
    assert snapshot(state) == before


def test_publish_verifies_its_receipt_and_remembers_the_checkpoint(client_state):
    log = Log(SIGNER).publish(V[0])
    with FakeRegistry({**key_route(log), POST: (201, log.receipt(DID, 1))}) as fake, RegistryClient(fake.url) as client:
        assert client.publish(V[0]).log_index == 1
        log.publish(V[1])
        fake.routes.update({POST: (201, log.receipt(DID, 2)), **consistency_route(log, 3, 5)})
        published = client.publish(V[1])
    assert (published.version_id, published.log_index, published.created) == ("2", 3, True)
    assert ClientState(client_state).checkpoint(ORIGIN) == log.signed()


def without_extra(proof):
    parsed = TlogProof.parse(proof)
    return TlogProof(parsed.index, parsed.path, parsed.checkpoint).text


RECEIPT_LIES = {  # the receipt for version 1 of DID, changed, and why it is refused
    "no proof, as from a registry without a log": (lambda log: {"proof": None}, 'no text "proof"'),
    "a logIndex other than the proof's": (lambda log: {"logIndex": 2}, "logIndex 2 is not the index"),
    "a proof of the map entry": (lambda log: {"logIndex": 2, "proof": log.proof(2)}, "is not a version entry"),
    "a proof without its entry": (lambda log: {"proof": without_extra(log.proof(1))}, "does not carry the entry"),
    "another version's entry": (lambda log: {"versionId": "2"}, "another entry than version 2"),
    "an entry of another document": (
        lambda log: Log(SIGNER).publish(OTHER_V1).receipt(DID, 1), "another entry than version 1"),
    "a map without the DID": (
        lambda log: Log(SIGNER).publish(V[0], hide={DID}).receipt(DID, 1), f"proves {DID} absent"),
    "a map proof of an older map": (
        lambda log: {"vekLog": {**log.receipt(DID, 1)["vekLog"], "map": log.map_proof(DID, 1)}},
        "does not lead to the map's root"),
}


@pytest.mark.parametrize("change, message", RECEIPT_LIES.values(), ids=RECEIPT_LIES.keys())
def test_a_receipt_that_does_not_prove_the_version_is_refused_and_nothing_stored(client_state, change, message):
    log = Log(SIGNER).publish(V[0])
    receipt = {**log.receipt(DID, 1), **change(log)}
    with FakeRegistry({**key_route(log), POST: (201, receipt)}) as fake, RegistryClient(fake.url) as client:
        with pytest.raises(InvalidProof, match=message):
            client.publish(V[0])
    assert snapshot(client_state) == {}
