# The monitor's audit over a log that its registry bends: each lie is reported as the first thing
# wrong (exit 3 from the command), an honest log is counted, and a later audit continues where one ended.
import json
import re
import time

import pytest

from did_vek import DIDEngine, ForkDetected, InvalidProof
from did_vek.tlog import Discrepancy
from did_vek.tlog.audit import audit
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import COSIGNATURE_V1, Signer, parse_note
from did_vek.tlog.policy import parse_policy
from did_vek.tlog.state import ClientState
from did_vek.tlog.tiles import Tile
from histories import DID, KEYS, life_of_a_did, stamp, version
from lying_log import ORIGIN, URL, Log, Served
from registries import FakeRegistry
from test_cli import run
from test_lying_registry import snapshot

V = life_of_a_did()
SIGNER = Signer(ORIGIN, DIDEngine())
OTHER_DID = KEYS[2].create_did_from_key()
OTHER_V1 = version(KEYS[2], "key-1", {"key-1": KEYS[2]}, did=OTHER_DID)
# A version 2 signed by a key that version 1 does not list.
UNLISTED = version(KEYS[1], "key-2", {"key-2": KEYS[1]}, updated=stamp(10))
# 300 versions of one DID in one batch: the log has a level-1 tile.
LONG = [version(KEYS[0], "key-1", {"key-1": KEYS[0]}, updated=stamp(second)) for second in range(300)]


def honest():  # genesis, V1, map; V2, OTHER_V1, map; V3, map: 8 entries
    return Log(SIGNER).publish(V[0]).publish(V[1], OTHER_V1).publish(V[2])


def flipped(served, tile, at):
    data = bytearray(served.tile(tile.path))
    data[32 * at] ^= 1
    return {tile.path: bytes(data)}


def unlogged_row():  # index 7 is the last map entry
    return {"did": DID, "versionId": "4", "signed": json.loads(V[3]), "logIndex": 7}


LIES = {  # the log as served, and the discrepancy reported
    "a level-0 tile with a hash changed": (
        lambda: Served(log := honest(), tiles=flipped(Served(log), Tile(0, 0, 8), 3)),
        "holds another hash than that of entry 3"),
    "a level-1 tile with a hash changed": (
        lambda: Served(log := Log(SIGNER).publish(*LONG), tiles=flipped(Served(log), Tile(1, 0, 1), 0)),
        "tile/1/000.p/1 holds another hash at 0 than the tile tile/0/000 gives"),
    "a map entry that leaves a DID out": (
        lambda: Served(Log(SIGNER).publish(V[0]).publish(OTHER_V1, hide={OTHER_DID})), "map entry 4 is not the map"),
    "a version entry holding another document's hash": (
        lambda: Served(Log(SIGNER).publish(V[0], logged={V[0]: OTHER_V1})),
        "not the document whose hash the entry holds"),
    "a broken prev chain": (
        lambda: Served(Log(SIGNER).publish(V[0]).publish(V[1], previous={V[1]: bytes(32)})),
        f"version 2 of {DID} \\(entry 3\\) does not follow"),
    "a withheld version": (lambda: Served(honest(), withhold={4}), "entry 4\\) is logged but not exported"),
    "a version that breaks the history's rules": (
        lambda: Served(Log(SIGNER).publish(V[0]).publish(UNLISTED)), "breaks the rules of a history: key_not_listed"),
    "an exported version that is not logged": (
        lambda: Served(honest(), rows=[unlogged_row()]), "logIndex 7 is not the version entry there"),
}


@pytest.mark.parametrize("served, message", LIES.values(), ids=LIES.keys())
def test_each_lie_of_a_log_is_found_by_the_audit_command(served, message):
    with FakeRegistry(served().routes()) as fake:
        result = run("audit", "--registry", fake.url)
    assert result.status == 3 and re.search(message, result.err), result.err


def test_an_honest_log_is_counted():
    with FakeRegistry(Served(honest()).routes()) as fake:
        result = run("audit", "--registry", fake.url)
    assert result.status == 0, result.err
    assert result.out == (f"audited: {ORIGIN}, tree of 8 entries (entries 0 to 7): 4 versions in 4 batches, 2 DIDs in "
                          "the map, 2 tiles and bundles read\n")


