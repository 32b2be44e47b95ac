# The server's proofs read from stored tiles, through its caches of full tiles and of hashes
# already made, against every full-subtree hash kept in memory: across tile boundaries, for
# trees older than the stored tiles, and again once the caches are warm.
import hashlib

import pytest

from did_vek.registry.log_view import LogView
from did_vek.tlog import merkle
from did_vek.tlog.tiles import grow_tiles


class StoredTiles:
    def __init__(self) -> None:
        self.stored: dict[tuple[int, int], bytes] = {}

    def tiles(self, keys):  # the Store's method: the view reads nothing else for proofs
        return [self.stored.get(key, b"") for key in keys]


def grown_log(size):
    store, reference = StoredTiles(), merkle.TreeHashes()
    leaves = [merkle.leaf_hash(b"entry %d" % n) for n in range(size)]
    for start in range(0, size, 97):  # batches that straddle tile boundaries
        batch = leaves[start:start + 97]
        store.stored.update(grow_tiles(start, store.tiles, batch))
        reference.extend(batch)
    return store, reference


@pytest.mark.parametrize("size", [1, 255, 256, 257, 511, 512, 700, 65_537])
def test_inclusion_proofs_from_stored_tiles(size):
    store, reference = grown_log(max(size, 800))  # partial tiles grown past `size`
    view = LogView(store)
    indices = sorted({0, 1, size // 3, size // 3 + 1, size - 257, size - 256, size - 2, size - 1} & set(range(size)))
    for _ in range(2):  # cold, then every cache warm (a tile's upper path made by its first entry)
        for index in indices:
            expected = merkle.inclusion_proof(reference, index, size)
            assert merkle.inclusion_proof(view.hash_reader(size), index, size) == expected
            assert view.inclusion_proof(view.hash_reader(size), index, size) == expected
        assert merkle.root(view.hash_reader(size), size) == merkle.root(reference, size)
    assert view.hash_reader(size).read_hashes([(0, 0)]) == [hashlib.sha256(b"\x00entry 0").digest()]
