"""The exact shape of the signed document that the engine issues, member by member.

Anything else is refused, not ignored: a verifier that rebuilt only the members it knows
would accept a document into which someone put an unsigned "service" or "controller", and
a key that also signs chosen texts could be made to sign a document of any shape.
"""

import re
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from did_vek_core import is_valid_did_py

from ._errors import InvalidDocument
from ._keys import is_hex
from ._strict_json import quoted

CONTEXTS = ["https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1",
            "https://did-vek.dev/ns/vek/v1"]
KEY_ID = "key-1"
WRAPPER_MEMBERS = ("document", "proof")
DOCUMENT_MEMBERS = ("@context", "id", "verificationMethod", "authentication", "assertionMethod", "created", "updated")
METHOD_MEMBERS = ("id", "type", "controller", "publicKeyHex")
PROOF_MEMBERS = ("type", "created", "verificationMethod", "proofPurpose", "proofValue")
TIMESTAMP_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
_TIMESTAMP = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")

_JSON_TYPES = {dict: "an object", list: "an array", str: "a string", bool: "a boolean", int: "a number",
               float: "a number", type(None): "null"}


@dataclass(frozen=True)
class SignedParts:
    """The values of a signed document of the right shape; the proof is not yet checked."""
    document: dict[str, Any]
    did: str
    public_key: str
    created: str
    updated: str
    proof_created: str
    proof_value: str


def check_shape(value: object) -> SignedParts:
    """The parts of `value`, the parsed text, or `InvalidDocument` saying where it departs."""
    wrapper = _members(value, "the text", WRAPPER_MEMBERS)
    document = _members(wrapper["document"], "document", DOCUMENT_MEMBERS)
    proof = _members(wrapper["proof"], "proof", PROOF_MEMBERS)

    if _string_list(document["@context"], "document.@context") != CONTEXTS:
        raise InvalidDocument(f"document.@context must be exactly {quoted(', '.join(CONTEXTS), 200)}")
    did = _string(document["id"], "document.id")
    # The DID check only takes text with a UTF-8 form; a DID is ASCII in any case.
    if not did.isascii() or not is_valid_did_py(did):
        raise InvalidDocument(f"document.id {quoted(did)} is not a valid did:vek DID")
    key_reference = f"{did}#{KEY_ID}"

    methods = _single_entry(document["verificationMethod"], "document.verificationMethod")
    method = _members(methods[0], "document.verificationMethod[0]", METHOD_MEMBERS)
    _expect(method, "document.verificationMethod[0]", {
        "id": key_reference, "type": "Ed25519VerificationKey2020", "controller": did})
    public_key = _string(method["publicKeyHex"], "document.verificationMethod[0].publicKeyHex")
    if not is_hex(public_key, 64, lower_case_only=True):
        raise InvalidDocument("document.verificationMethod[0].publicKeyHex must be 64 lower-case hex digits")

    for relation in ("authentication", "assertionMethod"):
        if _string_list(document[relation], f"document.{relation}") != [key_reference]:
            raise InvalidDocument(f"document.{relation} must be exactly [{quoted(key_reference)}]")

    _expect(proof, "proof", {"type": "Ed25519Signature2020", "verificationMethod": key_reference,
                             "proofPurpose": "assertionMethod"})
    proof_value = _string(proof["proofValue"], "proof.proofValue")
    if not is_hex(proof_value, 128, lower_case_only=True):
        raise InvalidDocument("proof.proofValue must be 128 lower-case hex digits")

    return SignedParts(document=document, did=did, public_key=public_key,
                       created=_timestamp(document["created"], "document.created"),
                       updated=_timestamp(document["updated"], "document.updated"),
                       proof_created=_timestamp(proof["created"], "proof.created"),
                       proof_value=proof_value)


def _type_name(value: object) -> str:
    return _JSON_TYPES.get(type(value), type(value).__name__)


def _members(value: object, where: str, names: tuple[str, ...]) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise InvalidDocument(f"{where} must be an object, not {_type_name(value)}")
    missing = [name for name in names if name not in value]
    if missing:
        raise InvalidDocument(f"{where} lacks the member {quoted(missing[0])}")
    unexpected = [name for name in value if name not in names]
    if unexpected:
        raise InvalidDocument(f"{where} has the member {quoted(unexpected[0])}, which a signed document never has")
    return value


def _string(value: object, where: str) -> str:
    if not isinstance(value, str):
        raise InvalidDocument(f"{where} must be a string, not {_type_name(value)}")
    return value


def _array(value: object, where: str) -> list[Any]:
    if not isinstance(value, list):
        raise InvalidDocument(f"{where} must be an array, not {_type_name(value)}")
    return value


def _string_list(value: object, where: str) -> list[str]:
    return [_string(element, f"{where}[{index}]") for index, element in enumerate(_array(value, where))]


def _single_entry(value: object, where: str) -> list[Any]:
    entries = _array(value, where)
    if len(entries) != 1:
        raise InvalidDocument(f"{where} must hold exactly one entry, not {len(entries)}")
    return entries


def _expect(members: dict[str, Any], where: str, expected: dict[str, str]) -> None:
    for name, text in expected.items():
        if _string(members[name], f"{where}.{name}") != text:
            raise InvalidDocument(f"{where}.{name} must be {quoted(text)}, not {quoted(members[name])}")


def _timestamp(value: object, where: str) -> str:
    text = _string(value, where)
    if _TIMESTAMP.fullmatch(text) is None:
        raise InvalidDocument(f"{where} {quoted(text)} is not a UTC time of the form YYYY-MM-DDThh:mm:ssZ")
    try:
        datetime.strptime(text, TIMESTAMP_FORMAT)
    except ValueError:
        raise InvalidDocument(f"{where} {quoted(text)} is not a real date and time") from None
    return text
