"""Writing the log: each batch of versions, their entries, the map entry that closes the batch,
the tiles and the signed checkpoint, in one transaction of the store.

Whoever holds the store's write transaction is the log's one writer for that batch: the head is
read and locked at its start, so two writers (threads, processes, machines on one database)
can never extend the same head, and a writer whose transaction the database ended (its process
froze, say, and the database gave up on it) writes nothing at all. Each version is judged by
`decide` against the version it will follow, which may be earlier in the same batch.
"""

import time
from collections.abc import Sequence
from dataclasses import dataclass

from ..tlog import merkle
from ..tlog.checkpoint import Checkpoint, open_checkpoint
from ..tlog.dmap import map_key
from ..tlog.entries import GENESIS, VersionEntry, document_hash
from ..tlog.errors import FormatError, InvalidProof
from ..tlog.tiles import Tile, TileHashReader, grow_tiles
from .cosigning import WITNESS_TIMEOUT, Cosigner
from .log_key import LogKey, LogKeyError, log_key_for
from .log_view import LogView
from .store import AlreadyStored, Decide, Head, LogTransaction, NewVersion, Refused, Store, StoredVersion

# Versions stored before the log existed, logged per batch when the log is made: each batch
# rehashes the map, so fewer and larger batches make a large store's first start shorter.
MIGRATION_BATCH = 16384
# How often the witnesses are asked again while a head waits for their cosignatures.
COSIGN_RETRY_SECONDS = 0.5

Outcome = StoredVersion | Refused | AlreadyStored


@dataclass(frozen=True)
class _Last:
    version: StoredVersion
    leaf: bytes


