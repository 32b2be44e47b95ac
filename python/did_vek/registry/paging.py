"""Logs and export pages written out a few versions at a time, as they are read from the store.

A DID's log may hold MAX_VERSIONS versions of up to 64 KiB, an export page a thousand of any
DIDs: built whole, a few such answers at once would take a server process's memory by the
gigabyte. Read in batches and sent as they come (the server waits for a slow reader before it
reads on), an answer holds at most one batch in memory, whatever its length.
"""

import json
from collections.abc import AsyncIterator, Awaitable, Callable

from .store import StoredVersion

# Versions read from the store at a time: at most about 800 KiB as stored.
BATCH = 8

Fetch = Callable[[int, int], Awaitable[list[StoredVersion]]]


async def log_chunks(first: list[StoredVersion], fetch: Fetch) -> AsyncIterator[bytes]:
    """The JSON array of a DID's signed documents: `first`, then `fetch(after_version, count)`
    until a batch comes back short."""
    versions, opening = first, b"["
    while versions:
        yield opening + ",".join(version.signed for version in versions).encode()
        opening = b","
        if len(versions) < BATCH:
            break
        versions = await fetch(versions[-1].version, BATCH)
    yield b"]"


async def export_chunks(first: list[StoredVersion], fetch: Fetch, limit: int) -> AsyncIterator[bytes]:
    """The JSON lines of an export page of at most `limit` versions: `first`, then
    `fetch(after_seq, count)` until the page is full or a batch comes back short."""
    versions, sent = first, 0
    while versions:
        yield "".join(export_line(version) for version in versions).encode()
        sent += len(versions)
        if len(versions) < BATCH or sent >= limit:
            break
        versions = await fetch(versions[-1].seq, min(BATCH, limit - sent))


def export_line(version: StoredVersion) -> str:
    # One line each: the stored text is laid out over many lines, so it is written again compactly.
    signed = json.loads(version.signed)
    return json.dumps({"seq": version.seq, "did": version.did, "versionId": str(version.version),
                       "logIndex": version.log_index, "signed": signed}, ensure_ascii=False, separators=(",", ":")) + "\n"
