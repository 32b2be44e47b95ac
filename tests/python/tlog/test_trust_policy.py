# Trust policy files: every malformed line refused with its number, quorums evaluated, and
# checkpoints checked against a policy's logs and witnesses.
import base64
import hashlib

import pytest

from did_vek import DIDEngine
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.errors import FormatError, InvalidProof
from did_vek.tlog.note import COSIGNATURE_V1, Signer
from did_vek.tlog.policy import parse_policy

ORIGIN = "log.example/did-vek"
LOG = Signer(ORIGIN, DIDEngine())
OTHER_LOG = Signer("other.example/log", DIDEngine())
WITNESSES = {name: Signer(f"{name.lower()}.example", DIDEngine(), COSIGNATURE_V1) for name in ["X1", "X2", "X3", "Y1"]}
W = {name: signer.verifier.vkey for name, signer in WITNESSES.items()}
L = LOG.verifier.vkey

EXAMPLE = f"""
# the logs
log {L} https://log.example/tlog
log {OTHER_LOG.verifier.vkey}

witness X1 {W["X1"]}
  witness\tX2 {W["X2"]}  https://x2.example/
witness X3 {W["X3"]}
group X-witnesses 2 X1 X2 X3
witness Y1 {W["Y1"]}
group Y-witnesses any Y1
group X-and-Y all X-witnesses Y-witnesses
quorum X-and-Y
"""


def test_a_policy_is_read_whole():
    policy = parse_policy(EXAMPLE)
    assert [log.verifier for log in policy.logs] == [LOG.verifier, OTHER_LOG.verifier]
    assert policy.logs[0].url == "https://log.example/tlog" and policy.logs[1].url is None
    assert policy.witnesses["X2"].url == "https://x2.example/"
    assert policy.groups["X-witnesses"].threshold == 2 and policy.groups["X-and-Y"].threshold == 2
    assert policy.quorum == "X-and-Y"


@pytest.mark.parametrize("cosigners, satisfied", [
    ({"X1", "X2", "Y1"}, True), ({"X1", "X3", "Y1"}, True), ({"X1", "X2", "X3", "Y1"}, True),
    ({"X1", "Y1"}, False), ({"X1", "X2", "X3"}, False), (set(), False),
])
def test_quorums_of_groups(cosigners, satisfied):
    policy = parse_policy(EXAMPLE)
    assert policy.satisfied_by(WITNESSES[name].verifier for name in cosigners) is satisfied


@pytest.mark.parametrize("quorum_lines, cosigners, satisfied", [
    ("quorum none", set(), True),
    ("quorum X1", {"X1"}, True),
    ("quorum X1", {"X2"}, False),
    ("group G all X1 X2\nquorum G", {"X1"}, False),
    ("group G any X1 X2\nquorum G", {"X2"}, True),
    ("group G 2 X1 X2 X3\nquorum G", {"X3", "X1"}, True),
    ("group G 3 X1 X2 X3\nquorum G", {"X3", "X1"}, False),
])
def test_simple_quorums(quorum_lines, cosigners, satisfied):
    policy = parse_policy("\n".join(f"witness {n} {W[n]}" for n in ["X1", "X2", "X3"]) + "\n" + quorum_lines)
    assert policy.satisfied_by(WITNESSES[name].verifier for name in cosigners) is satisfied


