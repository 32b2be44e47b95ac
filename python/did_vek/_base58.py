"""base58btc, the alphabet of multibase's "z" prefix: the key encoding that DID tooling reads."""

ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
_VALUES = {character: value for value, character in enumerate(ALPHABET)}
# Ten digits at a time: the big number is divided once per ten digits, the rest is small arithmetic.
_CHUNK = 58 ** 10


def encode(data: bytes) -> str:
    number = int.from_bytes(data, "big")
    digits: list[str] = []
    while number:
        number, chunk = divmod(number, _CHUNK)
        for _ in range(10):
            chunk, digit = divmod(chunk, 58)
            digits.append(ALPHABET[digit])
    while digits and digits[-1] == "1":  # the last chunk's leading zeros are padding, not data
        digits.pop()
    # Each leading zero byte is a "1" of its own: the number alone would lose them.
    leading = len(data) - len(data.lstrip(b"\0"))
    return "1" * leading + "".join(reversed(digits))


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
