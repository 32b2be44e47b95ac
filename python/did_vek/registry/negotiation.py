"""Choosing a representation for an `Accept` header as HTTP content negotiation says (RFC 9110).

Each representation offered gets the weight of the most specific media range that matches it
(a range with parameters before the bare type, the type before "type/*", that before "*/*");
a weight of 0 refuses it. The highest weight wins; on a tie, the one offered first.
"""

from collections.abc import Sequence
from dataclasses import dataclass
from functools import lru_cache


# Compared and hashed by identity: every one offered is a constant of the server, and the weighing
# of each request is looked up by the tuple of those offered.
@dataclass(frozen=True, eq=False)
class MediaType:
    name: str                                   # "type/subtype", lower case
    parameters: tuple[tuple[str, str], ...] = ()

    def __str__(self) -> str:
        return self.name + "".join(f';{key}="{value}"' for key, value in self.parameters)


@dataclass(frozen=True)
class _Range:
    kind: str
    subtype: str
    parameters: tuple[tuple[str, str], ...]
    weight: float

    def specificity(self, offered: MediaType) -> int | None:
        """How specific this range is for `offered` (higher is more), or None when it does not match it."""
        kind, _, subtype = offered.name.partition("/")
        if self.kind not in ("*", kind) or self.subtype not in ("*", subtype):
            return None
        if not set(self.parameters) <= set(offered.parameters):
            return None
        return (self.kind != "*") + (self.subtype != "*") + len(self.parameters)


def negotiate(accept: str | None, offered: Sequence[MediaType]) -> MediaType | None:
    """The representation of `offered` to answer with, or None when `accept` refuses them all.

    No `Accept` (or an empty one) takes anything: the first offered.
    """
    if accept is None or not accept.strip():
        return offered[0] if offered else None
    return _negotiate(accept, tuple(offered))


# Clients send the same few headers again and again: each is weighed once per process.
@lru_cache(maxsize=512)
def _negotiate(accept: str, offered: tuple[MediaType, ...]) -> MediaType | None:
    ranges = _ranges(accept)
    best: MediaType | None = None
    best_weight = 0.0
    for candidate in offered:
        matches = [(specificity, media_range.weight) for media_range in ranges
                   if (specificity := media_range.specificity(candidate)) is not None]
        if not matches:
            continue
        weight = max(matches)[1]  # the most specific range decides, even when it weighs less
        if weight > best_weight:
            best, best_weight = candidate, weight
    return best


def _ranges(accept: str) -> list[_Range]:
    """The media ranges of `accept`; an element that is malformed, or whose weight is, is left out."""
    ranges = []
    for element in _split(accept, ","):
        media_range, *parameter_texts = (part.strip() for part in _split(element, ";"))
        kind, slash, subtype = media_range.lower().partition("/")
        if not slash or not kind or not subtype or (kind == "*" and subtype != "*"):
            continue
        parameters: list[tuple[str, str]] = []
        weight: float | None = 1.0
        for text in parameter_texts:
            name, _, value = text.partition("=")
            name, value = name.strip().lower(), _unquoted(value.strip())
            if name == "q":
                weight = _weight(value)
                break  # what follows the weight is no part of the range
            parameters.append((name, value))
        if weight is not None:
            ranges.append(_Range(kind, subtype, tuple(sorted(parameters)), weight))
    return ranges


def _weight(text: str) -> float | None:
    # qvalue: "0" to "1" with at most three decimals.
    if not text or len(text) > 5 or text[0] not in "01" or (len(text) > 1 and text[1] != "."):
        return None
    if not text[2:].isdigit() and text[2:] != "":
        return None
    value = float(text)
    return value if value <= 1 else None


def _unquoted(value: str) -> str:
    if len(value) >= 2 and value[0] == value[-1] == '"':
        return value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
    return value


def _split(text: str, separator: str) -> list[str]:
    """`text` split at `separator` outside quoted strings."""
    parts: list[str] = []
    current: list[str] = []
    quoted = escaped = False
    for character in text:
        if escaped:
            escaped = False
        elif quoted and character == "\\":
            escaped = True
        elif character == '"':
            quoted = not quoted
        elif character == separator and not quoted:
            parts.append("".join(current))
            current = []
            continue
        current.append(character)
    parts.append("".join(current))
    return [part for part in parts if part.strip()]
