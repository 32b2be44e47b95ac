"""The monitor's audit of a registry's log: everything it serves, recomputed and compared.

The audit reads the signed checkpoint, every entry bundle and tile, and every exported version,
and checks that they are one log: the tiles hold the hashes of the entries and of the tiles
below them, and lead to the signed root; every version entry is rebuilt from its exported
signed document and follows the DID's entry before it; every map entry is the map of the version
entries before it; every history obeys the history's rules; every exported version is logged
and every logged version exported. The first thing that disagrees is a `Discrepancy`, proof
that the registry misbehaves (or `ForkDetected`, when the signed tree contradicts one seen before).

With a client state, the audit continues from where the last one ended: the checkpoint it
reached, each DID's latest entry and version, and the export's position. The new tree must then
extend the one audited, proven from its tiles.
"""

import collections
import concurrent.futures
import itertools
import json
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, Protocol

from .. import _native
from .._errors import InvalidDocument
from .._signed import read_signed
from . import merkle
from .checkpoint import Checkpoint, signed_checkpoint
from .dmap import DidMap, map_key
from .entries import GENESIS, MapEntry, VersionEntry, document_hash, parse_entry, version_line
from .errors import Discrepancy, FormatError, ForkDetected, InvalidProof
from .note import Verifier
from .policy import Policy
from .state import ClientState, StateMoved
from .tiles import (TILE_HEIGHT, TILE_WIDTH, EntryBundle, Tile, TileHashReader, entry_bundles_for_size, split_bundle,
                    split_tile, tiles_for_size)
from .verify import open_trusted, verify_and_remember

# How often another process may store a newer checkpoint while an audit's is being remembered.
_ATTEMPTS = 3
# Versions whose history rules the audit's threads judge together, and how many such pages
# may be judged while the replay goes on (each holds its versions as read).
_RULE_PAGE = 2048
_PAGES_AHEAD = 2
# Export lines read natively in one call.
_EXPORT_PAGE = 1024


class LogSource(Protocol):
    """Where an audit reads a log: a registry over HTTP (`RegistryClient`), or one in memory."""
    url: str

    def checkpoint(self) -> str:
        """The signed checkpoint served now."""
        ...

    def log_key(self) -> str:
        """The vkey of the log's key, as served."""
        ...

    def tile(self, path: str) -> bytes:
        """The contents of the tile or entry bundle at `path` ("tile/...")."""
        ...

    def export(self, after: int = 0) -> Iterator[str]:
        """The JSON lines of every version exported with a seq above `after`."""
        ...


@dataclass(frozen=True)
class AuditReport:
    origin: str
    size: int       # the tree audited, that of the checkpoint
    since: int      # the size an earlier audit had reached (0: audited from the start)
    versions: int   # version entries audited now
    batches: int    # map entries audited now
    dids: int       # DIDs in the map of the tree
    tiles: int      # tiles and entry bundles read


@dataclass
class _Progress:
    """Where an audit ended: what the next one continues from."""
    signed: str                             # the checkpoint audited
    url: str                                # the registry whose export was read
    after: int                              # every row it exported up to this seq was in that tree
    latest: dict[str, tuple[str, str]]      # did -> its latest entry's text and signed document

    def to_text(self) -> str:
        return json.dumps({"checkpoint": self.signed, "url": self.url, "after": self.after,
                           "dids": {did: list(pair) for did, pair in self.latest.items()}})

    @classmethod
    def from_text(cls, text: str) -> "_Progress":
        try:
            value = json.loads(text)
            latest = {did: (entry, signed) for did, (entry, signed) in value["dids"].items()}
            if not isinstance(value["checkpoint"], str) or not isinstance(value["url"], str) \
                    or type(value["after"]) is not int:
                raise TypeError
            return cls(value["checkpoint"], value["url"], value["after"], latest)
        except (ValueError, TypeError, KeyError, AttributeError):
            raise FormatError("the stored audit is not one this program wrote") from None


