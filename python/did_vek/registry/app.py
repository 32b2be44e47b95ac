"""The registry's HTTP interface: a thin layer over a `Store`.

Every route, resolution (see `resolution`) and the registry's own, is dispatched by one
dispatcher (see `dispatch`, and `RegistryApp` for why not the framework's router). Every refusal is a problem report, every store failure a 500 that
leaves the server running, and store calls that may block run in a worker thread.
"""

import contextlib
import json
import logging
from collections.abc import AsyncIterator, Callable, Sequence
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse
from starlette.types import ASGIApp

from .. import _native
from .dispatch import Dispatcher, ErrorAnswer, Route, answering, read_body, route
from .cosigning import Cosigner, WitnessPeer, witnesses_from_environment
from .engines import open_store
from .log_key import LogKey, log_key_for
from .log_proofs import AnswerProofs, as_of_head
from .log_routes import LogRoutes
from .log_view import LogView
from .log_writer import LogWriter
from .paging import BATCH, export_chunks, log_chunks
from .problems import http_exception_problem, problem
from .request_parts import is_vek_did, query_pairs, raw_path_after
from .resolution import PREFIX as RESOLUTION_PREFIX
from .resolution import Resolver
from .rules import MAX_VERSION_BYTES, decider, parse_if_match, prejudge, read_submission
from .sequencer import Sequencer
from .store import AlreadyStored, Head, Refused, Store, StoreBusy, StoredVersion, StoreUnavailable

_log = logging.getLogger("did_vek.registry")
EXPORT_LIMIT = 1000

_ASCII_DIGITS = frozenset("0123456789")


class RegistryApp(Starlette):
    """Starlette's application, every route dispatched by the registry's own `Dispatcher`.

    Why not the framework's router: measured by calling the application in process (ASGI, no
    sockets), a resolution answered from the kept answers took 48 µs through the handler alone
    and 79 µs through Starlette's router and its two exception middlewares, 89 µs with the
    route's regular expression; under HTTP load that is the most requested route's throughput.
    What it costs: the dispatcher's rules (405 with Allow, 404, 307 to the path with or without
    its trailing slash) and the mapping of exceptions to answers are ours to keep right, and an
    exception raised in middleware added with `add_middleware`, outside the dispatcher, is the
    server's to report, not a problem report of ours. Such middleware wraps every route.
    """

    def __init__(self, store: Store, key: LogKey, *, owns_store: bool,
                 witnesses: tuple[Sequence[WitnessPeer], int | None] = ((), None)) -> None:
        self.store = store
        self.view = LogView(store)
        peers, quorum = witnesses
        self.cosigner = Cosigner(peers, quorum, self.view) if peers else None
        self.writer = LogWriter(store, key, self.view, self.cosigner)
        try:
            served = self.writer.start()
            if served is not None:
                self.view.catch_up(served)
        except StoreUnavailable as error:  # the first answer that needs the log tries again
            _log.warning("the log could not be opened yet: %s", error)
        self.sequencer = Sequencer(self.writer)
        self.resolver = Resolver(store, self.view, inline=getattr(store, "reads_inline", False) is True,
                                 start=self.writer.start)
        self.log_routes = LogRoutes(store, self.view, key.vkey, self.writer.start)

        @contextlib.asynccontextmanager
        async def lifespan(app: Starlette) -> AsyncIterator[None]:
            yield
            self.sequencer.close()
            if self.cosigner is not None:
                self.cosigner.close()
            if owns_store:
                store.close()

        super().__init__(lifespan=lifespan)
        answers: dict[type[Exception], ErrorAnswer] = {
            Refused: _refused, StoreBusy: _store_busy, StoreUnavailable: _store_failed,
            HTTPException: http_exception_problem,
            Exception: _server_error}
        # The busiest route first: the routes are tried in order.
        routes = [route(RESOLUTION_PREFIX, ["GET"], self.resolver), *_routes(self, answers)]
        self.dispatcher = Dispatcher(routes, self.router, answers)

    def build_middleware_stack(self) -> ASGIApp:
        app: ASGIApp = self.dispatcher
        for cls, args, kwargs in reversed(self.user_middleware):
            app = cls(app, *args, **kwargs)
        return app


