"""The log's own routes: its checkpoint, key, tiles and entry bundles (the tile-based form that
generic log tools read), consistency proofs, and a DID's history with its proofs.

Each answer is given as of one served head. Full tiles and bundles never change and may be
kept for good; everything else describes the head and may be kept a second at most.
"""

import json
from collections.abc import AsyncIterator, Callable
from typing import Any

from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse

from .. import _native
from ..tlog import merkle
from ..tlog._base64 import encode
from ..tlog.errors import FormatError
from ..tlog.tiles import TILE_WIDTH, EntryBundle, Tile, bundle_data, parse_path, tile_count
from .log_proofs import AnswerProofs, as_of_head, served_head
from .log_view import LogView
from .paging import BATCH
from .problems import problem
from .request_parts import query_pairs
from .store import Head, Refused, Store, StoredVersion

TEXT = "text/plain; charset=utf-8"
IMMUTABLE = {"Cache-Control": "public, max-age=31536000, immutable"}
SHORT_LIVED = {"Cache-Control": "public, max-age=1"}
NO_STORE = {"Cache-Control": "no-store"}


class LogRoutes:
    def __init__(self, store: Store, view: LogView, vkey: str, start: Callable[[], Head | None]) -> None:
        self.store = store
        self.view = view
        self.vkey = vkey
        self._start = start

    def head(self) -> Head:
        return served_head(self.store, self._start)

    async def checkpoint(self, request: Request) -> Response:
        head = await run_in_threadpool(self.head)
        return Response(head.checkpoint, media_type=TEXT, headers=SHORT_LIVED)

    async def key(self, request: Request) -> Response:
        return Response(self.vkey + "\n", media_type=TEXT)

    async def tile(self, request: Request) -> Response:
        try:
            wanted = parse_path(request.url.path.removeprefix("/tlog/"))
        except (FormatError, ValueError):
            raise Refused(404, f"no such tile: {json.dumps(request.url.path[:80])}") from None
        data = await run_in_threadpool(self._tile, wanted)
        headers = IMMUTABLE if wanted.width == TILE_WIDTH else SHORT_LIVED
        return Response(data, media_type="application/octet-stream", headers=headers)

    def _tile(self, wanted: Tile | EntryBundle) -> bytes:
        head = self.head()
        level = wanted.level if isinstance(wanted, Tile) else 0
        available = tile_count(level, head.size) - wanted.index * TILE_WIDTH
        # A partial tile is served at any width up to the one it has now: its hashes never change.
        if wanted.width > available:
            raise Refused(404, f"the log has no {wanted.path} at tree size {head.size}")
        if isinstance(wanted, EntryBundle):
            start = wanted.index * TILE_WIDTH
            return bundle_data([text.encode() for text in self.store.entries(start, start + wanted.width)])
        return self.view.read_tiles([wanted])[0]

    async def consistency(self, request: Request) -> Response:
        options = dict(query_pairs(request.scope.get("query_string") or b"") or ())
        old, new = _whole(options.get("old")), _whole(options.get("new"))

        def answer() -> str:
            head = self.head()
            if old is None or new is None or not 1 <= old <= new <= head.size:
                raise Refused(400, f"old and new are tree sizes with 1 <= old <= new <= {head.size}")
            hashes = merkle.consistency_proof(self.view.hash_reader(head.size), old, new)
            return "".join(encode(hash_) + "\n" for hash_ in hashes)

        return Response(await run_in_threadpool(answer), media_type=TEXT, headers=SHORT_LIVED)

    async def history(self, request: Request, did: str) -> Response:
        options = dict(query_pairs(request.scope.get("query_string") or b"") or ())
        known = _whole(options.get("known"))
        if "known" in options and known is None:
            raise Refused(400, "known is a tree size: a whole number")

        def opening(head: Head) -> tuple[Head, list[StoredVersion], dict[str, Any]]:
            proofs = AnswerProofs(self.store, self.view, head, did)
            vek_log = {"checkpoint": head.checkpoint, **proofs.map_part()}
            if known is not None and 1 <= known <= head.size:
                hashes = merkle.consistency_proof(self.view.hash_reader(head.size), known, head.size)
                vek_log["consistency"] = [encode(hash_) for hash_ in hashes]
            return head, self.store.log(did, 0, BATCH, head.size), vek_log

        head, first, vek_log = await run_in_threadpool(as_of_head, self.store, self.view, opening, self._start)
        start = _native.json_line({"did": did, "vekLog": vek_log}).decode()[:-1] + ', "versions": ['
        if len(first) < BATCH:  # the whole log, as most are: sent with its length, not as a stream
            return Response(start + ",".join(version.signed for version in first) + "]}",
                            status_code=200 if first else 404, media_type="application/json", headers=NO_STORE)

        async def chunks() -> AsyncIterator[bytes]:
            versions, opening_text = first, start
            while versions:
                yield (opening_text + ",".join(version.signed for version in versions)).encode()
                opening_text = ","
                if len(versions) < BATCH:
                    break
                versions = await run_in_threadpool(self.store.log, did, versions[-1].version, BATCH, head.size)
            yield b"]}"

        return StreamingResponse(chunks(), media_type="application/json", headers=NO_STORE)


def _whole(text: str | None) -> int | None:
    if text is None or not text.isascii() or not text.isdigit() or len(text) > 18:
        return None
    return int(text)


__all__ = ["LogRoutes", "problem"]
