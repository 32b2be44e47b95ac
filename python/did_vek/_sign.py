"""Signing a DID document of any content with an engine's key."""

from did_vek_core import DIDEngine

from . import _native
from ._errors import InvalidDocument
from ._messages import quoted


def sign_document(engine: DIDEngine, document: str, *, key_id: str) -> str:
    """The signed document of `document`, a DID document in the record form, in any layout.

    The document must obey the record rules, else `InvalidDocument`. The proof names the key
    as the document's DID, "#" and `key_id`; the document need not list that key, since a
    version is signed by a key of the version before it. Which key may sign is checked when
    the document or its history is verified, not here. The proof's "created" is now.
    """
    # One native call reads the record, signs its compact form with the engine's key and lays
    # the signed document out, without the interpreter lock. Arguments of other types are its
    # TypeError, naming the argument.
    try:
        return _native.sign_document(engine, document, key_id)
    except UnicodeEncodeError:  # the document converts first, so this is the key id
        raise InvalidDocument(f"key id {quoted(key_id)} has no UTF-8 form") from None
    except ValueError as error:
        raise InvalidDocument(str(error)) from None