def create_app(db: "str | Store", *, log_key: "str | LogKey | None" = None, origin: str | None = None,
               witnesses: Sequence[WitnessPeer] | None = None, quorum: int | None = None) -> Starlette:
    """The registry application over `db`: a store, or the text `open_store` takes.

    `log_key` is the log's key, or the path of its key file; without one, the file named by
    $DID_VEK_LOG_KEY, else for a SQLite store `<db file>.log-key`, made at first use. `origin`
    names the log (default: derived from the key; $DID_VEK_LOG_ORIGIN when set). With
    `witnesses`, a checkpoint is served once `quorum` of them (default: all) cosigned it;
    without, those `serve` names in the environment, if any.
    """
    if witnesses is None:
        witnesses, quorum = witnesses_from_environment()
    store = open_store(db) if isinstance(db, str) else db
    try:
        key = log_key if isinstance(log_key, LogKey) else log_key_for(store, log_key, origin)
        return RegistryApp(store, key, owns_store=isinstance(db, str), witnesses=(witnesses, quorum))
    except BaseException:
        if isinstance(db, str):
            store.close()
        raise


def _routes(app: RegistryApp, answers: dict[type[Exception], ErrorAnswer]) -> list[Route]:
    store, log_routes = app.store, app.log_routes

    async def methods(request: Request) -> Response:
        return Response(b'["vek"]', media_type="application/json")

    async def healthz(request: Request) -> Response:
        try:
            healthy = await run_in_threadpool(store.healthy)
        except Exception:
            healthy = False
        if not healthy:
            return problem(503, "the store does not answer")
        return Response(b'{"status": "ok"}', media_type="application/json")

    async def publish(request: Request) -> Response:
        return await _publish(app, request)

    async def history(request: Request) -> Response:
        return await log_routes.history(request, _path_did(request, "/dids/", "/history"))

    async def log(request: Request) -> Response:
        did = _path_did(request, "/dids/", "/log")
        size = (await _store_call(log_routes.head)).size

        async def fetch(after: int, count: int) -> list[StoredVersion]:
            return await _store_call(store.log, did, after, count, size)  # type: ignore[no-any-return]

        # The first batch before the answer starts: a DID without versions, or a store that
        # fails, still gets its own status.
        first = await fetch(0, BATCH)
        if not first:
            return problem(404, f"{did} has no version in this registry")
        return StreamingResponse(log_chunks(first, fetch), media_type="application/json")

    async def export(request: Request) -> Response:
        after, limit = _export_options(request)
        size = (await _store_call(log_routes.head)).size

        async def fetch(after: int, count: int) -> list[StoredVersion]:
            return await _store_call(store.export, after, count, size)  # type: ignore[no-any-return]

        first = await fetch(after, min(BATCH, limit))
        return StreamingResponse(export_chunks(first, fetch, limit), media_type="application/jsonl")

    return [
        route(r"/1\.0/methods", ["GET"], answering(methods, answers)),
        route("/healthz", ["GET"], answering(healthz, answers)),
        route("/dids/.*/log", ["GET"], answering(log, answers)),
        route("/dids/.*/history", ["GET"], answering(history, answers)),
        route("/dids/.*", ["POST"], answering(publish, answers)),
        route("/export", ["GET"], answering(export, answers)),
        route("/tlog/checkpoint", ["GET"], answering(log_routes.checkpoint, answers)),
        route("/tlog/key", ["GET"], answering(log_routes.key, answers)),
        route("/tlog/consistency", ["GET"], answering(log_routes.consistency, answers)),
        route("/tlog/tile/.*", ["GET"], answering(log_routes.tile, answers)),
    ]


async def _publish(app: RegistryApp, request: Request) -> Response:
    # The size and the content type answer first (413, 415); the DID of the path is judged with
    # the document it must match (400).
    body = await read_body(request, MAX_VERSION_BYTES)
    _check_content_type(request.headers.get("content-type"))
    did = _path_did(request, "/dids/")
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise Refused(400, "the body is not UTF-8") from None
    signed = read_submission(text, did)
    if_match = parse_if_match(request.headers.get("if-match"))
    # The signature is checked here, beside the batch being written, not in the log's write turn.
    prejudged = await _store_call(lambda: prejudge(signed, app.store.last(did)), inline=app.resolver.inline)
    decide = decider(signed, if_match=if_match, prejudged=prejudged)
    try:
        stored = await app.sequencer.append(did, decide)
        status = 201
    except AlreadyStored as retry:
        stored, status = retry.stored, 200
    # A store whose reads never wait (see Resolver) proves on the event loop: no thread hop.
    receipt = await _store_call(_receipt, app, stored, inline=app.resolver.inline)
    return Response(_native.json_line(receipt), status_code=status,
                    media_type="application/json",
                    headers={"Location": f"{RESOLUTION_PREFIX}{stored.did}?versionId={stored.version}",
                             "Cache-Control": "no-store"})


