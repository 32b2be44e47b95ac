# Tile paths, which tiles a tree has at each size, their contents and entry bundles.
import pytest

from did_vek.tlog import merkle
from did_vek.tlog.errors import FormatError
from did_vek.tlog.tiles import (EntryBundle, Tile, bundle_data, entry_bundles_for_size, parse_path, split_bundle,
                                split_tile, tile_data, tiles_for_size)


@pytest.mark.parametrize("tile, path", [
    (Tile(0, 0), "tile/0/000"),
    (Tile(0, 7, 3), "tile/0/007.p/3"),
    (Tile(1, 999), "tile/1/999"),
    (Tile(2, 1000, 255), "tile/2/x001/000.p/255"),
    (Tile(63, 1_234_067), "tile/63/x001/x234/067"),
    (EntryBundle(0, 1), "tile/entries/000.p/1"),
    (EntryBundle(1_234_067), "tile/entries/x001/x234/067"),
])
def test_paths_both_ways(tile, path):
    assert tile.path == path
    assert parse_path(path) == tile


@pytest.mark.parametrize("path", [
    "tile/0/0", "tile/0/0000", "tile/0/x000/001", "tile/0/001/002", "tile/0/x001", "tile/00/000", "tile/64/000",
    "tile/0/000.p/0", "tile/0/000.p/256", "tile/0/000.p/01", "tile/0/000.p/", "tile/-1/000", "tile/entries/000.p/300",
    "tile/x/000", "/tile/0/000", "tile/0/000/", "tile/0/٠٠٠",
])
def test_paths_that_are_not_tile_paths(path):
    with pytest.raises(FormatError):
        parse_path(path)


def widths(size, since=0):
    return [(tile.level, tile.index, tile.width) for tile in tiles_for_size(size, since=since)]


def test_the_tiles_of_a_tree_of_70000_leaves():
    # 273 full level-0 tiles and one of 112, one full level-1 tile and one of 17, one level-2 tile of 1.
    tiles = widths(70_000)
    assert tiles[:273] == [(0, n, 256) for n in range(273)]
    assert tiles[273:] == [(0, 273, 112), (1, 0, 256), (1, 1, 17), (2, 0, 1)]


@pytest.mark.parametrize("size, expected", [
    (0, []), (1, [(0, 0, 1)]), (255, [(0, 0, 255)]), (256, [(0, 0, 256), (1, 0, 1)]),
    (257, [(0, 0, 256), (0, 1, 1), (1, 0, 1)]), (65_536, [*((0, n, 256) for n in range(256)), (1, 0, 256), (2, 0, 1)]),
])
def test_tiles_across_boundaries(size, expected):
    assert widths(size) == expected


@pytest.mark.parametrize("since, size", [(0, 1), (1, 2), (255, 256), (256, 257), (300, 70_000), (65_535, 65_537), (9, 9)])
def test_growing_writes_exactly_the_tiles_that_differ(since, size):
    before, after = set(widths(since)), widths(size)
    assert widths(size, since) == [tile for tile in after if tile not in before]


def test_tile_contents_are_the_hashes_of_their_level():
    tree = merkle.TreeHashes()
    tree.extend(merkle.leaf_hash(b"%d" % i) for i in range(70_000))
    level0 = tile_data(tree, Tile(0, 273, 112))
    assert split_tile(level0, Tile(0, 273, 112)) == [merkle.leaf_hash(b"%d" % i) for i in range(69_888, 70_000)]
    # A level-1 hash is the root of the full level-0 tile below it.
    level1 = split_tile(tile_data(tree, Tile(1, 1, 17)), Tile(1, 1, 17))
    below = merkle.TreeHashes()
    below.extend(merkle.leaf_hash(b"%d" % i) for i in range(272 * 256, 273 * 256))
    assert level1[16] == below.root()
    with pytest.raises(FormatError, match="holds 64 bytes, not 96"):
        split_tile(bytes(64), Tile(0, 0, 3))


@pytest.mark.parametrize("entries", [[b""], [b"v did:vek:a 1\n", b"m 0 x\n"], [b"x" * 65_535] * 3, [b"%d" % i for i in range(256)]])
def test_entry_bundles_round_trip(entries):
    data = bundle_data(entries)
    assert data[:2] == len(entries[0]).to_bytes(2, "big")
    assert split_bundle(data, EntryBundle(5, len(entries))) == entries


@pytest.mark.parametrize("data, width, message", [
    (b"\x00", 1, "inside an entry's length"), (b"\x00\x05abc", 1, "inside entry 0"),
    (b"\x00\x01a\x00\x01b", 1, "holds 2 entries, not 1"), (b"", 1, "holds 0 entries"),
])
def test_entry_bundles_that_do_not_hold_their_width(data, width, message):
    with pytest.raises(FormatError, match=message):
        split_bundle(data, EntryBundle(0, width))


def test_entries_too_long_for_a_bundle_are_refused():
    with pytest.raises(ValueError, match="65536 bytes"):
        bundle_data([b"x" * 65_536])


def test_entry_bundles_follow_the_level_0_tiles():
    assert [(b.index, b.width) for b in entry_bundles_for_size(70_000, since=69_000)] == [(269, 256), (270, 256),
                                                                                        (271, 256), (272, 256),
                                                                                        (273, 112)]
