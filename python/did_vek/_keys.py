"""Hex texts of keys and signatures, and the DID that a public key derives."""

import hashlib
import re

DID_PREFIX = "did:vek:"
# Character classes, not \d or str.isdigit(): those also take digits of other scripts.
_HEX = re.compile(r"[0-9a-fA-F]*")
_LOWER_HEX = re.compile(r"[0-9a-f]*")


def is_hex(text: str, digits: int, *, lower_case_only: bool = False) -> bool:
    pattern = _LOWER_HEX if lower_case_only else _HEX
    return len(text) == digits and pattern.fullmatch(text) is not None


def did_for_public_key(public_key_hex: str) -> str:
    """The key-derived DID of a public key: "did:vek:" and the first 16 hex digits of SHA-256.

    The key is 64 hex digits in either case; anything else is a `ValueError`.
    """
    if not isinstance(public_key_hex, str):
        raise TypeError(f"public_key_hex must be str, not {type(public_key_hex).__name__}")
    if not is_hex(public_key_hex, 64):
        raise ValueError("public key must be 64 hex digits")
    return DID_PREFIX + hashlib.sha256(bytes.fromhex(public_key_hex)).hexdigest()[:16]
