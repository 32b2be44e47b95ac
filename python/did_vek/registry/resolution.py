"""`GET /1.0/identifiers/{did}`: DID resolution over HTTP, as a plain ASGI handler.

This is the registry's busiest route, so it does without the framework's request and response
objects (the dispatcher hands it the ASGI call as it came): one lookup of the last
version for the common case, the parsed parts of each stored version kept (a stored version
never changes), and the answer written straight to the server. Every failure is a resolution
result with an error object, never an exception out of the handler.
"""

import json
import logging
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from starlette.concurrency import run_in_threadpool

from .. import _native
from .._resolution import document_metadata, error_object, resolution_result
from .request_parts import is_other_method_did, is_vek_did, query_pairs, raw_path_after, version_number
from .store import Store, StoredVersion

_log = logging.getLogger("did_vek.registry")
PREFIX = "/1.0/identifiers/"
RESULT_TYPE = "application/did-resolution"
_LEGACY_RESULT = ("application/ld+json", "https://w3id.org/did-resolution")
DOCUMENT_TYPES = frozenset({"application/did", "application/did+json", "application/did+ld+json", "application/json"})
# Kept answers: emptied when either bound is reached. A document may be up to 64 KiB, so a
# count alone would let large documents take hundreds of megabytes per worker.
_CACHED_ANSWERS = 4096
_CACHED_BYTES = 16 * 1024 * 1024

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]

_ERRORS = {
    "INVALID_DID": (400, "invalid DID"),
    "METHOD_NOT_SUPPORTED": (501, "method not supported"),
    "INVALID_OPTIONS": (400, "invalid options"),
    "NOT_FOUND": (404, "not found"),
    "REPRESENTATION_NOT_SUPPORTED": (406, "representation not supported"),
    "INTERNAL_ERROR": (500, "internal error"),
}


class ResolutionError(Exception):
    def __init__(self, code: str, detail: str) -> None:
        super().__init__(detail)
        self.code = code
        self.detail = detail


def representation(accept: str | None) -> str | None:
    """The media type to answer with for an `Accept` header, or None when none can be served.

    The resolution result whenever `Accept` is absent or takes "*/*", "application/*",
    "application/did-resolution" or the older ld+json with the resolution profile, whatever
    else it takes; else the bare document, as the document type of highest q, the first on a
    tie. A range with q=0 is one the client refuses.
    """
    if accept is None or not accept.strip():
        return RESULT_TYPE
    candidates: list[tuple[float, int, str]] = []
    for position, element in enumerate(accept.split(",")):
        media_range, *parameters = (part.strip() for part in element.split(";"))
        media_range = media_range.lower()
        named: dict[str, str] = {}
        for parameter in parameters:
            name, _, value = parameter.partition("=")
            # Quoted as it must be, or bare as some clients send it.
            named[name.strip().lower()] = value.strip().strip('"')
        quality = _quality(named.pop("q", "1"))
        if quality is None or quality <= 0:
            continue
        if media_range in ("*/*", "application/*", RESULT_TYPE) or (
                (media_range, named.get("profile")) == _LEGACY_RESULT):
            return RESULT_TYPE
        if media_range in DOCUMENT_TYPES:
            candidates.append((-quality, position, media_range))
    return min(candidates)[2] if candidates else None


