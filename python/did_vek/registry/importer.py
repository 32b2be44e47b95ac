"""Appending the JSON lines of an export to a store, each version judged as a publish is.

How a registry moves from one store to another, or is mirrored: the lines of `/export`, in
their order, each `{"seq": ..., "did": ..., "versionId": ..., "signed": {...}}`. A version
that is already there with the same text is skipped, so an import can be run again after an
interruption, or over a newer export of the same registry. The check that "updated" is at most
5 minutes ahead stays: an exported version was accepted in its registry's past, and one from
further ahead would lock its DID against updates until then.
"""

import json
from collections.abc import Iterable

from .. import _native
from .._history import is_version_id
from .._messages import quoted
from .._signed import read_signed
from .log_writer import LogWriter, open_log
from .rules import MAX_VERSIONS, decider, read_submission, signs_the_same
from .store import AlreadyStored, NewVersion, Refused, Store, StoredVersion


class ImportRefused(ValueError):
    """A line cannot be imported; the message names the line number and the reason."""

    def __init__(self, line_number: int, detail: str) -> None:
        super().__init__(f"line {line_number}: {detail}")
        self.line_number = line_number
        self.detail = detail


def import_lines(target: "LogWriter | Store", lines: Iterable[str]) -> tuple[int, int]:
    """Append every version of `lines` to the registry's log (`target`, or the log of the store
    `target`, with the key `open_log` finds); returns (added, skipped).

    Stops at the first line that is refused, with `ImportRefused`; what was added before stays.
    Blank lines are passed over. A store failure raises `StoreUnavailable`.
    """
    writer = target if isinstance(target, LogWriter) else open_log(target)
    added = skipped = 0
    for line_number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            if _import_line(writer, line):
                added += 1
            else:
                skipped += 1
        except Refused as refusal:
            raise ImportRefused(line_number, refusal.detail) from None
    return added, skipped


def _import_line(writer: LogWriter, line: str) -> bool:
    """True when the line's version was added, False when it was already there."""
    did, version_id, signed_text = _read_line(line)
    signed = read_submission(signed_text, did)
    stored = writer.store.version(did, version_id)
    if stored is not None:
        if not signs_the_same(read_signed(stored.signed), signed):
            raise Refused(409, f"{did} version {version_id} is stored with another text")
        return False
    decide = decider(signed)

    def decide_in_place(last: StoredVersion | None) -> NewVersion:
        # The line names its version: it must become exactly that one, not the next free number.
        following = 0 if last is None else last.version
        if version_id != following + 1:
            raise Refused(409, f"{did} version {version_id} cannot follow version {following}"
                               if following else f"{did} version {version_id} cannot start a history")
        return decide(last)

    try:
        writer.append(did, decide_in_place)
    except AlreadyStored:
        return False
    return True


def _read_line(line: str) -> tuple[str, int, str]:
    try:
        value = _native.parse_json(line)
    except ValueError as error:
        raise Refused(400, str(error)) from None
    if not isinstance(value, dict):
        raise Refused(400, "not a JSON object")
    did, version_id, signed = value.get("did"), value.get("versionId"), value.get("signed")
    if not isinstance(did, str):
        raise Refused(400, "\"did\" must be a string")
    version = _version_number(version_id)
    if not isinstance(signed, dict):
        raise Refused(400, "\"signed\" must be an object, the signed document")
    # Compact: the size a publish refuses is judged on the smallest text of these values.
    return did, version, json.dumps(signed, ensure_ascii=False, separators=(",", ":"))


def _version_number(value: object) -> int:
    # /export writes the version id as a text; a number is taken too, for hand-made lines.
    if isinstance(value, bool):
        raise Refused(400, "\"versionId\" must be a version number")
    number = None
    if isinstance(value, int) and value >= 1:
        number = value
    elif isinstance(value, str) and is_version_id(value):
        number = int(value) if len(value) <= 18 else MAX_VERSIONS + 1
    if number is None:
        raise Refused(400, f"\"versionId\" {quoted(str(value))} is not a version number")
    if number > MAX_VERSIONS:
        raise Refused(409, f"\"versionId\" is over MAX_VERSIONS {MAX_VERSIONS}, the most versions a DID may have")
    return number

