"""A W3C credential issued as a did:vek DID, and what a key rotation does to it.

The issuer's history is built here with chosen times and checked offline (KnownHistories);
against a registry, pass a RegistryClient as the resolver instead.
"""

import json
import secrets

import did_vek

CONTEXT = ["https://www.w3.org/ns/credentials/v2", "https://www.w3.org/ns/credentials/examples/v2"]


def version(signer: did_vek.DIDEngine, key_id: str, keys: dict[str, did_vek.DIDEngine], did: str,
            updated: str) -> str:
    builder = did_vek.DIDDocumentBuilder(did)
    for name, engine in keys.items():
        builder.add_verification_method(name, engine.public_key)
        builder.add_assertion_method(name)
    document = json.loads(builder.build())
    document["created"], document["updated"] = "2025-01-01T00:00:00Z", updated
    return did_vek.sign_document(signer, json.dumps(document), key_id=key_id)


def main() -> None:
    # One secret each for the old and the new key: the engine signs DID documents, the
    # SigningKey (the same secret, held natively) signs credentials.
    old_secret, new_secret = secrets.token_hex(32), secrets.token_hex(32)
    old, new = did_vek.DIDEngine.from_secret_key(old_secret), did_vek.DIDEngine.from_secret_key(new_secret)
    old_key, new_key = did_vek.SigningKey(old_secret), did_vek.SigningKey(new_secret)
    did = old.create_did_from_key()
    history = did_vek.verify_history([
        version(old, "key-1", {"key-1": old}, did, "2025-01-01T00:00:00Z"),   # created with key-1
        version(old, "key-1", {"key-2": new}, did, "2025-06-01T00:00:00Z"),   # June: rotated to key-2
    ])
    resolver = did_vek.KnownHistories([history])
    print(f"issuer {did}: key-1 until 2025-06-01, key-2 since")

    credential = json.dumps({"@context": CONTEXT, "type": ["VerifiableCredential", "AlumniCredential"],
                             "issuer": did, "validFrom": "2025-03-01T00:00:00Z",
                             "credentialSubject": {"id": "did:example:alice", "alumniOf": "The School of Examples"}})

    march = did_vek.issue_credential(old_key, credential, verification_method=f"{did}#key-1",
                                     created="2025-03-01T00:00:00Z")
    print("\nsigned in March with key-1:")
    print(json.dumps(json.loads(march)["proof"], indent=2))
    verified = did_vek.verify_credential(march, resolver=resolver)
    print(f"-> valid: key {verified.key_id} of version {verified.version_id}, current: {verified.current}")

    july = did_vek.issue_credential(old_key, credential, verification_method=f"{did}#key-1",
                                    created="2025-07-01T00:00:00Z")
    try:
        did_vek.verify_credential(july, resolver=resolver)
        raise SystemExit("a credential signed by a replaced key verified: this is a fault")
    except did_vek.InvalidCredential as error:
        print(f"\nsigned in July with key-1 -> refused: {error}")

    current = did_vek.issue_credential(new_key, credential, verification_method=f"{did}#key-2")
    verified = did_vek.verify_credential(current, resolver=resolver)
    print(f"\nsigned now with key-2 -> valid: version {verified.version_id}, current: {verified.current}")

    tampered = current.replace("The School of Examples", "The School of Forgeries")
    try:
        did_vek.verify_credential(tampered, resolver=resolver)
        raise SystemExit("a changed credential verified: this is a fault")
    except did_vek.InvalidCredential as error:
        print(f"the same, changed -> refused: {error}")


if __name__ == "__main__":
    main()
