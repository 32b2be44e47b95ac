"""The tests' own account of the strict JSON reading, on the standard library's parser.

The package reads JSON natively only; this independent reading is what the native one is
held to: it refuses what this refuses, in the same words. A parser that keeps the last of two
equal member names lets one text say two things to two readers; NaN, Infinity and numbers too
large for a float are not JSON values at all.
"""

import json
import math
from typing import Any

from did_vek import InvalidDocument
from did_vek._messages import quoted

# No number belongs in a signed document; this only keeps the message about a long one plain.
_MAX_DIGITS = 1000


def _unique_members(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    members: dict[str, Any] = {}
    for name, value in pairs:
        if name in members:
            raise InvalidDocument(f"duplicate member {quoted(name)}")
        members[name] = value
    return members


def _refuse_constant(name: str) -> Any:
    raise InvalidDocument(f"{name} is not a JSON value")


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise InvalidDocument(f"number {quoted(text)} is out of range")
    return value


def _bounded_int(text: str) -> int:
    # int() refuses more than a few thousand digits with a message about its own limits.
    if len(text.lstrip("-")) > _MAX_DIGITS:
        raise InvalidDocument(f"number of {len(text)} digits is out of range")
    return int(text)


def parse_strict(text: str) -> Any:
    """The value of `text`, which must be exactly one JSON value with unique member names."""
    try:
        return json.loads(text, object_pairs_hook=_unique_members,
                          parse_constant=_refuse_constant, parse_float=_finite_float,
                          parse_int=_bounded_int)
    except InvalidDocument:
        raise
    except json.JSONDecodeError as error:
        raise InvalidDocument(f"not JSON: {error.msg} at line {error.lineno} column {error.colno}") from None
    except RecursionError:
        raise InvalidDocument("not JSON that can be read: nested too deeply") from None
    except ValueError as error:  # any other refusal of the parser, still one line
        raise InvalidDocument(f"not JSON that can be read: {first_line(str(error))}") from None


def first_line(text: str) -> str:
    return text.splitlines()[0] if text else text
