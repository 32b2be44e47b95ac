# The client against a registry that lies: every lie is refused, a fork comes with both checkpoints as
# evidence, and a refused answer leaves the client's state exactly as it was.
from pathlib import Path

import pytest

from did_vek import DIDEngine, ForkDetected, InvalidProof
from did_vek.tlog import merkle
from did_vek.tlog.dmap import DidMap, map_key
from did_vek.tlog.note import Signer
from did_vek.tlog.policy import parse_policy
from did_vek.tlog.proof import TlogProof
from did_vek.tlog.state import ClientState, StateMoved
from did_vek.tlog.verify import accept_history, accept_resolution
from histories import DID, KEYS, life_of_a_did, stamp, version
from lying_log import ORIGIN, URL, Log, b64

V = life_of_a_did()
OTHER_V1 = version(KEYS[0], "key-1", {"key-1": KEYS[0]}, updated=stamp(1))  # a second, different version 1
OTHER_DID = KEYS[2].create_did_from_key()
STRANGER = version(KEYS[2], "key-1", {"key-1": KEYS[2]}, did=OTHER_DID)
SIGNER = Signer(ORIGIN, DIDEngine())


def honest():
    return Log(SIGNER).publish(V[0]).publish(V[1], STRANGER)  # trees of sizes 3 and 6


def history(state, log, *, did=DID, size=None, known=None, versions=None, change=None, url=URL, policy=None):
    served, vek_log = log.history(did, size=size, known=known)
    if change:
        change(vek_log)
    return accept_history(state, policy, url, did, served if versions is None else versions, vek_log, known=known,
                          offered_key=log.signer.verifier)


def resolution(state, log, version_id=None, *, known=None, change=None):
    document, served_id, vek_log = log.resolution(DID, version_id)
    if change:
        change(vek_log)
    consistency = None if known is None else merkle.consistency_proof(log.tree, known, log.size)
    return accept_resolution(state, None, URL, DID, vek_log, document=document, version_id=served_id,
                             consistency=consistency, known=known, offered_key=log.signer.verifier)


def remembered(state, log, size):
    """A state that has verified the tree of `size` of `log`."""
    history(state, log, size=size)
    return log


def set_item(name, value):
    return lambda vek_log: vek_log.__setitem__(name, value)


def tampered_consistency(vek_log):
    vek_log["consistency"][0] = b64(bytes(32))


def other_extra(vek_log):
    proof = TlogProof.parse(vek_log["mapProof"])
    vek_log["mapProof"] = TlogProof(proof.index, proof.path, proof.checkpoint, b"m 0 x\n").text


def older_map_proof(log):
    return set_item("map", DidMap(log.maps[3].items()).prove(map_key(DID)).to_json())


def previous_map_entry(log):
    """The map entry before the newest, proven in the newest tree, with the DID's proof in its map."""
    return lambda vek_log: vek_log.update(mapEntry=log.entries[2], mapProof=_entry_proof(log, 2, log.size),
                                          map=DidMap(log.maps[3].items()).prove(map_key(DID)).to_json())


def fork():
    """Two logs under one key: the honest one, and one whose first DID version is another."""
    return Log(SIGNER).publish(V[0]), Log(SIGNER).publish(OTHER_V1)


# Each lie: (what the state held before, as a function of it) -> the answer that is refused.
LIES = {
    "withheld newest version: an older checkpoint":
        (lambda state: history(state, remembered(state, honest(), 6), size=3), "smaller than the tree of size 6"),
    "withheld newest version: the map names it":
        (lambda state: history(state, remembered(state, honest(), 3), known=3, versions=[V[0]]), "names another entry"),
    "withheld newest version: the previous map's proof":
        (lambda state: history(state, log := remembered(state, honest(), 3), known=3, versions=[V[0]],
                               change=older_map_proof(log)), "does not lead to the map's root"),
    "withheld newest version: the previous map entry":
        (lambda state: history(state, log := remembered(state, honest(), 3), known=3, versions=[V[0]],
                               change=previous_map_entry(log)), "not the last entry 5"),
    "a DID proven absent although versions were served":
        (lambda state: history(state, Log(SIGNER).publish(V[0], hide={DID})), f"proves {DID} absent"),
    "a DID answered unknown although the map holds it":
        (lambda state: history(state, honest(), versions=[]), "no version of it was served"),
    "an entry of another document than the one served, in a history":
        (lambda state: history(state, Log(SIGNER).publish(V[0], logged={V[0]: OTHER_V1})), "names another entry"),
    "an entry of another document than the one served, in a resolution":
        (lambda state: resolution(state, Log(SIGNER).publish(V[0], logged={V[0]: OTHER_V1})),
         "hash of another document"),
    "a broken prev chain, in a history":
        (lambda state: history(state, Log(SIGNER).publish(V[0]).publish(V[1], previous={V[1]: bytes(32)})),
         "names another entry"),
    "a broken prev chain, in a resolution":
        (lambda state: resolution(state, Log(SIGNER).publish(V[0]).publish(V[1], previous={V[1]: bytes(32)}), 1),
         "does not follow the entry of version 1"),
    "a missing consistency proof":
        (lambda state: history(state, remembered(state, honest(), 3)), "does not prove that the tree of size 6"),
    "a consistency proof with a hash changed":
        (lambda state: history(state, remembered(state, honest(), 3), known=3, change=tampered_consistency),
         "does not lead to the root of size 6"),
    "an empty consistency proof":
        (lambda state: history(state, remembered(state, honest(), 3), known=3,
                               change=set_item("consistency", [])), "is empty"),
    "proofs of one answer under different checkpoints":
        (lambda state: resolution(state, log := honest(), 1, change=set_item("proof", _entry_proof(log, 1, 3))),
         "different checkpoints"),
    "an extra line that is not the entry":
        (lambda state: history(state, honest(), change=other_extra), "extra line is not the entry"),
    "a checkpoint signed by another key at the same URL":
        (lambda state: remembered(state, honest(), 3) and history(state, Log().publish(V[0])),
         "no signature of a known log key"),
    "another log at the same URL":
        (lambda state: remembered(state, honest(), 3) and history(state, Log(origin="elsewhere/log").publish(V[0])),
         "first seen serving"),
    "another key for a known log at another URL":
        (lambda state: remembered(state, honest(), 3) and history(state, Log().publish(V[0]), url="http://mirror"),
         "another key for the log"),
    "a first contact without a key or a policy":
        (lambda state: accept_history(state, None, URL, DID, *honest().history(DID), known=None),
         "no key of the log"),
}


