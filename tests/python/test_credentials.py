# Credentials with eddsa-jcs-2022 proofs: the suite's vectors value by value, verdicts over a DID's
# history (before and after a rotation, after deactivation), and every change to a signed credential.
import copy
import hashlib
import json
from datetime import UTC, datetime, timedelta

import jcs
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import did_vek
from conftest import ticks_during
from credentials import VECTORS, b58encode, credential, vector_key
from did_vek import _native
from histories import DID, KEYS, SECRETS, life_of_a_did, stamp

SUITE = VECTORS / "eddsa-jcs-2022"
NOW = datetime(2026, 6, 1, tzinfo=UTC)
LIFE = did_vek.verify_history(life_of_a_did())
BEFORE_ROTATION = did_vek.verify_history(life_of_a_did()[:2])
SIGNERS = [did_vek.SigningKey(secret) for secret in SECRETS]
NO_REGISTRY = did_vek.KnownHistories([])


def vector(name):
    return (SUITE / name).read_text().strip()


def test_the_vectors_intermediate_values_byte_for_byte():
    unsigned, configuration = (VECTORS / "unsigned.json").read_text(), (SUITE / "proofConfigJCS.json").read_text()
    canonical_document, canonical_configuration = _native.canonicalize(unsigned), _native.canonicalize(configuration)
    assert canonical_document == vector("canonDocJCS.txt")
    assert canonical_configuration == vector("proofCanonJCS.txt")
    assert hashlib.sha256(canonical_document.encode()).hexdigest() == vector("docHashJCS.txt")
    assert hashlib.sha256(canonical_configuration.encode()).hexdigest() == vector("proofHashJCS.txt")
    signed = (SUITE / "signedJCS.json").read_text()
    *_, hash_data, signature = _native.read_credential_proof(signed)
    assert hash_data.hex() == vector("combinedHashJCS.txt")
    assert vector_key().sign(hash_data).hex() == signature.hex() == vector("sigHexJCS.txt")
    assert "z" + b58encode(signature) == vector("sigBTC58JCS.txt")


def test_issuing_the_vector_gives_its_signed_credential():
    key, proof = vector_key(), json.loads((SUITE / "proofConfigJCS.json").read_text())
    assert key.did_key == json.loads((VECTORS / "keyPair.json").read_text())["publicKeyMultibase"].join(["did:key:", ""])
    signed = did_vek.issue_credential(key, (VECTORS / "unsigned.json").read_text(),
                                      verification_method=proof["verificationMethod"], created=proof["created"])
    assert json.loads(signed) == json.loads((SUITE / "signedJCS.json").read_text())
    # Its issuer is a web address, not the did:key that signed: no verifier can tie the key to it.
    with pytest.raises(did_vek.InvalidCredential, match="is not one of the issuer"):
        did_vek.verify_credential(signed, resolver=NO_REGISTRY)


def test_raw_signatures_are_plain_ed25519(tmp_path):
    (tmp_path / "key").write_text(SECRETS[0] + "\n")
    (tmp_path / "key").chmod(0o600)
    key, data = did_vek.SigningKey.from_key_file(str(tmp_path / "key")), bytes(range(64))
    signature = key.sign(data)
    Ed25519PublicKey.from_public_bytes(bytes.fromhex(key.public_key)).verify(signature, data)
    assert key.public_key == KEYS[0].public_key and key.did == DID
    assert _native.verify_ed25519(data, signature, key.public_key)
    assert not _native.verify_ed25519(data[1:], signature, key.public_key)
    assert not _native.verify_ed25519(data, signature[:63], key.public_key)
    with pytest.raises(TypeError, match="cannot be pickled"):
        copy.copy(key)
    assert SECRETS[0] not in repr(key)


def did_key_credential(key=SIGNERS[2], **members):
    return did_vek.issue_credential(key, credential(key.did_key, **members),
                                    verification_method=f"{key.did_key}#{key.did_key[8:]}", created=stamp(0))


