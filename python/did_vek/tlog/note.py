"""Signed notes (C2SP signed-note) with Ed25519 keys, and witness cosignatures (C2SP tlog-cosignature).

A note is a text ending in a newline, a blank line, and signature lines `— <key name>
base64(key ID || signature)`. A key is named and identified by its *vkey*
`<name>+<hex key ID>+base64(type || public key)`; the key ID is the first four bytes of
H(name || "\\n" || type || public key), so one key used for two purposes has two IDs. Type
0x01 signs the note text itself; type 0x04, a witness's cosignature, signs "cosignature/v1",
the time it signed, and then the note text, and carries that time in front of the signature.

Ed25519 runs in the native core, which signs and verifies texts: every message here is a text
(a note is UTF-8 by definition), so the core signs exactly the bytes the formats name.
"""

import functools
import hashlib
import re
import struct
from collections.abc import Iterable
from dataclasses import dataclass

from did_vek_core import DIDEngine

from ._base64 import decode, encode
from .errors import FormatError, InvalidProof

ED25519 = 0x01
COSIGNATURE_V1 = 0x04
_SIGNATURE_SIZES = {ED25519: 64, COSIGNATURE_V1: 8 + 64}
_EM_DASH = "\u2014"
# At least 16 must be accepted; a note with hundreds is a way to make a verifier work, not a note.
MAX_SIGNATURES = 64
MAX_TIMESTAMP = 2**63 - 1


def key_id(name: str, key_type: int, public_key: bytes) -> bytes:
    """The four bytes that, with the name, identify a key and its signature type."""
    return hashlib.sha256(name.encode() + b"\n" + bytes([key_type]) + public_key).digest()[:4]


# re's \s is str.isspace's set.
_SPACE_OR_PLUS = re.compile(r"[\s+]")
_CONTROL = re.compile("[\x00-\x09\x0b-\x1f]")
_SURROGATE = re.compile("[\ud800-\udfff]")


def check_key_name(name: str, what: str = "key name") -> None:
    if not name or _SPACE_OR_PLUS.search(name):
        raise FormatError(f"{what} {name!r} is empty or holds a space or a '+'")
    _check_characters(name, what)


def _check_characters(text: str, what: str) -> None:
    if _CONTROL.search(text):
        raise FormatError(f"{what} holds a control character")
    if _SURROGATE.search(text):
        raise FormatError(f"{what} is not UTF-8 text")


@dataclass(frozen=True)
class Verifier:
    """A named Ed25519 public key of one signature type: a log's (0x01) or a witness's (0x04)."""
    name: str
    key_type: int
    public_key: bytes

    def __post_init__(self) -> None:
        check_key_name(self.name)
        if self.key_type not in _SIGNATURE_SIZES:
            raise FormatError(f"signature type 0x{self.key_type:02x} is not Ed25519 (0x01) or a cosignature (0x04)")
        if len(self.public_key) != 32:
            raise FormatError(f"an Ed25519 public key is 32 bytes, not {len(self.public_key)}")

    @property
    def key_id(self) -> bytes:
        return key_id(self.name, self.key_type, self.public_key)

    @property
    def vkey(self) -> str:
        return f"{self.name}+{self.key_id.hex()}+{encode(bytes([self.key_type]) + self.public_key)}"

    @classmethod
    @functools.lru_cache(maxsize=64)  # a client reads the same few keys with every answer
    def from_vkey(cls, text: str) -> "Verifier":
        # Split at the first two "+" only: the base64 part may hold more.
        parts = text.split("+", 2)
        if len(parts) != 3:
            raise FormatError(f"vkey {text!r} is not <name>+<key ID>+<key>")
        name, id_hex, key_text = parts
        if len(id_hex) != 8 or any(c not in "0123456789abcdef" for c in id_hex):
            raise FormatError(f"the key ID of vkey {name!r} is not 8 lower-case hex digits")
        material = decode(key_text, f"the key of vkey {name!r}")
        if not material:
            raise FormatError(f"vkey {name!r} holds no key")
        verifier = cls(name, material[0], material[1:])
        if verifier.key_id.hex() != id_hex:
            raise FormatError(f"the key ID of vkey {name!r} is {id_hex}, but its name and key give "
                              f"{verifier.key_id.hex()}")
        return verifier

    def message(self, text: str, timestamp: int | None) -> str:
        """What this key signs for the note text `text` (and, for a cosignature, its time)."""
        if self.key_type == COSIGNATURE_V1:
            return f"cosignature/v1\ntime {timestamp}\n{text}"
        return text


@dataclass(frozen=True)
class Signature:
    """One signature line: the key's name and ID, the signature, and a cosignature's time."""
    name: str
    key_id: bytes
    signature: bytes  # after the key ID: a cosignature's time and signature, or a signature

    @property
    def line(self) -> str:
        return f"{_EM_DASH} {self.name} {encode(self.key_id + self.signature)}\n"

    def is_by(self, verifier: Verifier) -> bool:
        return self.name == verifier.name and self.key_id == verifier.key_id

    @property
    def timestamp(self) -> int:
        """A cosignature's time: the first eight bytes after the key ID, big-endian."""
        value: int = struct.unpack(">Q", self.signature[:8])[0]
        return value


