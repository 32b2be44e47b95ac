"""What the registry keeps, and the interface every storage engine implements.

A store holds, per DID, the versions 1, 2, ... n that the registry accepted, and numbers every
accepted version registry-wide (`seq`) in acceptance order for export. It knows nothing of the
rules a version must pass: `append` hands the last stored version to a `decide` callable inside
the transaction that will insert, so the rules are checked against the version the new one
actually follows, whatever other writers do at the same time.
"""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Protocol


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


Decide = Callable[[StoredVersion | None], NewVersion]


class Store(Protocol):
    # True when the store's reads are short enough to run on the server's event loop rather
    # than in a worker thread; a store that does not say so is read in a thread.
    reads_inline: bool

    def last(self, did: str) -> StoredVersion | None:
        """The DID's last version, or None when it has none."""

    def version(self, did: str, version: int) -> StoredVersion | None:
        """The DID's version with that number, or None."""

    def at_time(self, did: str, version_time: str) -> StoredVersion | None:
        """The DID's last version whose version time is not after `version_time`, or None."""

    def log(self, did: str, after: int = 0, limit: int | None = None) -> list[StoredVersion]:
        """The DID's versions numbered above `after`, oldest first, at most `limit` of them (all
        when None); empty when there is none."""

    def export(self, after: int, limit: int) -> list[StoredVersion]:
        """Up to `limit` versions of any DID with seq > `after`, in seq order."""

    def append(self, did: str, decide: Decide) -> StoredVersion:
        """Run `decide(last)` and store what it returns as version last+1, in one transaction.

        Returns only after the commit. `decide` may raise `Refused` or `AlreadyStored`, which
        pass through with nothing stored. When another writer takes the same version number
        first, the store runs `decide` again against the new last version.
        """

    def healthy(self) -> bool:
        """True when the storage engine answers a trivial query now."""

    def close(self) -> None:
        """Release every connection."""