def audit(source: LogSource, *, policy: Policy | None = None, state: ClientState | None = None,
          max_age: float | None = None, threads: int | None = None) -> AuditReport:
    """Audit the log that `source` serves, as of its current checkpoint.

    The checkpoint must be signed by a key of `policy`, else by the key that `state` pinned for
    the registry, else by the key the source serves. With `state` the audit continues from the
    last one it stored and, once done, stores its own end and remembers the checkpoint as verified.
    Raises `Discrepancy` or `ForkDetected` for misbehaviour, `InvalidProof` for a checkpoint that
    no trusted key signed (or a smaller tree than one verified before). The histories' signatures
    are checked by `threads` threads (default: one per processor).
    """
    if threads is None:
        threads = os.cpu_count() or 1
    if threads < 1:
        raise ValueError(f"an audit needs at least one thread, not {threads}")
    signed = source.checkpoint()
    pinned = state is not None and state.registry_key(source.url) is not None
    offered = _offered_key(source) if policy is None and not pinned else None
    checkpoint = open_trusted(state, policy, source.url, signed, offered_key=offered, max_age=max_age).checkpoint
    stored = None if state is None else state.audit(checkpoint.origin)
    progress = _Progress(signed, source.url, 0, {}) if stored is None else _Progress.from_text(stored)
    since = 0 if stored is None else _since(progress.signed, signed, checkpoint)
    tiles = _Tiles(source, checkpoint.size)
    entries, leaves = _check_tree(tiles, checkpoint, since)
    if since:
        _check_extends(tiles, _parse(progress.signed), progress.signed, signed, checkpoint)
    # Another registry serving the same log numbers its export otherwise: it is read from its start.
    start = progress.after if progress.url == source.url else 0
    rows, after = _exported(source, start, since, checkpoint.size, threads)
    versions, batches = _Replay(progress.latest, threads).run(entries, leaves, since, rows)
    progress = _Progress(signed, source.url, after, progress.latest)
    if state is not None:
        _remember(state, policy, source.url, signed, tiles.reader, offered, max_age)
        with state.update() as update:
            update.store_audit(checkpoint.origin, progress.to_text())
    return AuditReport(checkpoint.origin, checkpoint.size, since, versions, batches, len(progress.latest),
                       len(tiles.read))


def _offered_key(source: LogSource) -> Verifier:
    try:
        return Verifier.from_vkey(source.log_key().strip())
    except FormatError as error:
        raise InvalidProof(f"the log key served: {error}") from None


def _parse(signed: str) -> Checkpoint:
    return signed_checkpoint(signed)


def _since(audited: str, signed: str, checkpoint: Checkpoint) -> int:
    """The size the earlier audit of the checkpoint `audited` reached, if this tree can extend it."""
    old = _parse(audited)
    if old.origin != checkpoint.origin:
        raise FormatError(f"the stored audit of {checkpoint.origin!r} is of another log")
    if checkpoint.size < old.size:
        raise InvalidProof(f"the log {checkpoint.origin!r} shows a tree of size {checkpoint.size}, smaller than the "
                           f"tree of size {old.size} audited before")
    if checkpoint.size == old.size and checkpoint.root != old.root:
        raise ForkDetected(f"the log {checkpoint.origin!r} signed two trees of size {old.size} with different roots",
                           audited, signed)
    return old.size


class _Tiles:
    """The tiles and bundles of one tree, each read from the source once."""

    def __init__(self, source: LogSource, size: int) -> None:
        self.source = source
        self.read: dict[str, bytes] = {}
        self.reader = TileHashReader(size, lambda tiles: [self.get(tile) for tile in tiles])

    def get(self, tile: Tile | EntryBundle) -> bytes:
        if tile.path not in self.read:
            self.read[tile.path] = self.source.tile(tile.path)
        return self.read[tile.path]

    def hashes(self, tile: Tile) -> list[bytes]:
        return _served(split_tile, self.get(tile), tile)


def _served(split: Any, data: bytes, tile: Any) -> list[bytes]:
    try:
        return list(split(data, tile))
    except FormatError as error:
        raise Discrepancy(f"the registry serves a malformed {error}") from None


def _check_tree(tiles: _Tiles, checkpoint: Checkpoint, since: int) -> tuple[list[bytes], list[bytes]]:
    """Check every tile written since the tree of `since` against the entries and the tiles below it,
    and the signed root; the entries from `since` on, and their leaf hashes."""
    size, entries, leaves = checkpoint.size, [], []
    for bundle in entry_bundles_for_size(size, since=since):
        texts = _served(split_bundle, tiles.get(bundle), bundle)
        tile = Tile(0, bundle.index, bundle.width)
        hashes = tiles.hashes(tile)
        for offset, (text, hash_) in enumerate(zip(texts, hashes, strict=True)):
            if merkle.leaf_hash(text) != hash_:
                raise Discrepancy(f"{tile.path} holds another hash than that of entry {bundle.start + offset}")
        entries += texts[max(0, since - bundle.start):]
        leaves += hashes[max(0, since - bundle.start):]
    for tile in tiles_for_size(size, since=since):
        if tile.level == 0:
            continue
        hashes = tiles.hashes(tile)
        # Hashes of the tree of `since` were checked then; they are bound to its root below.
        first_new = max(0, (since >> (TILE_HEIGHT * tile.level)) - tile.index * TILE_WIDTH)
        for offset in range(first_new, tile.width):
            below = Tile(tile.level - 1, tile.index * TILE_WIDTH + offset)
            if merkle.perfect_root(tiles.hashes(below)) != hashes[offset]:
                raise Discrepancy(f"{tile.path} holds another hash at {offset} than the tile {below.path} gives")
    if merkle.root(tiles.reader, size) != checkpoint.root:
        raise Discrepancy(f"the tiles lead to another root than the checkpoint's of size {size}")
    return entries, leaves


