"""Checkpoints (C2SP tlog-checkpoint): the signed note of a log's origin, tree size and root."""

import functools
from collections.abc import Iterable
from dataclasses import dataclass

from ._base64 import decimal, decode, encode
from .errors import FormatError, InvalidProof
from .merkle import HASH_SIZE, MAX_SIZE
from .note import ED25519, Note, Signer, Verified, Verifier, parse_note, verify_note


@dataclass(frozen=True)
class Checkpoint:
    origin: str
    size: int
    root: bytes
    extensions: tuple[str, ...] = ()  # lines after the root; this log writes none

    def __post_init__(self) -> None:
        if not self.origin or "\n" in self.origin:
            raise FormatError("a checkpoint's origin is one non-empty line")
        if not 0 <= self.size <= MAX_SIZE or len(self.root) != HASH_SIZE:
            raise FormatError("a checkpoint's size is 0..2**63-1 and its root 32 bytes")
        if any(not line or "\n" in line for line in self.extensions):
            raise FormatError("a checkpoint's extension lines are non-empty lines")

    @property
    def text(self) -> str:
        """The note text: origin, size and root, each on its own line, then any extension lines."""
        return "".join(f"{line}\n" for line in (self.origin, str(self.size), encode(self.root), *self.extensions))

    @classmethod
    def parse(cls, text: str) -> "Checkpoint":
        """The checkpoint whose note text is `text` (without the signatures)."""
        if not text.endswith("\n"):
            raise FormatError("a checkpoint text ends in a newline")
        lines = text[:-1].split("\n")
        if len(lines) < 3:
            raise FormatError("a checkpoint has an origin, a size and a root line")
        if any(not line for line in lines):
            raise FormatError("a checkpoint has no empty lines")
        origin, size, root, *extensions = lines
        return cls(origin, decimal(size, "the checkpoint's size"), decode(root, "the checkpoint's root", length=HASH_SIZE),
                   tuple(extensions))

    def sign(self, signer: Signer) -> str:
        """The signed checkpoint; the log's key is named by the origin."""
        if signer.verifier.name != self.origin or signer.verifier.key_type != ED25519:
            raise ValueError("a checkpoint is signed by an Ed25519 key named as its origin")
        return signer.sign_note(self.text)


@dataclass(frozen=True)
class SignedCheckpoint:
    """A checkpoint whose log signature verified, with the note it came in (for its cosignatures)."""
    checkpoint: Checkpoint
    note: Note
    log: Verifier


@functools.lru_cache(maxsize=64)
def signed_checkpoint(signed: str) -> Checkpoint:
    """The checkpoint of a signed note, its signatures unchecked; `FormatError` when it is none.

    Kept for the last few notes: a client reads the same checkpoint several times an answer."""
    return Checkpoint.parse(parse_note(signed).text)


def open_checkpoint(signed: str, logs: Iterable[Verifier]) -> SignedCheckpoint:
    """The checkpoint in the signed note `signed`, if one of `logs`, named as its origin, signed it.

    `FormatError` when it is no checkpoint; `InvalidProof` when no known log key signed it, or a
    signature of a known key does not verify.
    """
    note = parse_note(signed)
    checkpoint = signed_checkpoint(signed)
    candidates = [log for log in logs if log.key_type == ED25519 and log.name == checkpoint.origin]
    verified: list[Verified] = verify_note(note, candidates)
    if not verified:
        raise InvalidProof(f"the checkpoint of {checkpoint.origin} carries no signature of a known log key")
    return SignedCheckpoint(checkpoint, note, verified[0].verifier)