def _receipt(app: RegistryApp, stored: StoredVersion) -> dict[str, Any]:
    """What the submitter keeps: the version's place in the log, proven against the head served
    now, and the map of that head naming the DID's latest entry."""
    index = stored.log_index
    if index is None:
        raise StoreUnavailable(f"{stored.did} version {stored.version} is stored but not logged")

    def receipt(head: Head) -> dict[str, Any]:
        proofs = AnswerProofs(app.store, app.view, head, stored.did)
        entry = proofs.entry(index)
        return {"did": stored.did, "versionId": str(stored.version), "versionTime": stored.version_time,
                "logIndex": index, "proof": proofs.inclusion(index, entry), "vekLog": proofs.map_part()}

    # The head this process served last, when it holds the version: served, so no read needed.
    served = app.writer.served_last
    first = served if served is not None and served.size > index else None
    return as_of_head(app.store, app.view, receipt, app.writer.start, first)


def _check_content_type(content_type: str | None) -> None:
    if content_type is None:
        raise Refused(415, "no Content-Type: send the signed document as application/json")
    media_type, *parameters = (part.strip() for part in content_type.split(";"))
    if media_type.lower() != "application/json":
        raise Refused(415, f"Content-Type {json.dumps(media_type[:80])} is not application/json")
    for parameter in parameters:
        name, _, value = parameter.partition("=")
        if name.strip().lower() == "charset" and value.strip().strip('"').lower() not in ("utf-8", "utf8"):
            raise Refused(415, "a signed document is sent as UTF-8, not in another charset")


def _path_did(request: Request, prefix: str, suffix: str = "") -> str:
    did = raw_path_after(request.scope, prefix, suffix)
    if did is None:
        raise Refused(400, "the DID in the path is not well percent-encoded UTF-8")
    if not is_vek_did(did):
        raise Refused(400, f"{json.dumps(did[:80])} is not a valid did:vek DID")
    return did


def _export_options(request: Request) -> tuple[int, int]:
    pairs = query_pairs(request.scope.get("query_string") or b"")
    if pairs is None:
        raise Refused(400, "the query is not well percent-encoded UTF-8")
    options = dict(pairs)
    after_text, limit_text = options.get("after", "0"), options.get("limit", str(EXPORT_LIMIT))
    if not after_text or not set(after_text) <= _ASCII_DIGITS or len(after_text) > 18:
        raise Refused(400, "after must be a seq: a whole number from 0")
    if not limit_text or not set(limit_text) <= _ASCII_DIGITS or int(limit_text[:6]) == 0:
        raise Refused(400, f"limit must be a whole number from 1 (at most {EXPORT_LIMIT} are given)")
    return int(after_text), min(int(limit_text[:6]) if len(limit_text) <= 6 else EXPORT_LIMIT, EXPORT_LIMIT)


async def _store_call(function: Callable[..., Any], *arguments: Any, inline: bool = False) -> Any:
    """`function` in a worker thread (`inline`: here); any failure but a verdict of the rules is the store's."""
    try:
        return function(*arguments) if inline else await run_in_threadpool(function, *arguments)
    except (Refused, AlreadyStored, StoreUnavailable):
        raise
    except Exception as error:
        raise StoreUnavailable(f"{type(error).__name__}: {error}".splitlines()[0]) from error


async def _refused(request: Request, error: Exception) -> Response:
    assert isinstance(error, Refused)
    return problem(error.status, error.detail)


async def _store_failed(request: Request, error: Exception) -> Response:
    # The cause stays in the server's log: it may name files, hosts or users.
    _log.error("store failure on %s %s: %s", request.method, request.url.path, error)
    return problem(500, "the store failed; the registry's log says why")


async def _store_busy(request: Request, error: Exception) -> Response:
    _log.warning("store busy on %s %s: %s", request.method, request.url.path, error)
    return problem(503, "the store is busy: another writer held what this one needs too long;"
                        " nothing was stored, try again", {"Retry-After": "1"})


async def _server_error(request: Request, error: Exception) -> Response:
    return problem(500, f"the registry failed: {type(error).__name__}")