def _check_extends(tiles: _Tiles, old: Checkpoint, audited: str, signed: str, checkpoint: Checkpoint) -> None:
    """The tree audited before is the start of this one: the checked tiles, which lead to the new
    root, give the old root at the old size (hashes of the new tree that give another are a fork)."""
    if merkle.root(tiles.reader, old.size) != old.root:
        raise ForkDetected(f"the log {checkpoint.origin!r} signed a tree of size {checkpoint.size} whose tiles give "
                           f"another tree of size {old.size} than the one audited", audited, signed)


# (seq, logIndex, did, versionId, the signed document when it is one of did)
_ExportRead = tuple[int, int, str, str, _native.ExportedVersion | None]


class _Row(NamedTuple):
    """An exported version: its line, and its signed document as read natively when it is one of its did."""
    did: str
    version_id: str
    line: str
    signed: _native.ExportedVersion | None


def _exported(source: LogSource, after: int, since: int, size: int, threads: int) -> tuple[dict[int, _Row], int]:
    """The exported versions logged at `since` or later in the tree of `size`, by log index, and the seq
    up to which every row was in that tree (where the next audit's export starts)."""
    rows: dict[int, _Row] = {}
    settled, beyond = after, False
    for page, reads in _read_pages(source.export(after), threads):
        for line, read in zip(page, reads, strict=True):
            if read is None:  # strict JSON refuses it: json.loads judges it, as it always did
                row = _row(line)
                seq, index, did, version_id, signed = row["seq"], row["logIndex"], row["did"], row["versionId"], None
            else:
                seq, index, did, version_id, signed = read
            beyond = beyond or index >= size
            if not beyond:
                settled = seq
            if since <= index < size:
                if index in rows:
                    raise Discrepancy(f"the export has two versions at logIndex {index}")
                rows[index] = _Row(did, version_id, line, signed)
    return rows, settled


def _read_pages(lines: Iterator[str], threads: int) -> Iterator[tuple[tuple[str, ...], list[_ExportRead | None]]]:
    """Pages of export lines with what the native reader made of each line, in order; with more
    than one thread, read by all of them at once, as many pages ahead."""
    pages = itertools.batched(lines, _EXPORT_PAGE)
    if threads == 1:
        for page in pages:
            yield page, _native.read_export(page)
        return
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        pending: collections.deque[tuple[tuple[str, ...], concurrent.futures.Future[list[_ExportRead | None]]]]
        pending = collections.deque()
        for page in pages:
            pending.append((page, pool.submit(_native.read_export, page)))
            if len(pending) > threads:
                done, future = pending.popleft()
                yield done, future.result()
        for done, future in pending:
            yield done, future.result()


def _row(line: str) -> dict[str, Any]:
    try:
        row = json.loads(line)
    except ValueError:
        row = None
    if (not isinstance(row, dict) or not isinstance(row.get("did"), str) or not isinstance(row.get("versionId"), str)
            or not isinstance(row.get("signed"), dict) or type(row.get("logIndex")) is not int
            or type(row.get("seq")) is not int):
        raise Discrepancy(f"the export has a row without its seq, did, versionId, signed or logIndex: {line[:120]!r}")
    return row


class _Latest(NamedTuple):
    """A DID's latest version as the replay reached it."""
    version_id: int
    leaf: bytes
    entry: str                                # its entry's text
    signed: str | _native.ExportedVersion     # its signed document: in the value form, or as the export read it


