"""The record rules: which DID documents and proofs a signed document may hold, member by member.

Anything outside them is refused, not ignored: a verifier that rebuilt only the members it
knows would accept a document into which someone put unsigned members, and a key that also
signs chosen texts could be made to sign a document of any shape. Every refusal is an
`InvalidDocument` whose one-line message names the member.
"""

import re
from datetime import datetime
from typing import Any

from did_vek_core import is_valid_did_py

from ._errors import InvalidDocument
from ._keys import is_hex
from ._strict_json import quoted

CONTEXTS = ["https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1",
            "https://did-vek.dev/ns/vek/v1"]
KEY_TYPE = "Ed25519VerificationKey2020"
PROOF_TYPE = "Ed25519Signature2020"
PROOF_PURPOSE = "assertionMethod"
WRAPPER_MEMBERS = ("document", "proof")
DOCUMENT_MEMBERS = ("@context", "id", "controller", "verificationMethod", "authentication", "assertionMethod",
                    "service", "created", "updated")
REQUIRED_MEMBERS = ("@context", "id", "created", "updated")
METHOD_MEMBERS = ("id", "type", "controller", "publicKeyHex")
SERVICE_MEMBERS = ("id", "type", "serviceEndpoint")
PROOF_MEMBERS = ("type", "created", "verificationMethod", "proofPurpose", "proofValue")
RELATIONS = ("authentication", "assertionMethod")
TIMESTAMP_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
_TIMESTAMP = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")

_JSON_TYPES = {dict: "an object", list: "an array", str: "a string", bool: "a boolean", int: "a number",
               float: "a number", type(None): "null"}


def check_wrapper(value: object) -> tuple[dict[str, Any], dict[str, Any]]:
    """The "document" and "proof" of a parsed signed document, neither checked yet."""
    wrapper = members(value, "the text", WRAPPER_MEMBERS, WRAPPER_MEMBERS)
    return wrapper["document"], wrapper["proof"]


def check_document(value: object, where: str = "document") -> dict[str, Any]:
    """`value` if it is a DID document that obeys the record rules."""
    document = members(value, where, DOCUMENT_MEMBERS, REQUIRED_MEMBERS)
    if string_list(document["@context"], f"{where}.@context") != CONTEXTS:
        raise InvalidDocument(f"{where}.@context must be exactly {quoted(', '.join(CONTEXTS), 200)}")
    did = string(document["id"], f"{where}.id")
    # The DID check only takes text with a UTF-8 form; a DID is ASCII in any case.
    if not did.isascii() or not is_valid_did_py(did):
        raise InvalidDocument(f"{where}.id {quoted(did)} is not a valid did:vek DID")
    if "controller" in document:
        string(document["controller"], f"{where}.controller")

    method_ids: set[str] = set()
    for index, entry in enumerate(entries(document, "verificationMethod", where)):
        at = f"{where}.verificationMethod[{index}]"
        method = members(entry, at, METHOD_MEMBERS, METHOD_MEMBERS)
        method_id = reference(method["id"], did, f"{at}.id")
        if method_id in method_ids:
            raise InvalidDocument(f"{at}.id {quoted(method_id)} is the id of an earlier entry")
        method_ids.add(method_id)
        expect(method, at, {"type": KEY_TYPE, "controller": did})
        if not is_hex(string(method["publicKeyHex"], f"{at}.publicKeyHex"), 64, lower_case_only=True):
            raise InvalidDocument(f"{at}.publicKeyHex must be 64 lower-case hex digits")

    for relation in RELATIONS:
        for index, element in enumerate(entries(document, relation, where)):
            key = string(element, f"{where}.{relation}[{index}]")
            if key not in method_ids:
                raise InvalidDocument(f"{where}.{relation}[{index}] {quoted(key)} names no entry of verificationMethod")

    for index, entry in enumerate(entries(document, "service", where)):
        at = f"{where}.service[{index}]"
        service = members(entry, at, SERVICE_MEMBERS, SERVICE_MEMBERS)
        reference(service["id"], did, f"{at}.id")
        string(service["type"], f"{at}.type")
        string(service["serviceEndpoint"], f"{at}.serviceEndpoint")

    created = timestamp(document["created"], f"{where}.created")
    if timestamp(document["updated"], f"{where}.updated") < created:  # the fixed form orders as text
        raise InvalidDocument(f"{where}.updated {quoted(document['updated'])} is before {where}.created {quoted(created)}")
    return document


def check_proof(value: object, did: str) -> dict[str, Any]:
    """`value` if it is a proof of this method for a document of `did`."""
    proof = members(value, "proof", PROOF_MEMBERS, PROOF_MEMBERS)
    expect(proof, "proof", {"type": PROOF_TYPE, "proofPurpose": PROOF_PURPOSE})
    timestamp(proof["created"], "proof.created")
    reference(proof["verificationMethod"], did, "proof.verificationMethod")
    if not is_hex(string(proof["proofValue"], "proof.proofValue"), 128, lower_case_only=True):
        raise InvalidDocument("proof.proofValue must be 128 lower-case hex digits")
    return proof


def type_name(value: object) -> str:
    return _JSON_TYPES.get(type(value), type(value).__name__)


def members(value: object, where: str, allowed: tuple[str, ...], required: tuple[str, ...]) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise InvalidDocument(f"{where} must be an object, not {type_name(value)}")
    missing = [name for name in required if name not in value]
    if missing:
        raise InvalidDocument(f"{where} lacks the member {quoted(missing[0])}")
    unexpected = [name for name in value if name not in allowed]
    if unexpected:
        raise InvalidDocument(f"{where} has the member {quoted(unexpected[0])}, which a signed document never has")
    return value


def string(value: object, where: str) -> str:
    if not isinstance(value, str):
        raise InvalidDocument(f"{where} must be a string, not {type_name(value)}")
    return value


def string_list(value: object, where: str) -> list[str]:
    if not isinstance(value, list):
        raise InvalidDocument(f"{where} must be an array, not {type_name(value)}")
    return [string(element, f"{where}[{index}]") for index, element in enumerate(value)]


def entries(document: dict[str, Any], name: str, where: str) -> list[Any]:
    """The list under `name`, empty when absent; present means non-empty, as the engine writes it."""
    if name not in document:
        return []
    value = document[name]
    if not isinstance(value, list):
        raise InvalidDocument(f"{where}.{name} must be an array, not {type_name(value)}")
    if not value:
        raise InvalidDocument(f"{where}.{name} must not be empty: an empty list is left out")
    return value


def reference(value: object, did: str, where: str) -> str:
    """A text of the form DID#fragment for the document's own DID."""
    text = string(value, where)
    if not text.startswith(did + "#"):
        raise InvalidDocument(f"{where} {quoted(text)} must be {quoted(did + '#')} and a fragment")
    return text


def expect(value: dict[str, Any], where: str, expected: dict[str, str]) -> None:
    for name, text in expected.items():
        if string(value[name], f"{where}.{name}") != text:
            raise InvalidDocument(f"{where}.{name} must be {quoted(text)}, not {quoted(value[name])}")


def timestamp(value: object, where: str) -> str:
    text = string(value, where)
    if _TIMESTAMP.fullmatch(text) is None:
        raise InvalidDocument(f"{where} {quoted(text)} is not a UTC time of the form YYYY-MM-DDThh:mm:ssZ")
    try:
        datetime.strptime(text, TIMESTAMP_FORMAT)
    except ValueError:
        raise InvalidDocument(f"{where} {quoted(text)} is not a real date and time") from None
    return text
