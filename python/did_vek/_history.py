"""The history of a DID: its signed versions, oldest first, each signed by a key of the one before.

Version 1 is signed by a key of its own whose key-derived DID it is, so only the holder of that
key can start the history; every later version is signed by a key that the version before lists
for assertion. A version without assertion keys deactivates the DID: nothing can follow it.
"""

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from ._errors import InvalidDocument
from ._keys import did_for_public_key
from ._rules import timestamp
from ._signed import SignedDocument, assertion_key, check_signed, read_signed, signature_verifies
from ._strict_json import parse_strict, quoted


@dataclass(frozen=True)
class Version:
    """One verified version of a DID's history."""
    version_id: str      # "1", "2", ...
    version_time: str    # the document's "updated"
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
            try:
                timestamp(version_time, "version_time")
            except InvalidDocument as error:
                raise ValueError(str(error)) from None
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
    readings = _read_all(versions)
    if not readings:
        raise InvalidDocument("the history is empty: it has no version 1")
    verified: list[Version] = []
    for signed, text in readings:
        verified.append(next_version(verified[-1] if verified else None, signed, text))
    first, last = verified[0], verified[-1]
    return History(did=first.document["id"], versions=tuple(verified), deactivated="assertionMethod" not in last.document,
                   latest=last, created=first.document["created"], updated=last.version_time)


def next_version(previous: Version | None, signed: SignedDocument, text: str) -> Version:
    """`signed` as the version after `previous` (None: as version 1), or `InvalidDocument`."""
    number = 1 if previous is None else int(previous.version_id) + 1
    where = f"version {number}"
    if previous is None:
        public_key = assertion_key(signed.document, signed.method)
        if public_key is None:
            raise InvalidDocument(f"{where} breaks H1: its proof's key {quoted(signed.method)} "
                                  "is not in its own assertionMethod")
        if not signature_verifies(signed, public_key):
            raise InvalidDocument(f"{where} breaks H1: its signature does not verify with its own key")
        if did_for_public_key(public_key) != signed.did:
            raise InvalidDocument(f"{where} breaks H1: {quoted(signed.did)} is not the DID derived from its signing key")
    else:
        before = f"version {previous.version_id}"
        if "assertionMethod" not in previous.document:
            raise InvalidDocument(f"{where} breaks H4: {before} deactivated the DID, nothing may follow it")
        if signed.did != previous.document["id"]:
            raise InvalidDocument(f"{where} breaks H2: it is for {quoted(signed.did)}, "
                                  f"not {quoted(previous.document['id'])}")
        public_key = assertion_key(previous.document, signed.method)
        if public_key is None:
            raise InvalidDocument(f"{where} breaks H2: its proof's key {quoted(signed.method)} "
                                  f"is not in the assertionMethod of {before}")
        if not signature_verifies(signed, public_key):
            raise InvalidDocument(f"{where} breaks H2: its signature does not verify with that key of {before}")
        if signed.updated <= previous.version_time:
            raise InvalidDocument(f"{where} breaks H3: its updated {quoted(signed.updated)} is not later than "
                                  f"{quoted(previous.version_time)} of {before}")
    return Version(version_id=str(number), version_time=signed.updated, document=signed.document, proof=signed.proof,
                   signed=text, key_id=signed.key_id, public_key=public_key)


def _read_all(versions: Sequence[str] | str) -> list[tuple[SignedDocument, str]]:
    """Each version read and checked against the record rules, with its text."""
    if isinstance(versions, str):
        array = parse_strict(versions)
        if not isinstance(array, list):
            raise InvalidDocument("a history is a JSON array of signed documents")
        # An element of the array has no text of its own: it is kept as the engine lays it out.
        return [(signed, signed.canonical) for signed in _each(check_signed, array)]
    if isinstance(versions, (bytes, bytearray)) or not isinstance(versions, Sequence):
        raise TypeError(f"versions must be a list of str or a str, not {type(versions).__name__}")
    return list(zip(_each(read_signed, versions), versions))


def _each(read: Callable[[Any], SignedDocument], values: Sequence[Any]) -> list[SignedDocument]:
    readings = []
    for index, value in enumerate(values):
        try:
            readings.append(read(value))
        except InvalidDocument as error:
            # Every version must be a signed document that obeys the record rules.
            rule = "H1" if index == 0 else "H2"
            raise InvalidDocument(f"version {index + 1} breaks {rule}: {error}") from None
    return readings
