# The resolved view: one-to-one with the signed record, keys as multibase that verify, checked back by verify_resolution.
import dataclasses
import json

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from conftest import RFC8032
from did_vek import DIDEngine, InvalidDocument, record_of, verify_history, verify_resolution, view_of
from did_vek._base58 import decode
from did_vek._native import multibase_base58btc
from did_vek._resolution import history_result
from did_vek._view import key_hex, key_multibase

import histories

W3C_CONTEXT = ["https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1"]
SIGNED = histories.life_of_a_did()
HISTORY = verify_history(SIGNED)
RECORDS = [json.loads(text)["document"] for text in SIGNED]


@pytest.mark.parametrize("public_key, multibase", [
    # RFC 8032 tests 1 and 2 as the did:key identifiers that others publish for them.
    (RFC8032[0]["public_key"], "z6MktwupdmLXVVqTzCw4i46r4uGyosGXRnR3XjN4Zq7oMMsw"),
    (RFC8032[1]["public_key"], "z6MkiaMbhXHNA4eJVCCj8dbzKzTgYDKf6crKgHVHid1F1WCT"),
])
def test_keys_are_multibase_of_the_multicodec_prefixed_key(public_key, multibase):
    assert key_multibase(public_key) == multibase
    assert key_hex(multibase) == public_key


def encode(data):
    return multibase_base58btc(data.hex())[1:]


@pytest.mark.parametrize("data", [b"", b"\0", b"\0\0\x01", b"\xff" * 40, bytes(range(34))])
def test_base58_keeps_every_byte(data):
    assert decode(encode(data)) == data


@pytest.mark.parametrize("multibase", [
    None, "", "z", "f" + "00" * 34,                          # not base58btc
    "z0OIl",                                                 # characters outside the alphabet
    "z" + encode(b"\xec\x01" + bytes(32)),                   # another multicodec
    "z" + encode(b"\xed\x01" + bytes(31)),                   # a short key
])
def test_what_is_no_ed25519_multibase_has_no_key(multibase):
    assert key_hex(multibase) is None


@pytest.mark.parametrize("record", RECORDS, ids=[f"version {n}" for n in range(1, len(RECORDS) + 1)])
def test_the_view_maps_back_to_its_record(record):
    view = view_of(record)
    assert view["@context"] == W3C_CONTEXT
    assert all("publicKeyHex" not in method for method in view.get("verificationMethod", ()))
    assert {name: value for name, value in view.items() if name not in ("@context", "verificationMethod")} == {
        name: value for name, value in record.items() if name not in ("@context", "verificationMethod")}
    assert record_of(view) == record


def test_every_key_of_the_view_verifies_a_signature_of_its_holder():
    message = "signed by the holder of the DID's key"
    holders = {engine.public_key: engine for engine in histories.KEYS}
    for version in HISTORY.versions[:-1]:
        for method in view_of(version.document)["verificationMethod"]:
            key = decode(method["publicKeyMultibase"][1:])[2:]
            signature = bytes.fromhex(holders[key.hex()].sign(message))
            Ed25519PublicKey.from_public_bytes(key).verify(signature, message.encode())  # raises if it does not


@pytest.mark.parametrize("change, message", [
    (lambda view: view.update({"@context": W3C_CONTEXT + ["https://did-vek.dev/ns/vek/v1"]}), "two W3C contexts"),
    (lambda view: view["verificationMethod"][0].update(publicKeyMultibase="z6Mk"), "publicKeyMultibase"),
    (lambda view: view["verificationMethod"][0].update(publicKeyHex="00" * 32), "publicKeyMultibase"),
    (lambda view: view.update(verificationMethod={}), "list of objects"),
])
def test_record_of_refuses_what_is_no_view(change, message):
    view = view_of(RECORDS[0])
    change(view)
    with pytest.raises(InvalidDocument, match=message):
        record_of(view)


def test_view_of_refuses_what_is_no_record():
    with pytest.raises(InvalidDocument, match="@context"):
        view_of(view_of(RECORDS[0]))


def results():
    """The result of each version but the deactivating one, as if the DID were still active."""
    active = dataclasses.replace(HISTORY, deactivated=False)
    return [history_result(active, version) for version in HISTORY.versions[:-1]]


def test_verify_resolution_checks_a_first_version_as_verify_document_does():
    verified = verify_resolution(json.dumps(results()[0]))
    assert verified.did == histories.DID and verified.key_derived and verified.document == RECORDS[0]


@pytest.mark.parametrize("change, message", [
    (lambda result: result["didDocument"].update(controller="did:vek:0000000000000000"), "does not verify"),
    (lambda result: result["didDocument"]["verificationMethod"][0].update(
        publicKeyMultibase=key_multibase(DIDEngine().public_key)), "does not verify"),
    (lambda result: result["didResolutionMetadata"].update(proof=result["didResolutionMetadata"]["proof"] * 2),
     "proof"),
    (lambda result: result["didResolutionMetadata"].update(proof=result["didResolutionMetadata"]["proof"][0]),
     "proof"),
    (lambda result: result.update(didDocument=None), "didDocument"),
])
def test_verify_resolution_refuses_a_result_that_does_not_verify(change, message):
    result = results()[0]
    change(result)
    with pytest.raises(InvalidDocument, match=message):
        verify_resolution(result)


def test_a_later_version_signed_by_the_key_before_it_is_refused_naming_h2():
    # Version 3 lists only key 2, and was signed by key 1 of version 2.
    with pytest.raises(InvalidDocument, match="H2"):
        verify_resolution(results()[2])
    assert verify_resolution(results()[3]).key_id == "key-2"  # version 4: signed by a key it lists
