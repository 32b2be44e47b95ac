"""The DID map: a compressed sparse Merkle tree from H(did) to the leaf hash of the DID's latest entry.

Keys are 256-bit; bit 0 is the high bit of byte 0, and 0 goes left. An empty subtree hashes to
32 zero bytes, a subtree holding one key to that key's leaf H(0x02 || key || value) at
whatever depth, a subtree holding more to H(0x03 || left || right). So the tree, and its
root, depend only on the set of (key, value) pairs.

A proof lists the siblings along the key's path from the root's children down to the first
subtree holding at most one key, and that subtree's leaf, if any. Because a subtree with one
key is a leaf, the deepest sibling of a proof is never empty.

The map itself is native (`_native.DidMap`): one sorted array of key || value, where a subtree
is a run, with the hashes of large subtrees kept until a key under them changes, so that a root
or a proof after a batch of changes rehashes only the paths changed. Proofs are checked here.
"""

import hashlib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from .. import _native
from ._base64 import decode, encode, encode_hashes
from .errors import FormatError, InvalidProof

ZERO = bytes(32)
KEY_BITS = 256


def map_key(did: str) -> bytes:
    return hashlib.sha256(did.encode()).digest()


def leaf_hash(key: bytes, value: bytes) -> bytes:
    return hashlib.sha256(b"\x02" + key + value).digest()


def node_hash(left: bytes, right: bytes) -> bytes:
    return hashlib.sha256(b"\x03" + left + right).digest()


def _bit(key: int, depth: int) -> int:
    return (key >> (KEY_BITS - 1 - depth)) & 1


@dataclass(frozen=True)
class MapProof:
    siblings: tuple[bytes, ...]
    leaf: tuple[bytes, bytes] | None  # the terminal subtree's only (key, value), if it has one

    def to_json(self) -> dict[str, Any]:
        leaf = None if self.leaf is None else {"key": encode(self.leaf[0]), "value": encode(self.leaf[1])}
        return {"siblings": encode_hashes(self.siblings), "leaf": leaf}

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

    def __init__(self, items: Iterable[tuple[bytes, bytes]] | Mapping[bytes, bytes] = ()) -> None:
        self._native = _native.DidMap(items.items() if isinstance(items, Mapping) else items)

    def __len__(self) -> int:
        return self._native.size

    def get(self, key: bytes) -> bytes | None:
        return self._native.get(key)

    def update(self, items: Iterable[tuple[bytes, bytes]] | Mapping[bytes, bytes]) -> None:
        """Set each key's value (a later pair for the same key wins)."""
        self._native.update(items.items() if isinstance(items, Mapping) else items)

    def discard(self, keys: Iterable[bytes]) -> None:
        """Remove each key that is in the map."""
        self._native.discard(keys)

    def root(self) -> bytes:
        return self._native.root()

    def prove(self, key: bytes) -> MapProof:
        """The proof of `key`'s value, or of its absence."""
        siblings, leaf = self._native.prove(key)
        return MapProof(siblings, leaf)
