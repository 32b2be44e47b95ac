"""What a server process holds of the log to prove its answers: the DID map as of the served
checkpoint, and the full tiles it read before (they never change).

Every answer is given as of one served head, read from the store when the answer starts: what
that tree holds of the versions, its tiles and the map as of its size, so an answer and its
proofs always agree. The map follows the served head forward, read from the log's own entries
and checked against the head's map entry; it never serves a tree of another size.
"""

import threading
from collections.abc import Callable, Mapping, Sequence

from ..tlog import merkle
from ..tlog.dmap import DidMap, MapProof, map_key
from ..tlog.entries import MapEntry, parse_entry
from ..tlog.merkle import Subtree
from ..tlog.tiles import TILE_HEIGHT, TILE_WIDTH, Tile, TileHashReader
from .store import Head, Store, StoreUnavailable

ReadEntries = Callable[[int, int], list[str]]
# Entries read at a time while the map catches up (a restart reads them all).
_READ_BATCH = 16384
# Full tiles kept: 8 KiB each.
_KEPT_TILES = 4096
# Full-subtree hashes kept: about 150 bytes each.
_KEPT_SUBTREES = 1 << 18
# Texts of entries just written kept for the answers to their publishes: about 300 bytes each.
_KEPT_WRITTEN = 1 << 14
# Upper parts of inclusion proofs kept, one per full tile and tree size: about 1 KiB each.
_KEPT_PATHS = 1 << 14


class HeadMoved(Exception):
    """Another thread moved the map past the head this answer read: read the head again."""


