"""Stores full of DIDs for the registry benchmarks, made without going through HTTP.

Publishing a million signed versions one request at a time would take longer than the
benchmarks themselves, so the rows are written straight into the store's table: each DID is
key-derived and its one version is what `DIDEngine.create_document` signs, exactly what a
publish of version 1 would have stored. Keys come from a counter through SHA-256, so the
n-th DID is the same in every run. Signing runs on every core; the SQLite file of the largest
count is kept under build/bench/ and smaller stores are cut from it.
"""

from __future__ import annotations

import hashlib
import json
import multiprocessing
import os
import sqlite3
from collections.abc import Iterator
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path

import did_vek
from did_vek._resolution import document_metadata, resolution_result
from did_vek._view import view_of
from did_vek.registry.sqlite import SqliteStore

# A batch is signed by one worker process and inserted in one statement.
_BATCH = 5_000
_TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
_VERSION_COLUMNS = "seq, did, version, version_time, created, signed, deactivates"


@dataclass(frozen=True)
class Row:
    """One stored version, in the columns every store keeps."""
    did: str
    version: int
    version_time: str
    created: str
    signed: str


def engine_for(label: str, number: int) -> did_vek.DIDEngine:
    """The engine of the `number`-th DID of a set: the same key in every run."""
    secret = hashlib.sha256(f"did-vek bench {label} {number}".encode()).hexdigest()
    return did_vek.DIDEngine.from_secret_key(secret)


def _first_versions(numbers: range) -> list[tuple[str, int, str, str, str, int]]:
    rows = []
    for number in numbers:
        engine = engine_for("resolve", number)
        did = engine.create_did_from_key()
        signed = engine.create_document(did)
        updated = json.loads(signed)["document"]["updated"]
        rows.append((did, 1, updated, updated, signed, 0))
    return rows


def _batches(count: int) -> Iterator[range]:
    for start in range(0, count, _BATCH):
        yield range(start, min(start + _BATCH, count))


def _insert(connection: sqlite3.Connection, rows: list[tuple[str, int, str, str, str, int]]) -> None:
    connection.executemany("INSERT INTO versions (did, version, version_time, created, signed, deactivates)"
                           " VALUES (?, ?, ?, ?, ?, ?)", rows)


def _empty_store(path: Path) -> sqlite3.Connection:
    """A new SQLite store at `path`: its table made by the store itself, so the schema is the one it serves."""
    for leftover in (path, Path(f"{path}-wal"), Path(f"{path}-shm")):
        leftover.unlink(missing_ok=True)
    store = SqliteStore(str(path))
    store.healthy()
    store.close()
    connection = sqlite3.connect(path, isolation_level=None)
    # A file that is thrown away when its filling fails needs neither a journal nor syncs; in WAL
    # mode every row would be written twice, into the log and again at the checkpoint.
    connection.execute("PRAGMA journal_mode=OFF")
    connection.execute("PRAGMA synchronous=OFF")
    return connection


def _finish(connection: sqlite3.Connection) -> None:
    """Back to the store's journal mode, once filled."""
    connection.execute("PRAGMA journal_mode=WAL")
    connection.close()


def _count(path: Path) -> int:
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as connection:
        return int(connection.execute("SELECT count(*) FROM versions").fetchone()[0])


def sqlite_store(directory: Path, count: int, *, processes: int | None = None) -> Path:
    """A SQLite store of `count` DIDs with one version each, made once and kept in `directory`.

    A file is only given its final name once it is complete, so an interrupted fill is made again.
    """
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"resolve-{count}.sqlite3"
    if path.exists():
        return path
    partial = path.with_suffix(".partial")
    connection = _empty_store(partial)
    try:
        larger = sorted((p for p in directory.glob("resolve-*.sqlite3") if _count(p) >= count), key=_count)
        connection.execute("BEGIN")
        if larger:
            # The first `count` DIDs of a larger set are the same DIDs: copy instead of signing again.
            connection.execute("ATTACH DATABASE ? AS larger", (f"file:{larger[0]}?mode=ro",))
            # Without their places in the larger store's log: this store's own log is made at its first start.
            connection.execute(f"INSERT INTO versions ({_VERSION_COLUMNS}) SELECT {_VERSION_COLUMNS}"
                               " FROM larger.versions WHERE seq <= ?", (count,))
        else:
            with multiprocessing.get_context("spawn").Pool(processes or os.cpu_count()) as pool:
                for rows in pool.imap(_first_versions, _batches(count)):
                    _insert(connection, rows)
        connection.execute("COMMIT")
        if larger:
            connection.execute("DETACH DATABASE larger")
        _finish(connection)
    finally:
        connection.close()
    partial.rename(path)
    return path


def dids(path: Path) -> list[str]:
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as connection:
        return [did for (did,) in connection.execute("SELECT did FROM versions ORDER BY seq")]


