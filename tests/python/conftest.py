# Shared data: the RFC 8032 vectors, the long-run switch, and a sequence the test steers.
import json
import os
from pathlib import Path

import pytest

RFC8032 = json.loads((Path(__file__).resolve().parents[1] / "vectors" / "rfc8032_ed25519.json").read_text())
SECRET, PUBLIC, SIG1 = (RFC8032[0][name] for name in ("secret_key", "public_key", "signature"))  # TEST 1, message ""
DID = "did:vek:abc"
# The slow cases and the full call counts run in CI, which sets DID_VEK_LONG_TESTS=1.
LONG = bool(os.environ.get("DID_VEK_LONG_TESTS"))


def sequence(iterate, length=lambda: 1):  # it has __getitem__, never called; __iter__ and __len__ as supplied
    methods = {"__getitem__": lambda s, i: None, "__iter__": lambda s: iterate(), "__len__": lambda s: length()}
    return type("Steered", (), methods)()


# The store that every registry test runs against, fresh for each test. It lives here, not in
# a conftest.py of tests/python/registry: two conftest modules without packages share one
# module name, and the second would hide this one's constants from `from conftest import`.
@pytest.fixture
def db(tmp_path):
    """A store spec for open_store / create_app: a new SQLite file."""
    return str(tmp_path / "registry.sqlite3")
