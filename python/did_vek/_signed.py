"""A signed document read and checked member by member, before any signature is checked.

These are the steps that `verify_document`, `verify_history` and the registry share; each of
them decides on its own which key must have signed. The reading itself (the strict parse,
the record rules, the compact record form and the value form) is native and runs without the interpreter lock.
"""

from dataclasses import dataclass, field
from typing import Any

from . import _native
from ._errors import InvalidDocument


@dataclass(frozen=True)
class SignedDocument:
    """The values of a signed document that obeys the record rules; the proof is not yet checked."""
    did: str
    created: str
    updated: str
    # The proof's "verificationMethod": the reference of the key that signed.
    method: str
    proof_value: str
    # The text that the signature covers: the compact record form of `document`.
    compact: str
    # The signed document laid out as the engine writes it (members sorted at every level,
    # two-space layout): one text for equal values, whatever the layout read.
    canonical: str = field(repr=False)
    document: dict[str, Any] = field(hash=False, repr=False)
    proof: dict[str, Any] = field(hash=False, repr=False)

    @property
    def key_id(self) -> str:
        """The fragment of the signing key's reference, after the DID and "#"."""
        return self.method[len(self.did) + 1:]

    @property
    def deactivates(self) -> bool:
        """A document without "assertionMethod" names no key that could sign a next version."""
        return "assertionMethod" not in self.document


def read_signed(text: str) -> SignedDocument:
    """The parts of the signed document in `text` (any layout); `InvalidDocument` if it is none."""
    try:
        document, proof, compact, canonical = _native.read_signed(text)
    except ValueError as error:
        raise InvalidDocument(str(error)) from None
    return SignedDocument(did=document["id"], created=document["created"], updated=document["updated"],
                          method=proof["verificationMethod"], proof_value=proof["proofValue"], compact=compact,
                          canonical=canonical, document=document, proof=proof)


def assertion_key(document: dict[str, Any], method: str) -> str | None:
    """The public key of `method` if `document` lists it for assertion, else None."""
    if method not in document.get("assertionMethod", ()):
        return None
    for entry in document["verificationMethod"]:  # present: the record rules resolve every reference
        if entry["id"] == method:
            return str(entry["publicKeyHex"])
    return None
