# The log's tree against RFC 9162: known roots, and every root, audit path and consistency proof
# of small trees (and samples past 2**16) equal to those of an independent reference and verified.
import random

import pytest

from did_vek.tlog import merkle
from did_vek.tlog.errors import InvalidProof
from did_vek.tlog.tiles import TileHashReader, tile_data, tiles_for_size
from rfc9162_reference import ReferenceTree

# The eight entries of the certificate-transparency reference tests and the roots of their prefixes.
KNOWN_ENTRIES = [bytes.fromhex(h) for h in
                 ["", "00", "10", "2021", "3031", "40414243", "5051525354555657", "606162636465666768696a6b6c6d6e6f"]]
KNOWN_ROOTS = {
    0: "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    1: "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    2: "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    3: "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    4: "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    5: "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    6: "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    7: "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    8: "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
}


def tree_of(entries):
    tree = merkle.TreeHashes()
    tree.extend(merkle.leaf_hash(entry) for entry in entries)
    return tree


@pytest.mark.parametrize("size", sorted(KNOWN_ROOTS))
def test_known_roots(size):
    assert merkle.root(tree_of(KNOWN_ENTRIES), size).hex() == KNOWN_ROOTS[size]
    assert ReferenceTree(KNOWN_ENTRIES).mth(0, size).hex() == KNOWN_ROOTS[size]


ENTRIES = [f"entry {i}".encode() for i in range(70_000)]
SMALL = ReferenceTree(ENTRIES[:300])
SMALL_TREE = tree_of(ENTRIES[:300])


@pytest.mark.parametrize("size", range(1, 301))
def test_every_proof_of_small_trees_matches_the_reference_and_verifies(size):
    root = merkle.root(SMALL_TREE, size)
    assert root == SMALL.mth(0, size)
    for index in range(size):
        path = merkle.inclusion_proof(SMALL_TREE, index, size)
        assert path == SMALL.path(index, 0, size)
        merkle.verify_inclusion(merkle.leaf_hash(ENTRIES[index]), index, size, path, root)
    for old in range(1, size + 1):
        proof = merkle.consistency_proof(SMALL_TREE, old, size)
        assert proof == SMALL.consistency(old, size)
        merkle.verify_consistency(old, size, SMALL.mth(0, old), root, proof)


LARGE = ReferenceTree(ENTRIES)
LARGE_TREE = tree_of(ENTRIES)


@pytest.mark.parametrize("size", [65_535, 65_536, 65_537, 69_999, 70_000])
def test_proofs_past_two_to_the_sixteen(size):
    picks = random.Random(size)
    root = merkle.root(LARGE_TREE, size)
    assert root == LARGE.mth(0, size)
    for index in [0, size - 1, 32_767, 65_535 % size, *picks.sample(range(size), 20)]:
        path = merkle.inclusion_proof(LARGE_TREE, index, size)
        assert path == LARGE.path(index, 0, size)
        merkle.verify_inclusion(merkle.leaf_hash(ENTRIES[index]), index, size, path, root)
    for old in [1, 2, 255, 256, 65_535, 65_536 % size or 1, size, *picks.sample(range(1, size), 20)]:
        proof = merkle.consistency_proof(LARGE_TREE, old, size)
        assert proof == LARGE.consistency(old, size)
        merkle.verify_consistency(old, size, LARGE.mth(0, old), root, proof)