def test_a_did_key_credential_verifies_locally():
    verified = did_vek.verify_credential(did_key_credential(), resolver=NO_REGISTRY, now=NOW)
    assert (verified.did, verified.public_key, verified.version_id, verified.current, verified.standard_proof) == (
        SIGNERS[2].did_key, SIGNERS[2].public_key, None, True, True)
    assert verified.credential["credentialSubject"]["name"] == "Zoë €"


def vek_credential(signer, key_id, created, **members):
    return did_vek.issue_credential(signer, credential(DID, **members), verification_method=f"{DID}#{key_id}",
                                    created=created)


# The DID: key-1 (KEYS[0]) from 0 s, rotated to key-2 (KEYS[1]) at 20 s, deactivated at 40 s.
@pytest.mark.parametrize("history, signer, key_id, created, verdict", [
    (BEFORE_ROTATION, 0, "key-1", stamp(5), ("1", True)),
    (LIFE, 0, "key-1", stamp(5), ("1", False)),
    (LIFE, 0, "key-1", stamp(19), ("2", False)),
    (LIFE, 0, "key-1", stamp(20), "was not an assertion key"),
    (LIFE, 0, "key-1", stamp(25), "was not an assertion key"),
    (LIFE, 1, "key-2", stamp(20), ("3", False)),
    (LIFE, 1, "key-2", stamp(39), ("4", False)),
    (LIFE, 1, "key-2", stamp(40), "was not an assertion key"),
    (LIFE, 1, "key-2", "2025-12-31T23:59:59Z", "did not exist yet"),
    (LIFE, 2, "key-2", stamp(25), "does not verify"),
    (LIFE, 0, "key-9", stamp(5), "was not an assertion key"),
])
def test_the_key_is_checked_in_the_version_in_force_when_the_proof_was_made(history, signer, key_id, created,
                                                                              verdict):
    signed = vek_credential(SIGNERS[signer], key_id, created)
    resolver = did_vek.KnownHistories([history])
    if isinstance(verdict, str):
        with pytest.raises(did_vek.InvalidCredential, match=verdict):
            did_vek.verify_credential(signed, resolver=resolver, now=NOW)
        return
    verified = did_vek.verify_credential(signed, resolver=resolver, now=NOW)
    assert (verified.version_id, verified.current) == verdict
    assert (verified.did, verified.key_id, verified.public_key) == (DID, key_id, KEYS[signer].public_key)


class Registry:
    """A resolver other than KnownHistories: the path a RegistryClient takes."""

    def __init__(self, histories):
        self._known = did_vek.KnownHistories(histories)

    def resolve(self, did):
        return self._known.resolve(did)


def vek_credential_at(signer, key_id, created):
    """A did:vek credential whose "created" may be any text (issue_credential writes whole UTC seconds)."""
    unsigned = json.loads(credential(DID))
    proof = {"@context": unsigned["@context"], "type": "DataIntegrityProof", "cryptosuite": "eddsa-jcs-2022",
             "created": created, "verificationMethod": f"{DID}#{key_id}", "proofPurpose": "assertionMethod"}
    data = hashlib.sha256(jcs.canonicalize(proof)).digest() + hashlib.sha256(jcs.canonicalize(unsigned)).digest()
    proof["proofValue"] = "z" + b58encode(signer.sign(data))
    return json.dumps({**unsigned, "proof": proof})


def verdict(signed, resolver, now=NOW):
    try:
        verified = did_vek.verify_credential(signed, resolver=resolver, now=now)
    except did_vek.InvalidCredential as error:
        return str(error)
    return verified.version_id, verified.current, verified.public_key, verified.key_id, verified.created


