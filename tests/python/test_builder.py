import importlib.util
import itertools
import json
from pathlib import Path

import pytest
from conftest_documents import DID, keys, ordered, stamps, without_stamps

from did_vek_core import DIDDocumentBuilder

FULL = """{
  "@context": [
    "https://www.w3.org/ns/did/v1",
    "https://w3id.org/security/suites/ed25519-2020/v1",
    "https://did-vek.dev/ns/vek/v1"
  ],
  "id": "did:vek:abc",
  "controller": "did:vek:ctrl",
  "verificationMethod": [
    {
      "id": "did:vek:abc#key-1",
      "type": "Ed25519VerificationKey2020",
      "controller": "did:vek:abc",
      "publicKeyHex": "00ff"
    },
    {
      "id": "did:vek:abc#k",
      "type": "Ed25519VerificationKey2020",
      "controller": "did:vek:abc",
      "publicKeyHex": "zz"
    }
  ],
  "authentication": [
    "did:vek:abc#key-1",
    "did:vek:abc#key-1"
  ],
  "assertionMethod": [
    "did:vek:abc#a#b c"
  ],
  "service": [
    {
      "id": "did:vek:abc#",
      "type": "",
      "serviceEndpoint": ""
    },
    {
      "id": "did:vek:abc#talvo-provenance",
      "type": "TALVOProvenanceService",
      "serviceEndpoint": "https://t.example/p"
    },
    {
      "id": "did:vek:abc#bilateral-consent",
      "type": "BilateralConsentService",
      "serviceEndpoint": "https://c.example/"
    },
    {
      "id": "did:vek:abc#bilateral-consent",
      "type": "BilateralConsentService",
      "serviceEndpoint": "https://c.example/"
    }
  ],
  "created": "{T}",
  "updated": "{T}"
}"""


def full_builder():
    """Every kind of entry, services first and the controller replaced."""
    builder = DIDDocumentBuilder(DID)
    builder.add_service("", "", "")
    builder.set_controller("did:vek:first")
    builder.add_talvo_service("https://t.example/p")
    builder.add_assertion_method("a#b c")
    builder.add_authentication("key-1")
    builder.add_consent_service("https://c.example/")
    builder.add_verification_method("key-1", "00ff")
    builder.add_consent_service(endpoint="https://c.example/")
    builder.add_authentication("key-1")
    builder.add_verification_method(key_id="k", public_key_hex="zz")
    builder.set_controller("did:vek:ctrl")
    return builder


def test_full_document_byte_exact():
    text = full_builder().build()
    created, updated = stamps(text)
    assert created == updated
    assert text == FULL.replace("{T}", created)


MUTATIONS = {
    "controller": lambda b: b.set_controller("did:vek:c"),
    "methods": lambda b: (b.add_verification_method("m1", "11"), b.add_verification_method("m2", "22")),
    "authentication": lambda b: (b.add_authentication("a2"), b.add_authentication("a1")),
    "assertion": lambda b: (b.add_assertion_method("s2"), b.add_assertion_method("s1")),
    "services": lambda b: (b.add_service("x", "T", "e"), b.add_talvo_service("t"), b.add_consent_service("c")),
}
DECLARED = ["@context", "id", "controller", "verificationMethod", "authentication", "assertionMethod",
            "service", "created", "updated"]


def _text_for(order):
    builder = DIDDocumentBuilder(DID)
    for name in order:
        MUTATIONS[name](builder)
    return without_stamps(builder.build())


@pytest.mark.parametrize("order", list(itertools.permutations(MUTATIONS)), ids="-".join)
def test_member_order_is_declared_whatever_the_call_order(order):
    text = _text_for(order)
    assert text == _text_for(list(MUTATIONS))
    assert keys(ordered(text)) == DECLARED
    assert json.loads(text)["authentication"] == [f"{DID}#a2", f"{DID}#a1"]


@pytest.mark.parametrize("controller", ["did:vek:b", "", "not a did # at all"])
def test_controller_last_call_wins_unvalidated(controller):
    builder = DIDDocumentBuilder(DID)
    builder.set_controller("did:vek:a")
    builder.set_controller(controller)
    text = builder.build()
    assert f'\n  "controller": {json.dumps(controller)},\n' in text
    assert text.count('"controller"') == 1


@pytest.mark.parametrize("method, fragment, service_type", [
    ("add_consent_service", "bilateral-consent", "BilateralConsentService"),
    ("add_talvo_service", "talvo-provenance", "TALVOProvenanceService"),
])
def test_fixed_services_equal_add_service(method, fragment, service_type):
    fixed, plain = DIDDocumentBuilder(DID), DIDDocumentBuilder(DID)
    getattr(fixed, method)("https://e.example/x")
    plain.add_service(fragment, service_type, "https://e.example/x")
    assert without_stamps(fixed.build()) == without_stamps(plain.build())
    assert f'"id": "{DID}#{fragment}",\n      "type": "{service_type}",' in fixed.build()


def test_failed_conversion_raises_and_leaves_state():
    builder = full_builder()
    before = without_stamps(builder.build())
    with pytest.raises(TypeError, match="service_type") as caught:
        builder.add_service("a", 1, "c")
    assert "service_id" not in str(caught.value) and "endpoint" not in str(caught.value)
    with pytest.raises(UnicodeEncodeError):
        builder.set_controller("\ud800")
    assert without_stamps(builder.build()) == before


@pytest.mark.parametrize("method, args", [
    ("set_controller", ("c",)), ("add_verification_method", ("k", "00")), ("add_authentication", ("k",)),
    ("add_assertion_method", ("k",)), ("add_service", ("s", "T", "e")), ("add_consent_service", ("e",)),
    ("add_talvo_service", ("e",)),
])
def test_mutators_return_none(method, args):
    assert getattr(DIDDocumentBuilder(DID), method)(*args) is None


def test_build_is_repeatable_and_reflects_later_changes():
    builder = full_builder()
    first, second = builder.build(), builder.build()
    assert without_stamps(first) == without_stamps(second)
    builder.add_assertion_method("late")
    third = builder.build()
    assert f"{DID}#late" not in first + second and f'"{DID}#late"' in third
    assert without_stamps(third) == without_stamps(first).replace(
        '"did:vek:abc#a#b c"\n', '"did:vek:abc#a#b c",\n    "did:vek:abc#late"\n')


@pytest.mark.parametrize("did", ["not-a-did", "", "did:vek:", "did:other:abc", "did:vek:a b", "DID:vek:abc"])
def test_constructor_rejects_invalid_did(did):
    with pytest.raises(ValueError) as caught:
        DIDDocumentBuilder(did)
    assert caught.value.args == ("Invalid DID",)


def test_constructor_keyword_and_verbatim_did():
    did = "did:vek:A.b-c_d:e"
    assert json.loads(DIDDocumentBuilder(did=did).build())["id"] == did


def test_type_stubs_installed_next_to_module():
    origin = Path(importlib.util.find_spec("did_vek_core").origin)
    installed = origin.parent / "did_vek_core-stubs" / "__init__.pyi"
    assert installed.read_text() == (Path(__file__).parents[2] / "stubs" / "__init__.pyi").read_text()
