# The registry tests' keys and versions: a few fixed keys, times by the day, on the shared builders.
import hashlib
from dataclasses import dataclass

from did_vek import DIDEngine, did_for_public_key

import histories


@dataclass(frozen=True)
class Key:
    engine: DIDEngine
    key_id: str

    @property
    def public_key(self):
        return self.engine.public_key


ALICE = Key(DIDEngine.from_secret_key("11" * 32), "key-1")
ALICE_NEXT = Key(DIDEngine.from_secret_key("22" * 32), "key-2")
MALLORY = Key(DIDEngine.from_secret_key("33" * 32), "key-1")
DID = did_for_public_key(ALICE.public_key)
CREATED = "2024-01-01T00:00:00Z"


def day(n):
    """A version time: midnight of January n, 2024."""
    return f"2024-01-{n:02d}T00:00:00Z"


def signed(signer=ALICE, *, did=DID, keys=(ALICE,), updated, created=CREATED, deactivate=False):
    """A version listing `keys` (none when it deactivates), signed by `signer`."""
    listed = {} if deactivate else {key.key_id: key.engine for key in keys}
    return histories.version(signer.engine, signer.key_id, listed, did=did, created=created, updated=updated)


def history(length, did=DID):
    """`length` versions of ALICE's DID, version k updated on January k+1, all signed by ALICE."""
    return [signed(did=did, updated=day(k + 1)) for k in range(1, length + 1)]


def keyed(name):
    """A key of its own for `name` (one per publisher of a test), the same in every run."""
    return Key(DIDEngine.from_secret_key(hashlib.sha256(name.encode()).hexdigest()), "key-1")


def keyed_version(key, second):
    """A version of `key`'s own DID that `key` signs and lists, updated `second` seconds into
    January 1, 2026."""
    return signed(key, did=key.engine.create_did_from_key(), keys=(key,), created=histories.stamp(0),
                  updated=histories.stamp(second))


def padded(updated, services, did=DID, signer=ALICE):
    """A version of `signer` made large by `services` services: 290 of them about fill 64 KiB."""
    listed = {signer.key_id: signer.engine}
    endpoints = [(f"link-{number}", "LinkedDomains", f"https://consent.example/{'a' * 60}{number}")
                 for number in range(services)]
    return histories.version(signer.engine, signer.key_id, listed, did=did, created=CREATED, updated=updated,
                             services=endpoints)


def oversized(updated):
    """A version over 64 KiB in any layout."""
    return padded(updated, 600)