def rows(path: Path) -> Iterator[tuple[object, ...]]:
    """Every stored row, with every column, in seq order."""
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as connection:
        yield from connection.execute(
            "SELECT did, version, seq, version_time, created, signed, deactivates FROM versions ORDER BY seq")


def resolution_results(path: Path) -> Iterator[tuple[str, bytes]]:
    """(DID, resolution result body) for every DID of a store of first versions: what the registry
    answers for it, made by the same functions the registry uses."""
    for did, _, _, version_time, created, signed, _ in rows(path):
        value = json.loads(str(signed))
        metadata = document_metadata(created=str(created), version_id="1", version_time=str(version_time))
        result = resolution_result(view_of(value["document"]), metadata, proof=value["proof"])
        yield str(did), json.dumps(result, ensure_ascii=False).encode()


def copy_to_postgres(path: Path, url: str) -> None:
    """Every row of the SQLite store at `path` into an empty PostgreSQL store at `url`, in one COPY.

    The tables are made by the PostgreSQL store itself; its version counter is set past the
    copied rows, as if they had been published one by one.
    """
    import psycopg

    from did_vek.registry.postgres import PostgresStore

    store = PostgresStore(url)
    store.healthy()
    store.close()
    with psycopg.connect(url) as connection:
        with connection.cursor() as cursor:
            with cursor.copy("COPY did_vek_versions (did, version, seq, version_time, created, signed, deactivates)"
                             " FROM STDIN") as copy:
                for did, version, seq, version_time, created, signed, deactivates in rows(path):
                    copy.write_row((did, version, seq, version_time, created, signed, bool(deactivates)))
            cursor.execute("UPDATE did_vek_seq SET last_seq = (SELECT coalesce(max(seq), 0) FROM did_vek_versions)")
            cursor.execute("ANALYZE did_vek_versions")


# --- versions to publish ---------------------------------------------------------------------

@dataclass(frozen=True)
class Update:
    """A DID with its stored version 1, and the valid version 2 prepared for a publish."""
    first: Row
    second: str   # the signed version 2


def _stamp(moment: datetime) -> str:
    return moment.strftime(_TIME_FORMAT)


def _signed(engine: did_vek.DIDEngine, did: str, created: str, updated: str, endpoint: str | None) -> str:
    builder = did_vek.DIDDocumentBuilder(did)
    builder.add_verification_method("key-1", engine.public_key)
    builder.add_authentication("key-1")
    builder.add_assertion_method("key-1")
    if endpoint is not None:
        builder.add_consent_service(endpoint)
    document = json.loads(builder.build())
    document["created"], document["updated"] = created, updated
    return did_vek.sign_document(engine, json.dumps(document), key_id="key-1")


def _updates(job: tuple[range, str, str, str]) -> list[Update]:
    numbers, created, updated, label = job
    out = []
    for number in numbers:
        engine = engine_for(label, number)
        did = engine.create_did_from_key()
        first = _signed(engine, did, created, created, None)
        second = _signed(engine, did, created, updated, f"https://consent.example/{number}")
        out.append(Update(Row(did, 1, created, created, first), second))
    return out


def updates(count: int, *, label: str = "publish", processes: int | None = None) -> list[Update]:
    """`count` DIDs, each with a version 1 from an hour ago and a version 2 from a minute ago
    that adds a service: a next version the registry must accept. Sets of another `label` have
    other DIDs."""
    now = datetime.now(timezone.utc)
    created, updated = _stamp(now - timedelta(hours=1)), _stamp(now - timedelta(minutes=1))
    jobs = [(numbers, created, updated, label) for numbers in _batches(count)]
    with multiprocessing.get_context("spawn").Pool(processes or os.cpu_count()) as pool:
        return [update for batch in pool.imap(_updates, jobs) for update in batch]


def store_first_versions(db: str, first_versions: list[Row]) -> None:
    """Version 1 of each DID into the empty store `db` (SQLite path or PostgreSQL URL), in one transaction."""
    values = [(row.did, row.version, row.version_time, row.created, row.signed) for row in first_versions]
    if db.startswith(("postgresql://", "postgres://")):
        import psycopg

        from did_vek.registry.postgres import PostgresStore
        store = PostgresStore(db)
        store.healthy()
        store.close()
        with psycopg.connect(db) as connection:
            with connection.cursor() as cursor:
                with cursor.copy("COPY did_vek_versions (did, version, seq, version_time, created, signed,"
                                 " deactivates) FROM STDIN") as copy:
                    for seq, value in enumerate(values, start=1):
                        copy.write_row((*value[:2], seq, *value[2:], False))
                cursor.execute("UPDATE did_vek_seq SET last_seq = %s", (len(values),))
                cursor.execute("ANALYZE did_vek_versions")
        return
    connection = _empty_store(Path(db))
    try:
        connection.execute("BEGIN")
        _insert(connection, [(*value, 0) for value in values])
        connection.execute("COMMIT")
        _finish(connection)
    finally:
        connection.close()
