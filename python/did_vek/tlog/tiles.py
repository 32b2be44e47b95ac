"""The log served as tiles and entry bundles (C2SP tlog-tiles): paths, contents, which exist.

A tile at level L and index N holds up to 256 consecutive hashes of tree level 8 * L: the
full subtrees of 256**L leaves numbered 256 * N onwards. The levels between are rebuilt by
hashing, so any full-subtree hash can be read from one tile. A tile is partial (width below
256) while the tree has not yet filled it; the tree of a checkpoint names exactly which
tiles, full and partial, exist for it. Entry bundles hold the entries of the level-0 tiles.
"""

import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass

from . import merkle
from ._base64 import decimal
from .errors import FormatError
from .merkle import HASH_SIZE, HashReader, Subtree

TILE_HEIGHT = 8
TILE_WIDTH = 1 << TILE_HEIGHT
MAX_LEVEL = 63
# An entry's length travels as a big-endian uint16 in front of it.
MAX_ENTRY_SIZE = 0xFFFF


def _index_path(index: int) -> str:
    """N in 3-digit groups, an "x" before all but the last: 1234067 is x001/x234/067."""
    digits = str(index)
    digits = "0" * (-len(digits) % 3) + digits
    groups = [digits[i:i + 3] for i in range(0, len(digits), 3)]
    return "/".join([*("x" + group for group in groups[:-1]), groups[-1]])


def _width_suffix(width: int) -> str:
    return "" if width == TILE_WIDTH else f".p/{width}"


@dataclass(frozen=True, order=True)
class Tile:
    """Hashes of tree level 8 * `level`, numbered 256 * `index` to 256 * `index` + `width` - 1."""
    level: int
    index: int
    width: int = TILE_WIDTH

    def __post_init__(self) -> None:
        if not 0 <= self.level <= MAX_LEVEL or self.index < 0 or not 1 <= self.width <= TILE_WIDTH:
            raise ValueError(f"no tile has level {self.level}, index {self.index} and width {self.width}")

    @property
    def path(self) -> str:
        return f"tile/{self.level}/{_index_path(self.index)}{_width_suffix(self.width)}"

    @property
    def subtrees(self) -> list[Subtree]:
        """The full subtrees whose hashes the tile holds, in order."""
        first = self.index * TILE_WIDTH
        return [(self.level * TILE_HEIGHT, first + i) for i in range(self.width)]


@dataclass(frozen=True, order=True)
class EntryBundle:
    """The entries 256 * `index` to 256 * `index` + `width` - 1, those of level-0 tile `index`."""
    index: int
    width: int = TILE_WIDTH

    def __post_init__(self) -> None:
        if self.index < 0 or not 1 <= self.width <= TILE_WIDTH:
            raise ValueError(f"no entry bundle has index {self.index} and width {self.width}")

    @property
    def path(self) -> str:
        return f"tile/entries/{_index_path(self.index)}{_width_suffix(self.width)}"

    @property
    def start(self) -> int:
        return self.index * TILE_WIDTH


_PATH = re.compile(r"tile/(entries|[0-9]+)/((?:x[0-9]{3}/)*[0-9]{3})(?:\.p/([0-9]+))?")


def parse_path(path: str) -> Tile | EntryBundle:
    """The tile or entry bundle at `path` ("tile/..." without the log's prefix), in its one spelling."""
    match = _PATH.fullmatch(path)
    if match is None:
        raise FormatError(f"{path!r} is not a tile path")
    level_text, index_text, width_text = match.groups()
    index = int(index_text.replace("x", "").replace("/", ""))
    width = TILE_WIDTH if width_text is None else decimal(width_text, "tile width", maximum=TILE_WIDTH - 1)
    try:
        if level_text == "entries":
            found: Tile | EntryBundle = EntryBundle(index, width)
        else:
            found = Tile(decimal(level_text, "tile level", maximum=MAX_LEVEL), index, width)
    except ValueError as error:  # a width of 0
        raise FormatError(f"{path!r} is not a tile path: {error}") from None
    if found.path != path:  # leading zero groups
        raise FormatError(f"{path!r} is not a tile path in its one spelling ({found.path})")
    return found


def tile_count(level: int, size: int) -> int:
    """How many hashes level `level`'s tiles hold, in all, for a tree of `size` leaves."""
    return size >> (TILE_HEIGHT * level)


