"""`GET /1.0/identifiers/{did}`: DID resolution and DID URL dereferencing over HTTP, as a plain ASGI handler.

This is the registry's busiest route, so it does without the framework's request and response
objects (the dispatcher hands it the ASGI call as it came): one lookup of the last version for
the common case, the answers of stored versions kept (a stored version never changes), and the
answer written straight to the server. Every failure is a resolution (or dereferencing) result
with an error object, never an exception out of the handler.

What is served is the resolved view of each version (`did_vek._view`); its proof travels in
the resolution metadata, so that the view mapped back and the proof make the signed document.
Resolution results also carry the log's proofs ("vekLog", see `log_proofs`), all as of the head
served when the answer started; bare documents carry none.
"""

import json
import logging
from collections.abc import Awaitable, Callable, MutableMapping
from dataclasses import dataclass
from typing import Any

from starlette.concurrency import run_in_threadpool

from .. import _native
from .._resolution import DID_MEDIA_TYPE, document_metadata, error_object, gone_metadata, resolution_result
from .._view import view_of
from .did_url import Target, read_target
from .log_proofs import AnswerProofs, resolved_as_of_head
from .log_view import HeadMoved, LogView
from .negotiation import MediaType, negotiate
from .request_parts import query_pairs, raw_path_after
from .resolution_errors import ResolutionError
from .store import Head, ReadsOnLoop, Store, StoredVersion, WouldBlock
from .uri_reference import resolve_reference

_log = logging.getLogger("did_vek.registry")
PREFIX = "/1.0/identifiers/"

RESULT_LD = MediaType("application/ld+json", (("profile", "https://w3id.org/did-resolution"),))
RESULT = MediaType("application/did-resolution")
DEREFERENCING = MediaType("application/did-url-dereferencing")
DID_JSON = MediaType("application/did+json")
BARE = (MediaType("application/did"), DID_JSON, MediaType("application/did+ld+json"), MediaType("application/json"))
RESULTS = (RESULT_LD, RESULT)
# In the server's order of preference, which decides between representations of equal weight:
# a DID resolves to its result, a DID URL to the part of the document it names.
FOR_DID = (*RESULTS, *BARE, DEREFERENCING)
FOR_DID_URL = (DID_JSON, *(media for media in BARE if media != DID_JSON), DEREFERENCING, *RESULTS)
_VARY = (b"vary", b"Accept")
# Results carry proofs against the checkpoint served now: a cache must not serve them later.
_NO_STORE = (b"cache-control", b"no-store")
_RESULT_TYPES = frozenset(str(media) for media in (*RESULTS, DEREFERENCING))

# Kept answers: emptied when either bound is reached. A document may be up to 64 KiB, so a
# count alone would let large documents take hundreds of megabytes per worker.
_CACHED_ANSWERS = 4096
_CACHED_BYTES = 16 * 1024 * 1024

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]


@dataclass(frozen=True)
class Answer:
    status: int
    media_type: str
    body: bytes
    location: str | None = None


def _dumps(value: Any) -> bytes:
    # json.dumps(value, ensure_ascii=False).encode(), written natively: the answer's largest cost after its read.
    return _native.json_line(value)


def _dereferencing(content: Any, content_metadata: dict[str, Any], metadata: dict[str, Any]) -> bytes:
    return _dumps({"dereferencingMetadata": metadata, "contentStream": content, "contentMetadata": content_metadata})


@dataclass(frozen=True)
class _Resolved:
    """A selected version, made ready to be served in any representation."""
    view: dict[str, Any]
    metadata: dict[str, Any]
    proof: dict[str, Any]


