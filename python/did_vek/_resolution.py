"""The W3C DID Resolution result: what a resolver answers for a DID, built by server and client alike."""

from typing import Any

from ._history import History, Version

ERROR_TYPE_BASE = "https://www.w3.org/ns/did#"
DID_MEDIA_TYPE = "application/did"


def document_metadata(*, created: str, version_id: str, version_time: str, proof: dict[str, Any],
                      next_version_id: str | None = None, next_update: str | None = None,
                      deactivated: bool = False) -> dict[str, Any]:
    """The "didDocumentMetadata" of one version; "didDocument" and "proof" make its signed document."""
    metadata: dict[str, Any] = {"created": created, "updated": version_time, "versionId": version_id}
    if next_version_id is not None:
        metadata["nextVersionId"] = next_version_id
    if next_update is not None:
        metadata["nextUpdate"] = next_update
    if deactivated:
        metadata["deactivated"] = True
    metadata["proof"] = proof
    return metadata


def error_object(code: str, title: str, detail: str) -> dict[str, str]:
    """A problem report (RFC 9457 members) whose type is one of the DID error codes."""
    return {"type": ERROR_TYPE_BASE + code, "title": title, "detail": detail}


def resolution_result(document: dict[str, Any] | None, metadata: dict[str, Any],
                      error: dict[str, str] | None = None) -> dict[str, Any]:
    # A failed resolution has no document, so no content type to name.
    resolution_metadata: dict[str, Any] = {"contentType": DID_MEDIA_TYPE} if error is None else {"error": error}
    return {"didDocument": document, "didResolutionMetadata": resolution_metadata, "didDocumentMetadata": metadata}


def history_result(history: History, version: Version) -> dict[str, Any]:
    """The result for `version` of a verified history."""
    following = int(version.version_id)  # index of the next version: ids count from 1
    after = history.versions[following] if following < len(history.versions) else None
    metadata = document_metadata(
        created=history.created, version_id=version.version_id, version_time=version.version_time,
        proof=version.proof, next_version_id=after.version_id if after else None,
        next_update=after.version_time if after else None, deactivated=history.deactivated)
    return resolution_result(version.document, metadata)
