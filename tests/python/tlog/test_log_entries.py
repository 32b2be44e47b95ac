# The log's entries: written, read back in their one spelling, and refused otherwise.
import base64
import hashlib
import json

import pytest

from did_vek.tlog import merkle
from did_vek.tlog.entries import (GENESIS, MapEntry, VersionEntry, document_hash, latest_leaf_of_value_forms,
                                  parse_entry, version_entries)
from did_vek.tlog.errors import FormatError
from histories import DID, KEYS, stamp, version

DOC = hashlib.sha256(b"document").digest()
PREV = hashlib.sha256(b"previous").digest()
B64 = base64.b64encode(DOC).decode()
PREV64 = base64.b64encode(PREV).decode()
ZERO64 = base64.b64encode(bytes(32)).decode()


@pytest.mark.parametrize("entry, text", [
    (VersionEntry("did:vek:0123456789abcdef", 1, DOC, None), f"v did:vek:0123456789abcdef 1 {B64} -\n"),
    (VersionEntry("did:vek:a:b", 12, DOC, PREV), f"v did:vek:a:b 12 {B64} {PREV64}\n"),
    (GENESIS, f"m 0 {ZERO64}\n"),
    (MapEntry(3, DOC), f"m 3 {B64}\n"),
])
def test_entries_both_ways(entry, text):
    assert entry.text == text
    assert parse_entry(text) == entry
    assert entry.leaf_hash == merkle.leaf_hash(text.encode())


def test_the_document_hash_is_that_of_the_value_form_text():
    assert document_hash('{"document":{},"proof":{}}') == hashlib.sha256(b'{"document":{},"proof":{}}').digest()


@pytest.mark.parametrize("text, message", [
    (f"v did:vek:a 1 {B64} -", "one line ending in a newline"),
    (f"v did:vek:a 1 {B64} -\n\n", "one line"),
    (f"v did:vek:a 1 {B64}\n", "neither"),
    (f"v  did:vek:a 1 {B64} -\n", "neither"),
    (f"v did:vek:a 1 {B64} - \n", "neither"),
    (f"x did:vek:a 1 {B64} -\n", "neither"),
    (f"v did:web:a 1 {B64} -\n", "not a DID"),
    (f"v did:vek:a 01 {B64} -\n", "leading zeros"),
    (f"v did:vek:a 0 {B64} -\n", "only version 1"),
    (f"v did:vek:a 1 {B64} {PREV64}\n", "only version 1"),
    (f"v did:vek:a 2 {B64} -\n", "only version 1"),
    (f"v did:vek:a 1 {B64[:-4]} -\n", "bytes, not 32"),
    (f"v did:vek:a 2 {B64} {PREV64[:-2]}\n", "prev is not base64"),
    (f"m 0 {B64}\n", "zero exactly when"),
    (f"m 1 {ZERO64}\n", "zero exactly when"),
    (f"m -1 {B64}\n", "leading zeros"),
    (f"m 1 {B64} x\n", "neither"),
])
def test_texts_that_are_not_entries(text, message):
    with pytest.raises(FormatError, match=message):
        parse_entry(text)


def test_the_entries_of_a_history_chain_and_ignore_the_layout():
    first = version(KEYS[0], "key-1", {"key-1": KEYS[0]}, updated=stamp(0))
    second = version(KEYS[0], "key-1", {"key-1": KEYS[0], "key-2": KEYS[1]}, updated=stamp(60))
    entries = version_entries([first, second])
    assert [(e.did, e.version_id, e.previous) for e in entries] == [(DID, 1, None), (DID, 2, entries[0].leaf_hash)]
    # sign_document writes the value form, whose hash the entry holds.
    assert [e.document_hash for e in entries] == [hashlib.sha256(text.encode()).digest() for text in (first, second)]
    # The same values in another layout: the same entries.
    relaid = [json.dumps(json.loads(text), indent=None, sort_keys=False) for text in (first, second)]
    assert version_entries(relaid) == entries
    # A verified history's value forms give the same last leaf without reading them.
    assert [latest_leaf_of_value_forms(DID, texts) for texts in ([], [first], [first, second])] == \
        [None, entries[0].leaf_hash, entries[1].leaf_hash]
    assert version_entries([first, second.replace("key-2", "key-3")]) != entries
    other = version(KEYS[1], "key-1", {"key-1": KEYS[1]}, did=KEYS[1].create_did_from_key())
    with pytest.raises(FormatError, match=f"version 2 is of .*, not {DID}"):
        version_entries([first, other])
