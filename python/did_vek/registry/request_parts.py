"""Reading the parts of a request that the routes share, strictly: a malformed part is refused.

The server's own decoding of the path replaces what it cannot decode; a DID must not be
looked up, or stored, under a text the client never sent, so the raw path is decoded here.
"""

import re
from collections.abc import Mapping
from typing import Any
from urllib.parse import unquote_to_bytes

from did_vek_core import is_valid_did_py

from .._history import is_version_id

_PERCENT_ESCAPE = re.compile(rb"%(?![0-9A-Fa-f]{2})")
# Longer version numbers exist in no store: 18 digits fit every engine's 64-bit integer.
MAX_VERSION_DIGITS = 18


def path_text(raw: bytes) -> str | None:
    """The text of a percent-encoded path segment, or None when its escapes or its UTF-8 are broken."""
    if _PERCENT_ESCAPE.search(raw) is not None:
        return None
    try:
        return unquote_to_bytes(raw).decode("utf-8")
    except UnicodeDecodeError:
        return None


def raw_path_after(scope: Mapping[str, Any], prefix: str, suffix: str = "") -> str | None:
    """The decoded text of the request path between `prefix` and `suffix`, or None when malformed."""
    raw = scope.get("raw_path")
    if not isinstance(raw, bytes) or not raw.startswith(prefix.encode()) or not raw.endswith(suffix.encode()):
        # No raw path, or one that decodes to the route's prefix only through escapes: the
        # server's decoded path is all there is.
        path = scope.get("path")
        raw = path.encode("utf-8", "surrogateescape") if isinstance(path, str) else b""
        if not raw.startswith(prefix.encode()) or not raw.endswith(suffix.encode()):
            return None
    return path_text(raw[len(prefix):len(raw) - len(suffix)])


def is_vek_did(text: str) -> bool:
    return text.isascii() and is_valid_did_py(text)


def version_number(text: str) -> int | None:
    """The version number of a well-formed version id, or None when malformed.

    A well-formed id too long for any store is 0, which is no version: it is not found.
    """
    if not is_version_id(text):
        return None
    return int(text) if len(text) <= MAX_VERSION_DIGITS else 0


def query_pairs(raw: bytes) -> list[tuple[str, str]] | None:
    """The name-value pairs of a query string, or None when its escapes or UTF-8 are broken."""
    pairs: list[tuple[str, str]] = []
    if not raw:
        return pairs
    for field in raw.split(b"&"):
        if not field:
            continue
        name, _, value = field.partition(b"=")
        name_text = path_text(name.replace(b"+", b" "))
        value_text = path_text(value.replace(b"+", b" "))
        if name_text is None or value_text is None:
            return None
        pairs.append((name_text, value_text))
    return pairs
