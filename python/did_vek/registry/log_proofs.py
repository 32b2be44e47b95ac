"""The proofs a registry answer carries (its "vekLog"), all against one served head.

Every answer that proves anything shows the log's last entry, the map entry of its last batch,
with its inclusion proof and the DID's map proof (membership, or absence); an answer that serves
a version adds the version's entry and inclusion proof, and the entries of the DID's later
versions, whose `prev` hashes chain it to the one the map names.
"""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

from ..tlog.proof import TlogProof
from .log_view import HeadMoved, LogView
from .store import Head, Store, StoreBusy, StoredVersion, StoreUnavailable

_T = TypeVar("_T")
_R = TypeVar("_R")
# How often an answer starts again when the head moved under it: it moves once per batch.
_ATTEMPTS = 16


class AnswerProofs:
    def __init__(self, store: Store, view: LogView, head: Head, did: str, *,
                 entries: Mapping[int, str] | None = None) -> None:
        self.head = head
        self._store = store
        self._view = view
        self._entries = entries or {}  # texts of entries read already, by index
        self._reader = view.hash_reader(head.size)
        self._map = view.map_proof(head, did)

    def inclusion(self, index: int, entry: str) -> str:
        """The tlog-proof of entry `index` (its text `entry`) in the head's tree."""
        path = tuple(self._view.inclusion_proof(self._reader, index, self.head.size))
        return TlogProof(index, path, self.head.checkpoint, entry.encode()).text

    def map_part(self) -> dict[str, Any]:
        """The map entry of the head's tree, its proof, and the DID's map proof."""
        head = self.head
        return {"mapEntry": head.map_entry,
                "mapProof": self._view.kept_for(head, lambda: self.inclusion(head.size - 1, head.map_entry)),
                "map": self._map.to_json()}

    def of_version(self, version: StoredVersion, later: Sequence[StoredVersion] = ()) -> dict[str, Any]:
        """The vekLog of a resolution that serves `version`, followed by the versions `later`."""
        indices = [_logged(version), *(_logged(after) for after in later)]
        texts = [self.entry(index) for index in indices]
        return {"entry": texts[0], "proof": self.inclusion(indices[0], texts[0]), "chain": texts[1:],
                **self.map_part()}

    def entry(self, index: int) -> str:
        """The text of entry `index`."""
        if (known := self._entries.get(index)) is not None:
            return known
        if (written := self._view.written_entry(index)) is not None:
            return written
        texts = self._store.entries(index, index + 1)
        if not texts:
            raise StoreUnavailable(f"the store has no log entry {index}")
        return texts[0]


_NOT_SERVED = "the log has no served checkpoint yet (its witnesses have cosigned none)"


class NotServedYet(StoreBusy):
    """No checkpoint is served yet: the log's first is still to be made, or to be cosigned."""


def served_head(store: Store, start: Callable[[], Head | None] | None = None) -> Head:
    """The head served now; before there is one, `start` (the log writer's) is asked for it."""
    head = store.head()
    if head is None and start is not None:
        head = start()
    if head is None:
        raise NotServedYet(_NOT_SERVED)
    return head


def as_of_head(store: Store, view: LogView, answer: Callable[[Head], _T],
               start: Callable[[], Head | None] | None = None, first: Head | None = None) -> _T:
    """`answer(head)` for the head served now (or first for `first`, a head known to be served);
    again for a newer head when the map moved past it. Its reads share one connection."""

    def read() -> tuple[Head | None, None]:
        nonlocal first
        head, first = first or store.head(), None
        return head, None

    return _attempts(store, read, lambda head, _: answer(head), start)


def resolved_as_of_head(store: Store, did: str, answer: Callable[[Head, StoredVersion | None, str | None], _T],
                        start: Callable[[], Head | None] | None = None) -> _T:
    """`answer(head, last, entry)` for the head served now, the DID's last version in its tree
    (None when it has none there) and the text of that version's entry, read in one go; as
    `as_of_head` does."""

    def read() -> tuple[Head | None, tuple[StoredVersion | None, str | None]]:
        head, last, entry = store.served_and_last(did)
        return head, (last, entry)

    return _attempts(store, read, lambda head, found: answer(head, *found), start)


def _attempts(store: Store, read: Callable[[], tuple[Head | None, _R]], answer: Callable[[Head, _R], _T],
              start: Callable[[], Head | None] | None) -> _T:
    def attempts() -> _T:
        for _ in range(_ATTEMPTS):
            head, also = read()
            if head is None:
                raise NotServedYet(_NOT_SERVED)
            try:
                return answer(head, also)
            except HeadMoved:
                continue
        raise StoreUnavailable(f"the log's head moved {_ATTEMPTS} times during one answer")

    try:
        return store.read_together(attempts)
    except NotServedYet:
        # The writer is asked outside the shared connection: it writes on one of its own, and
        # answers that each held one connection while waiting for another could exhaust a pool.
        if start is None or start() is None:
            raise
        return store.read_together(attempts)


def _logged(version: StoredVersion) -> int:
    if version.log_index is None:
        raise StoreUnavailable(f"{version.did} version {version.version} is not in the log")
    return version.log_index