# Known histories are searched natively, other resolvers are asked: both give one verdict, to the
# second in UTC whatever the zone and fraction of "created".
@pytest.mark.parametrize("histories, signer, key_id, created, expected", [
    ([LIFE], 0, "key-1", "2026-01-01T01:00:19.999999+01:00", ("2", False)),
    ([LIFE], 0, "key-1", "2025-12-31T23:00:20-01:00", "was not an assertion key"),
    ([LIFE], 1, "key-2", "2026-01-01T00:00:20.5Z", ("3", False)),
    ([LIFE], 1, "key-2", "2026-01-01T00:00:19.9999999Z", "was not an assertion key"),
    ([LIFE], 1, "key-2", "0999-01-01T00:00:00.5Z", "did not exist yet"),
    ([LIFE], 1, "key-2", "0001-01-01T00:30:00+01:00", "did not exist yet"),
    ([LIFE], 0, "key-1", "2026-05-31T23:59:59-00:06", "created in the future"),
    ([LIFE], 0, "key-1", "2026-01-01T00:00:05+24:00", "not a date and time"),
    ([LIFE], 0, "key-1", "2026-02-29T00:00:05Z", "not a date and time"),
    ([LIFE], 0, "key-1", "2026-01-01T00:00:60Z", "not a date and time"),
    ([], 0, "key-1", stamp(5), "unknown to the registry"),
])
def test_known_histories_and_other_resolvers_agree(histories, signer, key_id, created, expected):
    signed = vek_credential_at(SIGNERS[signer], key_id, created)
    known, asked = verdict(signed, did_vek.KnownHistories(histories)), verdict(signed, Registry(histories))
    assert known == asked
    if isinstance(expected, str):
        assert expected in known
    else:
        assert known == (*expected, KEYS[signer].public_key, key_id, created)


def test_other_threads_run_while_a_credential_is_checked():
    # Read, hashed, its key found and its signature verified, all without the interpreter lock.
    subject = {"id": "did:example:subject", "items": [{"n": n, "text": "x" * 40} for n in range(40_000)]}
    signed = vek_credential(SIGNERS[0], "key-1", stamp(5), credentialSubject=subject)
    resolver = did_vek.KnownHistories([LIFE])
    assert ticks_during(lambda: did_vek.verify_credential(signed, resolver=resolver, now=NOW)) > 5


def test_a_history_of_another_did_proves_nothing():
    other = did_vek.verify_history([KEYS[2].create_document(KEYS[2].create_did_from_key())])
    misdirected = type("Misdirected", (), {"resolve": lambda self, did: Registry([other]).resolve(other.did)})()
    with pytest.raises(did_vek.InvalidCredential, match="answered for did:vek:"):
        did_vek.verify_credential(vek_credential(SIGNERS[0], "key-1", stamp(5)), resolver=misdirected, now=NOW)


@pytest.mark.parametrize("versions, error", [
    ([("did:vek:x", "2026-01-01T00:00:00Z", "1", {"did:vek:x#k": "00"})], ValueError),
    ([("did:vek:x", "2026-01-01T00:00:00+01:00", "1", {})], ValueError),
    ([("did:vek:x", "2026-01-01T00:00:01Z", "1", {}), ("did:vek:x", "2026-01-01T00:00:01Z", "2", {})], ValueError),
    ([("did:vek:x", "2026-01-01T00:00:00Z", "1")], TypeError),
    ([("did:vek:x", "2026-01-01T00:00:00Z", "1", {"did:vek:x#k": 1})], TypeError),
    ("did:vek:x", TypeError),
])
def test_the_table_of_known_keys_refuses_what_no_verified_history_gives(versions, error):
    with pytest.raises(error):
        _native.IssuerKeys(versions)


def paths(value, path=()):
    """Every place in a JSON value: (path, value) for each member and element."""
    yield path, value
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, inner in items:
        yield from paths(inner, (*path, key))


def changed(value):
    if isinstance(value, bool) or value is None:
        return not value
    if isinstance(value, (int, float)):
        return value + 1
    if isinstance(value, str):
        return value + "x"
    return [*value, "x"] if isinstance(value, list) else {**value, "x": 1}


def at(value, path):
    for key in path:
        value = value[key]
    return value


