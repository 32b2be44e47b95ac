"""Problem reports (RFC 9457): how the registry's own routes say no."""

import json
from http import HTTPStatus

from starlette.responses import Response

PROBLEM_TYPE = "application/problem+json"


def problem_body(status: int, detail: str) -> bytes:
    # One line, whatever the reason carried: a detail is read in logs and on terminals.
    line = detail.splitlines()[0] if detail else HTTPStatus(status).phrase
    return json.dumps({"type": "about:blank", "title": HTTPStatus(status).phrase, "status": status,
                       "detail": line}).encode()


def problem(status: int, detail: str, headers: dict[str, str] | None = None) -> Response:
    return Response(problem_body(status, detail), status_code=status, headers=headers, media_type=PROBLEM_TYPE)
