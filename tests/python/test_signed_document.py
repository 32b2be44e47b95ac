import json
import re

import pytest
from conftest_documents import CONTEXTS, DID, PUBLIC, SECRET, compact_record, stamps

from did_vek_core import DIDEngine

CONTEXT_LINES = ",\n".join(f'      "{url}"' for url in CONTEXTS)
EXPECTED = """{
  "document": {
    "@context": [
CONTEXTS
    ],
    "assertionMethod": [
      "did:vek:abc#key-1"
    ],
    "authentication": [
      "did:vek:abc#key-1"
    ],
    "created": "T1",
    "id": "did:vek:abc",
    "updated": "T2",
    "verificationMethod": [
      {
        "controller": "did:vek:abc",
        "id": "did:vek:abc#key-1",
        "publicKeyHex": "PUBLIC",
        "type": "Ed25519VerificationKey2020"
      }
    ]
  },
  "proof": {
    "created": "T3",
    "proofPurpose": "assertionMethod",
    "proofValue": "SIGNATURE",
    "type": "Ed25519Signature2020",
    "verificationMethod": "did:vek:abc#key-1"
  }
}""".replace("CONTEXTS", CONTEXT_LINES).replace("PUBLIC", PUBLIC)


@pytest.fixture(scope="module")
def engine():
    return DIDEngine.from_secret_key(SECRET)


def test_signed_document_byte_exact(engine):
    text = engine.create_document(DID)
    t1, t2, t3 = stamps(text)
    assert t1 <= t2 <= t3
    signature = engine.sign(compact_record(json.loads(text)["document"]))
    expected = EXPECTED.replace("T1", t1).replace("T2", t2).replace("T3", t3)
    assert text == expected.replace("SIGNATURE", signature)
    assert text.startswith('{\n  "document": {\n    "@context"') and not text.endswith("\n")


VALID_DIDS = ["did:vek:abc", "did:vek:someone-else", "did:vek:A.b_c-d:e:f", "did:vek:" + "9" * 200]


@pytest.mark.parametrize("did", VALID_DIDS)
@pytest.mark.parametrize("make", [lambda: DIDEngine.from_secret_key(SECRET), DIDEngine], ids=["fixed", "fresh"])
def test_any_valid_did_is_bound_to_the_engine_key_and_verifies(make, did):
    engine = make()
    text = engine.create_document(did=did)
    top = json.loads(text)
    document, proof = top["document"], top["proof"]
    method = document["verificationMethod"][0]
    reference = did + "#key-1"
    assert (document["id"], method["controller"]) == (did, did)
    assert [method["id"], *document["authentication"], *document["assertionMethod"],
            proof["verificationMethod"]] == [reference] * 4
    assert method["publicKeyHex"] == engine.public_key
    assert re.fullmatch(r"[0-9a-f]{128}", proof["proofValue"])
    compact = compact_record(document)
    signature = proof["proofValue"]
    assert DIDEngine.verify_with_key(compact, signature, method["publicKeyHex"])
    assert engine.verify(compact, signature)
    # Only the compact record form is signed: not the returned text, nor a sorted compact form.
    assert not engine.verify(text, signature)
    assert not engine.verify(json.dumps(document, separators=(",", ":"), sort_keys=True), signature)


@pytest.mark.parametrize("did", ["not-a-did", "", "did:vek:", "did:key:abc", "did:vek:abc#key-1", " did:vek:abc"])
def test_invalid_did_rejected(engine, did):
    with pytest.raises(ValueError) as caught:
        engine.create_document(did)
    assert caught.value.args == ("Invalid DID",)


def test_same_engine_same_did_same_second_identical(engine):
    for _ in range(5):
        first, second = engine.create_document(DID), engine.create_document(DID)
        if len(set(stamps(first) + stamps(second))) == 1:
            assert first == second
            return
    pytest.fail("every attempt crossed a second boundary")