class LogView:
    def __init__(self, store: Store) -> None:
        self._store = store
        self._map = DidMap()
        self._size = 0  # the tree size the map is at; 0 before the first head
        self._lock = threading.Lock()
        self._full_tiles: dict[tuple[int, int], bytes] = {}
        self._tile_hashes: dict[tuple[int, int], bytes] = {}  # see full_tile_hashes
        self._subtrees: dict[Subtree, bytes] = {}
        self._of_head: tuple[Head, str] | None = None
        self._written: dict[int, str] = {}  # index -> text of entries this process committed lately
        self._upper_paths: dict[tuple[int, int], list[bytes]] = {}  # see inclusion_proof

    def map_proof(self, head: Head, did: str) -> MapProof:
        """The proof of `did` in the map of `head`'s tree. `HeadMoved` when the map is past it."""
        with self._lock:
            if head.size < self._size:
                raise HeadMoved()
            self._advance(head, self._store.entries)
            return self._map.prove(map_key(did))

    def kept_for(self, head: Head, make: Callable[[], str]) -> str:
        """What `make` answers for `head`, made once per head: the proof of its last entry,
        which every answer as of that head carries."""
        kept = self._of_head
        if kept is None or kept[0] != head:
            kept = self._of_head = (head, make())
        return kept[1]

    def catch_up(self, head: Head) -> None:
        """Moves the map to `head`'s tree now (at a server's start: the first answer then does
        not wait for a whole log to be read)."""
        with self._lock:
            if head.size > self._size:
                self._advance(head, self._store.entries)

    def root_with(self, head: Head, served: Head | None, read_entries: ReadEntries,
                  changes: Mapping[bytes, bytes]) -> MapEntry:
        """The map entry that follows `head`'s tree once `changes` (key -> new value) are made,
        for the writer holding the log. The map itself moves no further than `served`, the head
        answers are given as of; what `head`'s tree holds beyond it is applied and taken back."""
        with self._lock:
            if served is not None and served.size > self._size:
                self._advance(served, read_entries)
            pending = dict(_changes(read_entries, self._size, head.size))
            pending.update(changes)
            before = {key: self._map.get(key) for key in pending}
            self._map.update(pending)
            try:
                return MapEntry(len(self._map), self._map.root())
            finally:
                self._map.update({key: value for key, value in before.items() if value is not None})
                self._map.discard(key for key, value in before.items() if value is None)

    def _advance(self, head: Head, read_entries: ReadEntries) -> None:
        if head.size == self._size:
            return
        if head.size < self._size:
            raise StoreUnavailable(f"the log's head went back from tree size {self._size} to {head.size}")
        try:
            # Gathered first and given to the map at once: a restart catching up on a million DIDs
            # then sorts the map once, rather than once per batch of entries read.
            changes: dict[bytes, bytes] = {}
            for start in range(self._size, head.size, _READ_BATCH):
                changes.update(_changes(read_entries, start, min(start + _READ_BATCH, head.size)))
            self._map.update(changes)
            expected = parse_entry(head.map_entry)
            if not isinstance(expected, MapEntry) or (len(self._map), self._map.root()) != (expected.count, expected.root):
                raise StoreUnavailable(f"the log's map entry at tree size {head.size} does not match its version entries")
        except BaseException:
            # Part of the entries may be in the map: it is rebuilt from the start next time.
            self._map, self._size = DidMap(), 0
            raise
        self._size = head.size

    def keep_written(self, start: int, texts: Sequence[str], leaves: Sequence[bytes]) -> None:
        """Keeps the texts and hashes of committed entries start, start + 1, ...: an entry never
        changes, and the answers about a batch just written need them and their neighbours'."""
        if len(self._subtrees) + len(leaves) > _KEPT_SUBTREES:
            self._subtrees.clear()
        self._subtrees.update(((0, index), leaf) for index, leaf in enumerate(leaves, start))
        if len(self._written) + len(texts) > _KEPT_WRITTEN:
            self._written.clear()
        self._written.update(enumerate(texts, start))

    def written_entry(self, index: int) -> str | None:
        """The text of entry `index` if this process wrote it lately."""
        return self._written.get(index)

    def hash_reader(self, size: int) -> "SubtreeHashes":
        """Reads the hashes of the tree of `size` from the stored tiles."""
        return SubtreeHashes(TileHashReader(size, self.read_tiles), self)

    def inclusion_proof(self, reader: merkle.HashReader, index: int, size: int) -> list[bytes]:
        """The audit path of entry `index` in the tree of `size`, read through `reader` (this
        view's `hash_reader(size)`). Above its tile, the path of an entry in a full tile is that of
        the tile, the same for its 256 entries: made once per tile and tree size, and kept."""
        tile = index >> TILE_HEIGHT
        if (tile + 1) << TILE_HEIGHT > size:  # in the tree's partial tile: its path is its own
            return merkle.inclusion_proof(reader, index, size)
        key = (size, tile)
        upper = self._upper_paths.get(key)
        if upper is None:
            path = merkle.inclusion_proof(reader, index, size)
            upper = path[TILE_HEIGHT:]
            if len(self._upper_paths) >= _KEPT_PATHS:
                self._upper_paths.clear()
            self._upper_paths[key] = upper
            return path
        # Inside the full tile: the sibling subtree at each height below the tile's.
        return reader.read_hashes([(level, (index >> level) ^ 1) for level in range(TILE_HEIGHT)]) + upper

    def known_first(self, reader: merkle.HashReader) -> merkle.HashReader:
        """`reader`, but taking the full-subtree hashes this process knows from committed tiles
        first; it learns none of `reader`'s (they may come from a transaction not yet committed)."""
        return _KnownFirst(self._subtrees, reader)

    def full_tile_hashes(self, tiles: Sequence[Tile]) -> list[bytes]:
        """Of each full tile, every hash of a subtree inside it: its 256 hashes, then the 128
        they pair into, and so on up to 2 (see `_inner_hash`). A full tile never changes, so
        these are made once; a proof then takes its lower siblings without hashing. They hold
        the tile's contents too, which `read_tiles` then serves from them."""
        made = {key: hashes for tile in tiles
                if (hashes := self._tile_hashes.get(key := (tile.level, tile.index))) is not None}
        wanted = [tile for tile in dict.fromkeys(tiles) if (tile.level, tile.index) not in made]
        for tile, data in zip(wanted, self._read_stored(wanted) if wanted else (), strict=True):
            key = (tile.level, tile.index)
            made[key] = _every_inner_hash(data)
            if len(self._tile_hashes) >= _KEPT_TILES:
                self._tile_hashes.clear()
            self._tile_hashes[key] = made[key]
            self._full_tiles.pop(key, None)
        return [made[(tile.level, tile.index)] for tile in tiles]

    def read_tiles(self, tiles: Sequence[Tile]) -> list[bytes]:
        """The contents of each tile, at its width."""
        found: dict[tuple[int, int], bytes] = {}
        for tile in tiles:
            key = (tile.level, tile.index)
            if tile.width == TILE_WIDTH and (data := self._full_tiles.get(key) or self._tile_hashes.get(key)):
                found[key] = data[:TILE_WIDTH * merkle.HASH_SIZE]
        wanted = [tile for tile in tiles if (tile.level, tile.index) not in found]
        for tile, data in zip(wanted, self._read_stored(wanted) if wanted else (), strict=True):
            found[(tile.level, tile.index)] = data
            if tile.width == TILE_WIDTH:
                if len(self._full_tiles) >= _KEPT_TILES:
                    self._full_tiles.clear()
                self._full_tiles[(tile.level, tile.index)] = data
        return [found[(tile.level, tile.index)] for tile in tiles]

    def _read_stored(self, tiles: Sequence[Tile]) -> list[bytes]:
        """The contents of each tile as the store holds them, at its width."""
        contents = []
        for tile, data in zip(tiles, self._store.tiles([(tile.level, tile.index) for tile in tiles]), strict=True):
            data = data[:tile.width * merkle.HASH_SIZE]
            if len(data) != tile.width * merkle.HASH_SIZE:
                raise StoreUnavailable(f"the store holds {len(data) // merkle.HASH_SIZE} hashes of {tile.path}")
            contents.append(data)
        return contents


