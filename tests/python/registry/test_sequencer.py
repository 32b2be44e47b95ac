# The sequencer with witnesses: batches go on being written while a round of cosigning waits,
# and a publish whose wait is over is answered NotCosigned while newer ones wait on.
import asyncio
import threading
import time
from dataclasses import dataclass

from did_vek.registry.sequencer import NotCosigned, Sequencer


@dataclass
class Version:
    log_index: int


@dataclass
class Head:
    size: int


class SlowWitnessesWriter:
    """Logs each version at the next index; its witnesses cosign a size only once told to."""

    def __init__(self):
        self.cosigner, self.size, self.cosigned = object(), 0, 0
        self.batches, self.asked, self.release = [], threading.Event(), threading.Event()

    def append_all(self, items):
        self.batches.append(len(items))
        self.size += len(items)
        return [Version(index) for index in range(self.size - len(items), self.size)]

    def serve(self, covering, deadline):
        self.asked.set()
        self.release.wait(max(0.0, deadline - time.monotonic()))
        if self.release.is_set():
            self.cosigned = self.size
        return Head(self.cosigned) if self.cosigned > covering else None


def test_batches_are_written_while_the_witnesses_are_asked(monkeypatch):
    monkeypatch.setattr("did_vek.registry.sequencer._logged", lambda outcome: outcome.log_index)
    writer = SlowWitnessesWriter()
    sequencer = Sequencer(writer, cosign_wait=5.0)

    async def publish(count):
        return await asyncio.gather(*(sequencer.append(f"did:{n}", None) for n in range(count)))

    async def scenario():
        first = asyncio.ensure_future(publish(1))
        await asyncio.to_thread(writer.asked.wait, 5)
        second = asyncio.ensure_future(publish(3))  # written while the first batch waits
        while sum(writer.batches) < 4:
            await asyncio.sleep(0.01)
        writer.release.set()
        return await first, await second

    first, second = asyncio.run(scenario())
    sequencer.close()
    assert [version.log_index for version in first + second] == [0, 1, 2, 3]


def test_a_batch_past_its_wait_is_not_cosigned(monkeypatch):
    monkeypatch.setattr("did_vek.registry.sequencer._logged", lambda outcome: outcome.log_index)
    writer = SlowWitnessesWriter()
    sequencer = Sequencer(writer, cosign_wait=0.2)

    async def scenario():
        return await asyncio.gather(sequencer.append("did:a", None), return_exceptions=True)

    (outcome,) = asyncio.run(scenario())
    sequencer.close()
    assert isinstance(outcome, NotCosigned)