class Resolver:
    """The resolution handler over `store`; `inline` runs store reads on the event loop."""

    def __init__(self, store: Store, view: LogView, *, inline: bool, start: Callable[[], Head | None] | None = None) -> None:
        self.store = store
        self.view = view
        self._start = start
        self.inline = inline
        self._bodies: dict[tuple[str, int, int, MediaType, int], bytes] = {}
        self._bodies_size = 0
        self._first_created: dict[str, str] = {}
        self._on_loop = store if not inline and isinstance(store, ReadsOnLoop) else None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        accept_raw = dict(scope.get("headers") or ()).get(b"accept")
        accept = None if accept_raw is None else accept_raw.decode("latin-1")
        chosen: MediaType | None = None
        try:
            target = read_target(raw_path_after(scope, PREFIX), query_pairs(scope.get("query_string") or b""))
            chosen = negotiate(accept, FOR_DID_URL if target.is_url else FOR_DID)
            if chosen is None:
                raise ResolutionError("REPRESENTATION_NOT_SUPPORTED", "Accept names no type this registry serves: "
                                      + ", ".join(str(media) for media in FOR_DID))
            if self.inline:
                answer = self._answer(target, chosen)
            elif self._on_loop is not None:
                answer = await self._answer_on_loop(self._on_loop, target, chosen)
            else:
                answer = await run_in_threadpool(self._answer, target, chosen)
        except ResolutionError as error:
            if chosen is None and error.code != "REPRESENTATION_NOT_SUPPORTED":
                chosen = negotiate(accept, FOR_DID)
            answer = _failure(error, chosen)
        except Exception as error:  # the store failed: say so, and go on serving
            _log.error("store failure on resolution: %s", error)
            answer = _failure(ResolutionError("INTERNAL_ERROR", "the store failed; the registry's log says why"),
                              chosen)
        headers = [(b"content-type", answer.media_type.encode()), (b"content-length", str(len(answer.body)).encode()),
                   _VARY]
        if answer.media_type in _RESULT_TYPES:
            headers.append(_NO_STORE)
        if answer.location is not None:
            headers.append((b"location", answer.location.encode()))
        await send({"type": "http.response.start", "status": answer.status, "headers": headers})
        await send({"type": "http.response.body", "body": b"" if scope.get("method") == "HEAD" else answer.body})

    async def _answer_on_loop(self, store: ReadsOnLoop, target: Target, chosen: MediaType) -> Answer:
        """The answer made on the event loop from one read awaited there, when it needs no other
        read (the common case: the last version, its proofs from the log view in memory); else,
        from the start, in a worker thread. The head read is served, as the thread's would be."""
        try:
            head, last, entry = await store.served_and_last_on_loop(target.did)
            if head is not None:
                with store.refusing_blocking_reads():
                    return self._answer_as_of(head, last, entry, target, chosen)
        except (WouldBlock, HeadMoved):
            pass
        return await run_in_threadpool(self._answer, target, chosen)

    def _answer(self, target: Target, chosen: MediaType) -> Answer:
        return resolved_as_of_head(self.store, target.did,
                                   lambda head, last, entry: self._answer_as_of(head, last, entry, target, chosen),
                                   self._start)

    def _answer_as_of(self, head: Head, last: StoredVersion | None, last_entry: str | None, target: Target,
                      chosen: MediaType) -> Answer:
        store, did, size = self.store, target.did, head.size
        entries = {} if last is None or last.log_index is None or last_entry is None else {last.log_index: last_entry}
        if last is None:
            proofs = AnswerProofs(store, self.view, head, did)
            raise ResolutionError("NOT_FOUND", f"{did} has no version in this registry", vek_log=proofs.map_part())
        if last.deactivates:
            # Gone for every request: its older versions stay readable in its log only.
            vek_log = AnswerProofs(store, self.view, head, did, entries=entries).of_version(last)
            metadata = gone_metadata(created=self._created(did, last, size), version_id=str(last.version),
                                     version_time=last.version_time)
            return _gone(metadata, chosen, {"vekLog": vek_log, "signed": json.loads(last.signed)})
        selected: StoredVersion | None = last
        if target.version_id is not None:
            selected = last if target.version_id == last.version else store.version(did, target.version_id, size)
        elif target.version_time is not None:
            selected = (last if target.version_time >= last.version_time
                        else store.at_time(did, target.version_time, size))
        if selected is None:
            raise ResolutionError("NOT_FOUND", f"{did} has no version for the selector",
                                  vek_log=AnswerProofs(store, self.view, head, did, entries=entries).of_version(last))
        following = None if selected.version == last.version else store.version(did, selected.version + 1, size)
        if target.is_url:
            return _dereference(target, self._resolved(selected, following, size), chosen)
        if chosen == DEREFERENCING:
            resolved = self._resolved(selected, following, size)
            return Answer(200, str(chosen), _dereferencing(resolved.view, resolved.metadata,
                                                           {"contentType": DID_MEDIA_TYPE, "proof": [resolved.proof]}))
        # A stored version never changes, so an answer is fixed by the versions it names and the
        # head it is proven against, and version 1's "created" by the DID: both are kept rather
        # than read and written again.
        key = (did, selected.seq, 0 if following is None else following.seq, chosen, size)
        body = self._bodies.get(key)
        if body is None:
            if chosen in RESULTS:
                later = [] if following is None else store.log(did, after=selected.version, size=size)
                vek_log = AnswerProofs(store, self.view, head, did, entries=entries).of_version(selected, later)
                resolved = self._resolved(selected, following, size)
                body = _dumps(resolution_result(resolved.view, resolved.metadata, proof=resolved.proof,
                                                vek_log=vek_log))
            else:
                body = _dumps(self._resolved(selected, following, size).view)
            # Emptied when full: simpler than an LRU, and safe from any thread, one dict operation
            # at a time (the size may be off by a racing answer until the next emptying).
            if len(self._bodies) >= _CACHED_ANSWERS or self._bodies_size + len(body) > _CACHED_BYTES:
                self._bodies.clear()
                self._bodies_size = 0
            self._bodies[key] = body
            self._bodies_size += len(body)
        return Answer(200, str(chosen), body)

    def _resolved(self, selected: StoredVersion, following: StoredVersion | None, size: int) -> _Resolved:
        value = json.loads(selected.signed)
        metadata = document_metadata(
            created=self._created(selected.did, selected, size), version_id=str(selected.version),
            version_time=selected.version_time, next_version_id=None if following is None else str(following.version),
            next_update=None if following is None else following.version_time)
        return _Resolved(view_of(value["document"]), metadata, value["proof"])

    def _created(self, did: str, selected: StoredVersion, size: int) -> str:
        created = self._first_created.get(did)
        if created is None:
            first = selected if selected.version == 1 else self.store.version(did, 1, size)
            created = (first or selected).created
            if len(self._first_created) >= _CACHED_ANSWERS:
                self._first_created.clear()
            self._first_created[did] = created
        return created


