"""Verification of the signed documents that `DIDEngine.create_document` issues."""

from dataclasses import dataclass, field
from typing import Any

from did_vek_core import DIDEngine

from ._errors import InvalidDocument
from ._keys import did_for_public_key
from ._record import compact_record_form
from ._shape import KEY_ID, check_shape
from ._strict_json import parse_strict, quoted


@dataclass(frozen=True)
class VerifiedDocument:
    """A signed document whose shape is the engine's and whose proof verifies."""
    did: str
    public_key: str
    key_id: str
    created: str
    updated: str
    # Stamped beside the signature, not under it: the holder of the text can change it.
    proof_created: str
    # True when `did` is the key-derived DID of `public_key`. Any key can issue a document
    # for a chosen DID, so only a key-derived DID ties the document to its key.
    key_derived: bool
    # The parsed document (without its proof); excluded from hashing, being a dict.
    document: dict[str, Any] = field(hash=False, repr=False)


def verify_document(text: str, *, did: str | None = None) -> VerifiedDocument:
    """Check `text`, a signed document, against its own "publicKeyHex".

    The text may be laid out in any way (members in any order, any white space, \\u escapes):
    the proof is checked over the values, rebuilt in the engine's compact record form. The
    shape must be exactly the engine's; with `did` given, the document must be for that DID.
    Anything else raises `InvalidDocument`.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    if did is not None and not isinstance(did, str):
        raise TypeError(f"did must be str or None, not {type(did).__name__}")

    parts = check_shape(parse_strict(text))
    # The shape check leaves only texts the engine writes, which all have a UTF-8 form.
    signed = compact_record_form(parts.document)
    if not DIDEngine.verify_with_key(signed, parts.proof_value, parts.public_key):
        raise InvalidDocument("proof.proofValue does not verify: the document is not what its key signed")
    if did is not None and parts.did != did:
        raise InvalidDocument(f"the document is for {quoted(parts.did)}, not {quoted(did)}")

    return VerifiedDocument(did=parts.did, public_key=parts.public_key, key_id=KEY_ID, created=parts.created,
                            updated=parts.updated, proof_created=parts.proof_created,
                            key_derived=did_for_public_key(parts.public_key) == parts.did,
                            document=parts.document)
