"""Resolving a relative reference against a base URI, exactly as RFC 3986 section 5.2 says.

The standard library's `urljoin` resolves only for the schemes it lists and keeps some
pre-RFC 3986 habits; a service endpoint may have any scheme, so the algorithm is written out.
"""

import re
from dataclasses import dataclass

# RFC 3986 appendix B: the five components of any URI reference.
_COMPONENTS = re.compile(r"(?:([^:/?#]+):)?(?://([^/?#]*))?([^?#]*)(?:\?([^#]*))?(?:#(.*))?", re.DOTALL)


@dataclass(frozen=True)
class _Parts:
    scheme: str | None
    authority: str | None
    path: str
    query: str | None
    fragment: str | None


def _split(reference: str) -> _Parts:
    match = _COMPONENTS.fullmatch(reference)
    assert match is not None  # every text matches: each component is optional
    scheme, authority, path, query, fragment = match.groups()
    return _Parts(scheme, authority, path, query, fragment)


def resolve_reference(base: str, reference: str) -> str | None:
    """The target URI of `reference` against `base`, or None when `base` is no absolute URI."""
    b, r = _split(base), _split(reference)
    if b.scheme is None:
        return None
    if r.scheme is not None:
        target = _Parts(r.scheme, r.authority, _remove_dot_segments(r.path), r.query, r.fragment)
    elif r.authority is not None:
        target = _Parts(b.scheme, r.authority, _remove_dot_segments(r.path), r.query, r.fragment)
    elif not r.path:
        target = _Parts(b.scheme, b.authority, b.path, r.query if r.query is not None else b.query, r.fragment)
    else:
        path = r.path if r.path.startswith("/") else _merge(b, r.path)
        target = _Parts(b.scheme, b.authority, _remove_dot_segments(path), r.query, r.fragment)
    return _recompose(target)


def _merge(base: _Parts, path: str) -> str:
    if base.authority is not None and not base.path:
        return "/" + path
    return base.path[:base.path.rfind("/") + 1] + path


def _remove_dot_segments(path: str) -> str:
    output: list[str] = []
    while path:
        if path.startswith("../"):
            path = path[3:]
        elif path.startswith("./"):
            path = path[2:]
        elif path.startswith("/./"):
            path = path[2:]
        elif path == "/.":
            path = "/"
        elif path.startswith("/../") or path == "/..":
            path = "/" + path[4:] if path.startswith("/../") else "/"
            if output:
                output.pop()
        elif path in (".", ".."):
            path = ""
        else:
            # The first segment, with its leading "/" if any, up to the next "/".
            end = path.find("/", 1)
            end = len(path) if end == -1 else end
            output.append(path[:end])
            path = path[end:]
    return "".join(output)


def _recompose(parts: _Parts) -> str:
    text = ""
    if parts.scheme is not None:
        text += parts.scheme + ":"
    if parts.authority is not None:
        text += "//" + parts.authority
    text += parts.path
    if parts.query is not None:
        text += "?" + parts.query
    if parts.fragment is not None:
        text += "#" + parts.fragment
    return text
