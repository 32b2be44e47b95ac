"""The DID error codes that resolution and dereferencing answer with, and their HTTP statuses."""

from typing import Any

ERRORS = {
    "INVALID_DID": (400, "invalid DID"),
    "INVALID_DID_URL": (400, "invalid DID URL"),
    "INVALID_OPTIONS": (400, "invalid options"),
    "NOT_FOUND": (404, "not found"),
    "REPRESENTATION_NOT_SUPPORTED": (406, "representation not supported"),
    "INTERNAL_ERROR": (500, "internal error"),
    "METHOD_NOT_SUPPORTED": (501, "method not supported"),
    "FEATURE_NOT_SUPPORTED": (501, "feature not supported"),
}


class ResolutionError(Exception):
    """Resolution or dereferencing fails with `code`, one of `ERRORS`; `detail` says why in one line."""

    def __init__(self, code: str, detail: str, *, vek_log: dict[str, Any] | None = None) -> None:
        super().__init__(detail)
        self.code = code
        self.detail = detail
        # The log's proof of what was not found: the DID's absence, or its latest version.
        self.vek_log = vek_log

    @property
    def status(self) -> int:
        return ERRORS[self.code][0]

    @property
    def title(self) -> str:
        return ERRORS[self.code][1]
