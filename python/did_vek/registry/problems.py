"""Problem reports (RFC 9457): how the registry's and the witness's own routes say no."""

import json
from http import HTTPStatus

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response

PROBLEM_TYPE = "application/problem+json"


def problem_body(status: int, detail: str) -> bytes:
    # One line, whatever the reason carried: a detail is read in logs and on terminals.
    line = detail.splitlines()[0] if detail else HTTPStatus(status).phrase
    return json.dumps({"type": "about:blank", "title": HTTPStatus(status).phrase, "status": status,
                       "detail": line}).encode()


def problem(status: int, detail: str, headers: dict[str, str] | None = None) -> Response:
    return Response(problem_body(status, detail), status_code=status, headers=headers, media_type=PROBLEM_TYPE)


async def http_exception_problem(request: Request, error: Exception) -> Response:
    """The dispatcher's own refusals (no such route, a method it does not take) as problem reports."""
    assert isinstance(error, HTTPException)
    headers = dict(error.headers or {})
    if error.status_code == 404:
        return problem(404, f"no such resource: {json.dumps(request.url.path[:80])}", headers)
    if error.status_code == 405:
        return problem(405, f"{request.method} is not allowed here", headers)
    return problem(error.status_code, str(error.detail), headers)
