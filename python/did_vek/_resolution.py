"""The W3C DID Resolution result: what a resolver answers for a DID, built by server and client alike."""

from typing import Any

from ._history import History, Version
from ._view import view_of

ERROR_TYPE_BASE = "https://www.w3.org/ns/did#"
DID_MEDIA_TYPE = "application/did"


def document_metadata(*, created: str, version_id: str, version_time: str,
                      next_version_id: str | None = None, next_update: str | None = None,
                      deactivated: bool = False) -> dict[str, Any]:
    """The "didDocumentMetadata" of one version.

    A DID never updated has no "updated": version 1's time is its "created".
    """
    metadata: dict[str, Any] = {"created": created}
    if version_id != "1":
        metadata["updated"] = version_time
    metadata["versionId"] = version_id
    if next_version_id is not None:
        metadata["nextVersionId"] = next_version_id
    if next_update is not None:
        metadata["nextUpdate"] = next_update
    if deactivated:
        metadata["deactivated"] = True
    return metadata


def error_object(code: str, title: str, detail: str) -> dict[str, str]:
    """A problem report (RFC 9457 members) whose type is one of the DID error codes."""
    return {"type": ERROR_TYPE_BASE + code, "title": title, "detail": detail}


def resolution_result(view: dict[str, Any] | None, metadata: dict[str, Any], *, proof: dict[str, Any] | None = None,
                      error: dict[str, str] | None = None, vek_log: dict[str, Any] | None = None) -> dict[str, Any]:
    """A result of `view` (the resolved document) with its version's `proof`, or of an `error`.

    The proof is a list, as resolution metadata holds a set of proofs: with the record of the
    view it makes the signed document again.
    """
    resolution_metadata: dict[str, Any]
    if error is not None:
        resolution_metadata = {"error": error}
    elif view is None:  # deactivated: no document, so no content type to name
        resolution_metadata = {}
    else:
        resolution_metadata = {"contentType": DID_MEDIA_TYPE}
        if proof is not None:
            resolution_metadata["proof"] = [proof]
        if vek_log is not None:
            resolution_metadata["vekLog"] = vek_log
    return {"didDocument": view, "didResolutionMetadata": resolution_metadata, "didDocumentMetadata": metadata}


def gone_metadata(*, created: str, version_id: str, version_time: str) -> dict[str, Any]:
    """The metadata of a deactivated DID, whichever version was asked for: its last version's."""
    return document_metadata(created=created, version_id=version_id, version_time=version_time, deactivated=True)


def history_result(history: History, version: Version) -> dict[str, Any]:
    """The result for `version` of a verified history, as the registry serves it."""
    if history.deactivated:
        last = history.latest
        return resolution_result(None, gone_metadata(created=history.created, version_id=last.version_id,
                                                     version_time=last.version_time))
    following = int(version.version_id)  # index of the next version: ids count from 1
    after = history.versions[following] if following < len(history.versions) else None
    metadata = document_metadata(
        created=history.created, version_id=version.version_id, version_time=version.version_time,
        next_version_id=after.version_id if after else None, next_update=after.version_time if after else None)
    return resolution_result(view_of(version.document), metadata, proof=version.proof)
