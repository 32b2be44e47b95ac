"""The compact record form of a DID document written in plain Python: the tests' own account of the
exact bytes that the engine signs, against which the native writer is checked.

Members in their declared order at every level, no white space, and the engine's escaping:
a quote, a backslash and the control characters U+0000 to U+001F are escaped; everything
else, the solidus, U+007F and all non-ASCII characters included, is written as itself.
"""

import json
from collections.abc import Mapping
from typing import Any

DOCUMENT_ORDER = ("@context", "id", "controller", "verificationMethod", "authentication",
                  "assertionMethod", "service", "created", "updated")
METHOD_ORDER = ("id", "type", "controller", "publicKeyMultibase", "publicKeyHex")
SERVICE_ORDER = ("id", "type", "serviceEndpoint")
# The entries of these lists are objects with an order of their own.
ENTRY_ORDER = {"verificationMethod": METHOD_ORDER, "service": SERVICE_ORDER}

# The standard library's compact writer escapes exactly as the engine does when told to keep
# non-ASCII characters: quote, backslash, \b \t \n \f \r by letter, the other control
# characters as \u00xx in lower case, and nothing else.
_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), check_circular=False).encode


def compact_record_form(document: Mapping[str, Any]) -> str:
    """The document as the engine writes it for signing.

    `document` holds texts, lists of texts, and lists of method or service entries. A member
    outside the declared record, or a value of another type, is a `ValueError`: the record
    form has no place for it.
    """
    return _encode(_ordered(document, DOCUMENT_ORDER))


def _ordered(members: Mapping[str, Any], order: tuple[str, ...]) -> dict[str, Any]:
    unknown = [name for name in members if name not in order]
    if unknown:
        raise ValueError(f"the record form has no member {unknown[0]!r}")
    return {name: _value(name, members[name]) for name in order if name in members}


def _value(name: str, value: object) -> object:
    if isinstance(value, str):
        return value
    if isinstance(value, list) and name in ENTRY_ORDER:
        return [_ordered(_entry(name, entry), ENTRY_ORDER[name]) for entry in value]
    if isinstance(value, list):
        return [_text(name, element) for element in value]
    raise ValueError(f"the record form has no {type(value).__name__} for {name!r}")


def _entry(name: str, entry: object) -> Mapping[str, Any]:
    if not isinstance(entry, Mapping) or not all(isinstance(value, str) for value in entry.values()):
        raise ValueError(f"an entry of {name!r} must be an object of texts")
    return entry


def _text(name: str, element: object) -> str:
    if not isinstance(element, str):
        raise ValueError(f"the elements of {name!r} must be texts")
    return element
