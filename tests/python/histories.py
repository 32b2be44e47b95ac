# A DID's holder writing its versions, for the registry tests: documents of any content, one
# second apart, from a day ago so that no registry finds them in its future.
import json
import secrets
from datetime import datetime, timedelta, timezone

import did_vek

START = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(days=1)


def timestamp(seconds):
    return (START + timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%SZ")


class Holder:
    """Holds the keys of one key-derived DID and signs each next version with a current key."""

    def __init__(self):
        self.secret = secrets.token_hex(32)
        engine = did_vek.DIDEngine.from_secret_key(self.secret)
        self.did = engine.create_did_from_key()
        self.keys = {"key-1": (self.secret, engine)}
        self.first_key = ("key-1", (self.secret, engine))
        self.versions = []

    def write(self, *, services=(), keys=None, deactivate=False, updated=None, signer=None, did=None):
        """The next version: `keys` replaces the listed keys; the signer is a key of the last version."""
        signer_id, (_, signer_engine) = signer or next(iter(self.keys.items()))
        listed = keys if keys is not None else self.keys
        builder = did_vek.DIDDocumentBuilder(did or self.did)
        if not deactivate:
            for key_id, (_, engine) in listed.items():
                builder.add_verification_method(key_id, engine.public_key)
                builder.add_assertion_method(key_id)
        for url in services:
            builder.add_consent_service(url)
        document = json.loads(builder.build())
        document["created"] = timestamp(0)
        document["updated"] = updated or timestamp(len(self.versions) + 1)
        signed = did_vek.sign_document(signer_engine, json.dumps(document), key_id=signer_id)
        self.versions.append(signed)
        self.keys = listed
        return signed

    def new_key(self, key_id):
        secret = secrets.token_hex(32)
        return {key_id: (secret, did_vek.DIDEngine.from_secret_key(secret))}


def history(count):
    """A holder with `count` versions: a consent service from version 2, a new key in version 3."""
    holder = Holder()
    holder.write()
    for number in range(2, count + 1):
        keys = holder.new_key(f"key-{number}") if number == 3 else None
        holder.write(services=[f"https://consent.example/{number}"], keys=keys)
    return holder
