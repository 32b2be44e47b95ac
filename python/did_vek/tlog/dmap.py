"""The DID map: a compressed sparse Merkle tree from H(did) to the leaf hash of the DID's latest entry.

Keys are 256-bit; bit 0 is the high bit of byte 0, and 0 goes left. An empty subtree hashes to
32 zero bytes, a subtree holding one key to that key's leaf H(0x02 || key || value) at
whatever depth, a subtree holding more to H(0x03 || left || right). So the tree, and its
root, depend only on the set of (key, value) pairs.

A proof lists the siblings along the key's path from the root's children down to the first
subtree holding at most one key, and that subtree's leaf, if any. Because a subtree with one
key is a leaf, the deepest sibling of a proof is never empty.

The map is kept as one sorted list of key || value: a subtree is a run of that list, found by
bisection, and the hashes of subtrees of `KEEP_FROM_KEYS` keys or more are kept until a key under
them changes. A root or a proof after a batch of changes rehashes only the paths changed.
"""

import hashlib
from bisect import bisect_left, insort
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from ._base64 import decode, encode
from .errors import FormatError, InvalidProof

ZERO = bytes(32)
KEY_BITS = 256
# A subtree of this many keys or more keeps its hash: about 2 / KEEP_FROM_KEYS kept hashes per
# key, and a proof rehashes fewer than 2 * KEEP_FROM_KEYS keys below the kept ones.
KEEP_FROM_KEYS = 16
# Inserting a key moves the list's tail: for fewer new keys than 1 / _INSERT_BELOW of the
# list, that is cheaper than sorting it again (128 keys into 1,000,000: about 40 ms).
_INSERT_BELOW = 256


def map_key(did: str) -> bytes:
    return hashlib.sha256(did.encode()).digest()


def leaf_hash(key: bytes, value: bytes) -> bytes:
    return hashlib.sha256(b"\x02" + key + value).digest()


def node_hash(left: bytes, right: bytes) -> bytes:
    return hashlib.sha256(b"\x03" + left + right).digest()


def _split_key(depth: int, prefix: int) -> bytes:
    """The smallest key under the right child of the subtree at `depth` with these `depth` bits."""
    return (((prefix << 1) | 1) << (KEY_BITS - 1 - depth)).to_bytes(32, "big")


def _bit(key: int, depth: int) -> int:
    return (key >> (KEY_BITS - 1 - depth)) & 1


@dataclass(frozen=True)
class MapProof:
    siblings: tuple[bytes, ...]
    leaf: tuple[bytes, bytes] | None  # the terminal subtree's only (key, value), if it has one

    def to_json(self) -> dict[str, Any]:
        leaf = None if self.leaf is None else {"key": encode(self.leaf[0]), "value": encode(self.leaf[1])}
        return {"siblings": [encode(sibling) for sibling in self.siblings], "leaf": leaf}

    @classmethod
    def from_json(cls, value: Any) -> "MapProof":
        if not isinstance(value, dict) or set(value) != {"siblings", "leaf"}:
            raise FormatError('a map proof is an object of "siblings" and "leaf"')
        siblings, leaf = value["siblings"], value["leaf"]
        if not isinstance(siblings, list) or not all(isinstance(sibling, str) for sibling in siblings):
            raise FormatError('a map proof\'s "siblings" is a list of base64 texts')
        if len(siblings) > KEY_BITS:
            raise FormatError(f"a map proof has at most {KEY_BITS} siblings, not {len(siblings)}")
        decoded = tuple(decode(sibling, f"map proof sibling {depth}", length=32) for depth, sibling in enumerate(siblings))
        if leaf is None:
            return cls(decoded, None)
        if not isinstance(leaf, dict) or set(leaf) != {"key", "value"} or not all(isinstance(v, str) for v in leaf.values()):
            raise FormatError('a map proof\'s "leaf" is null or an object of base64 "key" and "value"')
        return cls(decoded, (decode(leaf["key"], "the map proof's leaf key", length=32),
                             decode(leaf["value"], "the map proof's leaf value", length=32)))

    def verify(self, root: bytes, key: bytes) -> bytes | None:
        """The value that this proof shows `key` has in the map with `root`, or None for its absence.

        `InvalidProof` for a proof that is malformed or leads to another root.
        """
        if len(root) != 32 or len(key) != 32 or len(self.siblings) > KEY_BITS:
            raise InvalidProof("a map root, key or proof has the wrong length")
        if any(len(sibling) != 32 for sibling in self.siblings):
            raise InvalidProof("a map proof sibling is not 32 bytes")
        depth = len(self.siblings)
        if depth and self.siblings[-1] == ZERO:
            raise InvalidProof("the deepest sibling of a map proof is empty")
        wanted = int.from_bytes(key, "big")
        hash_ = ZERO
        if self.leaf is not None:
            leaf_key, value = self.leaf
            if len(leaf_key) != 32 or len(value) != 32:
                raise InvalidProof("a map proof's leaf key or value is not 32 bytes")
            if depth and (int.from_bytes(leaf_key, "big") ^ wanted) >> (KEY_BITS - depth):
                raise InvalidProof(f"the map proof's leaf does not share the key's first {depth} bits")
            hash_ = leaf_hash(leaf_key, value)
        for level in range(depth - 1, -1, -1):
            sibling = self.siblings[level]
            hash_ = node_hash(sibling, hash_) if _bit(wanted, level) else node_hash(hash_, sibling)
        if hash_ != root:
            raise InvalidProof("the map proof does not lead to the map's root")
        if self.leaf is not None and self.leaf[0] == key:
            return self.leaf[1]
        return None


