"""One dispatcher for every route of the registry, in place of the framework's router.

A route is a path rule, its methods and a plain ASGI handler. The first route whose path and
method both match answers; a path matched only under other methods is a 405 naming them; a
path matched by none is a 404, unless it would match with its trailing slash added or
removed, which is a 307 to that path. Routes whose handlers take a `Request` and return a
`Response` are wrapped by `answering`, which turns what they raise into the registry's
answers; resolution is a handler of its own that never raises.
"""

import re
from collections.abc import Awaitable, Callable, Iterable
from dataclasses import dataclass

from starlette.datastructures import URL
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import RedirectResponse, Response
from starlette._utils import get_route_path
from starlette.types import ASGIApp, Receive, Scope, Send

from .store import Refused

Endpoint = Callable[[Request], Awaitable[Response]]
ErrorAnswer = Callable[[Request, Exception], Awaitable[Response]]
_ASCII_DIGITS = frozenset("0123456789")


@dataclass(frozen=True)
class Route:
    """A path rule: every path under `prefix`, or (without one) every path `pattern` matches whole."""
    prefix: str | None
    pattern: re.Pattern[str] | None
    methods: frozenset[str]
    app: ASGIApp

    def matches(self, path: str) -> bool:
        if self.prefix is not None:
            return path.startswith(self.prefix)
        assert self.pattern is not None
        return self.pattern.fullmatch(path) is not None

    @property
    def allow(self) -> str:
        return ", ".join(sorted(self.methods))


def route(path: str, methods: Iterable[str], app: ASGIApp) -> Route:
    """`path` is a prefix when it ends with "/", else a regular expression ("." is no line feed)."""
    allowed = set(methods)
    if "GET" in allowed:
        allowed.add("HEAD")
    if path.endswith("/"):
        return Route(path, None, frozenset(allowed), app)
    return Route(None, re.compile(path), frozenset(allowed), app)


def answering(endpoint: Endpoint, answers: dict[type[Exception], ErrorAnswer]) -> ASGIApp:
    """`endpoint` as an ASGI handler: what it raises is answered by the first matching class of `answers`.

    An exception that no answer but `Exception`'s covers is answered and raised again, so that the
    server logs it with its traceback.
    """

    async def app(scope: Scope, receive: Receive, send: Send) -> None:
        request = Request(scope, receive, send)
        try:
            response = await endpoint(request)
        except Exception as error:
            await _answer(request, error, answers, scope, receive, send)
            return
        await response(scope, receive, send)

    return app


async def _answer(request: Request, error: Exception, answers: dict[type[Exception], ErrorAnswer],
                  scope: Scope, receive: Receive, send: Send) -> None:
    for kind in type(error).__mro__:
        answer = answers.get(kind)
        if answer is not None:
            await (await answer(request, error))(scope, receive, send)
            if kind is Exception:
                raise error
            return
    raise error


class Dispatcher:
    """The ASGI application of `routes`; `lifespan` answers the server's lifespan events."""

    def __init__(self, routes: list[Route], lifespan: ASGIApp, answers: dict[type[Exception], ErrorAnswer]) -> None:
        self.routes = routes
        self.lifespan = lifespan
        self.answers = answers

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.lifespan(scope, receive, send)
            return
        path, method = _route_path(scope), scope["method"]
        allowed: Route | None = None
        for candidate in self.routes:
            if candidate.matches(path):
                if method in candidate.methods:
                    await candidate.app(scope, receive, send)
                    return
                allowed = allowed or candidate
        if allowed is not None:
            await self._refuse(HTTPException(405, headers={"Allow": allowed.allow}), scope, receive, send)
            return
        if path != "/":
            other = dict(scope, path=scope["path"].rstrip("/") if path.endswith("/") else scope["path"] + "/")
            if any(candidate.matches(_route_path(other)) for candidate in self.routes):
                await RedirectResponse(url=str(URL(scope=other)))(scope, receive, send)
                return
        await self._refuse(HTTPException(404), scope, receive, send)

    async def _refuse(self, error: HTTPException, scope: Scope, receive: Receive, send: Send) -> None:
        await _answer(Request(scope, receive, send), error, self.answers, scope, receive, send)


def _route_path(scope: Scope) -> str:
    # The path below the application's mount point, as the framework's routes see it.
    path: str = get_route_path(scope)
    return path


async def read_body(request: Request, limit: int) -> bytes:
    """The body, refused (413) by its announced length or as soon as it grows past `limit` bytes."""
    length = request.headers.get("content-length")
    if length is not None:
        if not length or not set(length) <= _ASCII_DIGITS:
            raise Refused(400, "Content-Length is not a number")
        if len(length) > 12 or int(length) > limit:
            raise Refused(413, f"the body is over {limit // 1024} KiB")
    chunks: list[bytes] = []
    size = 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise Refused(413, f"the body is over {limit // 1024} KiB")
            chunks.append(chunk)
    except ClientDisconnect:
        raise Refused(400, "the client left before the body was complete") from None
    return b"".join(chunks)
