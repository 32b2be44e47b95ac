"""The history of a DID: its signed versions, oldest first, each signed by a key of the one before.

Version 1 is signed by a key of its own whose key-derived DID it is, so only the holder of that
key can start the history; every later version is signed by a key that the version before lists
for assertion. A version without assertion keys deactivates the DID: nothing can follow it.
"""

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar

from . import _native
from ._errors import InvalidDocument
from ._frozen import frozen
from ._messages import quoted
from ._on_demand import ValuesOnDemand

if TYPE_CHECKING:
    from ._native import _HistoryRow


def is_version_id(text: str) -> bool:
    """A version id is its version's number: decimal, from 1, without leading zeros."""
    return text.isascii() and text.isdigit() and not text.startswith("0")


@dataclass(frozen=True)
class Version(ValuesOnDemand):
    """One verified version of a DID's history; `document` and `proof` are read from `signed`
    when first asked for."""
    version_id: str      # "1", "2", ...
    version_time: str    # the document's "updated"
    _source: ClassVar[str] = "signed"
    document: dict[str, Any] = field(hash=False, repr=False)
    proof: dict[str, Any] = field(hash=False, repr=False)
    signed: str = field(repr=False)
    key_id: str = ""     # the signing key's id, in the version that lists it
    public_key: str = ""


@dataclass(frozen=True)
class History:
    """A verified history: every version obeys the rules against the one before."""
    did: str
    versions: tuple[Version, ...]
    deactivated: bool
    latest: Version
    created: str   # version 1's "created"
    updated: str   # the last version's "updated"

    def at(self, version_id: str | None = None, version_time: str | None = None) -> Version:
        """The version with that id, or the last one not later than that time, or the last one."""
        if version_id is not None and version_time is not None:
            raise ValueError("give version_id or version_time, not both")
        if version_id is not None:
            for version in self.versions:
                if version.version_id == version_id:
                    return version
            raise LookupError(f"{self.did} has no version {quoted(version_id)}")
        if version_time is not None:
            _native.check_timestamp(version_time, "version_time")  # a ValueError if it is none
            earlier = [version for version in self.versions if version.version_time <= version_time]
            if not earlier:
                raise LookupError(f"{self.did} has no version at {quoted(version_time)}")
            return earlier[-1]
        return self.latest


def verify_history(versions: Sequence[str] | str) -> History:
    """Check a DID's versions, oldest first: signed-document texts, or the JSON text of an array of them.

    Raises `InvalidDocument` naming the version and the rule it breaks:
    H1 version 1 verifies on its own and its DID derives from its signing key;
    H2 each later version is for the same DID and signed by an assertion key of the version before;
    H3 each version's "updated" is later than the version before's;
    H4 a version without "assertionMethod" deactivates the DID and is the last.
    """
    texts: list[str] = []
    argument: str | list[str]
    if isinstance(versions, str):
        argument = versions
    elif isinstance(versions, (bytes, bytearray)) or not isinstance(versions, Sequence):
        raise TypeError(f"versions must be a list of str or a str, not {type(versions).__name__}")
    else:
        argument = texts = list(versions)  # one snapshot for the check and for the texts kept
        for index, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"version {index + 1} must be str, not {type(text).__name__}")
    # Every version is read, checked and verified in one native call without the interpreter lock.
    try:
        rows = _native.verify_history(argument)
    except ValueError as error:
        raise InvalidDocument(str(error)) from None
    return history_of(rows, texts)


def history_of(rows: Sequence["_HistoryRow"], texts: Sequence[str] = ()) -> History:
    """The History of the native check's rows; `texts` are the versions' own texts, for rows without one."""
    # An element of an array has no text of its own: it comes back laid out as the engine writes it.
    verified = tuple(frozen(Version, version_id=str(number), version_time=updated, key_id=key_id, public_key=public_key,
                            signed=laid_out if laid_out is not None else texts[number - 1])
                     for number, (_, _, updated, _, key_id, public_key, laid_out) in enumerate(rows, start=1))
    did, created = rows[0][0], rows[0][1]
    deactivated = rows[-1][3]
    return History(did=did, versions=verified, deactivated=deactivated, latest=verified[-1], created=created,
                   updated=verified[-1].version_time)