def _entry_proof(log, index, size):
    return TlogProof(index, tuple(merkle.inclusion_proof(log.tree, index, size)), log.signed(size),
                     log.entries[index].encode()).text


def snapshot(directory):
    return {path.relative_to(directory): path.read_bytes()
            for path in Path(directory).rglob("*") if path.is_file() and path.name != "lock"}


@pytest.fixture
def state(tmp_path):
    return ClientState(tmp_path / "state")


@pytest.mark.parametrize("lie, message", LIES.values(), ids=LIES.keys())
def test_each_lie_is_refused_and_nothing_is_stored(state, lie, message, monkeypatch):
    before = {}
    real_update = ClientState.update

    def update_after_snapshot(self):
        before.clear()
        before.update(snapshot(self.directory))  # the state as the refused answer found it
        return real_update(self)

    monkeypatch.setattr(ClientState, "update", update_after_snapshot)
    with pytest.raises(InvalidProof, match=message) as refused:
        lie(state)
    assert type(refused.value) is InvalidProof  # a lie, but no evidence of a fork
    assert snapshot(state.directory) == before


@pytest.mark.parametrize("old_size, answer", [
    (3, lambda state, forked: history(state, forked)),  # the same size, another root
    (3, lambda state, forked: history(state, forked.publish(V[1]), known=3)),  # a proof whose old half differs
])
def test_a_fork_signed_by_one_key_is_caught_with_both_checkpoints(state, old_size, answer):
    honest_log, forked = fork()
    remembered(state, honest_log, old_size)
    before = snapshot(state.directory)
    with pytest.raises(ForkDetected) as caught:
        answer(state, forked)
    assert (caught.value.old, caught.value.new) == (honest_log.signed(old_size), forked.signed())
    assert snapshot(state.directory) == before


def test_a_smaller_tree_of_a_fork_is_refused_without_claiming_a_fork(state):
    honest_log, forked = fork()
    remembered(state, forked.publish(V[1]), forked.size)
    with pytest.raises(InvalidProof, match="smaller") as refused:
        history(state, honest_log)
    assert type(refused.value) is InvalidProof


def test_honest_answers_are_remembered_and_move_the_state_forward(state):
    log = honest()
    assert state.known_size(URL) is None
    history(state, log, size=3)
    assert (state.known_size(URL), state.checkpoint(ORIGIN)) == (3, log.signed(3))
    assert state.registry_key(URL) == state.log_key(ORIGIN) == SIGNER.verifier
    history(state, log, known=3)
    assert state.known_size(URL + "/") == 6
    history(state, log, known=6)  # the same tree again
    history(state, log, did=OTHER_DID, known=6)
    resolution(state, log, 1)  # an old version, with the entries after it
    log.publish(V[2])
    history(state, log, did="did:vek:unknown", known=6)  # an absence
    assert state.checkpoint(ORIGIN) == log.signed()


def test_a_policy_accepts_the_logs_it_lists_at_a_url_first_seen_with_another(state):
    remembered(state, honest(), 3)
    other = Log().publish(V[0])
    policy = parse_policy(f"log {other.signer.verifier.vkey}\nquorum none\n")
    history(state, other, policy=policy)
    assert state.registry_key(URL) == SIGNER.verifier  # still the key first seen there
    assert state.log_key(ORIGIN) == SIGNER.verifier  # the policy's key is not pinned
    with pytest.raises(InvalidProof, match="no signature of a known log key"):
        history(state, honest(), policy=policy, known=3)


def test_a_proof_from_a_size_the_state_has_left_asks_again(state):
    log = remembered(state, honest(), 3)
    served, vek_log = log.publish(V[2]).history(DID, known=3)  # on its way, while
    history(state, log, size=6, known=3)  # another process remembers a newer tree
    with pytest.raises(StateMoved):
        accept_history(state, None, URL, DID, served, vek_log, known=3)
    assert state.known_size(URL) == 6
