"""The witness on HTTP: `POST /add-checkpoint` and nothing else, on the registry's dispatcher.

A refusal is a problem report, except 409, whose body is the held size alone, as the
protocol's clients read it.

The protocol runs in the event loop's thread, its commit's sync included. Every call waits for
the one state anyway, so a worker thread would let only the reading of other bodies go on
meanwhile; and handing each call to a worker and back cost more than the call itself (measured
on a log of 1,000,000 entries: 4.0 ms a call over HTTP through a worker, 2.2 ms inline, 0.7 ms
of it the witness's own work).
"""

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Router

from ..registry.dispatch import Dispatcher, ErrorAnswer, answering, read_body, route
from ..registry.problems import http_exception_problem, problem
from ..registry.store import Refused
from .protocol import Conflict, Witness

# 63 proof lines and a checkpoint with its signatures take a few KiB.
MAX_BODY = 64 * 1024
SIZE_TYPE = "text/x.tlog.size"
COSIGNATURE_TYPE = "text/plain; charset=utf-8"


def create_app(witness: Witness) -> Dispatcher:
    answers: dict[type[Exception], ErrorAnswer] = {
        Conflict: _conflict, Refused: _refused, HTTPException: http_exception_problem, Exception: _server_error}

    async def add_checkpoint(request: Request) -> Response:
        body = await read_body(request, MAX_BODY)
        lines = witness.add_checkpoint(body)
        return Response(lines.encode(), media_type=COSIGNATURE_TYPE)

    # A router without routes answers the server's lifespan events, of which the witness needs none.
    return Dispatcher([route("/add-checkpoint", ["POST"], answering(add_checkpoint, answers))], Router(), answers)


async def _conflict(request: Request, error: Exception) -> Response:
    assert isinstance(error, Conflict)
    # As a header, not as media_type: the framework would add a charset to a text type.
    return Response(f"{error.held_size}\n".encode(), status_code=409, headers={"Content-Type": SIZE_TYPE})


async def _refused(request: Request, error: Exception) -> Response:
    assert isinstance(error, Refused)
    return problem(error.status, error.detail)


async def _server_error(request: Request, error: Exception) -> Response:
    # The cause (a full disk, a broken state file) goes to the server's log with its traceback.
    return problem(500, f"the witness failed: {type(error).__name__}")
