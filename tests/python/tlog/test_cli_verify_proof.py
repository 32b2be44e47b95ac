# did-vek verify-proof: a proof of logging checked offline against an entry file and a policy.
import pytest

from did_vek import DIDEngine
from did_vek.tlog import merkle
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import COSIGNATURE_V1, Signer
from did_vek.tlog.proof import prove
from test_cli import run

ORIGIN = "log.example/did-vek"
LOG = Signer(ORIGIN, DIDEngine())
WITNESS = Signer("witness.example", DIDEngine(), COSIGNATURE_V1)
ENTRIES = [b"entry %d\n" % i for i in range(20)]


@pytest.fixture
def files(tmp_path):
    tree = merkle.TreeHashes()
    tree.extend(merkle.leaf_hash(entry) for entry in ENTRIES)
    text = Checkpoint(ORIGIN, 20, tree.root()).text
    signed = LOG.sign_note(text) + WITNESS.sign(text, timestamp=1_700_000_000).line
    paths = {name: tmp_path / name for name in ["proof", "entry", "other", "trust", "strict", "bad"]}
    paths["proof"].write_text(prove(tree, 7, signed, extra=ENTRIES[7]).text)
    paths["entry"].write_bytes(ENTRIES[7])
    paths["other"].write_bytes(ENTRIES[8])
    paths["trust"].write_text(f"log {LOG.verifier.vkey}\nwitness w {WITNESS.verifier.vkey}\nquorum w\n")
    other_witness = Signer("other.example", DIDEngine(), COSIGNATURE_V1).verifier.vkey
    paths["strict"].write_text(f"log {LOG.verifier.vkey}\nwitness w {WITNESS.verifier.vkey}\n"
                               f"witness v {other_witness}\ngroup both all w v\nquorum both\n")
    paths["bad"].write_text("quorum nobody\n")
    return paths


@pytest.mark.parametrize("trust, entry, proof, status, output", [
    ("trust", "entry", "proof", 0, "valid: entry 7 of log.example/did-vek, in its tree of 20 entries"),
    ("trust", "other", "proof", 1, "invalid: the inclusion proof of index 7 does not lead to the root"),
    ("strict", "entry", "proof", 1, "lacks the quorum"),
    ("trust", "entry", "entry", 1, "invalid: the proof has no blank line before its checkpoint"),
    ("bad", "entry", "proof", 2, "line 1: 'nobody' is not a witness or group"),
    ("missing", "entry", "proof", 2, "cannot read trust policy"),
])
def test_verify_proof(files, trust, entry, proof, status, output):
    paths = {name: str(path) for name, path in files.items()} | {"missing": str(files["proof"]) + ".missing"}
    result = run("verify-proof", "--trust", paths[trust], "--entry", paths[entry], paths[proof])
    assert result.status == status
    assert output in (result.out if status == 0 else result.err)
