"""Throughput at 1 and 2 threads, and how long a long signature stalls another thread.

Both are measured in wall-clock time, since what they show is whether the work of one
thread overlaps with that of another: in CPU time, one thread's waiting would not count.
"""

from __future__ import annotations

import statistics
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field

BATCH = 16  # calls between two looks at the clock


def operations_per_second(call: Callable[[], object], threads: int, seconds: float) -> float:
    """Total calls per second of `threads` threads calling `call` for about `seconds`."""
    start, counts, deadline = threading.Barrier(threads + 1), [0] * threads, [0.0]

    def worker(index: int) -> None:
        start.wait()
        done = 0
        while time.perf_counter() < deadline[0]:
            for _ in range(BATCH):
                call()
            done += BATCH
        counts[index] = done

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for worker_thread in workers:
        worker_thread.start()
    began = time.perf_counter()
    deadline[0] = began + seconds
    start.wait()
    for worker_thread in workers:
        worker_thread.join()
    return sum(counts) / (time.perf_counter() - began)


@dataclass
class Scaling:
    operation: str
    library: str
    call: Callable[[], object]
    samples: dict[int, list[float]] = field(default_factory=lambda: {1: [], 2: []})

    def median(self, threads: int) -> float:
        return statistics.median(self.samples[threads])


def measure_scaling(cases: list[Scaling], rounds: int, seconds: float) -> None:
    """Interleaves every case at 1 and 2 threads, round by round."""
    for case in cases:  # warm-up
        case.call()
    for _ in range(rounds):
        for case in cases:
            for threads in (1, 2):
                case.samples[threads].append(operations_per_second(case.call, threads, seconds))


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
    lines = ["| operation | library | 1 thread | 2 threads | 2 / 1 |", "|---|---|--:|--:|--:|"]
    for case in cases:
        one, two = case.median(1), case.median(2)
        lines.append(f"| {case.operation} | {case.library} | {one:,.0f} /s | {two:,.0f} /s | {two / one:.2f} |")
    return "\n".join(lines)
