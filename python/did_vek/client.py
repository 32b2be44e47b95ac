"""A client of a did:vek registry: publish versions, read logs, resolve DIDs.

Standard library only. The client trusts no registry: `resolve` fetches the DID's whole log
and checks every version itself (`verify_history`), so a registry can refuse to answer but
cannot make a client accept a document that the DID's keys did not sign.
"""

import json
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import quote, urlencode

from . import _native
from ._errors import InvalidDocument
from ._history import History, Version, is_version_id, verify_history
from ._messages import quoted
from ._signed import read_signed
from ._transport import Answer, Connection, NotFound, RegistryError, one_line, refusal

__all__ = ["RegistryClient", "Published", "Resolution", "RegistryError", "NotFound"]


@dataclass(frozen=True)
class Published:
    """The registry's receipt for a version: stored now (`created`), or already before."""
    did: str
    version_id: str
    version_time: str
    # False when the registry already held exactly this version as the last (a retry).
    created: bool


@dataclass(frozen=True)
class Resolution:
    """A version of a DID, selected from a history that the client verified itself."""
    did: str
    document: dict[str, Any] = field(hash=False, repr=False)
    version_id: str
    version_time: str
    # True when the DID's last version deactivates it, whichever version was selected.
    deactivated: bool
    history: History = field(hash=False, repr=False)

    @property
    def version(self) -> Version:
        """The selected version, with its proof and signed text."""
        return self.history.at(version_id=self.version_id)


class RegistryClient:
    """Talks to the registry at `url` ("http://HOST:PORT" or "https://...", optionally with a path prefix).

    Over https:// the registry's certificate must verify against the system's trusted
    certificates, or against those in the file `ca` (a private CA) when it is given.

    One connection is opened on first use and kept for the requests that follow; `close()`
    it, or use the client as a context manager. Not safe to share between threads.

    Every failure to get an answer (connection refused, timeout, a certificate that does not
    verify, an answer that is not HTTP) raises `RegistryError` with status 0; a refusal raises it with the HTTP status and the
    registry's one-line detail; 404 raises `NotFound`, which is also a `LookupError`.
    """

    def __init__(self, url: str, *, timeout: float = 10.0, ca: str | None = None) -> None:
        self._connection = Connection(url, timeout, ca)
        self.url = url

    def __enter__(self) -> "RegistryClient":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._connection.close()

    def publish(self, signed: str, *, if_match: str | None = None) -> Published:
        """Append `signed`, a signed document, to its DID's history in the registry.

        With `if_match` (a version id) the registry accepts the version only if that is the
        DID's last version now, so an update is never stacked on a version its writer did not
        see. A text that is not a signed document raises `InvalidDocument` before anything is
        sent.
        """
        did = read_signed(signed).did
        headers = {"Content-Type": "application/json"}
        if if_match is not None:
            if not is_version_id(if_match):
                raise ValueError(f"if_match must be a version id (1, 2, ...), not {if_match!r}")
            headers["If-Match"] = f'"{if_match}"'
        answer = self._connection.request("POST", _did_path(did), body=signed.encode("utf-8"), headers=headers)
        if answer.status not in (200, 201):
            raise _failure(answer)
        receipt = _json(answer, dict)
        fields = [receipt.get(name) for name in ("did", "versionId", "versionTime")]
        if not all(isinstance(value, str) for value in fields) or fields[0] != did:
            raise RegistryError(answer.status, f"the registry's receipt is not for {did}: {one_line(str(receipt))}")
        return Published(did=did, version_id=str(fields[1]), version_time=str(fields[2]),
                         created=answer.status == 201)

    def log(self, did: str) -> list[str]:
        """The signed documents of `did` as the registry serves them, oldest first, unchecked.

        Each is laid out anew (members sorted, two-space indent): the signatures cover the
        values, not the layout. An answer that is not a JSON array of objects raises
        `InvalidDocument`.
        """
        versions = _json(self._log_answer(did), list)
        if not all(isinstance(version, dict) for version in versions):
            raise InvalidDocument("the registry's log is not an array of signed documents")
        return [pretty_json(version) for version in versions]

    def resolve(self, did: str, *, version_id: str | None = None, version_time: str | None = None) -> Resolution:
        """The version of `did` selected as `History.at` selects it, from a verified history.

        The whole log is checked (every version signed by a key of the version before, from
        a key-derived start) and must be the history of `did` itself: a log that fails raises
        `InvalidDocument`. No version for the selector raises `NotFound`; a malformed selector,
        or both, `ValueError`.
        """
        if version_id is not None and version_time is not None:
            raise ValueError("give version_id or version_time, not both")
        if version_id is not None and not is_version_id(version_id):
            raise ValueError(f"a version id is a decimal number from 1 without leading zeros, not {version_id!r}")
        # The log's text as it came: the history check reads each version once, from it.
        history = verify_history(_text(self._log_answer(did)))
        if history.did != did:
            raise InvalidDocument(f"the registry served the history of {quoted(history.did)}, not {quoted(did)}")
        try:
            version = history.at(version_id=version_id, version_time=version_time)
        except LookupError:
            selector = f"version {version_id}" if version_id is not None else f"a version at {version_time}"
            raise NotFound(404, f"{did} has no {selector}") from None
        return Resolution(did=did, version_id=version.version_id, version_time=version.version_time,
                          deactivated=history.deactivated, document=version.document, history=history)

    def _log_answer(self, did: str) -> Answer:
        answer = self._connection.request("GET", _did_path(did) + "/log", headers={"Accept": "application/json"})
        if answer.status != 200:
            raise _failure(answer)
        return answer

    def export(self, after: int = 0) -> Iterator[str]:
        """Every version the registry holds with a seq above `after`, as its JSON lines.

        Follows the pages of /export until one comes back empty. Each line is passed on as
        the registry wrote it, once checked to be a JSON object whose "seq" grows.
        """
        while True:
            query = urlencode({"after": after})
            answer = self._connection.request("GET", f"/export?{query}", headers={"Accept": "application/jsonl"})
            if answer.status != 200:
                raise _failure(answer)
            lines = [line for line in _text(answer).splitlines() if line.strip()]
            if not lines:
                return
            for line in lines:
                after = _next_seq(line, after, answer.status)
                yield line


