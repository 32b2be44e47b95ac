"""What the registry keeps, and the interface every storage engine implements.

A store holds, per DID, the versions 1, 2, ... n that the registry accepted, and numbers every
accepted version registry-wide (`seq`) in acceptance order for export. Beside them it keeps the
log that commits to them: its entries, its tiles and its head, the newest signed checkpoint.
It knows nothing of the rules a version must pass nor of how the log is built: `write` runs the
log writer's work inside one transaction (see `log_writer`), which it commits only when the work
returns. Everything is append-only, so a reader that asks for what a tree of some size holds
(`size=`) gets the same answer whenever it asks.
"""

from collections.abc import Callable, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import Any, Protocol, TypeVar, runtime_checkable


@dataclass(frozen=True)
class NewVersion:
    """What `decide` returns for a version to append: its time and its signed text."""
    version_time: str   # the document's "updated"
    created: str        # the document's "created"
    signed: str         # the signed document, as the registry stores and serves it
    deactivates: bool   # the document has no "assertionMethod": nothing may follow it


@dataclass(frozen=True)
class StoredVersion:
    did: str
    version: int        # 1, 2, ... within the DID
    seq: int            # registry-wide acceptance order, from 1
    version_time: str
    created: str
    signed: str
    deactivates: bool
    # The index of the version's entry in the log; None only for a version stored before the
    # database had a log, until the log writer has logged it.
    log_index: int | None = None


@dataclass(frozen=True)
class Head:
    """The log as of one tree: its size, the signed checkpoint of that size (with the witnesses'
    cosignatures, once served), and the tree's last entry (the map entry that closes every batch)."""
    size: int
    checkpoint: str
    map_entry: str


class Refused(Exception):
    """`decide` refuses the version; nothing is stored. `status` is the HTTP status to answer."""

    def __init__(self, status: int, detail: str) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail


class AlreadyStored(Exception):
    """`decide` found the version already stored as the last one (a retry); nothing is stored."""

    def __init__(self, stored: StoredVersion) -> None:
        super().__init__(f"{stored.did} version {stored.version} is already stored")
        self.stored = stored


class StoreUnavailable(Exception):
    """The storage engine cannot be reached or failed; the message says how."""


class StoreBusy(StoreUnavailable):
    """Another writer held what this one needs for longer than a writer waits (a process frozen
    in the middle of its append, say); nothing is stored, and trying again later may succeed."""


class WouldBlock(Exception):
    """A read asked for where the store refuses to block (see `ReadsOnLoop`); nothing was read."""


Decide = Callable[[StoredVersion | None], NewVersion]
_T = TypeVar("_T")


def served_and_last_query(heads: str, versions: str, entries: str, columns: str, did: str, *,
                          dids: str | None = None) -> str:
    """The one statement of `Store.served_and_last` over the tables `heads`, `versions` and
    `entries`, the DID given twice as `did` (the engine's parameter). The same SQL on every engine.

    With `dids`, a table expression of many DIDs, `did` names its column: the statement reads
    them all at once, one row for each, that DID first and the rest as for a single DID."""
    source = f"{heads} h" if dids is None else f"{heads} h CROSS JOIN {dids}"
    return (f"SELECT {'' if dids is None else did + ', '}h.size, h.checkpoint, h.map_entry, "
            f"{', '.join('v.' + c for c in columns.split(', '))}, e.entry"
            f" FROM {source} LEFT JOIN {versions} v ON v.did = {did} AND v.version ="
            f" (SELECT max(version) FROM {versions} WHERE did = {did} AND log_index < h.size)"
            f" LEFT JOIN {entries} e ON e.idx = v.log_index WHERE h.kind = 'served'")


def served_and_last_of(row: Sequence[Any] | None, version_of: Callable[[Sequence[Any]], StoredVersion]
                       ) -> tuple[Head | None, StoredVersion | None, str | None]:
    """What `Store.served_and_last` returns for the row of that statement (None: no row), its
    version's columns read by the engine's `version_of`."""
    if row is None:
        return None, None, None
    return Head(*row[:3]), None if row[3] is None else version_of(row[3:-1]), row[-1]


def held_by_tree(size: int | None) -> str:
    """The condition every read of versions ends with: those that the tree of `size` holds
    (every one when None). The same SQL on every engine."""
    return "" if size is None else f" AND log_index < {int(size)}"


