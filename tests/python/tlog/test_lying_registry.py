# The client against a registry that lies: each lie is refused, a fork comes with both checkpoints as
# evidence, and a refused answer leaves the client's state exactly as it was.
from pathlib import Path

import pytest

from did_vek import DIDEngine, ForkDetected, InvalidProof
from did_vek.tlog.note import Signer
from did_vek.tlog.policy import parse_policy
from did_vek.tlog.state import ClientState, StateMoved
from did_vek.tlog.verify import accept_history, accept_resolution
from histories import DID, KEYS, life_of_a_did, stamp, version
from lying_log import ORIGIN, URL, Log

V = life_of_a_did()
OTHER_V1 = version(KEYS[0], "key-1", {"key-1": KEYS[0]}, updated=stamp(1))  # another valid version 1
OTHER_DID = KEYS[2].create_did_from_key()
SIGNER = Signer(ORIGIN, DIDEngine())
ZERO_HASH = "A" * 43 + "="


def honest():  # trees of sizes 3 and 6
    return Log(SIGNER).publish(V[0]).publish(V[1], version(KEYS[2], "key-1", {"key-1": KEYS[2]}, did=OTHER_DID))


def history(state, log, *, did=DID, size=None, known=None, versions=None, change=dict, url=URL, policy=None):
    served, vek_log = log.history(did, size=size, known=known)
    vek_log.update(change(vek_log))
    return accept_history(state, policy, url, did, served if versions is None else versions, vek_log, known=known,
                          offered_key=log.signer.verifier)


def resolve(state, log, version_id, change=dict):
    document, version_id, vek_log = log.resolution(DID, version_id)
    vek_log.update(change(vek_log))
    return accept_resolution(state, None, URL, DID, vek_log, document=document, version_id=version_id,
                             offered_key=log.signer.verifier)


def seen(state, log, size):
    history(state, log, size=size)  # the state has verified this tree before
    return log


def snapshot(directory):
    return {path: path.read_bytes() for path in Path(directory).rglob("*") if path.is_file() and path.name != "lock"}


def withheld(change=lambda log: {}):  # the newest version of DID is withheld from a state that saw the tree before it
    return lambda s: history(s, log := seen(s, honest(), 3), known=3, versions=V[:1], change=lambda vl: change(log))


FORKED = Log(SIGNER).publish(OTHER_V1).publish(V[1])  # the same key, another version 1
LYING = Log(SIGNER).publish(V[0], logged={V[0]: OTHER_V1}), Log(SIGNER).publish(V[0]).publish(V[1], previous={V[1]: bytes(32)})
LIES = {  # the answer, told to a state that may have seen part of the log before, and why it is refused
    "withheld newest version: an older checkpoint": (lambda s: history(s, seen(s, honest(), 6), size=3), "smaller"),
    "withheld newest version: the map names it": (withheld(), "names another entry"),
    "withheld newest version: the previous map's proof": (
        withheld(lambda log: {"map": log.map_proof(DID, 3)}), "does not lead to the map's root"),
    "withheld newest version: the previous map entry": (withheld(lambda log: {
        "mapEntry": log.entries[2], "mapProof": log.proof(2), "map": log.map_proof(DID, 3)}), "not the last entry 5"),
    "a forked log's smaller tree after a larger one": (
        lambda s: seen(s, FORKED, 5) and history(s, Log(SIGNER).publish(V[0])), "smaller"),
    "a DID proven absent although versions were served": (
        lambda s: history(s, Log(SIGNER).publish(V[0], hide={DID})), f"proves {DID} absent"),
    "a DID answered unknown although the map holds it": (lambda s: history(s, honest(), versions=[]), "no version"),
    "an entry of another document, in a history": (lambda s: history(s, LYING[0]), "names another entry"),
    "an entry of another document, in a resolution": (lambda s: resolve(s, LYING[0], 1), "hash of another document"),
    "a broken prev chain, in a history": (lambda s: history(s, LYING[1]), "names another entry"),
    "a broken prev chain, in a resolution": (lambda s: resolve(s, LYING[1], 1), "does not follow the entry of version 1"),
    "no consistency proof": (lambda s: history(s, seen(s, honest(), 3)), "does not prove that the tree of size 6"),
    "a consistency proof with a hash changed": (lambda s: history(s, seen(s, honest(), 3), known=3, change=lambda vl: {
        "consistency": [ZERO_HASH, *vl["consistency"][1:]]}), "does not lead to the root of size 6"),
    "proofs of one answer under different checkpoints": (
        lambda s: resolve(s, log := honest(), 1, lambda _: {"proof": log.proof(1, 3)}), "different checkpoints"),
    "an extra line that is not the entry": (
        lambda s: history(s, honest(), change=lambda _: {"mapEntry": f"m 0 {ZERO_HASH}\n"}), "extra line"),
    "another key at the same URL": (lambda s: seen(s, honest(), 3) and history(s, Log().publish(V[0])), "no signature"),
    "another log at the same URL": (
        lambda s: seen(s, honest(), 3) and history(s, Log(origin="elsewhere/log").publish(V[0])), "first seen serving"),
    "another key for a known log at another URL": (
        lambda s: seen(s, honest(), 3) and history(s, Log().publish(V[0]), url="http://mirror"), "another key for the log"),
    "a first contact without a key or a policy": (
        lambda s: accept_history(s, None, URL, DID, *honest().history(DID), known=None), "no key of the log"),
}


