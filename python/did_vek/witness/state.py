"""What a witness holds: for each log origin, the size and root of the newest checkpoint it
cosigned, in SQLite.

The check of a request against the held size and the write of the new size are one
transaction, taken for writing before the held row is read: two requests for one log can never
both pass a check against the same held size, whatever process or thread they run in, and the
size goes to disk (synchronous=FULL) before any cosignature of it is made. A witness killed at
any point holds either the old size or the new one, never a size it did not check.
"""

import sqlite3
import threading
from collections.abc import Callable
from dataclasses import dataclass

from ..tlog.merkle import EMPTY_ROOT

# Without a rowid the row lives in one B-tree, the origin's: a commit writes one page, not two.
_SCHEMA = ("CREATE TABLE IF NOT EXISTS checkpoints (origin TEXT PRIMARY KEY, size INTEGER NOT NULL, root BLOB NOT NULL)"
           " WITHOUT ROWID")


@dataclass(frozen=True)
class Held:
    size: int
    root: bytes


# Before its first cosignature for a log, a witness holds the empty tree.
NOTHING_HELD = Held(0, EMPTY_ROOT)


class WitnessState:
    def __init__(self, path: str) -> None:
        # Autocommit: the transactions are begun here, explicitly, as writes.
        self._db = sqlite3.connect(path, isolation_level=None, check_same_thread=False, timeout=10.0)
        self._lock = threading.Lock()
        try:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=FULL")
            self._db.execute(_SCHEMA)
        except sqlite3.Error:
            self._db.close()
            raise

    def held(self, origin: str) -> Held:
        with self._lock:
            return self._read(origin)

    def advance(self, origin: str, new: Held, check: Callable[[Held], None]) -> None:
        """Hold `new` for `origin` if `check` of what is held raises nothing; all or nothing."""
        with self._lock:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                held = self._read(origin)
                check(held)
                if new != held:
                    self._db.execute("INSERT INTO checkpoints (origin, size, root) VALUES (?, ?, ?) "
                                     "ON CONFLICT (origin) DO UPDATE SET size = excluded.size, root = excluded.root",
                                     (origin, new.size, new.root))
                self._db.execute("COMMIT")
            except BaseException:
                # A failed COMMIT may already have ended the transaction.
                if self._db.in_transaction:
                    self._db.execute("ROLLBACK")
                raise

    def _read(self, origin: str) -> Held:
        row = self._db.execute("SELECT size, root FROM checkpoints WHERE origin = ?", (origin,)).fetchone()
        return NOTHING_HELD if row is None else Held(int(row[0]), bytes(row[1]))

    def close(self) -> None:
        with self._lock:
            self._db.close()