def test_an_audit_with_state_continues_where_the_last_ended(tmp_path):
    state, log = ClientState(tmp_path), honest()
    first = audit(Served(log), state=state)
    second = audit(Served(log.publish(V[3]).publish(V[4])), state=state)
    counts = [(report.since, report.size, report.versions, report.batches, report.dids) for report in (first, second)]
    assert counts == [(0, 8, 4, 4, 2), (8, 12, 2, 2, 2)]
    assert (state.checkpoint(ORIGIN), state.known_size(URL)) == (log.signed(), 12)
    mirror = Served(log.publish(version(KEYS[2], "key-1", {"key-1": KEYS[2]}, did=OTHER_DID, updated=stamp(5))))
    mirror.url = "http://mirror.example"  # the same log elsewhere: its export is read from its start
    third = audit(mirror, state=state)
    assert (third.since, third.size, third.versions, state.known_size(mirror.url)) == (12, 14, 1, 14)
    log.publish(UNLISTED)  # a version after the deactivation: found among the new entries alone
    with pytest.raises(Discrepancy, match="entry 14\\) breaks the rules of a history: deactivated"):
        audit(Served(log), state=state)


FORKS = {  # the same size with another root; a larger tree whose first 8 entries are another tree
    "same size": Log(SIGNER).publish(V[0]).publish(V[1], OTHER_V1).publish(V[3]),
    "larger": Log(SIGNER).publish(V[0]).publish(V[1], OTHER_V1).publish(V[2], V[3]),
}


@pytest.mark.parametrize("forked", FORKS.values(), ids=FORKS.keys())
def test_a_fork_after_an_audit_is_caught_and_nothing_stored(tmp_path, forked):
    state = ClientState(tmp_path)
    audit(Served(log := honest()), state=state)
    before = snapshot(tmp_path)
    with pytest.raises(ForkDetected) as caught:
        audit(Served(forked), state=state)
    assert (caught.value.old, caught.value.new) == (log.signed(), forked.signed())
    assert snapshot(tmp_path) == before


WITNESS = Signer("witness.example", DIDEngine(), COSIGNATURE_V1)
POLICY = parse_policy(f"log {SIGNER.verifier.vkey}\nwitness w {WITNESS.verifier.vkey}\nquorum w\n")


@pytest.mark.parametrize("cosigned_ago, max_age, refused", [
    (None, None, "lacks the quorum's cosignatures"),
    (10, None, None),
    (10, 60.0, None),
    (3600, 60.0, "lacks the quorum's cosignatures within 60 s"),
])
def test_under_a_policy_the_checkpoint_needs_the_quorum(cosigned_ago, max_age, refused):
    served = Served(honest())
    signed = served.checkpoint()
    if cosigned_ago is not None:
        text = Checkpoint.parse(parse_note(signed).text).text
        signed += WITNESS.sign(text, timestamp=int(time.time()) - cosigned_ago).line
    served.checkpoint = lambda: signed
    if refused is None:
        assert audit(served, policy=POLICY, max_age=max_age).versions == 4
    else:
        with pytest.raises(InvalidProof, match=refused):
            audit(served, policy=POLICY, max_age=max_age)


# Versions 1 to 8 of another DID: a history that keeps the rules, to pad a log with.
PADDING = [version(KEYS[2], "key-1", {"key-1": KEYS[2]}, did=OTHER_DID, updated=stamp(second)) for second in range(8)]
ORDERED = {  # a rule broken at entry 3 and a version withheld at entry 5; the same, the other way round
    "broken rules first": (lambda: Served(Log(SIGNER).publish(V[0]).publish(UNLISTED).publish(*PADDING), withhold={5}),
                           "breaks the rules of a history: key_not_listed"),
    "withheld first": (lambda: Served(Log(SIGNER).publish(V[0]).publish(*PADDING).publish(UNLISTED), withhold={4}),
                       "entry 4\\) is logged but not exported"),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("served, message", ORDERED.values(), ids=ORDERED.keys())
def test_the_first_thing_wrong_is_reported_however_many_threads_judge_the_rules(monkeypatch, threads, served,
                                                                                   message):
    monkeypatch.setattr("did_vek.tlog.audit._RULE_PAGE", 2)  # judged page by page, pages in flight
    with pytest.raises(Discrepancy, match=message):
        audit(served(), threads=threads)
    honest_log = Served(Log(SIGNER).publish(V[0]).publish(*PADDING).publish(V[1]))
    assert audit(honest_log, threads=threads).versions == 10