def _dereference(target: Target, resolved: _Resolved, chosen: MediaType) -> Answer:
    """The part of the document that the DID URL `target` names: a key or service by its fragment, or a
    service's endpoint (a redirect to it)."""
    did, view = target.did, resolved.view
    if target.service is not None:
        endpoint = _entry(view, ("service",), f"{did}#{target.service}")["serviceEndpoint"]
        url = endpoint if target.relative_ref is None else resolve_reference(endpoint, target.relative_ref)
        if url is None:
            raise ResolutionError("NOT_FOUND", f"the endpoint of service {target.service!r} is no absolute URI "
                                               "that relativeRef could be resolved against")
        if target.fragment is not None and "#" not in url:
            url += "#" + target.fragment
        if chosen == DEREFERENCING:
            return Answer(200, str(chosen), _dereferencing(url, {}, {"contentType": "text/uri-list"}))
        return Answer(303, "text/uri-list", url.encode() + b"\r\n", location=url)
    assert target.fragment is not None
    reference = f"{did}#{target.fragment}"
    entry = _entry(view, ("verificationMethod", "service"), reference)
    if chosen == DEREFERENCING:
        return Answer(200, str(chosen), _dereferencing(entry, resolved.metadata, {"contentType": str(DID_JSON)}))
    served = chosen if chosen in BARE else DID_JSON
    return Answer(200, str(served), _dumps(entry))


def _entry(view: dict[str, Any], members: tuple[str, ...], reference: str) -> dict[str, Any]:
    for member in members:
        for entry in view.get(member, ()):
            if entry["id"] == reference:
                return dict(entry)
    raise ResolutionError("NOT_FOUND", f"the document has no {json.dumps(reference[:120])}")


def _gone(metadata: dict[str, Any], chosen: MediaType | None, proven: dict[str, Any]) -> Answer:
    if chosen == DEREFERENCING:
        return Answer(410, str(chosen), _dereferencing(None, metadata, {}))
    result = resolution_result(None, metadata)
    result["didResolutionMetadata"].update(proven)
    return Answer(410, str(chosen if chosen in RESULTS else RESULT), _dumps(result))


def _failure(error: ResolutionError, chosen: MediaType | None) -> Answer:
    """The error as a result in the representation negotiated; as a resolution result when that
    was a bare document or none."""
    report = error_object(error.code, error.title, error.detail)
    if chosen == DEREFERENCING:
        return Answer(error.status, str(chosen), _dereferencing(None, {}, {"error": report}))
    media_type = chosen if chosen in RESULTS else RESULT
    result = resolution_result(None, {}, error=report)
    if error.vek_log is not None:
        result["didResolutionMetadata"]["vekLog"] = error.vek_log
    return Answer(error.status, str(media_type), _dumps(result))
