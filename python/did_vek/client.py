"""A client of a did:vek registry: publish versions, read logs, resolve DIDs.

Standard library only. The client trusts no registry: `resolve` fetches the DID's whole history
and checks every version itself (`verify_history`), so a registry can refuse to answer but
cannot make a client accept a document that the DID's keys did not sign. The registry's
transparency log keeps it from lying by omission: every history and every receipt comes with
proofs against a signed checkpoint, which the client checks and remembers (`tlog.verify`), so
a newer version withheld, or another history shown to others, is caught.
"""

import json
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import quote, urlencode

from . import _native
from ._errors import InvalidDocument
from ._history import History, Version, history_of, is_version_id
from ._messages import quoted
from ._signed import read_signed
from ._transport import Answer, Connection, NotFound, RegistryError, one_line, refusal
from .tlog.answers import consistency_hashes, receipt_checkpoint
from .tlog.errors import FormatError, InvalidProof
from .tlog.note import Verifier
from .tlog.policy import Policy, parse_policy
from .tlog.state import ClientState, StateMoved
from .tlog.verify import accept_history, accept_receipt, parse_checkpoint

# How many times an answer is fetched again because another process remembered a newer tree meanwhile.
_ATTEMPTS = 3
__all__ = ["RegistryClient", "Published", "Resolution", "RegistryError", "NotFound"]


