"""Verification of one signed document against the keys of its own document."""

from dataclasses import dataclass, field
from typing import Any

from ._errors import InvalidDocument
from ._keys import did_for_public_key
from ._signed import assertion_key, read_signed, signature_verifies
from ._strict_json import quoted


@dataclass(frozen=True)
class VerifiedDocument:
    """A signed document that obeys the record rules and whose proof verifies with its own key."""
    did: str
    public_key: str
    # The fragment of the signing key's reference: "key-1" in what `create_document` issues.
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
    """Check `text`, a signed document, against the key its proof names in its own document.

    The text may be laid out in any way (members in any order, any white space, \\u escapes):
    the proof is checked over the values, rebuilt in the engine's compact record form. The
    document must obey the record rules, and the signing key must be one of its own
    "assertionMethod" keys; with `did` given, the document must be for that DID. Anything else
    raises `InvalidDocument`.
    """
    if did is not None and not isinstance(did, str):
        raise TypeError(f"did must be str or None, not {type(did).__name__}")
    signed = read_signed(text)
    public_key = assertion_key(signed.document, signed.method)
    if public_key is None:
        raise InvalidDocument(f"proof.verificationMethod {quoted(signed.method)} is not in document.assertionMethod")
    if not signature_verifies(signed, public_key):
        raise InvalidDocument("proof.proofValue does not verify: the document is not what its key signed")
    if did is not None and signed.did != did:
        raise InvalidDocument(f"the document is for {quoted(signed.did)}, not {quoted(did)}")

    return VerifiedDocument(did=signed.did, public_key=public_key, key_id=signed.key_id,
                            created=signed.created, updated=signed.updated, proof_created=signed.proof["created"],
                            key_derived=did_for_public_key(public_key) == signed.did, document=signed.document)
