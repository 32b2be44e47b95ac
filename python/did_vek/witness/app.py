"""The witness on HTTP: `POST /add-checkpoint`, and nothing else.

A refusal is a problem report, except 409, whose body is the held size alone, as clients of
the protocol read it. The state's transaction waits for the disk, so it runs in a worker thread.
"""

import logging

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import Response
from starlette.routing import Route

from ..registry.problems import problem
from .protocol import Conflict, Refused, Witness

_log = logging.getLogger("did_vek.witness")
# 63 proof lines and a checkpoint with its signatures take a few KiB.
MAX_BODY = 64 * 1024
SIZE_TYPE = "text/x.tlog.size"
COSIGNATURE_TYPE = "text/plain; charset=utf-8"


def create_app(witness: Witness) -> Starlette:
    async def add_checkpoint(request: Request) -> Response:
        try:
            body = await _body(request)
            lines = await run_in_threadpool(witness.add_checkpoint, body)
        except Conflict as conflict:
            # As the header, not as media_type: the framework would add a charset to a text type.
            return Response(f"{conflict.held_size}\n".encode(), status_code=409, headers={"Content-Type": SIZE_TYPE})
        except Refused as refused:
            return problem(refused.status, refused.detail)
        return Response(lines.encode(), media_type=COSIGNATURE_TYPE)

    return Starlette(routes=[Route("/add-checkpoint", add_checkpoint, methods=["POST"])],
                     exception_handlers={HTTPException: _http_exception, Exception: _server_error})


async def _body(request: Request) -> bytes:
    chunks: list[bytes] = []
    size = 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > MAX_BODY:
                raise Refused(413, f"the body is over {MAX_BODY // 1024} KiB")
            chunks.append(chunk)
    except ClientDisconnect:
        raise Refused(400, "the client left before the body was complete") from None
    return b"".join(chunks)


async def _http_exception(request: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    return problem(error.status_code, str(error.detail), dict(error.headers or {}))


async def _server_error(request: Request, error: Exception) -> Response:
    # The cause (a full disk, a broken state file) stays in the witness's log.
    _log.error("add-checkpoint failed: %s: %s", type(error).__name__, error)
    return problem(500, "the witness failed; its log says why")
