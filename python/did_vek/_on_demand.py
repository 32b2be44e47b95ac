"""The parsed values of a verified signed text, made when first read rather than with the result."""

from typing import TYPE_CHECKING, Any, ClassVar

from . import _native

# The members of a signed document that a result may hold as values.
_VALUES = ("document", "proof")


class ValuesOnDemand:
    """A base of frozen dataclasses whose `document` (and `proof`, where it is a field) are read
    from the signed text under the attribute named by `_source` when first asked for.

    Turning a document into dicts and lists costs as much as reading its text, and most callers
    only want the verdict and a few texts; those who ask get the same values `json.loads` gives.
    """

    __slots__ = ()
    # Where the signed text is: by default in the instance's __dict__ beside the fields.
    _source: ClassVar[str] = "_signed"

    if not TYPE_CHECKING:  # to the type checker the fields are plain attributes
        def __getattr__(self, name: str) -> Any:
            fields = type(self).__dataclass_fields__
            state = self.__dict__
            if name not in _VALUES or name not in fields or self._source not in state:
                raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
            parsed = _native.parse_json(state[self._source])
            for member in _VALUES:
                if member in fields:
                    state[member] = parsed[member]
            return state[name]