class LogWriter:
    """Writes batches to the log of `store`, signed with `key`; with a `cosigner`, a head is
    served only once the witnesses' quorum cosigned it (see `serve`), else as it is written."""

    def __init__(self, store: Store, key: LogKey, view: LogView, cosigner: Cosigner | None = None) -> None:
        self.store = store
        self.key = key
        self.view = view
        self.cosigner = cosigner
        # The head of this writer's last batch, once committed and served (without witnesses).
        self.served_last: Head | None = None
        # Set once this writer found no version left unlogged: from then on every version is
        # stored by a log writer, logged in the same transaction.
        self._migrated = False

    def start(self) -> Head | None:
        """Makes the log's first checkpoint when there is none, logs every version stored before
        the log existed, and checks that the log is this key's; the head served then (None
        while the witnesses have cosigned none)."""
        head = self.store.write(self._open)
        while (moved := self.store.write(lambda transaction: self._log_unlogged(transaction, MIGRATION_BATCH)))[1]:
            head = moved[0]
        self._migrated = True
        try:
            open_checkpoint(head.checkpoint, [self.key.signer.verifier])
        except (FormatError, InvalidProof):
            raise LogKeyError(f"the log in this database is not signed as {self.key.vkey}: start it with the"
                              " log key and origin it was made with") from None
        return self.serve(head.size - 1, time.monotonic())

    def serve(self, covering: int, deadline: float) -> Head | None:
        """The served head once it holds entry `covering`, or None if it still does not at
        `deadline` (monotonic time). With witnesses, the newest head is sent to them meanwhile."""
        while True:
            served = self.store.head()
            if served is not None and served.size > covering:
                return served
            if self.cosigner is None:
                return served
            # One process at a time asks, for the newest head: a process that waited its turn
            # mostly finds its versions served already, and the witnesses are asked once, not
            # once per process with all but one answered "409: I hold another size".
            with self.store.cosigning(until=min(deadline, time.monotonic() + WITNESS_TIMEOUT)):
                served = self.store.head()
                if served is not None and served.size > covering:
                    return served
                if served is not None:
                    self.cosigner.learn(served)
                built = self.store.head(built=True)
                if built is not None and built.size > covering:
                    cosigned = self.cosigner.cosign(built)
                    if cosigned is not None:
                        self.store.write(lambda transaction: _serve(transaction, Head(built.size, cosigned,
                                                                                      built.map_entry)))
                        continue
            if time.monotonic() >= deadline:
                return None
            time.sleep(COSIGN_RETRY_SECONDS)

    def append(self, did: str, decide: Decide) -> StoredVersion:
        """One version, alone in its batch; `Refused` and `AlreadyStored` are raised."""
        outcome = self.append_all([(did, decide)])[0]
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    def append_all(self, items: Sequence[tuple[str, Decide]]) -> list[Outcome]:
        """Judges and logs each (did, decide) in order, as one batch; the outcome of each."""
        written: list[tuple[Head, Head, list[str], list[bytes]]] = []
        outcomes = self.store.write(lambda transaction: self._batch(transaction, items, written))
        for before, after, texts, leaves in written:  # committed: the answers about them prove from memory
            self.view.keep_written(before.size, texts, leaves)
            if self.cosigner is None:
                self.served_last = after
        return outcomes

    def _open(self, transaction: LogTransaction) -> Head:
        head = transaction.head()
        return head if head is not None else self._extend(transaction, Head(0, "", ""), [], {})

    def _log_unlogged(self, transaction: LogTransaction, limit: int) -> tuple[Head, bool]:
        head = self._head(transaction)
        versions = transaction.unlogged(limit)
        if not versions:
            return head, False
        latest: dict[str, bytes] = {}
        texts: list[str] = []
        for version in versions:
            previous = latest.get(version.did)
            if previous is None and version.version > 1:
                found = transaction.last(version.did)  # the last one logged, by the join with the log
                if found is None or found[0].version != version.version - 1:
                    raise RuntimeError(f"{version.did} version {version.version} follows no logged version")
                previous = merkle.leaf_hash(found[1].encode())
            entry = VersionEntry(version.did, version.version, document_hash(version.signed), previous)
            transaction.set_log_index(version.seq, head.size + len(texts))
            texts.append(entry.text)
            latest[version.did] = entry.leaf_hash
        return self._extend(transaction, head, texts, {map_key(did): leaf for did, leaf in latest.items()}), True

    def _batch(self, transaction: LogTransaction, items: Sequence[tuple[str, Decide]],
               written: list[tuple[Head, Head, list[str], list[bytes]]]) -> list[Outcome]:
        head = self._head(transaction)
        while not self._migrated and (moved := self._log_unlogged(transaction, MIGRATION_BATCH))[1]:
            head = moved[0]  # a version stored before the log is never followed unlogged
        latest = {did: _Last(version, merkle.leaf_hash(entry.encode()))
                  for did, (version, entry) in transaction.lasts(list(dict.fromkeys(did for did, _ in items))).items()}
        outcomes: list[Outcome] = []
        texts: list[str] = []
        for did, decide in items:
            last = latest.get(did)
            try:
                new = decide(None if last is None else last.version)
            except (Refused, AlreadyStored) as verdict:
                outcomes.append(verdict)
                continue
            number = 1 if last is None else last.version.version + 1
            entry = VersionEntry(did, number, document_hash(new.signed), None if last is None else last.leaf)
            stored = transaction.add_version(did, number, new, head.size + len(texts))
            texts.append(entry.text)
            latest[did] = _Last(stored, entry.leaf_hash)
            outcomes.append(stored)
        if texts:
            self._extend(transaction, head, texts, {map_key(did): last.leaf for did, last in latest.items()},
                         written)
        return outcomes

    @staticmethod
    def _head(transaction: LogTransaction) -> Head:
        head = transaction.head()
        if head is None:
            raise RuntimeError("the log has no checkpoint yet: start the log writer first")
        return head

    def _extend(self, transaction: LogTransaction, head: Head, texts: list[str], changes: dict[bytes, bytes],
                written: list[tuple[Head, Head, list[str], list[bytes]]] | None = None) -> Head:
        """Appends `texts` (version entries), then the map entry after `changes`, then signs the
        tree; adds (head before, head after, entry texts, their leaf hashes) to `written`."""
        map_entry = (GENESIS if head.size == 0
                     else self.view.root_with(head, transaction.served(), transaction.entries, changes))
        texts = [*texts, map_entry.text]
        leaves = [merkle.leaf_hash(text.encode()) for text in texts]
        tiles = grow_tiles(head.size, transaction.tiles, leaves)
        size = head.size + len(texts)

        def read_tiles(wanted: Sequence[Tile]) -> list[bytes]:
            stored = transaction.tiles([(tile.level, tile.index) for tile in wanted
                                        if (tile.level, tile.index) not in tiles])
            contents = []
            for tile in wanted:
                data = tiles.get((tile.level, tile.index)) or stored.pop(0)
                contents.append(data[:tile.width * merkle.HASH_SIZE])
            return contents

        root = merkle.root(self.view.known_first(TileHashReader(size, read_tiles)), size)
        new_head = Head(size, Checkpoint(self.key.origin, size, root).sign(self.key.signer), map_entry.text)
        transaction.add_entries(head.size, texts)
        transaction.put_tiles(tiles)
        transaction.set_head(new_head)
        if self.cosigner is None:
            transaction.set_served(new_head)
        if written is not None:
            written.append((head, new_head, texts, leaves))
        return new_head


def _serve(transaction: LogTransaction, head: Head) -> None:
    served = transaction.served()
    if served is None or served.size < head.size:  # never back to a smaller tree
        transaction.set_served(head)


def open_log(store: Store, log_key: "str | LogKey | None" = None, origin: str | None = None,
             cosigner: Cosigner | None = None) -> LogWriter:
    """The log writer of the registry on `store`, started (see `LogWriter.start`); the key as
    `log_key_for` finds it when `log_key` is not one."""
    key = log_key if isinstance(log_key, LogKey) else log_key_for(store, log_key, origin)
    writer = LogWriter(store, key, LogView(store), cosigner)
    writer.start()
    return writer


__all__ = ["LogWriter", "NewVersion", "Outcome", "MIGRATION_BATCH", "open_log"]