def _quality(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return value if 0 <= value <= 1 else None


class Resolver:
    """The resolution handler over `store`; `inline` runs store reads on the event loop."""

    def __init__(self, store: Store, *, inline: bool) -> None:
        self.store = store
        self.inline = inline
        self._bodies: dict[tuple[str, int, int, int, bool, str], bytes] = {}
        self._bodies_size = 0
        self._first_created: dict[str, str] = {}

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        headers = dict(scope.get("headers") or ())
        accept_raw = headers.get(b"accept")
        accept = None if accept_raw is None else accept_raw.decode("latin-1")
        media_type = representation(accept)
        try:
            if media_type is None:
                raise ResolutionError("REPRESENTATION_NOT_SUPPORTED",
                                      "Accept names no type this registry serves: application/did-resolution,"
                                      " application/did, application/did+json, application/did+ld+json,"
                                      " application/json")
            did = self._did(scope)
            version_id, version_time = self._options(scope)
            if self.inline:
                status, body = self._resolve(did, version_id, version_time, media_type)
            else:
                status, body = await run_in_threadpool(self._resolve, did, version_id, version_time, media_type)
        except ResolutionError as error:
            media_type = RESULT_TYPE
            status, body = self._error(error.code, error.detail)
        except Exception as error:  # the store failed: say so, and go on serving
            _log.error("store failure on resolution: %s", error)
            media_type = RESULT_TYPE
            status, body = self._error("INTERNAL_ERROR", "the store failed; the registry's log says why")
        await send({"type": "http.response.start", "status": status,
                    "headers": [(b"content-type", media_type.encode()), (b"content-length", str(len(body)).encode())]})
        await send({"type": "http.response.body", "body": b"" if scope.get("method") == "HEAD" else body})

    @staticmethod
    def _error(code: str, detail: str) -> tuple[int, bytes]:
        status, title = _ERRORS[code]
        result = resolution_result(None, {}, error_object(code, title, detail))
        return status, json.dumps(result).encode()

    @staticmethod
    def _did(scope: Scope) -> str:
        did = raw_path_after(scope, PREFIX)
        if did is None:
            raise ResolutionError("INVALID_DID", "the DID in the path is not well percent-encoded UTF-8")
        if is_vek_did(did):
            return did
        if is_other_method_did(did):
            raise ResolutionError("METHOD_NOT_SUPPORTED", "this registry serves did:vek DIDs only")
        raise ResolutionError("INVALID_DID", f"{json.dumps(did[:80])} is not a valid did:vek DID")

    @staticmethod
    def _options(scope: Scope) -> tuple[int | None, str | None]:
        pairs = query_pairs(scope.get("query_string") or b"")
        if pairs is None:
            raise ResolutionError("INVALID_OPTIONS", "the query is not well percent-encoded UTF-8")
        version_ids = [value for name, value in pairs if name == "versionId"]
        version_times = [value for name, value in pairs if name == "versionTime"]
        if len(version_ids) + len(version_times) > 1:
            raise ResolutionError("INVALID_OPTIONS", "give one versionId or one versionTime, not several")
        version_id = None
        if version_ids:
            version_id = version_number(version_ids[0])
            if version_id is None:
                raise ResolutionError("INVALID_OPTIONS", "versionId must be a version number: 1, 2, ...")
        version_time = version_times[0] if version_times else None
        if version_time is not None and not _is_timestamp(version_time):
            raise ResolutionError("INVALID_OPTIONS", "versionTime must be a UTC time of the form YYYY-MM-DDThh:mm:ssZ")
        return version_id, version_time

    def _resolve(self, did: str, version_id: int | None, version_time: str | None,
                 media_type: str) -> tuple[int, bytes]:
        store = self.store
        last = store.last(did)
        if last is None:
            raise ResolutionError("NOT_FOUND", f"{did} has no version in this registry")
        selected: StoredVersion | None = last
        if version_id is not None:
            selected = last if version_id == last.version else store.version(did, version_id)
        elif version_time is not None:
            selected = last if version_time >= last.version_time else store.at_time(did, version_time)
        if selected is None:
            raise ResolutionError("NOT_FOUND", f"{did} has no version for the selector")
        following = None if selected.version == last.version else store.version(did, selected.version + 1)
        # The deactivating version is the DID's end: resolving it is "gone"; an older one is history.
        status = 410 if last.deactivates and selected.version == last.version else 200
        # A stored version never changes, so an answer is fixed by the versions it names, and
        # version 1's "created" by the DID: both are kept rather than read and written again.
        key = (did, selected.version, selected.seq, 0 if following is None else following.seq, last.deactivates,
               media_type)
        body = self._bodies.get(key)
        if body is None:
            body = self._body(selected, following, last.deactivates, self._created(did, selected), media_type)
            # Emptied when full: simpler than an LRU, and safe from any thread, one dict operation
            # at a time (the size may be off by a racing answer until the next emptying).
            if len(self._bodies) >= _CACHED_ANSWERS or self._bodies_size + len(body) > _CACHED_BYTES:
                self._bodies.clear()
                self._bodies_size = 0
            self._bodies[key] = body
            self._bodies_size += len(body)
        return status, body

    def _created(self, did: str, selected: StoredVersion) -> str:
        created = self._first_created.get(did)
        if created is None:
            first = selected if selected.version == 1 else self.store.version(did, 1)
            created = (first or selected).created
            if len(self._first_created) >= _CACHED_ANSWERS:
                self._first_created.clear()
            self._first_created[did] = created
        return created

    @staticmethod
    def _body(selected: StoredVersion, following: StoredVersion | None, deactivated: bool, created: str,
              media_type: str) -> bytes:
        value = json.loads(selected.signed)
        document = value["document"]
        if media_type != RESULT_TYPE:
            return json.dumps(document, ensure_ascii=False).encode()
        metadata = document_metadata(
            created=created, version_id=str(selected.version), version_time=selected.version_time,
            proof=value["proof"], next_version_id=None if following is None else str(following.version),
            next_update=None if following is None else following.version_time, deactivated=deactivated)
        return json.dumps(resolution_result(document, metadata), ensure_ascii=False).encode()



def _is_timestamp(text: str) -> bool:
    try:
        _native.check_timestamp(text, "versionTime")
    except ValueError:
        return False
    return True
