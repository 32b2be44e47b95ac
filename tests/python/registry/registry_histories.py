# The registry tests' keys and versions: a few fixed keys, times by the day, on the shared builders.
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
