"""Instances of frozen dataclasses made from values that are already checked."""

from typing import Any, TypeVar

T = TypeVar("T")


def frozen(cls: type[T], **fields: Any) -> T:
    """An instance of the frozen dataclass `cls` holding `fields`, which are all of its fields.

    A frozen dataclass's __init__ stores each field through object.__setattr__: for the eight
    fields of a verified document that costs a thirtieth of the signature check behind it,
    and it is paid once for every version of a history. Values checked natively need nothing
    but storing, so they go into the instance's __dict__ in one step.
    """
    instance = object.__new__(cls)
    instance.__dict__.update(fields)
    return instance
