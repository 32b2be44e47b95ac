"""Base64 (RFC 4648 section 4, padded) as the log's texts carry it: one spelling per value."""

import base64
import binascii
from collections.abc import Iterable

from .errors import FormatError


def encode(data: bytes) -> str:
    # binascii directly: every proof of every answer encodes a few dozen hashes.
    return binascii.b2a_base64(data, newline=False).decode("ascii")


def encode_hashes(hashes: Iterable[bytes]) -> list[str]:
    """`encode` of each 32-byte hash, in one call for all: 32 bytes and a zero byte encode as 44
    characters, the first 43 of which are those of the 32 bytes alone (the zero bits are their
    padding bits), whose encoding then ends in "=". A proof carries a few dozen hashes."""
    hashes = list(hashes)
    if not hashes or set(map(len, hashes)) != {32}:
        return [encode(hash_) for hash_ in hashes]
    text = binascii.b2a_base64(b"\0".join(hashes) + b"\0", newline=False).decode("ascii")
    return [text[at:at + 43] + "=" for at in range(0, len(text), 44)]


def decode(text: str, what: str, *, length: int | None = None) -> bytes:
    """The bytes that `text` encodes; a `FormatError` naming `what` unless it is their one encoding.

    Padding bits that are not zero, missing padding or characters outside the alphabet would give
    one value several texts, so that changing a byte of a proof might leave it valid.
    """
    try:
        data = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        raise FormatError(f"{what} is not base64") from None
    if encode(data) != text:
        raise FormatError(f"{what} is not base64 in its one padded form")
    if length is not None and len(data) != length:
        raise FormatError(f"{what} is {len(data)} bytes, not {length}")
    return data


def decimal(text: str, what: str, *, maximum: int = 2**63 - 1) -> int:
    """A non-negative decimal written without leading zeros, at most `maximum`."""
    # Character test, not str.isdigit(): that also takes digits of other scripts.
    shown = text if len(text) <= 24 else text[:24] + "..."
    if not text or any(c not in "0123456789" for c in text) or (len(text) > 1 and text[0] == "0"):
        raise FormatError(f"{what} {shown!r} is not a decimal number without leading zeros")
    # A length test first: int() of thousands of digits is slow, and refused past 4300.
    if len(text) > len(str(maximum)) or (value := int(text)) > maximum:
        raise FormatError(f"{what} {shown} is larger than {maximum}")
    return value