def _changes(read_entries: ReadEntries, start: int, end: int) -> dict[bytes, bytes]:
    """What the version entries start .. end - 1 set in the map: each DID's latest leaf hash."""
    changes = {}
    for text in read_entries(start, end) if end > start else ():
        if text.startswith("v "):
            changes[map_key(text.split(" ", 2)[1])] = merkle.leaf_hash(text.encode())
    return changes


class _KnownFirst:
    def __init__(self, known: Mapping[Subtree, bytes], reader: merkle.HashReader) -> None:
        self._known = known
        self._reader = reader

    def read_hashes(self, subtrees: Sequence[Subtree]) -> list[bytes]:
        found = {subtree: hash_ for subtree in subtrees if (hash_ := self._known.get(subtree)) is not None}
        missing = [subtree for subtree in subtrees if subtree not in found]
        found.update(zip(missing, self._reader.read_hashes(missing), strict=True) if missing else ())
        return [found[subtree] for subtree in subtrees]


def _every_inner_hash(data: bytes) -> bytes:
    rows = [data]
    row = [data[at:at + merkle.HASH_SIZE] for at in range(0, len(data), merkle.HASH_SIZE)]
    while len(row) > 2:
        row = [merkle.node_hash(row[i], row[i + 1]) for i in range(0, len(row), 2)]
        rows.append(b"".join(row))
    return b"".join(rows)


def _tile_key(subtree: Subtree) -> tuple[int, int]:
    """The (level, index) of the tile holding the hashes that `subtree` is made of."""
    level, index = subtree
    tile_level, height = divmod(level, TILE_HEIGHT)
    return tile_level, (index << height) // TILE_WIDTH


def _inner_hash(hashes: bytes, subtree: Subtree) -> bytes:
    """The hash of `subtree` in its full tile's `_every_inner_hash`: in the row of its height, at
    its place among the tile's subtrees of that height."""
    level, index = subtree
    height = level % TILE_HEIGHT
    position = index & ((TILE_WIDTH >> height) - 1)
    at = (2 * TILE_WIDTH - (2 * TILE_WIDTH >> height) + position) * merkle.HASH_SIZE
    return hashes[at:at + merkle.HASH_SIZE]


class SubtreeHashes:
    """A hash reader that takes the hashes inside full tiles from the view's (`full_tile_hashes`)
    and keeps those it computes from partial tiles (shared by every answer of a process). A full
    subtree's hash never changes, and every proof of the tree's last entry needs the same few:
    each is hashed once, not once per answer."""

    def __init__(self, tiles: TileHashReader, view: LogView) -> None:
        self._tiles = tiles
        self._view = view
        self._kept = view._subtrees

    def read_hashes(self, subtrees: Sequence[Subtree]) -> list[bytes]:
        known = [self._known(subtree) for subtree in subtrees]
        if None not in known:
            return known  # type: ignore[return-value]  # none is None
        found = {subtree: hash_ for subtree, hash_ in zip(subtrees, known) if hash_ is not None}
        missing = [subtree for subtree in dict.fromkeys(subtrees) if subtree not in found]
        if missing:
            tiles = [self._tiles.tile_of(subtree) for subtree in missing]
            in_full = [(subtree, tile) for subtree, tile in zip(missing, tiles) if tile.width == TILE_WIDTH]
            if in_full:
                hashes = self._view.full_tile_hashes([tile for _, tile in in_full])
                for (subtree, _), inner in zip(in_full, hashes, strict=True):
                    found[subtree] = _inner_hash(inner, subtree)
            partial = [subtree for subtree, tile in zip(missing, tiles) if tile.width != TILE_WIDTH]
            if len(self._kept) > _KEPT_SUBTREES:
                self._kept.clear()
            for subtree, row in zip(partial, self._tiles.read_rows(partial) if partial else (), strict=True):
                found[subtree] = self._kept[subtree] = self._fold(subtree, row)
        return [found[subtree] for subtree in subtrees]

    def _known(self, subtree: Subtree) -> bytes | None:
        """The hash of `subtree` if kept, or inside a full tile whose hashes are made: most of a
        proof, found without reading or hashing anything."""
        if (hash_ := self._kept.get(subtree)) is not None:
            return hash_
        inner = self._view._tile_hashes.get(_tile_key(subtree))
        return None if inner is None else _inner_hash(inner, subtree)

    def _fold(self, subtree: Subtree, row: list[bytes]) -> bytes:
        """The hash of `subtree` from the `row` of hashes in its tile, keeping each one made."""
        level, index = subtree
        height = level % TILE_HEIGHT
        for up in range(1, height + 1):
            first = index << (height - up)
            row = [merkle.node_hash(row[i], row[i + 1]) for i in range(0, len(row), 2)]
            for offset, hash_ in enumerate(row):
                self._kept[(level - height + up, first + offset)] = hash_
        return row[0]
