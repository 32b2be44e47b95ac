"""Versions of DIDs for the tests, made from fixed secret keys and chosen times."""

import hashlib
import json
from datetime import datetime, timedelta, timezone

import did_vek

KEY_ID = "key-1"
# An hour back, so that thousands of versions a second apart stay behind the registry's clock.
EPOCH = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(hours=1)


def engine(name: str) -> did_vek.DIDEngine:
    """The key whose secret is derived from `name`: the same DID in every run."""
    return did_vek.DIDEngine.from_secret_key(hashlib.sha256(name.encode()).hexdigest())


def timestamp(seconds: int) -> str:
    return (EPOCH + timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%SZ")


def signed_version(key: did_vek.DIDEngine, updated: int, *, created: int = 0, service: str = "") -> str:
    """A version of `key`'s DID that lists `key` for assertions, with "updated" `updated` seconds
    after the epoch; `service` tells versions of the same time apart."""
    did = key.create_did_from_key()
    builder = did_vek.DIDDocumentBuilder(did)
    builder.add_verification_method(KEY_ID, key.public_key)
    builder.add_assertion_method(KEY_ID)
    if service:
        builder.add_service("writer", "Note", service)
    document = json.loads(builder.build())
    document["created"], document["updated"] = timestamp(created), timestamp(updated)
    return did_vek.sign_document(key, json.dumps(document), key_id=KEY_ID)
