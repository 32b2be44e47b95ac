"""Shared data and fixtures: the Ed25519 vectors, engines and builders."""
import json
from pathlib import Path

import pytest

import did_vek_core

VECTORS = Path(__file__).resolve().parents[1] / "vectors"


def load_vectors(name):
    return json.loads((VECTORS / name).read_text())


def utf8_text(hex_message):
    """The str whose UTF-8 encoding is the given bytes, or None when they are not UTF-8."""
    try:
        return bytes.fromhex(hex_message).decode("utf-8")
    except UnicodeDecodeError:
        return None


RFC8032 = load_vectors("rfc8032_ed25519.json")
TEST1 = RFC8032[0]


class Parts:
    """A sequence (it has __getitem__) whose iteration and length are supplied by the test."""

    def __init__(self, iterate, length=lambda: 1):
        self.iterate, self.length = iterate, length

    def __getitem__(self, index):
        raise IndexError(index)

    def __len__(self):
        return self.length()

    def __iter__(self):
        return self.iterate()


@pytest.fixture
def engine():
    return did_vek_core.DIDEngine()


@pytest.fixture
def builder():
    return did_vek_core.DIDDocumentBuilder("did:vek:abc")