SIGNED = did_key_credential()
PLACES = [path for path, _ in paths(json.loads(SIGNED)) if path]


@pytest.mark.parametrize("path", PLACES, ids=["/".join(map(str, path)) for path in PLACES])
@pytest.mark.parametrize("change", ["change", "remove", "reorder"])
def test_every_change_to_a_signed_credential_is_refused(path, change):
    value = json.loads(SIGNED)
    parent, key = at(value, path[:-1]), path[-1]
    if change == "change":
        parent[key] = changed(parent[key])
    elif change == "remove":
        del parent[key]
    elif isinstance(parent, list) and len(parent) > 1 and parent[0] != parent[-1]:
        parent.reverse()  # element order is part of what was signed
    else:
        pytest.skip("member order is not signed; shown below")
    with pytest.raises(did_vek.InvalidCredential):
        did_vek.verify_credential(json.dumps(value), resolver=NO_REGISTRY, now=NOW)


def test_layout_member_order_and_escapes_are_not_signed():
    value = json.loads(SIGNED)
    reordered = {key: value[key] for key in reversed(value)}
    reordered["proof"] = {key: value["proof"][key] for key in reversed(value["proof"])}
    for text in (json.dumps(reordered), json.dumps(value, indent=7), json.dumps(value, ensure_ascii=True)):
        did_vek.verify_credential(text, resolver=NO_REGISTRY, now=NOW)


def test_a_proof_list_of_one_is_that_proof_and_of_two_is_refused():
    value = json.loads(SIGNED)
    value["proof"] = [value["proof"]]
    assert did_vek.verify_credential(json.dumps(value), resolver=NO_REGISTRY, now=NOW).current
    value["proof"] *= 2
    with pytest.raises(did_vek.InvalidCredential, match="has 2 proofs"):
        did_vek.verify_credential(json.dumps(value), resolver=NO_REGISTRY, now=NOW)


def test_a_proof_hashed_without_context_is_accepted_as_a_variant():
    key, unsigned = SIGNERS[2], json.loads(credential(SIGNERS[2].did_key))
    proof = {"type": "DataIntegrityProof", "cryptosuite": "eddsa-jcs-2022", "created": stamp(0),
             "verificationMethod": f"{key.did_key}#{key.did_key[8:]}", "proofPurpose": "assertionMethod"}
    data = hashlib.sha256(jcs.canonicalize(proof)).digest() + hashlib.sha256(jcs.canonicalize(unsigned)).digest()
    proof["proofValue"] = "z" + b58encode(key.sign(data))
    verified = did_vek.verify_credential(json.dumps({**unsigned, "proof": proof}), resolver=NO_REGISTRY, now=NOW)
    assert not verified.standard_proof


SKEW = timedelta(minutes=5)


@pytest.mark.parametrize("members, now, refusal", [
    ({"validFrom": "2026-06-01T00:00:01Z"}, NOW, "not valid before"),
    ({"validFrom": "2026-06-01T02:00:00+02:00"}, NOW, None),
    ({"validUntil": "2026-05-31T23:59:59Z"}, NOW, "valid until"),
    ({"validUntil": "2026-06-01T00:00:00.5Z"}, NOW, None),
    ({"validUntil": "June 2026"}, NOW, "not a date and time"),
    ({"validUntil": 2026}, NOW, "not a string"),
    ({"validFrom": "2025-01-01T00:00:00Z"}, datetime(2026, 1, 1, tzinfo=UTC) - SKEW, None),
    ({"validFrom": "2025-01-01T00:00:00Z"}, datetime(2026, 1, 1, tzinfo=UTC) - SKEW - timedelta(seconds=1),
     "created in the future"),
])
def test_times(members, now, refusal):
    signed = did_vek.issue_credential(SIGNERS[2], credential(SIGNERS[2].did_key, **members),
                                      verification_method=f"{SIGNERS[2].did_key}#{SIGNERS[2].did_key[8:]}",
                                      created=stamp(0))
    if refusal is None:
        did_vek.verify_credential(signed, resolver=NO_REGISTRY, now=now)
    else:
        with pytest.raises(did_vek.InvalidCredential, match=refusal):
            did_vek.verify_credential(signed, resolver=NO_REGISTRY, now=now)


