"""Throughput at 1 and 2 threads, and how long a long signature stalls another thread.

Both are measured in wall-clock time, since what they show is whether the work of one
thread overlaps with that of another: in CPU time, one thread's waiting would not count.
"""

from __future__ import annotations

import multiprocessing
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field

from ratios import paired_ratio


def batch_size(call: Callable[[], object], seconds: float = 0.0005) -> int:
    """How many calls take about `seconds`: the calls between two looks at the clock, few
    enough that no thread runs on long after the others have stopped."""
    began = time.perf_counter()
    call()
    return max(1, int(seconds / max(time.perf_counter() - began, 1e-9)))


def calls_until(deadline: float, call: Callable[[], object], batch: int) -> int:
    """Calls `call` in batches of `batch` until `deadline` (perf_counter) has passed."""
    done = 0
    while time.perf_counter() < deadline:
        for _ in range(batch):
            call()
        done += batch
    return done


def operations_per_second(call: Callable[[], object], threads: int, seconds: float, batch: int) -> float:
    """Total calls per second of `threads` threads calling `call` for about `seconds`."""
    start, counts, deadline = threading.Barrier(threads + 1), [0] * threads, [0.0]

    def worker(index: int) -> None:
        start.wait()
        counts[index] = calls_until(deadline[0], call, batch)

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for worker_thread in workers:
        worker_thread.start()
    began = time.perf_counter()
    deadline[0] = began + seconds
    start.wait()
    for worker_thread in workers:
        worker_thread.join()
    return sum(counts) / (time.perf_counter() - began)


def processes_per_second(call: Callable[[], object], processes: int, seconds: float, batch: int) -> float:
    """Total calls per second of `processes` forked copies of this process calling `call`:
    what the cores give this work when nothing at all is shared, the ceiling for threads."""
    context = multiprocessing.get_context("fork")  # the children inherit `call` as it is
    start, results = context.Barrier(processes + 1), context.SimpleQueue()

    def child() -> None:
        start.wait()
        began = time.perf_counter()
        done = calls_until(began + seconds, call, batch)
        results.put(done / (time.perf_counter() - began))

    children = [context.Process(target=child) for _ in range(processes)]
    for process in children:
        process.start()
    start.wait()
    rates = [results.get() for _ in children]
    for process in children:
        process.join()
    return sum(rates)


@dataclass
class Scaling:
    operation: str
    library: str
    call: Callable[[], object]
    samples: dict[int, list[float]] = field(default_factory=lambda: {1: [], 2: []})
    process_samples: dict[int, list[float]] = field(default_factory=lambda: {1: [], 2: []})

    def best(self, threads: int) -> float:
        """The highest throughput of the rounds, as the table shows it. Other work on the
        machine can only slow a run down, never speed it up, so the best run is the closest to
        what the calls themselves allow (the reasoning behind timeit's minimum)."""
        return max(self.samples[threads])

    # The gains are medians of each round's own gain: the 1- and 2-thread runs of a round are
    # moments apart, while the best of each over all rounds may come from minutes in which the
    # machine (two shared cores) gave one of them more than the other.
    def speedup(self) -> float:
        return paired_ratio(self.samples[2], self.samples[1])

    def process_speedup(self) -> float | None:
        samples = self.process_samples
        return paired_ratio(samples[2], samples[1]) if samples[1] else None


def measure_scaling(cases: list[Scaling], rounds: int, seconds: float, with_processes: str = "ours") -> None:
    """Interleaves every case at 1 and 2 threads, round by round; the cases of the library
    `with_processes` also at 1 and 2 processes."""
    batches = [batch_size(case.call) for case in cases]  # the first call also warms up
    for _ in range(rounds):
        for case, batch in zip(cases, batches):
            for threads in (1, 2):
                case.samples[threads].append(operations_per_second(case.call, threads, seconds, batch))
                if case.library == with_processes:
                    case.process_samples[threads].append(processes_per_second(case.call, threads, seconds, batch))


def longest_stall(work: Callable[[], object], tick: float = 0.001) -> float:
    """The longest time beyond `tick` that a thread sleeping `tick` at a time waited while
    another thread ran `work`."""
    stop, gaps = threading.Event(), []

    def ticker() -> None:
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(tick)
            now = time.perf_counter()
            gaps.append(now - last - tick)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.05)
        work()
    finally:
        stop.set()
        thread.join()
    return max(gaps)


def scaling_table(cases: list[Scaling]) -> str:
    lines = ["| operation | library | 1 thread | 2 threads | 2 / 1 | 2 processes / 1 |", "|---|---|--:|--:|--:|--:|"]
    for case in cases:
        processes = case.process_speedup()
        lines.append(f"| {case.operation} | {case.library} | {case.best(1):,.0f} /s | {case.best(2):,.0f} /s "
                     f"| {case.speedup():.2f} | {'-' if processes is None else f'{processes:.2f}'} |")
    return "\n".join(lines)
