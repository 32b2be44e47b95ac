"""The signed-document operations of did_vek beside the core calls they are built on.

Each did_vek operation is timed beside the one core call that does its cryptography on the
same bytes (the compact record form), so the ratio is what the reading, the record rules and
the compact form cost on top of the signature: `verify_document` beside `verify_with_key`,
`sign_document` beside `sign`, `verify_history` of 100 versions beside 100 `verify_with_key`.
"""

from __future__ import annotations

import json
from datetime import datetime, timedelta, timezone
from functools import partial

import did_vek
import did_vek_core as vek
import threads
from sample_documents import builder_with
from did_vek._signed import read_signed

HISTORY_LENGTH = 100
# (operation, ours, floor, what the floor is); the statements use the names of namespace().
OPERATIONS = [
    ("verify_document (create_document)", "verify_document(created_text)",
     "verify_with_key(created_compact, created_signature, public_hex)", "floor (verify_with_key)"),
    ("verify_document (16 entries)", "verify_document(entries_text)",
     "verify_with_key(entries_compact, entries_signature, public_hex)", "floor (verify_with_key)"),
    ("sign_document (create_document)", "sign_document(engine, created_record, key_id='key-1')",
     "engine.sign(created_compact)", "floor (sign)"),
    ("sign_document (16 entries)", "sign_document(engine, entries_record, key_id='key-0')",
     "engine.sign(entries_compact)", "floor (sign)"),
    (f"verify_history ({HISTORY_LENGTH} versions)", "verify_history(history)",
     "for compact, signature in history_signatures:\n verify_with_key(compact, signature, public_hex)",
     f"floor ({HISTORY_LENGTH} verify_with_key)"),
]


def builder_document(engine: vek.DIDEngine, did: str, entries: int) -> str:
    """A built document with `entries` entries spread over keys, their relations and services."""
    return builder_with(entries, did, engine.public_key, vek.DIDDocumentBuilder).build()


def history_of(engine: vek.DIDEngine, record: str, length: int) -> list[str]:
    """`length` versions of one record, one second apart, each signed by the engine's key."""
    document, start = json.loads(record), datetime(2026, 1, 1, tzinfo=timezone.utc)
    document["created"] = start.strftime("%Y-%m-%dT%H:%M:%SZ")
    versions = []
    for k in range(length):
        document["updated"] = (start + timedelta(seconds=k)).strftime("%Y-%m-%dT%H:%M:%SZ")
        versions.append(did_vek.sign_document(engine, json.dumps(document), key_id="key-1"))
    return versions


def namespace(engine: vek.DIDEngine) -> dict:
    did = engine.create_did_from_key()
    created_text = engine.create_document(did)
    created_record = json.dumps(json.loads(created_text)["document"])
    entries_record = builder_document(engine, did, 16)
    entries_text = did_vek.sign_document(engine, entries_record, key_id="key-0")
    history = history_of(engine, created_record, HISTORY_LENGTH)
    created, entries = read_signed(created_text), read_signed(entries_text)
    return {
        "engine": engine, "public_hex": engine.public_key, "verify_with_key": vek.DIDEngine.verify_with_key,
        "verify_document": did_vek.verify_document, "sign_document": did_vek.sign_document,
        "verify_history": did_vek.verify_history,
        "created_text": created_text, "created_record": created_record, "created_compact": created.compact,
        "created_signature": created.proof_value,
        "entries_text": entries_text, "entries_record": entries_record, "entries_compact": entries.compact,
        "entries_signature": entries.proof_value,
        "history": history, "history_signatures": [(s.compact, s.proof_value) for s in map(read_signed, history)],
    }


def scaling_cases(ns: dict) -> list[threads.Scaling]:
    return [threads.Scaling(f"verify_document ({name})", "ours", partial(did_vek.verify_document, ns[text]))
            for name, text in (("create_document", "created_text"), ("16 entries", "entries_text"))]
