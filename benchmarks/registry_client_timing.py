"""Timings that need no load generator: what a client's `resolve` adds to the work it cannot skip,
how fast `verify_document` alone gets through the documents a publish run sends, and how long
a store takes to commit a version durably."""

from __future__ import annotations

import asyncio
import http.client
import json
import random
import statistics
import threading
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any
from urllib.parse import urlsplit

import did_vek

from did_vek.registry import open_log
from did_vek.registry.store import NewVersion, Store
from registry_data import Row, engine_for


def ten_versions(count: int = 10) -> tuple[str, list[str]]:
    """A DID and `count` valid versions of it, a minute apart, the newest a minute ago; each adds a service."""
    engine = engine_for("client", 0)
    did = engine.create_did_from_key()
    start = datetime.now(timezone.utc) - timedelta(minutes=count + 1)
    created = start.strftime("%Y-%m-%dT%H:%M:%SZ")
    versions = []
    for number in range(count):
        builder = did_vek.DIDDocumentBuilder(did)
        builder.add_verification_method("key-1", engine.public_key)
        builder.add_assertion_method("key-1")
        for service in range(number):
            builder.add_consent_service(f"https://consent.example/{service}")
        document = json.loads(builder.build())
        document["created"] = created
        document["updated"] = (start + timedelta(minutes=number)).strftime("%Y-%m-%dT%H:%M:%SZ")
        versions.append(did_vek.sign_document(engine, json.dumps(document), key_id="key-1"))
    return did, versions


@dataclass(frozen=True)
class ClientTiming:
    resolve: float        # RegistryClient.resolve, median seconds
    round_trip: float     # GET /dids/{did}/log over a kept-alive connection, body read
    verifications: float  # verify_document of each version
    rounds: int

    @property
    def ratio(self) -> float:
        return self.resolve / (self.round_trip + self.verifications)


def client_resolve(url: str, did: str, versions: list[str], rounds: int) -> ClientTiming:
    """Medians of interleaved rounds, so that a noisy moment slows all three alike."""
    parts = urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname or "127.0.0.1", parts.port or 80, timeout=10)
    resolve, round_trip, verify = [], [], []
    with did_vek.RegistryClient(url) as client:
        client.resolve(did)  # opens the client's connection, as the raw one is opened below
        _fetch_log(connection, did)
        for _ in range(rounds):
            started = time.perf_counter()
            resolution = client.resolve(did)
            resolve.append(time.perf_counter() - started)

            started = time.perf_counter()
            _fetch_log(connection, did)
            round_trip.append(time.perf_counter() - started)

            started = time.perf_counter()
            for version in versions:
                did_vek.verify_document(version, did=did)
            verify.append(time.perf_counter() - started)
    connection.close()
    if resolution.version_id != str(len(versions)):
        raise RuntimeError(f"the client resolved version {resolution.version_id}, not {len(versions)}")
    return ClientTiming(statistics.median(resolve), statistics.median(round_trip), statistics.median(verify), rounds)


def _fetch_log(connection: http.client.HTTPConnection, did: str) -> bytes:
    connection.request("GET", f"/dids/{did}/log")
    answer = connection.getresponse()
    body = answer.read()
    if answer.status != 200:
        raise RuntimeError(f"GET /dids/{did}/log answered {answer.status}: {body[:200]!r}")
    return body


def verify_throughput(documents: list[str], threads: int) -> float:
    """Documents per second that `threads` threads verify, each its share, wall-clock time."""
    shares = [documents[start::threads] for start in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def work(share: list[str]) -> None:
        barrier.wait()
        for document in share:
            did_vek.verify_document(document)

    workers = [threading.Thread(target=work, args=(share,)) for share in shares]
    for worker in workers:
        worker.start()
    barrier.wait()
    started = time.perf_counter()
    for worker in workers:
        worker.join()
    return len(documents) / (time.perf_counter() - started)


def append_seconds(store: Store, rows: list[Row], log_key: str | None = None) -> float:
    """Median time of the log writer's append of each row as a DID's first version, alone in its
    batch, one after another in one thread: the commit that every publish waits for (the version,
    its log entry, the map entry and the signed checkpoint), without HTTP or checks."""
    log = open_log(store, log_key)
    timings = []
    for row in rows:
        new = NewVersion(version_time=row.version_time, created=row.created, signed=row.signed, deactivates=False)
        started = time.perf_counter()
        log.append(row.did, lambda last: new)
        timings.append(time.perf_counter() - started)
    store.close()
    return statistics.median(timings)


def asgi_resolve_seconds(db: str, dids: list[str], count: int = 20_000, seed: int = 1) -> float:
    """Mean time of the registry application answering a resolution of a random DID, called as
    ASGI in this process: the server's own work without HTTP, sockets or a load generator, whose
    noise on a shared machine can hide how the work grows with the store."""
    from did_vek.registry import create_app

    draw = random.Random(seed)
    sample = [draw.choice(dids) for _ in range(count)]
    app = create_app(db)
    statuses: list[int] = []

    async def receive() -> dict[str, Any]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message: dict[str, Any]) -> None:
        if message["type"] == "http.response.start":
            statuses.append(message["status"])

    def scope(did: str) -> dict[str, Any]:
        path = f"/1.0/identifiers/{did}"
        return {"type": "http", "method": "GET", "path": path, "raw_path": path.encode(), "query_string": b"",
                "headers": [(b"accept", b"application/did-resolution")], "root_path": "",
                "http_version": "1.1", "scheme": "http", "server": ("127.0.0.1", 80), "client": ("127.0.0.1", 1)}

    async def run(dids: list[str]) -> float:
        started = time.perf_counter()
        for did in dids:
            await app(scope(did), receive, send)
        return time.perf_counter() - started

    asyncio.run(run(sample[:2_000]))  # warm the store's connection and caches
    seconds = asyncio.run(run(sample))
    if set(statuses) != {200}:
        raise RuntimeError(f"resolution answered {sorted(set(statuses))}, not only 200")
    return seconds / count
