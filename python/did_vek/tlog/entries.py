"""The two kinds of log entry, each one line of UTF-8 ending in a newline.

    v <did> <versionId> <doc> <prev>    a version: doc is base64 H(the signed document's value
                                        form), prev the leaf hash of the DID's previous version
                                        entry, or "-" for version 1
    m <count> <root>                    the DID map's root after the versions before it, and
                                        how many DIDs it holds
"""

import hashlib
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cached_property

from did_vek_core import is_valid_did_py

from .._signed import read_signed
from . import merkle
from ._base64 import decimal, decode, encode
from .dmap import ZERO
from .errors import FormatError


@dataclass(frozen=True)
class VersionEntry:
    did: str
    version_id: int
    document_hash: bytes
    previous: bytes | None  # the leaf hash of the previous version's entry; None for version 1

    def __post_init__(self) -> None:
        if not is_valid_did_py(self.did) or " " in self.did:
            raise FormatError(f"{self.did[:80]!r} is not a DID")
        if self.version_id < 1 or (self.version_id == 1) != (self.previous is None):
            raise FormatError("version 1, and only version 1, has no previous entry")
        if len(self.document_hash) != 32 or (self.previous is not None and len(self.previous) != 32):
            raise FormatError("a version entry's hashes are 32 bytes")

    # Made once per entry: a chain of versions asks each entry's hash twice.
    @cached_property
    def text(self) -> str:
        return version_line(self.did, self.version_id, self.document_hash, self.previous)

    @cached_property
    def leaf_hash(self) -> bytes:
        return merkle.leaf_hash(self.text.encode())


@dataclass(frozen=True)
class MapEntry:
    count: int
    root: bytes

    def __post_init__(self) -> None:
        if self.count < 0 or len(self.root) != 32 or (self.count == 0) != (self.root == ZERO):
            raise FormatError("a map entry holds a count and a 32-byte root, zero exactly when the count is")

    @property
    def text(self) -> str:
        return f"m {self.count} {encode(self.root)}\n"

    @property
    def leaf_hash(self) -> bytes:
        return merkle.leaf_hash(self.text.encode())


# The first entry of every log: the empty map.
GENESIS = MapEntry(0, ZERO)


def document_hash(value_form: str) -> bytes:
    """The `doc` of a version entry: H of the signed document's text in the value form."""
    return hashlib.sha256(value_form.encode()).digest()


def version_entries(versions: Sequence[str]) -> list[VersionEntry]:
    """The entries of a DID's versions, rebuilt from their signed documents (any layout), oldest first.

    Only the values count: each document's hash is that of its value form, so a version posted in
    another layout has the same entry. The versions must be of one DID; nothing else is checked
    here (`verify_history` checks the rest). `InvalidDocument` for a text that is no signed document.
    """
    entries: list[VersionEntry] = []
    for number, text in enumerate(versions, start=1):
        signed = read_signed(text)
        if entries and signed.did != entries[0].did:
            raise FormatError(f"version {number} is of {signed.did}, not {entries[0].did}")
        previous = entries[-1].leaf_hash if entries else None
        entries.append(VersionEntry(signed.did, number, document_hash(signed.canonical), previous))
    return entries


def latest_leaf_of_value_forms(did: str, versions: Sequence[str]) -> bytes | None:
    """The leaf hash of the last of `version_entries(versions)` when the versions are already in
    their value form and verified to be of `did` (a verified history's), None for no versions:
    each entry's line written and hashed, nothing read again and no object for each."""
    leaf = None
    for number, text in enumerate(versions, start=1):
        leaf = merkle.leaf_hash(version_line(did, number, document_hash(text), leaf).encode())
    return leaf


def version_line(did: str, version_id: int, document: bytes, previous: bytes | None) -> str:
    """A version entry's text in its one spelling."""
    return f"v {did} {version_id} {encode(document)} {'-' if previous is None else encode(previous)}\n"


def parse_entry(text: str) -> VersionEntry | MapEntry:
    """The entry that `text` (one line with its final newline) is, in its one spelling."""
    if not text.endswith("\n") or "\n" in text[:-1]:
        raise FormatError("an entry is one line ending in a newline")
    fields = text[:-1].split(" ")
    if fields[0] == "v" and len(fields) == 5:
        _, did, version_id, document, previous = fields
        entry: VersionEntry | MapEntry = VersionEntry(
            did, decimal(version_id, "the entry's versionId"), decode(document, "the entry's doc", length=32),
            None if previous == "-" else decode(previous, "the entry's prev", length=32))
    elif fields[0] == "m" and len(fields) == 3:
        entry = MapEntry(decimal(fields[1], "the map entry's count"), decode(fields[2], "the map entry's root", length=32))
    else:
        raise FormatError(f"{text[:80]!r} is neither 'v <did> <versionId> <doc> <prev>' nor 'm <count> <root>'")
    return entry
