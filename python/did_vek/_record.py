"""The compact record form of a DID document: the exact bytes that the engine signs.

Members in their declared order at every level, no white space, and the engine's escaping:
a quote, a backslash and the control characters U+0000 to U+001F are escaped; everything
else, the solidus, U+007F and all non-ASCII characters included, is written as itself.
"""

from collections.abc import Mapping
from typing import Any

DOCUMENT_ORDER = ("@context", "id", "controller", "verificationMethod", "authentication",
                  "assertionMethod", "service", "created", "updated")
METHOD_ORDER = ("id", "type", "controller", "publicKeyMultibase", "publicKeyHex")
SERVICE_ORDER = ("id", "type", "serviceEndpoint")
# The entries of these lists are objects with an order of their own.
ENTRY_ORDER = {"verificationMethod": METHOD_ORDER, "service": SERVICE_ORDER}

_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}
_ESCAPES = str.maketrans({chr(code): _SHORT_ESCAPES.get(chr(code), f"\\u{code:04x}") for code in range(0x20)}
                         | _SHORT_ESCAPES)


def compact_record_form(document: Mapping[str, Any]) -> str:
    """The document as the engine writes it for signing.

    `document` holds texts, lists of texts, and lists of method or service entries. A member
    outside the declared record, or a value of another type, is a `ValueError`: the record
    form has no place for it.
    """
    return _object(document, DOCUMENT_ORDER)


def _object(members: Mapping[str, Any], order: tuple[str, ...]) -> str:
    unknown = [name for name in members if name not in order]
    if unknown:
        raise ValueError(f"the record form has no member {unknown[0]!r}")
    return "{" + ",".join(f"{_string(name)}:{_value(name, members[name])}" for name in order if name in members) + "}"


def _value(name: str, value: object) -> str:
    if isinstance(value, str):
        return _string(value)
    if isinstance(value, list) and name in ENTRY_ORDER:
        return "[" + ",".join(_object(_entry(name, entry), ENTRY_ORDER[name]) for entry in value) + "]"
    if isinstance(value, list):
        return "[" + ",".join(_string(_text(name, element)) for element in value) + "]"
    raise ValueError(f"the record form has no {type(value).__name__} for {name!r}")


def _entry(name: str, entry: object) -> Mapping[str, Any]:
    if not isinstance(entry, Mapping) or not all(isinstance(value, str) for value in entry.values()):
        raise ValueError(f"an entry of {name!r} must be an object of texts")
    return entry


def _text(name: str, element: object) -> str:
    if not isinstance(element, str):
        raise ValueError(f"the elements of {name!r} must be texts")
    return element


def _string(text: str) -> str:
    return '"' + text.translate(_ESCAPES) + '"'