def with_proof(**members):
    value = json.loads(SIGNED)
    value["proof"].update(members)
    return json.dumps({**value, "proof": {k: v for k, v in value["proof"].items() if v is not None}})


@pytest.mark.parametrize("text, refusal", [
    ("[1]", "a credential is a JSON object, not an array"),
    (credential("did:key:z6Mk").replace('"issuer": ', '"issuer": "x", "issuer": ', 1), "duplicate member"),
    ('{"@context": [], "type": [], "issuer": "\\ud800"}', "lone surrogate"),
    ('{"@context": [], "type": [], "issuer": NaN}', "NaN is not a JSON value"),
    (json.dumps({"@context": [], "type": [], "issuer": "did:key:z6Mk"}), "has no proof"),
    (with_proof(cryptosuite="ecdsa-jcs-2019"), 'unknown cryptosuite "ecdsa-jcs-2019"'),
    (with_proof(type="Ed25519Signature2020"), "not \"DataIntegrityProof\""),
    (with_proof(proofPurpose="authentication"), 'not "assertionMethod"'),
    (with_proof(proofValue="f" + "00" * 64), "not a signature of 64 bytes"),
    (with_proof(proofValue="z0OIl"), "not a signature of 64 bytes"),
    (with_proof(verificationMethod="did:key:z6Mk"), "names no key"),
    (with_proof(**{"@context": ["https://www.w3.org/ns/credentials/examples/v2"]}), "is not the credential's"),
    (vek_credential(SIGNERS[0], "key-1", stamp(5)).replace(f'"created":"{stamp(5)}",', ""), "needs \"created\""),
    (did_vek.issue_credential(SIGNERS[0], credential("did:web:example.com"),
                              verification_method="did:web:example.com#k", created=stamp(0)), "neither a did:vek nor a did:key"),
    (did_vek.issue_credential(SIGNERS[0], credential("did:key:z6Mk"), verification_method="did:key:z6Mk#z6Mk",
                              created=stamp(0)),
     "not the did:key DID of an Ed25519 key"),
])
def test_refusals(text, refusal):
    with pytest.raises(did_vek.InvalidCredential, match=refusal) as raised:
        did_vek.verify_credential(text, resolver=NO_REGISTRY, now=NOW)
    assert "\n" not in str(raised.value)


@pytest.mark.parametrize("text, method, created, refusal", [
    ("1", "did:key:z#z", None, "a credential is a JSON object, not a number"),
    (json.dumps({"type": [], "issuer": "did:key:z"}), "did:key:z#z", None, 'no "@context"'),
    (json.dumps({"@context": [], "issuer": "did:key:z"}), "did:key:z#z", None, 'no "type"'),
    (json.dumps({"@context": [], "type": []}), "did:key:z#z", None, 'no "issuer"'),
    (SIGNED, "did:key:z#z", None, "already has a proof"),
    (credential(DID), "key-1", None, "is not a DID, '#' and a key id"),
    (credential(DID), f"{DID}#key-1", "2026-02-30T00:00:00Z", "created"),
])
def test_what_cannot_be_issued(text, method, created, refusal):
    with pytest.raises(did_vek.InvalidCredential, match=refusal):
        did_vek.issue_credential(SIGNERS[0], text, verification_method=method, created=created)


def test_the_proof_goes_in_after_the_issuers_own_text():
    text = credential(DID)
    signed = did_vek.issue_credential(SIGNERS[0], text, verification_method=f"{DID}#key-1")
    assert signed.startswith(text[:-2]) and signed.endswith("}\n}") and '"proof":{"@context":' in signed
    proof = json.loads(signed)["proof"]
    assert datetime.fromisoformat(proof["created"]) > datetime.now(UTC) - timedelta(minutes=1)
