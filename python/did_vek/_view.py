"""The resolved view of a DID document: what resolution serves, one-to-one with the signed record.

The record is what keys sign. It names this method's own JSON-LD context, which no JSON-LD
processor has offline, and gives keys as hex, which the ecosystem's verifiers and typed DID
libraries do not read. The view drops that context and gives each key as multibase (base58btc
of the Ed25519 multicodec prefix and the key); nothing else changes, so mapping a view back
gives exactly the record, whose signature anyone can check again.
"""

import json
import re
from functools import cache
from typing import Any

from did_vek_core import DIDDocumentBuilder

from . import _base58, _native
from ._errors import InvalidDocument
from ._messages import quoted
from ._verify import VerifiedDocument, verify_document

VIEW_CONTEXT = ("https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1")
# The multicodec code of an Ed25519 public key (0xed), as its unsigned varint.
ED25519_PREFIX = b"\xed\x01"
_PREFIX_HEX = ED25519_PREFIX.hex()
_KEY_HEX = re.compile("[0-9a-f]{64}")


@cache
def record_context() -> tuple[str, ...]:
    """The "@context" of every record: the builder's, so that it is written down in one place."""
    context = json.loads(DIDDocumentBuilder("did:vek:0000000000000000").build())["@context"]
    return tuple(context)


def key_multibase(public_key_hex: str) -> str:
    return _native.multibase_base58btc(_PREFIX_HEX + public_key_hex)


def key_hex(multibase: object) -> str | None:
    """The hex of the Ed25519 key that `multibase` encodes, or None when it encodes none."""
    if not isinstance(multibase, str) or not multibase.startswith("z"):
        return None
    data = _base58.decode(multibase[1:])
    if data is None or len(data) != 34 or not data.startswith(ED25519_PREFIX):
        return None
    return data[2:].hex()


def view_of(record: dict[str, Any]) -> dict[str, Any]:
    """The view of a record-form document (a dict, as parsed); `InvalidDocument` if it is none."""
    if not isinstance(record, dict) or record.get("@context") != _record_context_list():
        raise InvalidDocument("not a record-form document: its \"@context\" is not the record's")
    # Members keep their places; only the context and the keys change.
    view = dict(record)
    view["@context"] = list(VIEW_CONTEXT)
    if "verificationMethod" in record:
        view["verificationMethod"] = [_method_view(method) for method in _methods(record["verificationMethod"])]
    return view


def record_of(view: dict[str, Any]) -> dict[str, Any]:
    """The record-form document that `view` shows; `InvalidDocument` if it is no view."""
    if not isinstance(view, dict) or view.get("@context") != list(VIEW_CONTEXT):
        raise InvalidDocument("not a resolved document: its \"@context\" is not the two W3C contexts")
    record = dict(view)
    record["@context"] = list(record_context())
    if "verificationMethod" in view:
        record["verificationMethod"] = [_method_record(method) for method in _methods(view["verificationMethod"])]
    return record


@cache
def _record_context_list() -> list[str]:
    # Compared with, never handed out: a caller could change a list it was given.
    return list(record_context())


def _methods(value: object) -> list[dict[str, Any]]:
    if not isinstance(value, list) or not all(isinstance(method, dict) for method in value):
        raise InvalidDocument("\"verificationMethod\" is not a list of objects")
    return value


def _method_view(method: dict[str, Any]) -> dict[str, Any]:
    key = method.get("publicKeyHex")
    if not isinstance(key, str) or _KEY_HEX.fullmatch(key) is None:
        raise InvalidDocument(f"verification method {quoted(str(method.get('id')))} has no 64-digit \"publicKeyHex\"")
    view = dict(method)
    del view["publicKeyHex"]
    view["publicKeyMultibase"] = key_multibase(key)
    return view


def _method_record(method: dict[str, Any]) -> dict[str, Any]:
    key = key_hex(method.get("publicKeyMultibase"))
    if key is None or "publicKeyHex" in method:
        raise InvalidDocument(f"verification method {quoted(str(method.get('id')))} has no Ed25519 "
                              "\"publicKeyMultibase\" (z, base58btc of 0xed 0x01 and 32 bytes)")
    record = dict(method)
    del record["publicKeyMultibase"]
    record["publicKeyHex"] = key
    return record


def verify_resolution(result: "dict[str, Any] | str") -> VerifiedDocument:
    """Check a resolution result as `verify_document` checks a signed document.

    `result` (a dict, or its JSON text) must hold a "didDocument" and, in
    "didResolutionMetadata", a "proof" list of one proof: the view is mapped back to its
    record, and the record with that proof must verify on its own. A version after the first
    may be signed by a key of the version before, which only its history shows: such a
    result is refused naming H2.
    """
    if isinstance(result, str):
        try:
            result = _native.parse_json(result)
        except ValueError as error:
            raise InvalidDocument(f"the resolution result is not JSON: {error}") from None
    if not isinstance(result, dict) or not isinstance(result.get("didDocument"), dict):
        raise InvalidDocument("not a resolution result with a \"didDocument\"")
    resolution_metadata = result.get("didResolutionMetadata")
    proofs = resolution_metadata.get("proof") if isinstance(resolution_metadata, dict) else None
    if not isinstance(proofs, list) or len(proofs) != 1 or not isinstance(proofs[0], dict):
        raise InvalidDocument("the resolution result has no \"proof\" list of one proof in \"didResolutionMetadata\"")
    record = record_of(result["didDocument"])
    signed = json.dumps({"document": record, "proof": proofs[0]}, ensure_ascii=False)
    try:
        return verify_document(signed)
    except InvalidDocument as error:
        metadata = result.get("didDocumentMetadata")
        version_id = metadata.get("versionId") if isinstance(metadata, dict) else None
        if isinstance(version_id, str) and version_id != "1":
            raise InvalidDocument(
                f"version {quoted(version_id)} does not verify on its own ({error}): H2 lets a key of the version "
                "before sign it, which only the DID's history shows (RegistryClient.resolve checks it)") from None
        raise
