"""The body of an add-checkpoint request: an `old <size>` line, up to 63 base64 lines of a
consistency proof, a blank line, and a signed checkpoint.

The body is read in two steps because the answers have an order: the checkpoint first (whose
origin and signature are judged before anything else), the lines before it afterwards.
"""

from dataclasses import dataclass

from ..tlog._base64 import decimal, decode
from ..tlog.errors import FormatError
from ..tlog.merkle import HASH_SIZE

MAX_PROOF_LINES = 63


@dataclass(frozen=True)
class Body:
    header: str  # the old size line and the proof lines, each ending in a newline
    signed: str  # the signed checkpoint note


@dataclass(frozen=True)
class Header:
    old_size: int
    proof: tuple[bytes, ...]


def split_body(body: bytes) -> Body:
    """The lines before the first blank line, and the signed checkpoint after it."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise FormatError("the body is not UTF-8 text") from None
    # Proof lines are never empty, so the first blank line ends them; the note has blank lines of its own.
    split = text.find("\n\n")
    if split < 0:
        raise FormatError("the body has no blank line before its checkpoint")
    return Body(text[:split + 1], text[split + 2:])


def read_header(header: str) -> Header:
    lines = header[:-1].split("\n")
    first, proof_lines = lines[0], lines[1:]
    if not first.startswith("old "):
        raise FormatError("the body does not start with a line 'old <size>'")
    old_size = decimal(first[len("old "):], "the old size")
    if len(proof_lines) > MAX_PROOF_LINES:
        raise FormatError(f"the consistency proof has more than {MAX_PROOF_LINES} lines")
    proof = tuple(decode(line, f"proof line {number}", length=HASH_SIZE)
                  for number, line in enumerate(proof_lines, start=1))
    return Header(old_size, proof)
