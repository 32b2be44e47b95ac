"""The log's side of the benchmark stores: a cached store given its log once, local witnesses for
a registry, and a timed restart of a registry on a large store.

A store filled by bulk SQL (registry_data) has versions but no log; the log writer's start
logs them in batches, as it does for any database made before the log. That is done once, in
place, so the cached file keeps its log (and its `<file>.log-key`) for the next runs.
"""

from __future__ import annotations

import http.client
import json
import random
import secrets
import sqlite3
import statistics
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack, contextmanager
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import psutil

import registry_data as data
import registry_servers as servers
from did_vek import DIDEngine
from did_vek._keyfile import write_secret
from did_vek.registry import log_writer, open_log
from did_vek.registry.log_key import load_log_key, sqlite_key_path
from did_vek.registry.sqlite import SqliteStore
from did_vek.tlog.note import COSIGNATURE_V1, Signer

RESOLUTION = {"Accept": "application/did-resolution"}
# Answers weighed for the proofs' size, and sent over this many connections at once so that
# every worker process answers some (each builds its map at its first answer).
SAMPLED_ANSWERS = 200
SAMPLING_CONNECTIONS = 8


def _unlogged(path: Path) -> int:
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as connection:
        columns = {row[1] for row in connection.execute("PRAGMA table_info(versions)")}
        where = " WHERE log_index IS NULL" if "log_index" in columns else ""  # a store from before the log
        return int(connection.execute(f"SELECT count(*) FROM versions{where}").fetchone()[0])


def entry_count(path: Path) -> int:
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as connection:
        return int(connection.execute("SELECT count(*) FROM log_entries").fetchone()[0])


def logged_store(directory: Path, count: int, batch: int = log_writer.MIGRATION_BATCH) -> tuple[Path, float | None]:
    """The cached SQLite store of `count` DIDs with its log, and the seconds its log took to make
    now (None when the cache had it already). The log writer logs the stored versions `batch` at
    a time (the registry's own start: `log_writer.MIGRATION_BATCH`); every batch recomputes the
    map's changed paths twice, so larger batches make the same kind of log (fewer map entries)
    sooner."""
    path = data.sqlite_store(directory, count)
    if _unlogged(path) == 0:
        return path, None
    started = time.perf_counter()
    store = SqliteStore(str(path))
    usual, log_writer.MIGRATION_BATCH = log_writer.MIGRATION_BATCH, batch
    try:
        open_log(store)
    finally:
        log_writer.MIGRATION_BATCH = usual
        store.close()
    return path, time.perf_counter() - started


@contextmanager
def local_witnesses(directory: Path, db: Path, count: int) -> Iterator[list[tuple[str, str]]]:
    """`count` witnesses of the log of the SQLite registry at `db` (its key made here, where the
    registry will find it), running while inside; their (vkey, URL) pairs."""
    log_vkey = load_log_key(sqlite_key_path(str(db)), create=True).vkey
    peers = []
    with ExitStack() as stack:
        for number in range(count):
            name = f"bench.example/witness-{number}"
            key = directory / f"witness-{number}.key"
            secret = secrets.token_bytes(32).hex()
            write_secret(str(key), secret, replace=False)
            server = stack.enter_context(servers.witness(name, directory, key, log_vkey))
            vkey = Signer(name, DIDEngine.from_secret_key(secret), COSIGNATURE_V1).verifier.vkey
            peers.append((vkey, server.url()))
        yield peers


@dataclass(frozen=True)
class Restart:
    first_answer_seconds: float    # start of the process to the first resolution answered with its proofs
    sampled_seconds: float         # ... to the last of the sampled answers, every worker's map built
    worker_rss_mib: list[float]    # each process of the server, after the sampled answers
    proof_bytes_median: float      # compact JSON of didResolutionMetadata.vekLog
    proof_bytes_max: int

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def _resolve(port: int, did: str, timeout: float) -> dict[str, Any]:
    connection = http.client.HTTPConnection(servers.HOST, port, timeout=timeout)
    try:
        connection.request("GET", f"/1.0/identifiers/{did}", headers=RESOLUTION)
        answer = connection.getresponse()
        body = answer.read()
    finally:
        connection.close()
    if answer.status != 200:
        raise RuntimeError(f"resolution of {did} answered {answer.status}: {body[:300]!r}")
    result: dict[str, Any] = json.loads(body)
    return result


def _proof_bytes(result: dict[str, Any]) -> int:
    proofs = result["didResolutionMetadata"]["vekLog"]
    return len(json.dumps(proofs, separators=(",", ":"), ensure_ascii=False).encode())


def restart(store: Path, workers: int, seed: int = 1) -> Restart:
    """The registry started on `store`, already logged: the time to its first resolution with
    proofs, then a sample of answers over several connections, weighed, and its processes' memory."""
    dids = data.dids(store)
    sample = random.Random(seed).sample(dids, min(SAMPLED_ANSWERS, len(dids)))
    server = servers.registry(str(store), workers)
    started = time.perf_counter()
    with server:
        _resolve(server.port, sample[0], timeout=600)
        first = time.perf_counter() - started
        with ThreadPoolExecutor(SAMPLING_CONNECTIONS) as pool:
            results = list(pool.map(lambda did: _resolve(server.port, did, timeout=600), sample))
        sampled = time.perf_counter() - started
        assert server.process is not None
        processes = [psutil.Process(server.process.pid), *psutil.Process(server.process.pid).children(recursive=True)]
        rss = [process.memory_info().rss / 2**20 for process in processes]
    sizes = [_proof_bytes(result) for result in results]
    return Restart(first, sampled, sorted(rss, reverse=True), statistics.median(sizes), max(sizes))
