"""Times a witness's add-checkpoint on a log of 1,000,000 entries, each call adding a few.

"at the witness": the witness's own time per call, in process: the body read, the log's
signature and the consistency proof checked, the new size held in SQLite (a write transaction,
synchronous=FULL, on disk), the cosignature made. "over HTTP": the same calls to `did-vek
witness` on 127.0.0.1 as a log makes them, one keep-alive connection, the round trip timed.
Median and p99 of each; the goal is a median of at most 2 ms at the witness.

Most of the time is the disk's sync of each commit, and that depends on the state file's age:
while SQLite's write-ahead log still grows (its first few hundred commits) each sync also
writes the file's new size; once the log has reached its size and wraps, a commit overwrites
blocks in place. A witness runs for months, so the timed calls follow `--warmup` calls, and
the first calls of a fresh state file are shown apart ("fresh state"). "in memory" times the
same calls with the state on a tmpfs (/dev/shm), where a sync costs nothing: the witness's own
work apart from the disk's. "disk sync" is the floor, timed between the witness's calls (the
disk of a shared machine is fast one minute and slow the next): 4 KiB written in place beside
the state file and synced (fdatasync), as each commit does once.

    python benchmarks/witness_bench.py [--size 1000000] [--calls 1000] [--warmup 2000] [--growth 16]
"""

import argparse
import base64
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

from did_vek import DIDEngine
from did_vek._keyfile import write_secret
from did_vek.tlog import merkle
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import Signer
from did_vek.witness import Witness, WitnessState

ORIGIN = "bench.example/did-vek"
GOAL_MS = 2.0


def request_bodies(size: int, calls: int, growth: int) -> tuple[Signer, list[bytes]]:
    """The log's requests: its first checkpoint of `size` from 0, then `calls` more, each `growth` larger."""
    log = Signer(ORIGIN, DIDEngine())
    tree = merkle.TreeHashes()
    tree.extend(merkle.leaf_hash(b"v did:vek:bench%d 1\n" % n) for n in range(size + calls * growth))
    sizes = [0, *range(size, size + calls * growth + 1, growth)]
    bodies = []
    for old, new in zip(sizes, sizes[1:]):
        proof = "".join(base64.b64encode(h).decode() + "\n" for h in merkle.consistency_proof(tree, old, new))
        bodies.append(f"old {old}\n{proof}\n{Checkpoint(ORIGIN, new, tree.root(new)).sign(log)}".encode())
    return log, bodies


def timed_calls(call: Callable[[bytes], None], bodies: list[bytes]) -> list[float]:
    """The time of each call after the first, the log's first checkpoint, where the state starts."""
    call(bodies[0])
    times = []
    for body in bodies[1:]:
        start = time.perf_counter()
        call(body)
        times.append(time.perf_counter() - start)
    return times


def in_process(log: Signer, bodies: list[bytes], directory: str) -> tuple[list[float], list[float]]:
    """The time of each call after the first, and of the disk's sync of 4 KiB written in place after each."""
    state = WitnessState(os.path.join(directory, "in-process.sqlite3"))
    floor = os.open(os.path.join(directory, "sync-floor"), os.O_RDWR | os.O_CREAT, 0o600)
    try:
        witness = Witness("bench.example/witness", DIDEngine(), [log.verifier], state)
        witness.add_checkpoint(bodies[0])
        calls, syncs = [], []
        for n, body in enumerate(bodies[1:]):
            start = time.perf_counter()
            witness.add_checkpoint(body)
            calls.append(time.perf_counter() - start)
            start = time.perf_counter()
            os.pwrite(floor, n.to_bytes(4096, "big"), 0)
            os.fdatasync(floor)
            syncs.append(time.perf_counter() - start)
        return calls, syncs
    finally:
        os.close(floor)
        state.close()


def over_http(log: Signer, bodies: list[bytes], directory: str) -> list[float]:
    key = os.path.join(directory, "witness.key")
    write_secret(key, os.urandom(32).hex(), replace=False)
    port = 18000 + os.getpid() % 20000
    server = subprocess.Popen([sys.executable, "-m", "did_vek", "witness", "--name", "bench.example/witness",
                               "--db", os.path.join(directory, "http.sqlite3"), "--key", key,
                               "--log", log.verifier.vkey, "--port", str(port)], stdout=subprocess.DEVNULL)
    try:
        connection = wait_for(port)

        def call(body: bytes) -> None:
            connection.request("POST", "/add-checkpoint", body=body)
            response = connection.getresponse()
            response.read()
            if response.status != 200:
                raise RuntimeError(f"the witness answered {response.status}")

        return timed_calls(call, bodies)
    finally:
        server.terminate()
        server.wait(10)


def wait_for(port: int, timeout: float = 30.0) -> http.client.HTTPConnection:
    deadline = time.monotonic() + timeout
    while True:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            connection.connect()
            return connection
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def report(name: str, times: list[float]) -> float:
    ordered = sorted(times)
    median = statistics.median(ordered) * 1e3
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e3
    print(f"{name:>12}: median {median:.3f} ms, p99 {p99:.3f} ms over {len(times)} calls")
    return median


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="the log's size at the first checkpoint")
    parser.add_argument("--calls", type=int, default=1000, help="timed add-checkpoint calls after it")
    parser.add_argument("--warmup", type=int, default=2000, help="untimed calls before them")
    parser.add_argument("--growth", type=int, default=16, help="entries added between checkpoints")
    args = parser.parse_args()
    started = time.perf_counter()
    log, bodies = request_bodies(args.size, args.warmup + args.calls, args.growth)
    print(f"witness add-checkpoint, log of {args.size:,} entries + {args.growth} a call "
          f"(log built in {time.perf_counter() - started:.1f} s)")
    fresh = min(args.calls, 500)
    with tempfile.TemporaryDirectory(prefix="did-vek-witness-bench-", dir=".") as directory:
        times, syncs = in_process(log, bodies, directory)
        report("fresh state", times[:fresh])
        median = report("at witness", times[args.warmup:])
        floor = report("disk sync", syncs[args.warmup:])
        if os.path.isdir("/dev/shm"):
            with tempfile.TemporaryDirectory(prefix="did-vek-witness-bench-", dir="/dev/shm") as memory:
                report("in memory", in_process(log, bodies, memory)[0][args.warmup:])
        report("over HTTP", over_http(log, bodies, directory)[args.warmup:])
    print(f"goal: median at the witness <= {GOAL_MS} ms: {'met' if median <= GOAL_MS else 'NOT met'} "
          f"({median / floor:.2f} x this disk's sync)")


if __name__ == "__main__":
    main()
