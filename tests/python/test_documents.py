# DID documents from the builder and from create_document: their texts byte for byte, and the proof.
import itertools
import json
import re

import pytest

import did_vek_core as m
from conftest import DID, PUBLIC, SECRET

B, E = m.DIDDocumentBuilder, m.DIDEngine
ENGINE = E.from_secret_key(SECRET)
CONTEXTS = ["https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1",
            "https://did-vek.dev/ns/vek/v1"]
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


def method(key_id, key, did=DID):
    return {"id": f"{did}#{key_id}", "type": "Ed25519VerificationKey2020", "controller": did, "publicKeyHex": key}


def laid_out(document, text):  # in the two-space layout of Python's own writer, with the text's timestamps
    stamp = json.loads(text)["created"]  # one clock reading for both
    return json.dumps({**document, "created": stamp, "updated": stamp}, indent=2, ensure_ascii=False)


def test_fresh_builder_byte_exact():
    text = B(did=DID).build()
    assert TIMESTAMP.fullmatch(stamp := json.loads(text)["created"]) and text == (
        '{\n  "@context": [\n    "' + '",\n    "'.join(CONTEXTS) + f'"\n  ],\n  "id": "{DID}",\n'
        f'  "created": "{stamp}",\n  "updated": "{stamp}"\n}}')


# Services first, keywords in any order, a replaced controller, duplicates, fragments and texts as given.
MUTATIONS = {
    "controller": lambda b: (b.set_controller("did:vek:c"), b.set_controller(controller="")),
    "keys": lambda b: (b.add_verification_method(public_key_hex="z", key_id="k"), b.add_verification_method("k", "0")),
    "authentication": lambda b: (b.add_authentication("a#b c"), b.add_authentication(key_id="a#b c")),
    "assertion": lambda b: (b.add_assertion_method("s2"), b.add_assertion_method(key_id="s1")),
    "services": lambda b: (b.add_service(endpoint="", service_id="", service_type=""), b.add_talvo_service("t"),
                           b.add_consent_service(endpoint="c")),
}
EXPECTED = {
    "@context": CONTEXTS, "id": DID, "controller": "", "verificationMethod": [method("k", "z"), method("k", "0")],
    "authentication": [f"{DID}#a#b c"] * 2, "assertionMethod": [f"{DID}#s2", f"{DID}#s1"],
    "service": [{"id": f"{DID}#{fragment}", "type": kind, "serviceEndpoint": endpoint} for fragment, kind, endpoint in [
        ("", "", ""), ("talvo-provenance", "TALVOProvenanceService", "t"),
        ("bilateral-consent", "BilateralConsentService", "c")]]}


@pytest.mark.parametrize("order", list(itertools.permutations(MUTATIONS)), ids="-".join)
def test_builder_byte_exact_in_declared_order_whatever_the_call_order(order):
    builder = B(DID)
    assert {result for name in order for result in MUTATIONS[name](builder)} == {None}
    text = builder.build()
    assert text == laid_out(EXPECTED, text)
    assert TIMESTAMP.sub("", builder.build()) == TIMESTAMP.sub("", text)  # build() repeats


def test_escaping():  # every row of the table, then "/", U+007F and non-ASCII, which stay raw
    table = [('"', '\\"'), ("\\", "\\\\"), ("\b", "\\b"), ("\t", "\\t"), ("\n", "\\n"), ("\f", "\\f"), ("\r", "\\r"),
             ("\x00", "\\u0000"), ("\x1b", "\\u001b"), ("\x1f", "\\u001f"), ("/", "/"), ("\x7f", "\x7f"), ("é😀", "é😀")]
    builder = B(DID)
    builder.set_controller("|".join(char for char, _ in table))
    assert f'\n  "controller": "{"|".join(written for _, written in table)}",\n' in builder.build()


def test_builder_with_hundred_thousand_entries_builds():
    builder, key_ids = B(DID), [f"k{i}" for i in range(25_000)]
    for key_id in key_ids:
        builder.add_verification_method(key_id, PUBLIC), builder.add_authentication(key_id)
        builder.add_assertion_method(key_id), builder.add_service(key_id, "T", key_id)
    document, references = json.loads(builder.build()), [f"{DID}#{key_id}" for key_id in key_ids]
    assert document["authentication"] == document["assertionMethod"] == references
    assert [entry["id"] for entry in document["verificationMethod"] + document["service"]] == references * 2


def test_failed_calls_leave_the_builder_unchanged():
    builder = B(DID)
    for call in (lambda: builder.add_service("a", 1, "c"), lambda: builder.set_controller("\ud800"),
                 lambda: builder.add_verification_method("\udfff", "pk"), lambda: builder.add_assertion_method(None)):
        pytest.raises((TypeError, UnicodeEncodeError), call)
    assert TIMESTAMP.sub("", builder.build()) == TIMESTAMP.sub("", B(DID).build())


@pytest.mark.parametrize("did", ["not-a-did", "", "did:vek:", "did:web:a", "did:vek:a b", "did:vek:a#k", " did:vek:a"])
@pytest.mark.parametrize("make", [B, ENGINE.create_document], ids=["builder", "create_document"])
def test_invalid_did(make, did):
    assert pytest.raises(ValueError, make, did).value.args == ("Invalid DID",)


@pytest.mark.parametrize("did", [DID, "did:vek:A.b_c-d:e:f"])
def test_create_document_byte_exact_and_its_proof(did):
    text = ENGINE.create_document(did=did)
    signed, reference = json.loads(text), did + "#key-1"
    created, updated = signed["document"]["created"], signed["document"]["updated"]
    # The signed bytes: the compact record form, in declared member order.
    record = {"@context": CONTEXTS, "id": did, "verificationMethod": [method("key-1", PUBLIC, did)],
              "authentication": [reference], "assertionMethod": [reference], "created": created, "updated": updated}
    compact = json.dumps(record, separators=(",", ":"))
    proof = {"type": "Ed25519Signature2020", "created": signed["proof"]["created"], "verificationMethod": reference,
             "proofPurpose": "assertionMethod", "proofValue": ENGINE.sign(compact)}
    assert text == json.dumps({"document": record, "proof": proof}, indent=2, sort_keys=True)
    assert len(TIMESTAMP.findall(text)) == 3 and ENGINE.verify(compact, proof["proofValue"])
    assert E.verify_with_key(compact, proof["proofValue"], PUBLIC) and not ENGINE.verify(text, proof["proofValue"])
