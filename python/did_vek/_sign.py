"""Signing a DID document of any content with an engine's key."""

from datetime import datetime, timezone

from did_vek_core import DIDEngine

from ._errors import InvalidDocument
from ._record import value_form
from ._rules import PROOF_PURPOSE, PROOF_TYPE, TIMESTAMP_FORMAT
from ._signed import read_record
from ._strict_json import quoted


def sign_document(engine: DIDEngine, document: str, *, key_id: str) -> str:
    """The signed document of `document`, a DID document in the record form, in any layout.

    The document must obey the record rules, else `InvalidDocument`. The proof names the key
    as the document's DID, "#" and `key_id`; the document need not list that key, since a
    version is signed by a key of the version before it. Which key may sign is checked when
    the document or its history is verified, not here. The proof's "created" is now.
    """
    if not isinstance(engine, DIDEngine):
        raise TypeError(f"engine must be a DIDEngine, not {type(engine).__name__}")
    if not isinstance(key_id, str):
        raise TypeError(f"key_id must be str, not {type(key_id).__name__}")
    record, compact = read_record(document)
    method = f"{record['id']}#{key_id}"
    try:
        method.encode("utf-8")
    except UnicodeEncodeError:
        raise InvalidDocument(f"key id {quoted(key_id)} has no UTF-8 form") from None
    created = datetime.now(timezone.utc).strftime(TIMESTAMP_FORMAT)
    proof = {"type": PROOF_TYPE, "created": created, "verificationMethod": method,
             "proofPurpose": PROOF_PURPOSE, "proofValue": engine.sign(compact)}
    return value_form({"document": record, "proof": proof})

