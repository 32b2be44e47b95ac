"""Helpers shared by the DID document tests (imported explicitly, not a pytest conftest)."""

import json
import re

DID = "did:vek:abc"
CONTEXTS = [
    "https://www.w3.org/ns/did/v1",
    "https://w3id.org/security/suites/ed25519-2020/v1",
    "https://did-vek.dev/ns/vek/v1",
]
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")
_STAMP_MEMBER = re.compile(r'"(created|updated)": "([^"]*)"')

# RFC 8032 test 1: a fixed key, so expected texts can name its public key.
SECRET = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
PUBLIC = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"


def stamps(text):
    """The values of every "created"/"updated" member, in text order, each well-formed."""
    values = [value for _, value in _STAMP_MEMBER.findall(text)]
    assert values and all(TIMESTAMP.fullmatch(value) for value in values), values
    return values


def without_stamps(text):
    return _STAMP_MEMBER.sub(r'"\1": "T"', text)


def ordered(text):
    """Parses JSON keeping member order: objects become lists of (key, value) pairs."""
    return json.loads(text, object_pairs_hook=list)


def keys(pairs):
    return [key for key, _ in pairs]


def compact_record(document):
    """The compact record form of a signed document, rebuilt from its parsed value form."""
    method = {name: document["verificationMethod"][0][name] for name in ("id", "type", "controller", "publicKeyHex")}
    order = ("@context", "id", "verificationMethod", "authentication", "assertionMethod", "created", "updated")
    record = {name: [method] if name == "verificationMethod" else document[name] for name in order}
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False)
