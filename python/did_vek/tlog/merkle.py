"""The log's Merkle tree (RFC 9162, section 2.1): hashes, roots, inclusion and consistency proofs.

Proofs are built from the hashes of *full subtrees* only: the subtree at level L and index N
holds the leaves N * 2**L to (N + 1) * 2**L - 1, and its hash never changes once the tree has
grown past it. Those are the hashes that tiles store, so a log can answer any proof from its
stored tiles without holding its tree in memory: every function that builds a proof asks a
`HashReader` for the few full subtrees it needs, all in one call.
"""

import hashlib
from collections.abc import Iterable, Sequence
from typing import Protocol

from .errors import InvalidProof

HASH_SIZE = 32
EMPTY_ROOT = hashlib.sha256(b"").digest()
# Tree sizes and indices are unsigned 64-bit numbers in the protocols that carry them.
MAX_SIZE = 2**63 - 1


def leaf_hash(entry: bytes) -> bytes:
    return hashlib.sha256(b"\x00" + entry).digest()


def node_hash(left: bytes, right: bytes) -> bytes:
    return hashlib.sha256(b"\x01" + left + right).digest()


# A full subtree as (level, index): level 0 is a leaf; level L covers 2**L leaves from index * 2**L.
Subtree = tuple[int, int]


class HashReader(Protocol):
    def read_hashes(self, subtrees: Sequence[Subtree]) -> list[bytes]:
        """The hash of each full subtree asked for, in the order asked."""
        ...


def subtrees(start: int, end: int) -> list[Subtree]:
    """The full subtrees that make up the leaves start..end-1, left to right, largest first.

    `start` must be a multiple of a power of two at least `end - start`, as every range in the
    recursive definitions below is; the range [0, size) always qualifies.
    """
    result = []
    while start < end:
        level = (end - start).bit_length() - 1
        result.append((level, start >> level))
        start += 1 << level
    return result


def perfect_root(hashes: Sequence[bytes]) -> bytes:
    """The hash of a full subtree from the 2**k hashes it is made of, left to right (a row of a tile)."""
    row = list(hashes)
    while len(row) > 1:
        row = [node_hash(row[i], row[i + 1]) for i in range(0, len(row), 2)]
    return row[0]


def fold(hashes: Sequence[bytes]) -> bytes:
    """The hash of a range from the hashes of its full subtrees, largest (leftmost) first."""
    result = hashes[-1]
    for left in reversed(hashes[:-1]):
        result = node_hash(left, result)
    return result


def _split(size: int) -> int:
    """The largest power of two below `size` (size > 1): where RFC 9162 splits a tree."""
    return 1 << ((size - 1).bit_length() - 1)