@dataclass(frozen=True)
class Published:
    """The registry's receipt for a version: stored now (`created`), or already before."""
    did: str
    version_id: str
    version_time: str
    # False when the registry already held exactly this version as the last (a retry).
    created: bool
    # The version's entry in the registry's log, proven by the receipt.
    log_index: int


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

    Histories and receipts are checked against the registry's log: its checkpoints must be
    signed by a log of the trust policy in the file `trust`, or, without one, by the log key
    pinned at first use in the client's state (the directory `state`, by default
    `tlog.state.default_directory()`), and each must extend the newest one verified before.
    An answer whose proofs fail raises `InvalidProof` (`ForkDetected` for proof of a forked log)
    and changes nothing in the state.
    """

    def __init__(self, url: str, *, timeout: float = 10.0, ca: str | None = None, trust: str | None = None,
                 state: str | os.PathLike[str] | None = None, max_age: float | None = None) -> None:
        self._max_age = max_age
        self._policy: Policy | None = None
        if trust is not None:
            with open(trust, encoding="utf-8") as file:
                self._policy = parse_policy(file.read())
        self._state = ClientState(state)
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
        size = parse_checkpoint(receipt_checkpoint(receipt.get("proof"))).size
        self._remembering(lambda known, consistency: accept_receipt(
            self._state, self._policy, self.url, signed, receipt, consistency=consistency, known=known,
            offered_key=self._offered_key(), max_age=self._max_age), size)
        return Published(did=did, version_id=str(fields[1]), version_time=str(fields[2]),
                         created=answer.status == 201, log_index=receipt["logIndex"])

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

        The whole history is checked (every version signed by a key of the version before, from
        a key-derived start) and must be the history of `did` itself: a history that fails raises
        `InvalidDocument`. It must be proven the DID's whole history in the registry's log:
        else `InvalidProof`. No version (proven), or none for the selector, raises `NotFound`;
        a malformed selector, or both, `ValueError`.
        """
        if version_id is not None and version_time is not None:
            raise ValueError("give version_id or version_time, not both")
        if version_id is not None and not is_version_id(version_id):
            raise ValueError(f"a version id is a decimal number from 1 without leading zeros, not {version_id!r}")
        history = self._history(did)
        try:
            version = history.at(version_id=version_id, version_time=version_time)
        except LookupError:
            selector = f"version {version_id}" if version_id is not None else f"a version at {version_time}"
            raise NotFound(404, f"{did} has no {selector}") from None
        return Resolution(did=did, version_id=version.version_id, version_time=version.version_time,
                          deactivated=history.deactivated, document=version.document, history=history)

    def _history(self, did: str) -> History:
        """The verified history of `did`, proven whole by the log, whose checkpoint is then remembered."""
        for _ in range(_ATTEMPTS):
            known = self._state.known_size(self.url)
            query = "" if known is None else "?" + urlencode({"known": known})
            answer = self._connection.request("GET", _did_path(did) + "/history" + query,
                                              headers={"Accept": "application/json"})
            if answer.status not in (200, 404):
                raise _failure(answer)
            history: History | None = None
            if answer.status == 200:
                history, body = _verified_history(answer)
                if history.did != did:
                    raise InvalidDocument(f"the registry served the history of {quoted(history.did)}, not {quoted(did)}")
                texts = [version.signed for version in history.versions]
            else:  # only the proof that the log holds no version of did
                body = _json(answer, dict)
                if not isinstance(body.get("versions"), list):
                    raise InvalidDocument(_NO_HISTORY)
                if body["versions"]:
                    raise InvalidDocument("the registry answered 404 with versions")
                texts = []
            try:
                # The texts are value forms, and the history verified them as did's.
                accept_history(self._state, self._policy, self.url, did, texts, body.get("vekLog"), known=known,
                               offered_key=self._offered_key(), max_age=self._max_age,
                               value_forms=history is not None)
            except StateMoved:
                continue
            if history is None:
                raise NotFound(404, f"{did} has no version in the registry's log")
            return history
        raise StateMoved(f"other processes keep remembering newer trees of {self.url}")

    def _remembering(self, accept: Callable[[int | None, list[bytes] | None], object], size: int) -> None:
        """Run `accept` with the size of the newest tree remembered and a proof that the tree of
        `size` extends it, again when another process remembered a newer tree meanwhile."""
        for _ in range(_ATTEMPTS):
            known = self._state.known_size(self.url)
            consistency = self.consistency(known, size) if known is not None and known < size else None
            try:
                accept(known, consistency)
                return
            except StateMoved:
                continue
        raise StateMoved(f"other processes keep remembering newer trees of {self.url}")

    def _offered_key(self) -> Verifier | None:
        """The log key the registry serves, when it is needed: at first contact, without a policy."""
        if self._policy is not None or self._state.registry_key(self.url) is not None:
            return None
        try:
            return Verifier.from_vkey(self.log_key().strip())
        except NotFound:
            raise InvalidProof(f"{self.url} serves no log key: it keeps no transparency log") from None
        except FormatError as error:
            raise InvalidProof(f"the log key served: {error}") from None

    def checkpoint(self) -> str:
        """The signed checkpoint the registry's log serves now, unchecked."""
        return _text(self._get("/tlog/checkpoint"))

    def log_key(self) -> str:
        """The vkey of the log's key, as the registry serves it, unchecked."""
        return _text(self._get("/tlog/key"))

    def tile(self, path: str) -> bytes:
        """The contents of the log's tile or entry bundle at `path` ("tile/..."), unchecked."""
        return self._get("/tlog/" + path).body

    def consistency(self, old: int, new: int) -> list[bytes]:
        """The registry's proof that its tree of size `new` extends that of size `old`, unchecked."""
        lines = _text(self._get("/tlog/consistency?" + urlencode({"old": old, "new": new}))).splitlines()
        return consistency_hashes(lines, "the consistency proof served")

    def _get(self, path: str) -> Answer:
        answer = self._connection.request("GET", path)
        if answer.status != 200:
            raise _failure(answer)
        return answer

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


_NO_HISTORY = "the registry's history has no array of signed documents"


def _verified_history(answer: Answer) -> tuple[History, dict[str, Any]]:
    """The history that a 200 answer of /history serves, verified (each version in its value
    form), and the answer's other members. The versions never become Python objects."""
    try:
        rows, others = _native.verify_history_answer(_text(answer))
    except ValueError as error:
        raise InvalidDocument(str(error)) from None
    return history_of(rows), others


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