@pytest.mark.parametrize("text, message", [
    ("quorum none\nquorum none", "line 2: a second quorum line"),
    ("log", "line 1: 'log' takes a vkey"),
    (f"log {L} url extra\nquorum none", "line 1: 'log' takes"),
    (f"log {L}\nlog {L}\nquorum none", "line 2: log key .* listed twice"),
    (f"log {L}\nlog {Signer('renamed.example', LOG._engine).verifier.vkey}\nquorum none", "line 2: .*listed twice"),
    (f"log {W['X1']}\nquorum none", "line 1: a log vkey has signature type 0x01, not 0x04"),
    (f"witness X1 {L}\nquorum none", "line 1: a witness vkey has signature type 0x04, not 0x01"),
    ("witness X1\nquorum none", "line 1: 'witness' takes"),
    (f"witness X1 {W['X1']}\nwitness X1 {W['X2']}\nquorum none", "line 2: name 'X1' is reserved or already defined"),
    (f"witness X1 {W['X1']}\nwitness X2 {W['X1']}\nquorum none", "line 2: the key of witness 'X2' is listed twice"),
    (f"witness none {W['X1']}\nquorum none", "line 1: name 'none' is reserved"),
    (f"witness X1 {W['X1']}\ngroup X1 any X1\nquorum none", "line 2: name 'X1'"),
    (f"witness X1 {W['X1']}\ngroup G any\nquorum none", "line 2: 'group' takes"),
    (f"witness X1 {W['X1']}\ngroup G any X1 X1\nquorum none", "line 2: group 'G' lists 'X1' twice"),
    (f"witness X1 {W['X1']}\ngroup G any X2\nquorum none", "line 2: 'X2' is not a witness or group defined above"),
    (f"group G any X1\nwitness X1 {W['X1']}\nquorum none", "line 1: 'X1' is not"),
    (f"witness X1 {W['X1']}\ngroup G 0 X1\nquorum none", "line 2: the threshold of group 'G' is 0"),
    (f"witness X1 {W['X1']}\ngroup G 2 X1\nquorum none", "line 2: the threshold of group 'G' 2 is larger than 1"),
    (f"witness X1 {W['X1']}\ngroup G 01 X1\nquorum none", "line 2: .*leading zeros"),
    (f"witness X1 {W['X1']}\ngroup G some X1\nquorum none", "line 2: .*not a decimal"),
    (f"witness X1 {W['X1']}\ngroup G any none\nquorum none", "line 2: 'none' is not"),
    ("quorum G", "line 1: 'G' is not"),
    ("quorum", "line 1: 'quorum' takes one name"),
    ("quorum a b", "line 1: 'quorum' takes one name"),
    ("quorum none\nwitnesses X1", "line 2: unknown keyword 'witnesses'"),
    ("quorum none\r\n", "line 1: a control character"),
    ("quorum\x0bnone", "line 1: a control character"),
    ("# only a comment", "no quorum line"),
    ("", "no quorum line"),
    (f"log {L[:-2]}\nquorum none", "line 1: .*base64"),
    # A no-break space belongs to the name it is in: only spaces and tabs separate items.
    (f"witness X1 {W['X1']}\nquorum X1\u00a0", "line 2: .* is not a witness"),
])
def test_malformed_policies_name_their_line(text, message):
    with pytest.raises(FormatError, match=message):
        parse_policy(text)


TEXT = Checkpoint(ORIGIN, 10, hashlib.sha256(b"root").digest()).text


def cosigned(names, timestamp=1_700_000_000):
    note = LOG.sign_note(TEXT)
    return note + "".join(WITNESSES[name].sign(TEXT, timestamp=timestamp).line for name in names)


@pytest.mark.parametrize("names, accepted", [(["X1", "X2", "Y1"], True), (["X1", "Y1"], False), ([], False)])
def test_checkpoints_need_a_listed_log_and_the_quorum(names, accepted):
    policy = parse_policy(EXAMPLE)
    if accepted:
        assert policy.check_checkpoint(cosigned(names)).checkpoint.size == 10
    else:
        with pytest.raises(InvalidProof, match="lacks the quorum"):
            policy.check_checkpoint(cosigned(names))


def test_a_checkpoint_of_an_unlisted_log_or_with_a_bad_cosignature_is_refused():
    policy = parse_policy(EXAMPLE)
    unlisted = Signer(ORIGIN, DIDEngine()).sign_note(TEXT)
    with pytest.raises(InvalidProof, match="no signature of a known log key"):
        policy.check_checkpoint(unlisted)
    *signatures, last = cosigned(["X1", "X2", "Y1"]).removesuffix("\n").split("\n")
    dash, name, data = last.split(" ")
    raw = base64.b64decode(data)
    broken = f"{dash} {name} {base64.b64encode(raw[:-1] + bytes([raw[-1] ^ 1])).decode()}"
    with pytest.raises(InvalidProof, match="signature of y1.example does not verify"):
        policy.check_checkpoint("\n".join([*signatures, broken]) + "\n")


@pytest.mark.parametrize("age, accepted", [(100, True), (99, False)])
def test_max_age_counts_only_recent_cosignatures(age, accepted):
    policy = parse_policy(EXAMPLE)
    note = cosigned(["X1", "X2", "Y1"], timestamp=1_700_000_000)
    if accepted:
        policy.check_checkpoint(note, now=1_700_000_100, max_age=age)
    else:
        with pytest.raises(InvalidProof, match="within 99 s"):
            policy.check_checkpoint(note, now=1_700_000_100, max_age=age)
