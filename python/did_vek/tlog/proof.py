"""Proofs of logging (C2SP tlog-proof): an entry's index, its audit path, and the signed checkpoint.

    c2sp.org/tlog-proof@v1
    extra <base64>          (optional: here, the entry itself, as a convenience)
    index <n>
    <base64 hash>           (the audit path, from the leaf's sibling up)
    ...
                            (a blank line)
    <the signed checkpoint, verbatim>

Nothing in the proof says what the entry is: a verifier rebuilds the entry from what it
holds and checks that. The `extra` line is never trusted.
"""

from dataclasses import dataclass

from . import merkle
from ._base64 import decimal, decode, encode, encode_hashes
from .checkpoint import SignedCheckpoint, signed_checkpoint as checkpoint_of
from .errors import FormatError
from .merkle import HASH_SIZE, MAX_SIZE
from .policy import Policy

HEADER = "c2sp.org/tlog-proof@v1"
# The audit path of a tree of at most 2**63 - 1 leaves has at most 63 hashes.
MAX_PATH = 63


@dataclass(frozen=True)
class TlogProof:
    index: int
    path: tuple[bytes, ...]
    checkpoint: str  # the signed checkpoint note, byte for byte as the log served it
    extra: bytes | None = None

    @property
    def text(self) -> str:
        lines = [HEADER]
        if self.extra is not None:
            lines.append(f"extra {encode(self.extra)}")
        lines.append(f"index {self.index}")
        lines += encode_hashes(self.path)
        return "\n".join(lines) + "\n\n" + self.checkpoint

    @classmethod
    def parse(cls, text: str) -> "TlogProof":
        head, separator, checkpoint = text.partition("\n\n")
        if not separator:
            raise FormatError("the proof has no blank line before its checkpoint")
        lines = head.split("\n")
        if lines[0] != HEADER:
            raise FormatError(f"the proof does not start with {HEADER}")
        position, extra = 1, None
        if len(lines) > 1 and lines[1].startswith("extra "):
            extra = decode(lines[1].removeprefix("extra "), "the proof's extra data")
            position = 2
        if len(lines) <= position or not lines[position].startswith("index "):
            raise FormatError("the proof has no index line")
        index = decimal(lines[position].removeprefix("index "), "the proof's index", maximum=MAX_SIZE - 1)
        hashes = lines[position + 1:]
        if len(hashes) > MAX_PATH:
            raise FormatError(f"the proof has {len(hashes)} hashes, more than a tree of 2**63 leaves needs")
        path = tuple(decode(line, f"proof hash {number}", length=HASH_SIZE) for number, line in enumerate(hashes, 1))
        return cls(index, path, checkpoint, extra)

    def verify(self, entry: bytes, policy: Policy, *, max_age: float | None = None) -> SignedCheckpoint:
        """The checkpoint, once its signatures satisfy `policy` and `entry` is proven at `index` in it.

        `entry` is what the verifier rebuilt on its own; it is never taken from `extra`.
        """
        opened = policy.check_checkpoint(self.checkpoint, max_age=max_age)
        checkpoint = opened.checkpoint
        merkle.verify_inclusion(merkle.leaf_hash(entry), self.index, checkpoint.size, self.path, checkpoint.root)
        return opened


def prove(reader: merkle.HashReader, index: int, signed_checkpoint: str, *, extra: bytes | None = None) -> TlogProof:
    """The proof of entry `index` in the tree that `signed_checkpoint` signs."""
    size = checkpoint_of(signed_checkpoint).size
    return TlogProof(index, tuple(merkle.inclusion_proof(reader, index, size)), signed_checkpoint, extra)