def _did_path(did: str) -> str:
    # Every character of the DID that is not unreserved is escaped: the ":" too, and a "/"
    # or "?" in a malformed DID can never reach another route.
    return "/dids/" + quote(did, safe="")


def _failure(answer: Answer) -> RegistryError:
    if answer.status < 400:
        return RegistryError(answer.status, "the registry gave an unexpected answer")
    return refusal(answer)


def _text(answer: Answer) -> str:
    try:
        return answer.body.decode("utf-8")
    except UnicodeDecodeError:
        raise RegistryError(answer.status, "the registry's answer is not UTF-8 text") from None


def _json(answer: Answer, kind: type) -> Any:
    try:
        value = _native.parse_json(_text(answer))
    except ValueError as error:
        raise InvalidDocument(f"the registry's answer: {error}") from None
    if not isinstance(value, kind):
        raise InvalidDocument(f"the registry's answer is not a JSON {'object' if kind is dict else 'array'}")
    return value


def pretty_json(value: Any) -> str:
    """`value` in the value form (members sorted, two-space layout, characters as themselves).

    A text holding a lone surrogate, which has no UTF-8 form to print, is written escaped.
    """
    return _native.value_form(value)


def _next_seq(line: str, after: int, status: int) -> int:
    # A registry whose seq does not grow would have this loop fetch the same page forever.
    try:
        entry = json.loads(line)
    except ValueError:
        raise RegistryError(status, f"the registry's export has a line that is not JSON: {one_line(line)}") from None
    seq = entry.get("seq") if isinstance(entry, dict) else None
    if not isinstance(seq, int) or isinstance(seq, bool) or seq <= after:
        raise RegistryError(status, f"the registry's export has a line without a growing seq: {one_line(line)}")
    return seq
