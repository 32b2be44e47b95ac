# Versions of DIDs built from fixed keys and chosen times, signed as a holder would sign them.
import json
from dataclasses import dataclass

from did_vek import DIDDocumentBuilder, DIDEngine, did_for_public_key, sign_document


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


def document(did=DID, keys=(ALICE,), *, updated, created=CREATED, deactivate=False):
    """A DID document listing `keys` for assertion (none when deactivating), as the builder writes it."""
    builder = DIDDocumentBuilder(did)
    if not deactivate:
        for key in keys:
            builder.add_verification_method(key.key_id, key.public_key)
            builder.add_assertion_method(key.key_id)
    record = json.loads(builder.build())
    record["created"], record["updated"] = created, updated
    return json.dumps(record)


def signed(signer=ALICE, **fields):
    """The signed document of `document(**fields)`, signed by `signer`."""
    return sign_document(signer.engine, document(**fields), key_id=signer.key_id)


def history(length, did=DID):
    """`length` versions of ALICE's DID, version k updated on January k+1, all signed by ALICE."""
    return [signed(did=did, updated=day(k + 1)) for k in range(1, length + 1)]
