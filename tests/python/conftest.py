# Shared data: the RFC 8032 vectors, the long-run switch, and a sequence the test steers.
import json
import os
from pathlib import Path

RFC8032 = json.loads((Path(__file__).resolve().parents[1] / "vectors" / "rfc8032_ed25519.json").read_text())
SECRET, PUBLIC, SIG1 = (RFC8032[0][name] for name in ("secret_key", "public_key", "signature"))  # TEST 1, message ""
DID = "did:vek:abc"
# The slow cases and the full call counts run in CI, which sets DID_VEK_LONG_TESTS=1.
LONG = bool(os.environ.get("DID_VEK_LONG_TESTS"))


def sequence(iterate, length=lambda: 1):  # it has __getitem__, never called; __iter__ and __len__ as supplied
    methods = {"__getitem__": lambda s, i: None, "__iter__": lambda s: iterate(), "__len__": lambda s: length()}
    return type("Steered", (), methods)()
