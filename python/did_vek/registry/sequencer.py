"""Group commit: the publishes that arrive while a batch is written go into the next one.

One thread per server process writes batches, one after another, each in one transaction with
one signature and one flush to disk, however many versions it holds. A publish waits for the
batch that holds its version; an answer given then is as of a head that covers it.

With witnesses, a second thread waits for their cosignatures while the first writes on: the
batches written during one round of the witnesses are served by the next, so a round's time
makes batches larger, not fewer.
"""

import asyncio
import concurrent.futures
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass

from .log_writer import LogWriter, Outcome
from .store import AlreadyStored, Decide, StoreBusy, StoredVersion, StoreUnavailable

# Versions per batch: a batch of this many documents of the largest size is 16 MiB.
MAX_BATCH = 256
# How long a publish waits for the witnesses to cosign a checkpoint that holds its version.
COSIGN_WAIT_SECONDS = 5.0


class NotCosigned(StoreBusy):
    """The version is in the log, but no checkpoint that holds it has its witnesses' quorum yet."""

_Item = tuple[str, Decide, "concurrent.futures.Future[Outcome]"]


@dataclass(frozen=True)
class _Written:
    """A batch in the log, its answers waiting for a served head that covers it."""
    items: Sequence[_Item]
    outcomes: list[Outcome]
    deadline: float  # monotonic time after which its answer is NotCosigned


class Sequencer:
    def __init__(self, writer: LogWriter, *, max_batch: int = MAX_BATCH, cosign_wait: float | None = None) -> None:
        self._writer = writer
        self._max_batch = max_batch
        self._cosign_wait = COSIGN_WAIT_SECONDS if cosign_wait is None else cosign_wait
        self._queue: list[_Item] = []
        self._ready = threading.Condition()
        self._thread: threading.Thread | None = None
        self._closed = False
        self._written: list[_Written] = []
        self._written_ready = threading.Condition()
        self._serving: threading.Thread | None = None
        self._writing_done = False

    async def append(self, did: str, decide: Decide) -> StoredVersion:
        """The version `decide` makes, once its batch is committed; `Refused` or `AlreadyStored`
        as `decide` raised them, `StoreUnavailable` (or `StoreBusy`) when the batch failed."""
        future: concurrent.futures.Future[Outcome] = concurrent.futures.Future()
        with self._ready:
            if self._closed:
                raise StoreUnavailable("the registry is shutting down")
            self._queue.append((did, decide, future))
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="did-vek-sequencer", daemon=True)
                self._thread.start()
            self._ready.notify()
        outcome = await asyncio.wrap_future(future)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    def close(self) -> None:
        """Writes what is queued, then stops the thread."""
        with self._ready:
            self._closed = True
            self._ready.notify()
            thread = self._thread
        if thread is not None:
            thread.join()
        with self._written_ready:
            self._writing_done = True
            self._written_ready.notify()
            serving = self._serving
        if serving is not None:
            serving.join()

    def _run(self) -> None:
        while True:
            with self._ready:
                while not self._queue and not self._closed:
                    self._ready.wait()
                if not self._queue:
                    return
                batch, self._queue = self._queue[:self._max_batch], self._queue[self._max_batch:]
            self._write(batch)

    def _write(self, batch: Sequence[_Item]) -> None:
        try:
            outcomes = self._writer.append_all([(did, decide) for did, decide, _ in batch])
        except Exception as error:
            for _, _, future in batch:
                future.set_exception(error)
            return
        if self._writer.cosigner is None:
            # Without witnesses a batch's head is served in the transaction that writes it.
            for (_, _, future), outcome in zip(batch, outcomes, strict=True):
                future.set_result(outcome)
            return
        with self._written_ready:
            self._written.append(_Written(batch, outcomes, time.monotonic() + self._cosign_wait))
            if self._serving is None:
                self._serving = threading.Thread(target=self._serve_written, name="did-vek-cosigning", daemon=True)
                self._serving.start()
            self._written_ready.notify()

    def _serve_written(self) -> None:
        while True:
            with self._written_ready:
                while not self._written and not self._writing_done:
                    self._written_ready.wait()
                if not self._written:
                    return
                written, self._written = self._written, []
            waiting = self._answer(written)
            with self._written_ready:
                self._written[:0] = waiting

    def _answer(self, written: Sequence[_Written]) -> list[_Written]:
        """Answers each batch of `written` that a served head covers or whose time is up; the others."""
        logged = [[_logged(outcome) for outcome in batch.outcomes] for batch in written]
        covering = max((index for indices in logged for index in indices if index is not None), default=-1)
        try:
            served = (self._writer.serve(covering, min(batch.deadline for batch in written))
                      if covering >= 0 else None)
        except Exception as error:
            served, failure = None, error
        else:
            failure = NotCosigned(f"the version is logged, but the witnesses have not cosigned a checkpoint that"
                                  f" holds it within {self._cosign_wait:g} s; send it again")
        now, waiting = time.monotonic(), []
        for batch, indices in zip(written, logged, strict=True):
            covered = [index is None or (served is not None and served.size > index) for index in indices]
            if not all(covered) and batch.deadline > now and isinstance(failure, NotCosigned):
                waiting.append(batch)  # still within its wait: asked for with the next round
                continue
            for (_, _, future), outcome, done in zip(batch.items, batch.outcomes, covered, strict=True):
                if done:
                    future.set_result(outcome)
                else:
                    future.set_exception(failure)
        return waiting


def _logged(outcome: Outcome) -> int | None:
    """The log index of the version an outcome names, or None for a refusal."""
    version = outcome.stored if isinstance(outcome, AlreadyStored) else outcome
    return version.log_index if isinstance(version, StoredVersion) else None
