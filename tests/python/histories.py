# Versions of DIDs for the tests of histories and the registry: fixed secrets and chosen timestamps,
# and a DID's holder writing its versions one second apart, from a day ago so that no registry finds
# them in its future.
import json
import secrets
from datetime import datetime, timedelta, timezone

import did_vek

SECRETS = ["9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
           "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
           "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7"]
KEYS = [did_vek.DIDEngine.from_secret_key(secret) for secret in SECRETS]
DID = KEYS[0].create_did_from_key()


def stamp(second):
    """A timestamp `second` seconds after 2026-01-01T00:00:00Z (under a day)."""
    return f"2026-01-01T{second // 3600:02d}:{second // 60 % 60:02d}:{second % 60:02d}Z"


def document(keys, *, did=DID, created=stamp(0), updated=stamp(0), services=(), controller=None, assertion=None):
    """A record-form document listing `keys` ({key id: engine}) for authentication and, unless `assertion`
    names other key ids, for assertion."""
    builder = did_vek.DIDDocumentBuilder(did)
    if controller is not None:
        builder.set_controller(controller)
    for key_id, engine in keys.items():
        builder.add_verification_method(key_id, engine.public_key)
        builder.add_authentication(key_id)
    for key_id in keys if assertion is None else assertion:
        builder.add_assertion_method(key_id)
    for service in services:
        builder.add_service(*service)
    record = json.loads(builder.build())
    record["created"], record["updated"] = created, updated
    return json.dumps(record)


def version(signer, key_id, keys, **members):
    """The signed document of `document(keys, **members)`, signed by `signer` as `key_id`."""
    return did_vek.sign_document(signer, document(keys, **members), key_id=key_id)


def deactivation(signer, key_id, *, did=DID, created=stamp(0), updated):
    """A last version: no keys, so no assertion key that could sign another."""
    return version(signer, key_id, {}, did=did, created=created, updated=updated)


def life_of_a_did():
    """Five versions: created with key 0, a service added, rotated to key 1 in one step, updated by key 1,
    deactivated by key 1."""
    first, second = {"key-1": KEYS[0]}, {"key-2": KEYS[1]}
    consent = [("bilateral-consent", "BilateralConsentService", "https://consent.example")]
    return [version(KEYS[0], "key-1", first, updated=stamp(0)),
            version(KEYS[0], "key-1", first, updated=stamp(10), services=consent),
            version(KEYS[0], "key-1", second, updated=stamp(20), services=consent),
            version(KEYS[1], "key-2", second, updated=stamp(30), services=consent, controller=DID),
            deactivation(KEYS[1], "key-2", updated=stamp(40))]


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
