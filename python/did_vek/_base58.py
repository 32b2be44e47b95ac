"""base58btc, the alphabet of multibase's "z" prefix: the key encoding that DID tooling reads."""

ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
_VALUES = {character: value for value, character in enumerate(ALPHABET)}
# Two digits at a time from a table, ten per division of the big number: a key is encoded in a
# few dozen small steps rather than one division of the whole number per digit.
_PAIRS = [first + second for first in ALPHABET for second in ALPHABET]
_CHUNK = 58 ** 10


def encode(data: bytes) -> str:
    number = int.from_bytes(data, "big")
    chunks: list[str] = []
    while number:
        number, chunk = divmod(number, _CHUNK)
        pairs = []
        for _ in range(5):
            chunk, pair = divmod(chunk, 3364)
            pairs.append(_PAIRS[pair])
        chunks.append("".join(reversed(pairs)))
    # The first chunk's leading zeros are padding, not data.
    digits = "".join(reversed(chunks)).lstrip("1")
    # Each leading zero byte is a "1" of its own: the number alone would lose them.
    leading = len(data) - len(data.lstrip(b"\0"))
    return "1" * leading + digits


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