@dataclass(frozen=True)
class Note:
    text: str
    signatures: tuple[Signature, ...]

    def __str__(self) -> str:
        return self.text + "\n" + "".join(signature.line for signature in self.signatures)


class Signer:
    """A key that signs notes (type 0x01) or cosigns them (type 0x04) under a name."""

    def __init__(self, name: str, engine: DIDEngine, key_type: int = ED25519) -> None:
        self.verifier = Verifier(name, key_type, bytes.fromhex(engine.public_key))
        self._engine = engine

    def sign(self, text: str, *, timestamp: int | None = None) -> Signature:
        """The signature line of note text `text`; a cosignature needs its `timestamp` (POSIX seconds)."""
        _check_note_text(text)
        cosigning = self.verifier.key_type == COSIGNATURE_V1
        if cosigning != (timestamp is not None):
            raise ValueError("a cosignature needs a timestamp, and only a cosignature takes one")
        prefix = b""
        if timestamp is not None:
            if not 0 <= timestamp <= MAX_TIMESTAMP:
                raise ValueError(f"timestamp {timestamp} is outside 0..2**63-1")
            prefix = struct.pack(">Q", timestamp)
        signature = bytes.fromhex(self._engine.sign(self.verifier.message(text, timestamp)))
        return Signature(self.verifier.name, self.verifier.key_id, prefix + signature)

    def sign_note(self, text: str, *, timestamp: int | None = None) -> str:
        return str(Note(text, (self.sign(text, timestamp=timestamp),)))


def _check_note_text(text: str) -> None:
    if not text.endswith("\n"):
        raise FormatError("a note text ends in a newline")
    _check_characters(text, "the note")


@functools.lru_cache(maxsize=64)
def parse_note(note: str) -> Note:
    """The text and signature lines of a signed note, checked for form, not yet verified."""
    _check_characters(note, "the note")
    split = note.rfind("\n\n")
    if split < 0:
        raise FormatError("the note has no blank line before its signatures")
    text, lines = note[:split + 1], note[split + 2:]
    if not lines:
        raise FormatError("the note has no signature lines after its last blank line")
    if not lines.endswith("\n"):
        raise FormatError("the note's last signature line does not end in a newline")
    signatures: list[Signature] = []
    for line in lines[:-1].split("\n"):
        if len(signatures) == MAX_SIGNATURES:
            raise FormatError(f"the note has more than {MAX_SIGNATURES} signatures")
        signatures.append(_parse_signature_line(line))
    return Note(text, tuple(signatures))


def _parse_signature_line(line: str) -> Signature:
    parts = line.split(" ")
    if len(parts) != 3 or parts[0] != _EM_DASH:
        raise FormatError(f"{line[:80]!r} is not a signature line '— <name> <signature>'")
    check_key_name(parts[1])
    data = decode(parts[2], f"the signature of {parts[1]!r}")
    if len(data) < 5:
        raise FormatError(f"the signature of {parts[1]!r} is too short")
    return Signature(parts[1], data[:4], data[4:])


@dataclass(frozen=True)
class Verified:
    """A signature that verified, by whom, and for a cosignature, when."""
    verifier: Verifier
    timestamp: int | None


def verify_note(note: Note, known: Iterable[Verifier]) -> list[Verified]:
    """The signatures of `note` by the `known` keys, each verified.

    Signatures of other keys are ignored; one by a known key that does not verify makes the
    whole note `InvalidProof`. Whether the keys that signed are enough is the caller's to say.
    """
    known = list(known)
    verified = []
    for signature in note.signatures:
        for verifier in known:
            if signature.is_by(verifier):
                verified.append(_verify(note.text, signature, verifier))
                break
    return verified


# A client checks the same checkpoint's signatures with every answer until the log grows: a
# signature that verified once verifies again, and is not checked twice.
@functools.lru_cache(maxsize=256)
def _verify(text: str, signature: Signature, verifier: Verifier) -> Verified:
    if len(signature.signature) != _SIGNATURE_SIZES[verifier.key_type]:
        raise InvalidProof(f"the signature of {verifier.name} has the wrong length")
    timestamp = signature.timestamp if verifier.key_type == COSIGNATURE_V1 else None
    if timestamp is not None and timestamp > MAX_TIMESTAMP:
        raise InvalidProof(f"the cosignature of {verifier.name} has a time past 2**63-1")
    message = verifier.message(text, timestamp)
    if not DIDEngine.verify_with_key(message, signature.signature[-64:].hex(), verifier.public_key.hex()):
        raise InvalidProof(f"the signature of {verifier.name} does not verify")
    return Verified(verifier, timestamp)
