# Versions of a DID made from fixed secrets and chosen timestamps, for the tests of histories and the registry.
import json

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