@pytest.fixture
def state(tmp_path, monkeypatch):
    state, real_update = ClientState(tmp_path / "state"), ClientState.update
    state.before = {}  # the state as the last answer found it
    monkeypatch.setattr(ClientState, "update", lambda self: state.before.clear() or state.before.update(
        snapshot(self.directory)) or real_update(self))
    return state


@pytest.mark.parametrize("lie, message", LIES.values(), ids=LIES.keys())
def test_each_lie_is_refused_and_nothing_is_stored(state, lie, message):
    with pytest.raises(InvalidProof, match=message) as refused:
        lie(state)
    assert type(refused.value) is InvalidProof  # a lie, but no evidence of a fork
    assert snapshot(state.directory) == state.before


@pytest.mark.parametrize("size", [3, 5])  # the same size with another root; a proof whose old half differs
def test_a_fork_signed_by_one_key_is_caught_with_both_checkpoints(state, size):
    real = seen(state, Log(SIGNER).publish(V[0]), 3)
    with pytest.raises(ForkDetected) as caught:
        history(state, FORKED, size=size, known=3)
    assert (caught.value.old, caught.value.new) == (real.signed(), FORKED.signed(size))
    assert snapshot(state.directory) == state.before


def test_honest_answers_are_remembered_and_move_the_state_forward(state):
    log = seen(state, honest(), 3)
    assert (state.registry_key(URL), state.log_key(ORIGIN), state.checkpoint(ORIGIN)) == (SIGNER.verifier,) * 2 + (
        log.signed(3),)
    history(state, log, known=3), history(state, log, did=OTHER_DID, known=6), resolve(state, log, 1)
    history(state, log.publish(V[2]), did="did:vek:x", known=6)  # an unknown DID
    assert (state.known_size(URL + "/"), state.checkpoint(ORIGIN)) == (8, log.signed())
    served, vek_log = log.publish(V[3]).publish(V[4]).history(DID, known=8)  # while this answer is on its way,
    history(state, log, size=10, known=8)  # another process remembers a newer tree: ask again
    with pytest.raises(StateMoved):
        accept_history(state, None, URL, DID, served, vek_log, known=8)
    policy = parse_policy(f"log {(other := Log(origin='listed/log').publish(V[0])).signer.verifier.vkey}\nquorum none\n")
    history(state, other, policy=policy)  # another log at the URL, but a listed one: its key is not pinned
    assert (state.registry_key(URL), state.log_key("listed/log"), state.known_size(URL)) == (SIGNER.verifier, None, 10)