class LogTransaction(Protocol):
    """One write transaction of the log, open while the log writer's work runs: the only way
    anything is written. Reads inside it see what it wrote so far."""

    def head(self) -> Head | None:
        """The log's newest head, locked against every other writer to the end of the transaction."""

    def served(self) -> Head | None:
        """The newest head served (one the witnesses cosigned, when there are witnesses)."""

    def last(self, did: str) -> tuple[StoredVersion, str] | None:
        """The DID's last version and its log entry's text."""

    def lasts(self, dids: Sequence[str]) -> dict[str, tuple[StoredVersion, str]]:
        """`last` of each DID that has a version, read together: a batch asks once."""

    def unlogged(self, limit: int) -> list[StoredVersion]:
        """Up to `limit` versions stored before the log existed and not yet logged, in seq order."""

    def tiles(self, keys: Sequence[tuple[int, int]]) -> list[bytes]:
        """The stored contents of each tile named (level, index), b"" for one never written."""

    def entries(self, start: int, end: int) -> list[str]:
        """The texts of the entries with indices start .. end - 1."""

    def add_version(self, did: str, number: int, new: NewVersion, log_index: int) -> StoredVersion:
        """Stores version `number` of `did`, logged at `log_index`; its seq is the next one."""

    def set_log_index(self, seq: int, log_index: int) -> None:
        """Logs an unlogged version at `log_index`."""

    def add_entries(self, start: int, texts: Sequence[str]) -> None:
        """Appends entries with indices start, start + 1, ..."""

    def put_tiles(self, tiles: dict[tuple[int, int], bytes]) -> None:
        """Writes each tile's new contents (a tile only ever grows)."""

    def set_head(self, head: Head) -> None:
        """Makes `head` the newest head."""

    def set_served(self, head: Head) -> None:
        """Makes `head` the head that answers are given as of."""


class Store(Protocol):
    # True when the store's reads are short enough to run on the server's event loop rather
    # than in a worker thread; a store that does not say so is read in a thread.
    reads_inline: bool

    # The reads of versions take `size`, the tree size of the checkpoint an answer is given as
    # of: only versions whose entries that tree holds count. None: every stored version.

    def last(self, did: str, size: int | None = None) -> StoredVersion | None:
        """The DID's last version, or None when it has none."""

    def version(self, did: str, version: int, size: int | None = None) -> StoredVersion | None:
        """The DID's version with that number, or None."""

    def at_time(self, did: str, version_time: str, size: int | None = None) -> StoredVersion | None:
        """The DID's last version whose version time is not after `version_time`, or None."""

    def log(self, did: str, after: int = 0, limit: int | None = None, size: int | None = None) -> list[StoredVersion]:
        """The DID's versions numbered above `after`, oldest first, at most `limit` of them (all
        when None); empty when there is none."""

    def export(self, after: int, limit: int, size: int | None = None) -> list[StoredVersion]:
        """Up to `limit` versions of any DID with seq > `after`, in seq order."""

    def head(self, *, built: bool = False) -> Head | None:
        """The log's head as served now (with `built`, the newest written, which may still wait
        for its cosignatures); None before there is one."""

    def served_and_last(self, did: str) -> tuple[Head | None, StoredVersion | None, str | None]:
        """The head served now, the DID's last version in its tree and the text of that version's
        log entry, in one read: what a resolution needs first (all None before there is a head)."""

    def entries(self, start: int, end: int) -> list[str]:
        """The texts of the log entries with indices start .. end - 1 (those that exist)."""

    def tiles(self, keys: Sequence[tuple[int, int]]) -> list[bytes]:
        """The stored contents of each tile named (level, index), b"" for one never written; a
        partial tile may have grown past the width a reader needs, which is a prefix of it."""

    def read_together(self, work: Callable[[], _T]) -> _T:
        """`work()`, whose reads of this store may share one connection: an answer's few reads
        then take one connection, not one each. Reads only; `work` may run again from its start."""

    def write(self, work: Callable[[LogTransaction], _T]) -> _T:
        """Runs `work` in one write transaction and commits it when `work` returns; returns
        only after the commit. An exception from `work` rolls everything back and passes on."""

    def cosigning(self, until: float) -> AbstractContextManager[None]:
        """The turn to ask the witnesses, among every server process of the store, waited for
        until `until` (monotonic time) at most. Only a saving: each witness keeps the log
        consistent by itself, so a process that waited in vain asks anyway."""

    def healthy(self) -> bool:
        """True when the storage engine answers a trivial query now."""

    def close(self) -> None:
        """Release every connection."""


@runtime_checkable
class ReadsOnLoop(Protocol):
    """A store whose reads block (`reads_inline` is False) but that can await the first read of a
    resolution on the event loop: the answer is then made there too, unless it needs another read."""

    async def served_and_last_on_loop(self, did: str) -> tuple[Head | None, StoredVersion | None, str | None]:
        """`served_and_last`, awaited; `WouldBlock` when it must be read in a worker thread."""

    def refusing_blocking_reads(self) -> AbstractContextManager[None]:
        """While open, every read of this thread raises `WouldBlock` instead of blocking."""
