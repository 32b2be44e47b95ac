# Shared by the credential tests: base58btc, the vectors' key, credentials of several shapes.
import json
from pathlib import Path

import did_vek

VECTORS = Path(__file__).resolve().parents[1] / "vectors" / "vc-di-eddsa"
ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58decode(text):
    number = 0
    for character in text:
        number = number * 58 + ALPHABET.index(character)
    return bytes(len(text) - len(text.lstrip("1"))) + number.to_bytes((number.bit_length() + 7) // 8, "big")


def b58encode(data):
    number, digits = int.from_bytes(data, "big"), ""
    while number:
        number, digit = divmod(number, 58)
        digits = ALPHABET[digit] + digits
    return "1" * (len(data) - len(data.lstrip(b"\0"))) + digits


def vector_key():
    """The vectors' key pair: its private multibase is multicodec 0x1300 (0x80 0x26) and the seed."""
    pair = json.loads((VECTORS / "keyPair.json").read_text())
    private = b58decode(pair["privateKeyMultibase"].removeprefix("z"))
    assert private[:2] == b"\x80\x26"
    return did_vek.SigningKey(private[2:].hex())


def credential(issuer, **members):
    """A credential of `issuer` with values of every JSON type, non-ASCII text included."""
    value = {"@context": ["https://www.w3.org/ns/credentials/v2", "https://www.w3.org/ns/credentials/examples/v2"],
             "type": ["VerifiableCredential", "ExampleCredential"], "issuer": issuer,
             "validFrom": "2026-01-01T00:00:00Z",
             "credentialSubject": {"id": "did:example:subject", "name": "Zoë €", "score": 12.5, "rank": 3,
                                   "member": True, "badge": None, "tags": ["a", "b"], "nested": {"x": [1, {"y": "z"}]}}}
    value.update(members)
    return json.dumps(value, indent=2, ensure_ascii=False)
