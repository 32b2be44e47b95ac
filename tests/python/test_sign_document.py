# sign_document: any document the record rules allow is signed over its compact record form and laid out as the
# engine lays out what it issues; documents outside the rules are refused before anything is signed.
import json
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timezone

import pytest

import did_vek
from record_form import compact_record_form
from histories import DID, KEYS, document, stamp


def test_the_same_document_signs_to_the_engines_text():
    issued = json.loads(KEYS[0].create_document(DID))
    builder = did_vek.DIDDocumentBuilder(DID)
    builder.add_verification_method("key-1", KEYS[0].public_key)
    builder.add_authentication("key-1"), builder.add_assertion_method("key-1")
    record = json.loads(builder.build())
    record["created"], record["updated"] = issued["document"]["created"], issued["document"]["updated"]
    text = did_vek.sign_document(KEYS[0], json.dumps(record), key_id="key-1")
    signed = json.loads(text)
    signed["proof"]["created"] = issued["proof"]["created"]  # stamped now, outside the signature
    assert signed == issued
    # Both laid out alike: members sorted, two spaces, no final line feed.
    layout = lambda text: json.dumps(json.loads(text), indent=2, sort_keys=True, ensure_ascii=False)  # noqa: E731
    assert layout(text) == text and layout(KEYS[0].create_document(DID)) == KEYS[0].create_document(DID)


DOCUMENTS = {
    "keys only": document({"key-1": KEYS[0]}),
    "three keys, one for assertion": document({"a": KEYS[0], "b": KEYS[1], "c": KEYS[2]}, assertion=["b"]),
    "services and a controller": document({"key-1": KEYS[0]}, controller="did:vek:parent", services=[
        ("bilateral-consent", "BilateralConsentService", "https://consent.example"),
        ("talvo-provenance", "TALVOProvenanceService", "https://provenance.example/ä?q=\"x\"\\\t\u0001/")]),
    "no keys at all": document({}),
    "16 entries": document({f"k{n}": KEYS[n % 3] for n in range(4)}, assertion=["k0", "k1", "k2", "k3"],
                           services=[(f"s{n}", "T", f"https://s{n}.example") for n in range(4)]),
}


@pytest.mark.parametrize("text", DOCUMENTS.values(), ids=DOCUMENTS)
def test_signed_over_the_compact_record_form(text):
    signed = json.loads(did_vek.sign_document(KEYS[1], text, key_id="signer"))
    assert signed["document"] == json.loads(text)
    assert signed["proof"]["verificationMethod"] == DID + "#signer"
    assert did_vek.DIDEngine.verify_with_key(compact_record_form(json.loads(text)), signed["proof"]["proofValue"],
                                             KEYS[1].public_key)


def test_any_layout_of_the_document_signs_the_same_values():
    text = document({"key-1": KEYS[0]})
    layouts = [text, json.dumps(json.loads(text), indent=3), json.dumps(dict(reversed(json.loads(text).items())))]
    proofs = {json.loads(did_vek.sign_document(KEYS[0], layout, key_id="key-1"))["proof"]["proofValue"]
              for layout in layouts}
    assert len(proofs) == 1


def broken(change):
    record = json.loads(document({"key-1": KEYS[0]}))
    change(record)
    return json.dumps(record)


@pytest.mark.parametrize("text, message", [
    ("", "not JSON"),
    ('{"id": 1, "id": 2}', 'duplicate member "id"'),
    (KEYS[0].create_document(DID), 'lacks the member "@context"'),
    (broken(lambda r: r["verificationMethod"][0].update(publicKeyHex="zz")), "64 lower-case hex digits"),
    (broken(lambda r: r["verificationMethod"].append(dict(r["verificationMethod"][0]))), "id of an earlier entry"),
    (broken(lambda r: r["assertionMethod"].append(DID + "#missing")), "names no entry of verificationMethod"),
    (broken(lambda r: r.update(service=[])), "must not be empty"),
    (broken(lambda r: r.update(service=[{"id": "did:vek:other#s", "type": "T", "serviceEndpoint": "x"}])),
     'must be "' + DID + '#" and a fragment'),
    (broken(lambda r: r.update(controller=["did:vek:a"])), "controller must be a string"),
    (broken(lambda r: r.update(updated=stamp(0).replace("2026", "2025"))), "is before document.created"),
    (broken(lambda r: r.pop("updated")), 'lacks the member "updated"'),
    (broken(lambda r: r["@context"].reverse()), "@context must be exactly"),
    (broken(lambda r: r.update(id="did:key:z6Mk")), "is not a valid did:vek DID"),
    (broken(lambda r: r.update(extra=True)), 'has the member "extra"'),
    (json.dumps(json.loads(document({"key-1": KEYS[0]}))).replace("key-1", "key-\\udc00"), "lone surrogate"),
])
def test_documents_outside_the_record_rules_are_refused(text, message):
    with pytest.raises(did_vek.InvalidDocument) as caught:
        did_vek.sign_document(KEYS[0], text, key_id="key-1")
    assert message in str(caught.value) and "\n" not in str(caught.value)


@pytest.mark.parametrize("call", [lambda: did_vek.sign_document(KEYS[0].public_key, document({}), key_id="k"),
                                  lambda: did_vek.sign_document(KEYS[0], document({}).encode(), key_id="k"),
                                  lambda: did_vek.sign_document(KEYS[0], document({}), key_id=1)])
def test_arguments_of_other_types(call):
    pytest.raises(TypeError, call)


def test_a_key_the_document_does_not_list_signs_but_does_not_verify_on_its_own():
    signed = did_vek.sign_document(KEYS[1], document({"key-1": KEYS[0]}), key_id="key-2")
    with pytest.raises(did_vek.InvalidDocument, match="not in document.assertionMethod"):
        did_vek.verify_document(signed)


def test_threads_sign_with_one_engine_at_once():
    # The native call claims the engine as its own signing does: shared, so no thread waits or fails.
    texts = [document({"key-1": KEYS[0]}, updated=stamp(n)) for n in range(40)]
    with ThreadPoolExecutor(4) as pool:
        signed = list(pool.map(lambda text: did_vek.sign_document(KEYS[0], text, key_id="key-1"), texts))
    for text, result in zip(texts, signed):
        assert did_vek.verify_document(result).document == json.loads(text)


def test_the_proof_is_stamped_with_the_second_it_was_signed_in():
    # A thread keeps the text of the last second it stamped: a later second must not get it.
    text = document({"key-1": KEYS[0]})
    first = did_vek.verify_document(did_vek.sign_document(KEYS[0], text, key_id="key-1")).proof_created
    time.sleep(1.05)
    second = did_vek.verify_document(did_vek.sign_document(KEYS[0], text, key_id="key-1")).proof_created
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    assert first < second <= now