def _range_hashes(reader: HashReader, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
    """The hash of each range, with one read for all their full subtrees."""
    parts: list[Sequence[Subtree]] = []
    for start, end in ranges:
        width = end - start
        if width & (width - 1) == 0:  # most ranges of a proof are one full subtree
            level = width.bit_length() - 1
            parts.append(((level, start >> level),))
        else:
            parts.append(subtrees(start, end))
    hashes = reader.read_hashes([subtree for part in parts for subtree in part])
    if len(hashes) != sum(map(len, parts)):
        raise ValueError("the hash reader answered another number of hashes than asked")
    result, offset = [], 0
    for part in parts:
        result.append(hashes[offset] if len(part) == 1 else fold(hashes[offset:offset + len(part)]))
        offset += len(part)
    return result


def root(reader: HashReader, size: int) -> bytes:
    """The root of the tree of the first `size` leaves."""
    _check_size(size)
    if size == 0:
        return EMPTY_ROOT
    return _range_hashes(reader, [(0, size)])[0]


def _inclusion_ranges(index: int, size: int) -> list[tuple[int, int]]:
    """The ranges whose hashes prove leaf `index` in a tree of `size`, from the leaf up."""
    ranges = []
    start = 0
    while size > 1:
        k = _split(size)
        if index < k:
            ranges.append((start + k, start + size))
            size = k
        else:
            ranges.append((start, start + k))
            start, index, size = start + k, index - k, size - k
    ranges.reverse()
    return ranges


def inclusion_proof(reader: HashReader, index: int, size: int) -> list[bytes]:
    """The audit path of leaf `index` in the tree of `size` leaves (RFC 9162, 2.1.3.1)."""
    _check_size(size)
    if not 0 <= index < size:
        raise ValueError(f"index {index} is outside a tree of size {size}")
    return _range_hashes(reader, _inclusion_ranges(index, size))


def _consistency_ranges(old: int, size: int) -> list[tuple[int, int]]:
    """The ranges whose hashes prove that the tree of `old` leaves is a prefix of that of `size`."""
    ranges = []
    start, whole_old_subtree = 0, True
    while old != size:
        k = _split(size)
        if old <= k:
            ranges.append((start + k, start + size))
            size = k
        else:
            ranges.append((start, start + k))
            start, old, size = start + k, old - k, size - k
            whole_old_subtree = False
    if not whole_old_subtree:
        ranges.append((start, start + old))
    ranges.reverse()
    return ranges


def consistency_proof(reader: HashReader, old: int, size: int) -> list[bytes]:
    """The proof that the tree of `old` leaves is a prefix of the tree of `size` (RFC 9162, 2.1.4.1).

    Empty when `old` is 0 or equals `size`: every tree extends the empty one and itself.
    """
    _check_size(size)
    if not 0 <= old <= size:
        raise ValueError(f"old size {old} is not between 0 and {size}")
    if old == 0:
        return []
    return _range_hashes(reader, _consistency_ranges(old, size))


def verify_inclusion(entry_hash: bytes, index: int, size: int, proof: Sequence[bytes], root_hash: bytes) -> None:
    """Check that `entry_hash` is leaf `index` of the tree of `size` whose root is `root_hash`.

    RFC 9162, 2.1.3.2; `InvalidProof` saying why when it is not.
    """
    _check_hashes([entry_hash, root_hash, *proof])
    if not 0 <= index < size <= MAX_SIZE:
        raise InvalidProof(f"index {index} is outside a tree of size {size}")
    expected = len(_inclusion_ranges(index, size))
    if len(proof) != expected:
        raise InvalidProof(f"an inclusion proof of index {index} in a tree of size {size} has "
                           f"{expected} hashes, not {len(proof)}")
    if root_from_inclusion(entry_hash, index, size, proof) != root_hash:
        raise InvalidProof(f"the inclusion proof of index {index} does not lead to the root of size {size}")


def root_from_inclusion(entry_hash: bytes, index: int, size: int, proof: Sequence[bytes]) -> bytes:
    """The root that an audit path leads to, or `InvalidProof` when it has the wrong length."""
    fn, sn, result = index, size - 1, entry_hash
    for sibling in proof:
        if sn == 0:
            raise InvalidProof("the inclusion proof is longer than the tree is deep")
        if fn & 1 or fn == sn:
            result = node_hash(sibling, result)
            while not fn & 1 and fn != 0:
                fn, sn = fn >> 1, sn >> 1
        else:
            result = node_hash(result, sibling)
        fn, sn = fn >> 1, sn >> 1
    if sn != 0:
        raise InvalidProof("the inclusion proof is shorter than the tree is deep")
    return result


def roots_from_consistency(old: int, size: int, old_root: bytes, proof: Sequence[bytes]) -> tuple[bytes, bytes]:
    """The old and new roots that a consistency proof leads to (RFC 9162, 2.1.4.2, steps 1-6).

    The caller compares them with the roots it holds: when the new one matches and the old one
    does not, the hashes that make the new tree make another old tree, which is a fork.
    Requires 0 < old < size; `InvalidProof` when the proof has the wrong length.
    """
    _check_hashes([old_root, *proof])
    if not 0 < old < size <= MAX_SIZE:
        raise InvalidProof(f"no consistency proof leads from size {old} to size {size}")
    if not proof:
        raise InvalidProof(f"the consistency proof from size {old} to size {size} is empty")
    path = list(proof)
    if old & (old - 1) == 0:  # a power of two: the old tree is a full subtree of the new one
        path.insert(0, old_root)
    fn, sn = old - 1, size - 1
    while fn & 1:
        fn, sn = fn >> 1, sn >> 1
    first = second = path[0]
    for hash_ in path[1:]:
        if sn == 0:
            raise InvalidProof("the consistency proof is longer than the tree is deep")
        if fn & 1 or fn == sn:
            first = node_hash(hash_, first)
            second = node_hash(hash_, second)
            while not fn & 1 and fn != 0:
                fn, sn = fn >> 1, sn >> 1
        else:
            second = node_hash(second, hash_)
        fn, sn = fn >> 1, sn >> 1
    if sn != 0:
        raise InvalidProof("the consistency proof is shorter than the tree is deep")
    return first, second


def verify_consistency(old: int, size: int, old_root: bytes, new_root: bytes, proof: Sequence[bytes]) -> None:
    """Check that the tree of `old` leaves with `old_root` is a prefix of the tree of `size` with `new_root`.

    Sizes 0 and equal sizes take only the empty proof (and, when equal, equal roots).
    """
    _check_hashes([old_root, new_root, *proof])
    if not 0 <= old <= size <= MAX_SIZE:
        raise InvalidProof(f"a tree of size {size} cannot extend one of size {old}")
    if old == 0 or old == size:
        if proof:
            raise InvalidProof(f"the consistency proof from size {old} to size {size} must be empty")
        if old == 0 and old_root != EMPTY_ROOT:
            raise InvalidProof("the root of the empty tree is not the hash of nothing")
        if old == size and old_root != new_root:
            raise InvalidProof(f"two trees of size {size} have different roots")
        return
    first, second = roots_from_consistency(old, size, old_root, proof)
    if second != new_root:
        raise InvalidProof(f"the consistency proof does not lead to the root of size {size}")
    if first != old_root:
        raise InvalidProof(f"the consistency proof leads to another root of size {old}")


def _check_size(size: int) -> None:
    if not 0 <= size <= MAX_SIZE:
        raise ValueError(f"tree size {size} is outside 0..{MAX_SIZE}")


def _check_hashes(hashes: Iterable[bytes]) -> None:
    if any(len(hash_) != HASH_SIZE for hash_ in hashes):
        raise InvalidProof(f"a hash is not {HASH_SIZE} bytes")


class TreeHashes:
    """Every full-subtree hash of a growing tree, in memory: a `HashReader` for tests, tools and
    audits, and the way to find which full subtrees each appended leaf completes."""

    def __init__(self) -> None:
        self._levels: list[list[bytes]] = []

    @property
    def size(self) -> int:
        return len(self._levels[0]) if self._levels else 0

    def append(self, entry_hash: bytes) -> list[tuple[Subtree, bytes]]:
        """Add a leaf hash; the full subtrees it completes, the leaf first, each with its hash."""
        completed = []
        level, hash_ = 0, entry_hash
        while True:
            if level == len(self._levels):
                self._levels.append([])
            row = self._levels[level]
            row.append(hash_)
            completed.append(((level, len(row) - 1), hash_))
            if len(row) % 2:
                return completed
            hash_ = node_hash(row[-2], hash_)
            level += 1

    def extend(self, entry_hashes: Iterable[bytes]) -> None:
        for entry_hash in entry_hashes:
            self.append(entry_hash)

    def read_hashes(self, subtrees: Sequence[Subtree]) -> list[bytes]:
        try:
            return [self._levels[level][index] for level, index in subtrees]
        except IndexError:
            raise LookupError("a full subtree beyond the tree was asked for") from None

    def root(self, size: int | None = None) -> bytes:
        return root(self, self.size if size is None else size)