@pytest.mark.parametrize("size", [1, 255, 256, 257, 511, 65_535, 65_536, 65_537, 70_000])
def test_proofs_read_from_tiles_equal_those_from_the_whole_tree(size):
    tiles = {tile: tile_data(LARGE_TREE, tile) for tile in tiles_for_size(size)}
    reader = TileHashReader(size, lambda wanted: [tiles[tile] for tile in wanted])
    assert merkle.root(reader, size) == LARGE.mth(0, size)
    for index in {0, size // 2, size - 1}:
        assert merkle.inclusion_proof(reader, index, size) == LARGE.path(index, 0, size)
    for old in {1, size // 3 or 1, size - 1 or 1, size}:
        assert merkle.consistency_proof(reader, old, size) == merkle.consistency_proof(LARGE_TREE, old, size)


def flipped(hash_):
    return bytes([hash_[0] ^ 1]) + hash_[1:]


@pytest.mark.parametrize("size", [2, 3, 7, 8, 9, 100, 256])
def test_inclusion_proofs_that_are_not_exact_are_refused(size):
    root = merkle.root(SMALL_TREE, size)
    for index in range(size):
        leaf = merkle.leaf_hash(ENTRIES[index])
        path = merkle.inclusion_proof(SMALL_TREE, index, size)
        wrong = [[*path[:i], flipped(path[i]), *path[i + 1:]] for i in range(len(path))]
        wrong += [path[:-1], [*path, path[-1]], [path[0][:31]] + path[1:]]
        for proof in wrong:
            with pytest.raises(InvalidProof):
                merkle.verify_inclusion(leaf, index, size, proof, root)
        for other_index in {(index + 1) % size, size, -1} - {index}:
            with pytest.raises(InvalidProof):
                merkle.verify_inclusion(leaf, other_index, size, path, root)
        with pytest.raises(InvalidProof):
            merkle.verify_inclusion(flipped(leaf), index, size, path, root)


@pytest.mark.parametrize("size", [2, 3, 8, 9, 100, 256, 300])
def test_consistency_proofs_that_are_not_exact_are_refused(size):
    root = merkle.root(SMALL_TREE, size)
    for old in range(1, size):
        old_root = merkle.root(SMALL_TREE, old)
        proof = merkle.consistency_proof(SMALL_TREE, old, size)
        wrong = [[*proof[:i], flipped(proof[i]), *proof[i + 1:]] for i in range(len(proof))]
        wrong += [proof[:-1], [*proof, proof[-1]], []]
        for bad in wrong:
            with pytest.raises(InvalidProof):
                merkle.verify_consistency(old, size, old_root, root, bad)
        with pytest.raises(InvalidProof):
            merkle.verify_consistency(old, size, flipped(old_root), root, proof)
        with pytest.raises(InvalidProof):
            merkle.verify_consistency(old, size, old_root, flipped(root), proof)


def test_a_fork_shows_as_a_new_root_that_matches_and_an_old_one_that_does_not():
    # The same 10 entries, one changed at index 3: the tree of 10 is the honest one's, which the
    # proof leads to, while the old root it leads to differs from the forked tree of 5's.
    forked = tree_of([*ENTRIES[:3], b"forged", *ENTRIES[4:5]])
    proof = merkle.consistency_proof(SMALL_TREE, 5, 10)
    old, new = merkle.roots_from_consistency(5, 10, forked.root(), proof)
    assert new == merkle.root(SMALL_TREE, 10) and old != forked.root()
    with pytest.raises(InvalidProof, match="another root of size 5"):
        merkle.verify_consistency(5, 10, forked.root(), merkle.root(SMALL_TREE, 10), proof)


@pytest.mark.parametrize("old, size, old_root, new_root, proof, message", [
    (0, 5, merkle.EMPTY_ROOT, b"r" * 32, [], None),
    (0, 5, merkle.EMPTY_ROOT, b"r" * 32, [b"p" * 32], "must be empty"),
    (0, 0, b"x" * 32, b"x" * 32, [], "hash of nothing"),
    (5, 5, b"r" * 32, b"r" * 32, [], None),
    (5, 5, b"r" * 32, b"s" * 32, [], "different roots"),
    (6, 5, b"r" * 32, b"r" * 32, [], "cannot extend"),
])
def test_consistency_with_the_empty_tree_and_with_itself(old, size, old_root, new_root, proof, message):
    if message is None:
        merkle.verify_consistency(old, size, old_root, new_root, proof)
    else:
        with pytest.raises(InvalidProof, match=message):
            merkle.verify_consistency(old, size, old_root, new_root, proof)


def test_appending_names_the_full_subtrees_each_leaf_completes():
    tree = merkle.TreeHashes()
    completed = [[subtree for subtree, _ in tree.append(merkle.leaf_hash(e))] for e in ENTRIES[:8]]
    assert completed[3] == [(0, 3), (1, 1), (2, 0)]
    assert completed[7] == [(0, 7), (1, 3), (2, 1), (3, 0)]
    assert completed[4] == [(0, 4)]
