"""Verification of one signed document against the keys of its own document."""

from dataclasses import dataclass, field
from typing import Any

from . import _native
from ._errors import InvalidDocument
from ._messages import quoted
from ._on_demand import ValuesOnDemand


@dataclass(frozen=True)
class VerifiedDocument(ValuesOnDemand):
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
    # The parsed document (without its proof), read from the text when first asked for;
    # excluded from hashing, being a dict.
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
    # One native call reads, checks and verifies without the interpreter lock, then makes the result.
    try:
        verified = _native.verify_signed(VerifiedDocument, text)
    except ValueError as error:
        raise InvalidDocument(str(error)) from None
    if did is not None and verified.did != did:
        raise InvalidDocument(f"the document is for {quoted(verified.did)}, not {quoted(did)}")
    return verified
