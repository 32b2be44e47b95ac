"""Reading base58btc, the alphabet of multibase's "z" prefix: the key encoding that DID tooling reads.

Writing it is native (`_native.multibase_base58btc`): resolution writes a key into every answer.
"""

ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
_VALUES = {character: value for value, character in enumerate(ALPHABET)}


def decode(text: str) -> bytes | None:
    """The bytes of `text`, or None when it holds a character outside the alphabet."""
    number = 0
    for character in text:
        value = _VALUES.get(character)
        if value is None:
            return None
        number = number * 58 + value
    leading = len(text) - len(text.lstrip("1"))
    body = number.to_bytes((number.bit_length() + 7) // 8, "big") if number else b""
    return b"\0" * leading + body
