"""Reading what a resolution request names: a DID, or a DID URL, and the options that go with it.

The method's own rule (`is_valid_did`) decides what a did:vek DID is; W3C DID syntax applies on
top of it here, so that a resolver answers INVALID_DID for what no DID client would send (a
trailing ":", say) rather than looking it up.
"""

import json
import re
from dataclasses import dataclass

from .. import _native
from .request_parts import is_vek_did, query_pairs, version_number
from .resolution_errors import ResolutionError

# W3C DID syntax: "did:", a method name, and a method-specific id of idchars whose ":"-separated
# segments may be empty, all but the last.
_ID_CHAR = r"(?:[A-Za-z0-9._-]|%[0-9A-Fa-f]{2})"
_W3C_DID = re.compile(rf"did:[a-z0-9]+:(?:{_ID_CHAR}*:)*{_ID_CHAR}+")
# An RFC 3986 fragment: pchar, "/" and "?".
_FRAGMENT = re.compile(r"(?:[A-Za-z0-9._~!$&'()*+,;=:@/?-]|%[0-9A-Fa-f]{2})+")

SELECTORS = ("versionId", "versionTime")
DID_URL_PARAMETERS = ("service", "relativeRef")


@dataclass(frozen=True)
class Target:
    """A DID with a version selector, and what of its document a DID URL names (if it is one)."""
    did: str
    version_id: int | None = None        # 0 is well-formed and names no version
    version_time: str | None = None
    fragment: str | None = None
    service: str | None = None
    relative_ref: str | None = None

    @property
    def is_url(self) -> bool:
        return self.fragment is not None or self.service is not None


def read_target(text: str | None, query: list[tuple[str, str]] | None) -> Target:
    """The target of the decoded identifier `text` with the request's query `pairs`.

    None for either means it was not well percent-encoded UTF-8.
    """
    if text is None:
        raise ResolutionError("INVALID_DID", "the DID in the path is not well percent-encoded UTF-8")
    if query is None:
        raise ResolutionError("INVALID_OPTIONS", "the query is not well percent-encoded UTF-8")
    # A client that escapes the whole DID URL sends its query and fragment in the path.
    rest, hash_sign, fragment = text.partition("#")
    did, question_mark, embedded_query = rest.partition("?")
    is_url = bool(hash_sign or question_mark or "/" in did)
    did, slash, _ = did.partition("/")
    _check_did(did, is_url)
    embedded = query_pairs(embedded_query.encode()) if question_mark else []
    if embedded is None:
        raise ResolutionError("INVALID_DID_URL", "the DID URL's query is not well percent-encoded UTF-8")
    pairs = embedded + query
    if not hash_sign and pairs and "#" in pairs[-1][1]:
        # "?service=files#top" with its "#" escaped, as HTTP needs: the fragment comes last in a DID URL.
        name, (value, hash_sign, fragment) = pairs[-1][0], pairs[-1][1].partition("#")
        pairs[-1] = (name, value)
    if hash_sign and _FRAGMENT.fullmatch(fragment) is None:
        raise ResolutionError("INVALID_DID_URL", f"{_shown(text)} has no well-formed fragment after \"#\"")
    options = _options(pairs)
    if slash:
        raise ResolutionError("NOT_FOUND", "a did:vek DID names no resource under a path")
    service, relative_ref = options.get("service"), options.get("relativeRef")
    if relative_ref is not None and service is None:
        raise ResolutionError("INVALID_DID_URL", "relativeRef is given only with service")
    version_id, version_time = _selector(options)
    return Target(did, version_id, version_time, fragment if hash_sign else None, service, relative_ref)


def _check_did(did: str, is_url: bool) -> None:
    w3c = _W3C_DID.fullmatch(did) is not None
    if w3c and not did.startswith("did:vek:"):
        raise ResolutionError("METHOD_NOT_SUPPORTED", "this registry serves did:vek DIDs only")
    if not (w3c and is_vek_did(did)):
        code = "INVALID_DID_URL" if is_url else "INVALID_DID"
        raise ResolutionError(code, f"{_shown(did)} is not a valid did:vek DID")


def _options(pairs: list[tuple[str, str]]) -> dict[str, str]:
    options: dict[str, str] = {}
    for name, value in pairs:
        if name not in SELECTORS and name not in DID_URL_PARAMETERS:
            raise ResolutionError("FEATURE_NOT_SUPPORTED",
                                  f"the option {_shown(name)} is not supported: versionId, versionTime, service and "
                                  "relativeRef are")
        if name in options:
            code = "INVALID_OPTIONS" if name in SELECTORS else "INVALID_DID_URL"
            raise ResolutionError(code, f"{name} is given more than once")
        if name in DID_URL_PARAMETERS and not value:
            raise ResolutionError("INVALID_DID_URL", f"{name} is empty")
        options[name] = value
    return options


def _selector(options: dict[str, str]) -> tuple[int | None, str | None]:
    version_id_text, version_time = options.get("versionId"), options.get("versionTime")
    if version_id_text is not None and version_time is not None:
        raise ResolutionError("INVALID_OPTIONS", "give one versionId or one versionTime, not both")
    version_id = None
    if version_id_text is not None:
        version_id = 0 if version_id_text == "0" else version_number(version_id_text)
        if version_id is None:
            raise ResolutionError("INVALID_OPTIONS", "versionId must be a version number: 0, 1, 2, ...")
    if version_time is not None and not _is_timestamp(version_time):
        raise ResolutionError("INVALID_OPTIONS", "versionTime must be a UTC time of the form YYYY-MM-DDThh:mm:ssZ")
    return version_id, version_time


def _is_timestamp(text: str) -> bool:
    try:
        _native.check_timestamp(text, "versionTime")
    except ValueError:
        return False
    return True


def _shown(text: str) -> str:
    return json.dumps(text[:80])
