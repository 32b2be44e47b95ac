"""The registry's HTTP interface: a thin layer over a `Store`.

Every route, resolution (see `resolution`) and the registry's own, is dispatched by one
dispatcher (see `dispatch`, and `RegistryApp` for why not the framework's router). Every refusal is a problem report, every store failure a 500 that
leaves the server running, and store calls that may block run in a worker thread.
"""

import contextlib
import json
import logging
from collections.abc import AsyncIterator, Callable
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse
from starlette.types import ASGIApp

from .dispatch import Dispatcher, ErrorAnswer, Route, answering, read_body, route
from .engines import open_store
from .paging import BATCH, export_chunks, log_chunks
from .problems import http_exception_problem, problem
from .request_parts import is_vek_did, query_pairs, raw_path_after
from .resolution import PREFIX as RESOLUTION_PREFIX
from .resolution import Resolver
from .rules import MAX_VERSION_BYTES, decider, parse_if_match, read_submission
from .store import AlreadyStored, Refused, Store, StoreBusy, StoredVersion, StoreUnavailable

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

    def __init__(self, store: Store, *, owns_store: bool) -> None:
        self.store = store
        self.resolver = Resolver(store, inline=getattr(store, "reads_inline", False) is True)

        @contextlib.asynccontextmanager
        async def lifespan(app: Starlette) -> AsyncIterator[None]:
            yield
            if owns_store:
                store.close()

        super().__init__(lifespan=lifespan)
        answers: dict[type[Exception], ErrorAnswer] = {
            Refused: _refused, StoreBusy: _store_busy, StoreUnavailable: _store_failed,
            HTTPException: http_exception_problem,
            Exception: _server_error}
        # The busiest route first: the routes are tried in order.
        routes = [route(RESOLUTION_PREFIX, ["GET"], self.resolver), *_routes(store, answers)]
        self.dispatcher = Dispatcher(routes, self.router, answers)

    def build_middleware_stack(self) -> ASGIApp:
        app: ASGIApp = self.dispatcher
        for cls, args, kwargs in reversed(self.user_middleware):
            app = cls(app, *args, **kwargs)
        return app


def create_app(db: "str | Store") -> Starlette:
    """The registry application over `db`: a store, or the text `open_store` takes."""
    if isinstance(db, str):
        return RegistryApp(open_store(db), owns_store=True)
    return RegistryApp(db, owns_store=False)


def _routes(store: Store, answers: dict[type[Exception], ErrorAnswer]) -> list[Route]:
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
        return await _publish(store, request)

    async def log(request: Request) -> Response:
        did = _path_did(request, "/dids/", "/log")

        async def fetch(after: int, count: int) -> list[StoredVersion]:
            return await _store_call(store.log, did, after, count)  # type: ignore[no-any-return]

        # The first batch before the answer starts: a DID without versions, or a store that
        # fails, still gets its own status.
        first = await fetch(0, BATCH)
        if not first:
            return problem(404, f"{did} has no version in this registry")
        return StreamingResponse(log_chunks(first, fetch), media_type="application/json")

    async def export(request: Request) -> Response:
        after, limit = _export_options(request)

        async def fetch(after: int, count: int) -> list[StoredVersion]:
            return await _store_call(store.export, after, count)  # type: ignore[no-any-return]

        first = await fetch(after, min(BATCH, limit))
        return StreamingResponse(export_chunks(first, fetch, limit), media_type="application/jsonl")

    return [
        route(r"/1\.0/methods", ["GET"], answering(methods, answers)),
        route("/healthz", ["GET"], answering(healthz, answers)),
        route("/dids/.*/log", ["GET"], answering(log, answers)),
        route("/dids/.*", ["POST"], answering(publish, answers)),
        route("/export", ["GET"], answering(export, answers)),
    ]


async def _publish(store: Store, request: Request) -> Response:
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
    decide = decider(signed, if_match=parse_if_match(request.headers.get("if-match")))
    try:
        stored = await _store_call(store.append, did, decide)
        status = 201
    except AlreadyStored as retry:
        stored, status = retry.stored, 200
    return Response(json.dumps({"did": stored.did, "versionId": str(stored.version),
                                "versionTime": stored.version_time}).encode(),
                    status_code=status, media_type="application/json",
                    headers={"Location": f"{RESOLUTION_PREFIX}{stored.did}?versionId={stored.version}"})


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


async def _store_call(function: Callable[..., Any], *arguments: Any) -> Any:
    """`function` in a worker thread; any failure but a verdict of the rules is the store's."""
    try:
        return await run_in_threadpool(function, *arguments)
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