class DidMap:
    """The map in memory, for a registry that updates it a batch at a time and for audits."""

    def __init__(self, items: Iterable[tuple[bytes, bytes]] = ()) -> None:
        self._entries: list[bytes] = []  # key || value, sorted, one per key
        self._kept: dict[tuple[int, int], bytes] = {}  # (depth, prefix) -> hash, for large subtrees
        self._deepest_kept = -1
        self.update(items)

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: bytes) -> bytes | None:
        position = bisect_left(self._entries, key)
        if position < len(self._entries) and self._entries[position][:32] == key:
            return self._entries[position][32:]
        return None

    def update(self, items: Iterable[tuple[bytes, bytes]] | Mapping[bytes, bytes]) -> None:
        """Set each key's value (a later pair for the same key wins)."""
        changes = dict(items.items() if isinstance(items, Mapping) else items)
        if any(len(key) != 32 or len(value) != 32 for key, value in changes.items()):
            raise ValueError("map keys and values are 32 bytes")  # before anything changes
        added = []
        for key, value in changes.items():
            self._forget_path(int.from_bytes(key, "big"))
            position = bisect_left(self._entries, key)
            if position < len(self._entries) and self._entries[position][:32] == key:
                self._entries[position] = key + value
            else:
                added.append(key + value)
        if len(added) * _INSERT_BELOW > len(self._entries):
            self._entries += added
            self._entries.sort()
        else:
            for entry in added:
                insort(self._entries, entry)

    def discard(self, keys: Iterable[bytes]) -> None:
        """Remove each key that is in the map."""
        for key in keys:
            position = bisect_left(self._entries, key)
            if position < len(self._entries) and self._entries[position][:32] == key:
                self._forget_path(int.from_bytes(key, "big"))
                del self._entries[position]

    def _forget_path(self, key: int) -> None:
        for depth in range(self._deepest_kept + 1):
            self._kept.pop((depth, key >> (KEY_BITS - depth)), None)

    def root(self) -> bytes:
        return self._hash(0, 0, 0, len(self._entries))

    def _hash(self, depth: int, prefix: int, low: int, high: int) -> bytes:
        count = high - low
        if count < KEEP_FROM_KEYS:
            return _run_hash(self._entries, depth, low, high)
        if (kept := self._kept.get((depth, prefix))) is not None:
            return kept
        middle = bisect_left(self._entries, _split_key(depth, prefix), low, high)
        hash_ = hashlib.sha256(b"\x03" + self._hash(depth + 1, prefix << 1, low, middle)
                               + self._hash(depth + 1, (prefix << 1) | 1, middle, high)).digest()
        self._kept[(depth, prefix)] = hash_
        self._deepest_kept = max(self._deepest_kept, depth)
        return hash_

    def prove(self, key: bytes) -> MapProof:
        """The proof of `key`'s value, or of its absence."""
        if len(key) != 32:
            raise ValueError("map keys are 32 bytes")
        wanted = int.from_bytes(key, "big")
        siblings = []
        depth, prefix, low, high = 0, 0, 0, len(self._entries)
        while high - low > 1:
            middle = bisect_left(self._entries, _split_key(depth, prefix), low, high)
            if _bit(wanted, depth):
                siblings.append(self._hash(depth + 1, prefix << 1, low, middle))
                low, prefix = middle, (prefix << 1) | 1
            else:
                siblings.append(self._hash(depth + 1, (prefix << 1) | 1, middle, high))
                high, prefix = middle, prefix << 1
            depth += 1
        leaf = None
        if high > low:
            entry = self._entries[low]
            leaf = (entry[:32], entry[32:])
        return MapProof(tuple(siblings), leaf)


def _run_hash(entries: list[bytes], depth: int, low: int, high: int) -> bytes:
    """The hash of the subtree at `depth` holding the run entries[low:high] (sorted key || value).

    For the few keys below the kept hashes: a scan for the first key whose bit `depth` is 1 costs
    less than bisecting with a split key made for it."""
    if high - low == 0:
        return ZERO
    if high - low == 1:
        return hashlib.sha256(b"\x02" + entries[low]).digest()
    byte, shift = depth >> 3, 7 - (depth & 7)
    middle = low
    while middle < high and not (entries[middle][byte] >> shift) & 1:
        middle += 1
    return hashlib.sha256(b"\x03" + _run_hash(entries, depth + 1, low, middle)
                          + _run_hash(entries, depth + 1, middle, high)).digest()