class _Replay:
    """The log's entries replayed in order against the exported versions: the DID map and each
    DID's latest entry and version, as the registry must have had them."""

    def __init__(self, latest: dict[str, tuple[str, str]], threads: int = 1) -> None:
        self.latest = latest
        self.chain: dict[str, _Latest] = {}  # the DIDs' latest versions reached by this replay
        self.map = DidMap((map_key(did), merkle.leaf_hash(entry.encode())) for did, (entry, _) in latest.items())
        self.batch: dict[bytes, bytes] = {}
        self.threads = threads

    def run(self, entries: Sequence[bytes], leaves: Sequence[bytes], since: int,
            rows: dict[int, _Row]) -> tuple[int, int]:
        """Replay the entries from index `since`, whose leaf hashes the tiles gave; how many version
        and map entries there were.

        Each version's history rules, the signature check most of all, are judged apart from the
        replay, a page at a time by the audit's threads while the replay goes on; the first thing
        found wrong, in log order, is what is reported."""
        versions = batches = 0
        last_is_version = False
        page: list[_RuleCheck] = []
        # The replay is short beside the judging, and waits on the judges' pages: with more than
        # one thread, every one of them judges.
        with _Judges(self.threads if self.threads > 1 else 0) as judges:
            try:
                for index, (data, leaf) in enumerate(zip(entries, leaves, strict=True), start=since):
                    # Only a version entry's text starts so; anything else is a map entry or none.
                    last_is_version = data.startswith(b"v ")
                    if last_is_version:
                        page.append(self._version(index, data, leaf, rows.pop(index, None)))
                        versions += 1
                        if len(page) == _RULE_PAGE:
                            judges.judge(page)
                            page = []
                    else:
                        self._map(index, data)
                        batches += 1
                if last_is_version:
                    raise Discrepancy(f"the tree's last entry {since + len(entries) - 1} is not a map entry")
                if rows:
                    index = min(rows)
                    raise Discrepancy(f"the export's version {rows[index].version_id} of {rows[index].did} at "
                                      f"logIndex {index} is not the version entry there")
            except _BrokenRules:
                raise  # the earliest: every page before it was settled
            except Discrepancy:
                # A version before what the replay found wrong that breaks the rules comes first.
                judges.judge(page)
                judges.settle()
                raise
            judges.judge(page)
            judges.settle()
        for did, latest in self.chain.items():
            signed = latest.signed if isinstance(latest.signed, str) else latest.signed.value_form
            self.latest[did] = (latest.entry, signed)
        return versions, batches

    def _entry(self, index: int, data: bytes) -> VersionEntry | MapEntry:
        try:
            text = data.decode("utf-8")
            entry = parse_entry(text)
        except (UnicodeDecodeError, FormatError) as error:
            raise Discrepancy(f"entry {index} is not an entry: {error}") from None
        if entry.text != text:
            raise Discrepancy(f"entry {index} is not in its one spelling")
        if index == 0 and entry != GENESIS:
            raise Discrepancy("the log's first entry is not the empty map")
        return entry

    def _previous(self, did: str) -> _Latest | None:
        """The DID's latest version before this one: reached by this replay, or by the audit before."""
        latest = self.chain.get(did)
        if latest is None and did in self.latest:
            entry_text, signed = self.latest[did]
            entry = _stored_entry(entry_text)
            latest = self.chain[did] = _Latest(entry.version_id, entry.leaf_hash, entry_text, signed)
        return latest

    def _version(self, index: int, data: bytes, leaf: bytes, row: _Row | None) -> "_RuleCheck":
        return self._as_exported(index, data, leaf, row) or self._replayed(index, data, row)

    def _as_exported(self, index: int, data: bytes, leaf: bytes, row: _Row | None) -> "_RuleCheck | None":
        """The version whose entry is exactly the one its exported version gives after the DID's latest;
        None when anything differs, for the full replay to name it."""
        if row is None or row.signed is None or index == 0:
            return None
        try:
            previous = self._previous(row.did)
        except FormatError:
            return None  # the full replay reads the entry first, then reports the stored audit
        number = 1 if previous is None else previous.version_id + 1
        if row.version_id != str(number):
            return None
        text = version_line(row.did, number, row.signed.document_hash, None if previous is None else previous.leaf)
        if data != text.encode():
            return None
        # One spelling of its fields, of a DID the record rules accept: the entry they give.
        self._advance(row.did, _Latest(number, leaf, text, row.signed))
        return _RuleCheck(index, row.did, number, None if previous is None else previous.signed, row.signed)

    def _replayed(self, index: int, data: bytes, row: _Row | None) -> "_RuleCheck":
        entry = self._entry(index, data)
        assert isinstance(entry, VersionEntry)  # a text starting "v " parses as nothing else
        what = _what(index, entry.did, entry.version_id)
        previous = self._previous(entry.did)
        expected_id = 1 if previous is None else previous.version_id + 1
        expected_prev = None if previous is None else previous.leaf
        if entry.version_id != expected_id or entry.previous != expected_prev:
            raise Discrepancy(f"{what} does not follow the DID's entry before it")
        if row is None:
            raise Discrepancy(f"{what} is logged but not exported: the registry withholds it")
        if row.did != entry.did or row.version_id != str(entry.version_id):
            raise Discrepancy(f"the export has version {row.version_id} of {row.did} at logIndex {index}, "
                              f"where the log has {what}")
        try:
            signed = read_signed(_native.value_form(_row(row.line)["signed"]))
        except InvalidDocument as error:
            raise Discrepancy(f"the exported {what} is not a signed document: {error}") from None
        if signed.did != entry.did or document_hash(signed.canonical) != entry.document_hash:
            raise Discrepancy(f"the exported {what} is not the document whose hash the entry holds")
        self._advance(entry.did, _Latest(entry.version_id, entry.leaf_hash, entry.text, signed.canonical))
        return _RuleCheck(index, entry.did, entry.version_id, None if previous is None else previous.signed,
                          signed.canonical)

    def _advance(self, did: str, latest: _Latest) -> None:
        self.chain[did] = latest
        self.batch[map_key(did)] = latest.leaf

    def _map(self, index: int, data: bytes) -> None:
        entry = self._entry(index, data)
        assert isinstance(entry, MapEntry)  # a text not starting "v " parses as nothing else
        self.map.update(self.batch)
        self.batch.clear()
        if entry != MapEntry(len(self.map), self.map.root()):
            raise Discrepancy(f"the map entry {index} is not the map of the version entries before it")


