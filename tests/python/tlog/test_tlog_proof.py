# Proofs of logging: written and read back, verified against the entry the verifier rebuilds,
# never against their "extra" line, and refused when any part is off.
import base64

import pytest

from did_vek import DIDEngine
from did_vek.tlog import merkle
from did_vek.tlog._base64 import encode, encode_hashes
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.errors import FormatError, InvalidProof
from did_vek.tlog.note import Signer
from did_vek.tlog.policy import parse_policy
from did_vek.tlog.proof import TlogProof, prove

ORIGIN = "log.example/did-vek"
LOG = Signer(ORIGIN, DIDEngine())
POLICY = parse_policy(f"log {LOG.verifier.vkey}\nquorum none\n")
ENTRIES = [b"m 0 AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n", *(b"entry %d\n" % i for i in range(1, 300))]
TREE = merkle.TreeHashes()
TREE.extend(merkle.leaf_hash(entry) for entry in ENTRIES)


def signed_checkpoint(size):
    return Checkpoint(ORIGIN, size, TREE.root(size)).sign(LOG)


@pytest.mark.parametrize("index, size", [(0, 1), (0, 2), (1, 2), (5, 300), (299, 300), (256, 257)])
def test_proofs_round_trip_and_verify(index, size):
    proof = prove(TREE, index, signed_checkpoint(size), extra=ENTRIES[index])
    text = proof.text
    assert text.startswith(f"c2sp.org/tlog-proof@v1\nextra {base64.b64encode(ENTRIES[index]).decode()}\nindex {index}\n")
    assert text.endswith("\n\n" + signed_checkpoint(size))
    assert TlogProof.parse(text) == proof
    assert proof.verify(ENTRIES[index], POLICY).checkpoint.size == size


def test_a_proof_without_extra_or_hashes():
    proof = prove(TREE, 0, signed_checkpoint(1))
    assert proof.text == "c2sp.org/tlog-proof@v1\nindex 0\n\n" + signed_checkpoint(1)
    assert TlogProof.parse(proof.text).verify(ENTRIES[0], POLICY).checkpoint.size == 1


def test_the_extra_line_is_never_trusted():
    proof = prove(TREE, 5, signed_checkpoint(300), extra=b"entry 6\n")
    proof.verify(ENTRIES[5], POLICY)
    with pytest.raises(InvalidProof):
        proof.verify(b"entry 6\n", POLICY)


def test_proofs_that_prove_something_else_are_refused():
    proof = prove(TREE, 5, signed_checkpoint(300))
    for changed in [TlogProof(6, proof.path, proof.checkpoint), TlogProof(5, proof.path[:-1], proof.checkpoint),
                    TlogProof(5, proof.path, signed_checkpoint(299)),
                    TlogProof(5, (proof.path[1], proof.path[0], *proof.path[2:]), proof.checkpoint)]:
        with pytest.raises(InvalidProof):
            changed.verify(ENTRIES[5], POLICY)
    forged = Checkpoint(ORIGIN, 300, TREE.root(300)).sign(Signer(ORIGIN, DIDEngine()))
    with pytest.raises(InvalidProof, match="no signature of a known log key"):
        TlogProof(5, proof.path, forged).verify(ENTRIES[5], POLICY)


ROOT_LINE = signed_checkpoint(2)
HASH = base64.b64encode(bytes(32)).decode()


@pytest.mark.parametrize("text, message", [
    (f"c2sp.org/tlog-proof@v2\nindex 0\n\n{ROOT_LINE}", "does not start with"),
    (f"c2sp.org/tlog-proof@v1\nindex 0\n{ROOT_LINE}", "proof hash 1 is not base64"),
    (f"c2sp.org/tlog-proof@v1\n\n{ROOT_LINE}", "no index line"),
    (f"c2sp.org/tlog-proof@v1\nextra AA==\n\n{ROOT_LINE}", "no index line"),
    (f"c2sp.org/tlog-proof@v1\nindex 00\n\n{ROOT_LINE}", "leading zeros"),
    (f"c2sp.org/tlog-proof@v1\nindex 1\n{HASH[:-2]}\n\n{ROOT_LINE}", "proof hash 1 is not base64"),
    (f"c2sp.org/tlog-proof@v1\nindex 1\nAAAA\n\n{ROOT_LINE}", "proof hash 1 is 3 bytes"),
    (f"c2sp.org/tlog-proof@v1\nextra A\nindex 1\n\n{ROOT_LINE}", "extra data is not base64"),
    ("c2sp.org/tlog-proof@v1\nindex 1\n" + f"{HASH}\n" * 64 + f"\n{ROOT_LINE}", "64 hashes"),
    (f"c2sp.org/tlog-proof@v1\nindex 1\n{HASH}", "no blank line"),
])
def test_texts_that_are_not_proofs(text, message):
    with pytest.raises(FormatError, match=message):
        TlogProof.parse(text)


@pytest.mark.parametrize("hashes", [
    [], [bytes(32)], [b"\xff" * 32] * 3, [bytes(range(32)), bytes(range(1, 33)), b"\xfe" * 32],
    [b"\x01" * 31, b"\x02" * 32, b"\x03" * 33],  # other lengths: each on its own
])
def test_hashes_encode_in_one_call_as_each_alone(hashes):
    assert encode_hashes(hashes) == [encode(hash_) for hash_ in hashes]