def tiles_for_size(size: int, *, since: int = 0) -> Iterator[Tile]:
    """The tiles of a tree of `size` leaves, level by level, with the widths they have at that size.

    With `since`, only those that differ from the tiles of a tree of `since` leaves: the tiles
    a log writes when it grows from `since` to `size`.
    """
    if not 0 <= since <= size:
        raise ValueError(f"a tree of size {size} does not grow from size {since}")
    level = 0
    while (count := tile_count(level, size)) > 0:
        had = tile_count(level, since)
        for index in range(had // TILE_WIDTH, -(-count // TILE_WIDTH)):
            width = min(TILE_WIDTH, count - index * TILE_WIDTH)
            if width != had - index * TILE_WIDTH:  # a partial tile that did not grow stays as it was
                yield Tile(level, index, width)
        level += 1


def entry_bundles_for_size(size: int, *, since: int = 0) -> Iterator[EntryBundle]:
    """The entry bundles of a tree of `size` leaves (with `since`, those that differ from `since`'s)."""
    for tile in tiles_for_size(size, since=since):
        if tile.level > 0:
            return
        yield EntryBundle(tile.index, tile.width)


def tile_data(reader: HashReader, tile: Tile) -> bytes:
    """The contents of `tile`: its hashes, one after another."""
    return b"".join(reader.read_hashes(tile.subtrees))


def split_tile(data: bytes, tile: Tile) -> list[bytes]:
    """The hashes in the contents of `tile`; a `FormatError` when the length is not its width's."""
    _check_length(data, tile)
    return [data[i:i + HASH_SIZE] for i in range(0, len(data), HASH_SIZE)]


def _check_length(data: bytes, tile: Tile) -> None:
    if len(data) != tile.width * HASH_SIZE:
        raise FormatError(f"{tile.path} holds {len(data)} bytes, not {tile.width * HASH_SIZE}")


def bundle_data(entries: Sequence[bytes]) -> bytes:
    """An entry bundle: each entry behind its length as a big-endian uint16."""
    if not 1 <= len(entries) <= TILE_WIDTH:
        raise ValueError(f"an entry bundle holds 1 to {TILE_WIDTH} entries, not {len(entries)}")
    parts = []
    for entry in entries:
        if len(entry) > MAX_ENTRY_SIZE:
            raise ValueError(f"an entry of {len(entry)} bytes does not fit an entry bundle")
        parts += [len(entry).to_bytes(2, "big"), entry]
    return b"".join(parts)


def split_bundle(data: bytes, bundle: EntryBundle) -> list[bytes]:
    """The entries of an entry bundle; a `FormatError` unless it holds exactly its width's."""
    entries: list[bytes] = []
    offset = 0
    while offset < len(data):
        if offset + 2 > len(data):
            raise FormatError(f"{bundle.path} ends inside an entry's length")
        length = int.from_bytes(data[offset:offset + 2], "big")
        offset += 2
        if offset + length > len(data):
            raise FormatError(f"{bundle.path} ends inside entry {len(entries)}")
        entries.append(data[offset:offset + length])
        offset += length
    if len(entries) != bundle.width:
        raise FormatError(f"{bundle.path} holds {len(entries)} entries, not {bundle.width}")
    return entries


class TileHashReader:
    """A `HashReader` for the tree of `size` leaves that reads from its tiles.

    `read_tiles` answers the contents of each tile asked for, in order (from storage, or over
    HTTP); each tile is read once per call, whatever number of hashes it gives.
    """

    def __init__(self, size: int, read_tiles: Callable[[Sequence[Tile]], Sequence[bytes]]) -> None:
        self.size = size
        self._read_tiles = read_tiles

    def tile_of(self, subtree: Subtree) -> Tile:
        """The tile, with its width at this tree's size, that holds what `subtree`'s hash is made of."""
        level, index = subtree
        if (index + 1) << level > self.size:
            raise LookupError(f"no full subtree ({level}, {index}) in a tree of size {self.size}")
        tile_level, height = divmod(level, TILE_HEIGHT)
        tile_index = (index << height) // TILE_WIDTH
        count = tile_count(tile_level, self.size)
        return Tile(tile_level, tile_index, min(TILE_WIDTH, count - tile_index * TILE_WIDTH))

    def read_hashes(self, subtrees: Sequence[Subtree]) -> list[bytes]:
        return [merkle.perfect_root(row) for row in self.read_rows(subtrees)]

    def read_rows(self, subtrees: Sequence[Subtree]) -> list[list[bytes]]:
        """For each subtree, the hashes stored in its tile that it is made of, left to right
        (one for a subtree at a tile's level), every tile read once."""
        tiles = [self.tile_of(subtree) for subtree in subtrees]
        wanted = sorted(set(tiles))
        contents = self._read_tiles(wanted)
        rows = dict(zip(wanted, contents, strict=True))
        for tile, data in rows.items():
            _check_length(data, tile)
        result = []
        for (level, index), tile in zip(subtrees, tiles):
            height = level % TILE_HEIGHT
            # Only the hashes this subtree is made of are cut out of the tile: a proof needs
            # a few of each tile's 256.
            first = ((index << height) - tile.index * TILE_WIDTH) * HASH_SIZE
            data = rows[tile]
            result.append([data[at:at + HASH_SIZE] for at in range(first, first + (HASH_SIZE << height), HASH_SIZE)])
        return result


def grow_tiles(size: int, read_tiles: Callable[[Sequence[tuple[int, int]]], Sequence[bytes]],
               leaves: Sequence[bytes]) -> dict[tuple[int, int], bytes]:
    """The tiles that change when a tree of `size` leaves appends `leaves` (their leaf hashes):
    each by (level, index), with its whole new contents. `read_tiles` reads the stored contents
    of the partial tiles the new hashes extend, one call for all."""
    partial = [(level, tile_count(level, size) // TILE_WIDTH) for level in range(MAX_LEVEL)
               if tile_count(level, size) % TILE_WIDTH]
    stored = dict(zip(partial, read_tiles(partial), strict=True))
    changed: dict[tuple[int, int], bytes] = {}
    level, start, hashes = 0, size, list(leaves)
    while hashes:
        index, filled = divmod(start, TILE_WIDTH)
        row = split_tile(stored[(level, index)][:filled * HASH_SIZE], Tile(level, index, filled)) if filled else []
        completed = []
        for hash_ in hashes:
            row.append(hash_)
            if len(row) == TILE_WIDTH:
                changed[(level, index)] = b"".join(row)
                completed.append(merkle.perfect_root(row))  # the next tile level's hash of it
                index, row = index + 1, []
        if row:
            changed[(level, index)] = b"".join(row)
        level, start, hashes = level + 1, start // TILE_WIDTH, completed
    return changed