class _RuleCheck(NamedTuple):
    """A version whose history rules are still to be judged, after the version before it."""
    log_index: int
    did: str
    version_id: int
    previous: str | _native.ExportedVersion | None
    current: str | _native.ExportedVersion

    @property
    def what(self) -> str:
        return _what(self.log_index, self.did, self.version_id)


def _what(index: int, did: str, version_id: int) -> str:
    return f"version {version_id} of {did} (entry {index})"


def _broken_rules(checks: Sequence[_RuleCheck]) -> list[tuple[str, ...]]:
    # One native call without the interpreter lock: threads judge their parts at once.
    return _native.check_pairs([(check.previous, check.current) for check in checks])


class _Judges:
    """Pages of rule checks judged by `count` threads (none: at once, by the caller), and
    reported in the order they were given: `_BrokenRules` for the first version that breaks one."""

    def __init__(self, count: int) -> None:
        self._count = count
        self._pool = concurrent.futures.ThreadPoolExecutor(count) if count else None
        self._pending: list[tuple[list[_RuleCheck], list[concurrent.futures.Future[list[tuple[str, ...]]]]]] = []

    def __enter__(self) -> "_Judges":
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._pool is not None:
            self._pool.shutdown()

    def judge(self, page: list[_RuleCheck]) -> None:
        if self._pool is None:
            _report(_broken_rules(page), page)
            return
        size = -(-len(page) // self._count) or 1
        self._pending.append((page, [self._pool.submit(_broken_rules, page[start:start + size])
                                     for start in range(0, len(page), size)]))
        if len(self._pending) > _PAGES_AHEAD:
            self._settle_oldest()

    def settle(self) -> None:
        while self._pending:
            self._settle_oldest()

    def _settle_oldest(self) -> None:
        page, futures = self._pending.pop(0)
        _report([broken for future in futures for broken in future.result()], page)


class _BrokenRules(Discrepancy):
    pass


def _report(broken: Sequence[tuple[str, ...]], checks: Sequence[_RuleCheck]) -> None:
    for rules, check in zip(broken, checks, strict=True):
        if rules:
            raise _BrokenRules(f"{check.what} breaks the rules of a history: {', '.join(rules)}")



def _stored_entry(text: str) -> VersionEntry:
    entry = parse_entry(text)
    if not isinstance(entry, VersionEntry):
        raise FormatError("the stored audit holds a map entry as a DID's latest")
    return entry


def _remember(state: ClientState, policy: Policy | None, url: str, signed: str, reader: TileHashReader,
              offered: Verifier | None, max_age: float | None) -> None:
    """Remember the audited checkpoint as the newest verified of its log, proven to extend the one before."""
    new = _parse(signed)
    for _ in range(_ATTEMPTS):
        # The newest tree of this log, wherever it was seen: a mirror serves the same log.
        remembered = state.checkpoint(new.origin)
        known = None if remembered is None else _parse(remembered).size
        if known is not None and known > new.size:
            return  # a newer tree was verified meanwhile; the next audit reaches it
        consistency = None if known is None else merkle.consistency_proof(reader, known, new.size)
        try:
            verify_and_remember(state, policy, url, signed, consistency, known=known, offered_key=offered,
                                max_age=max_age)
            return
        except StateMoved:
            continue
    raise StateMoved(f"other processes keep storing newer checkpoints of {url}")
