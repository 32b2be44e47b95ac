"""Whether a signed document may become a DID's next version, in the order the answers are given.

What can be judged from the text alone (JSON, the record rules, the DID of the path, the form of
`If-Match`) is judged by `read_submission` before any transaction. What depends on the version
the new one would follow is judged by the `Decide` that `decider` builds, which the store runs
inside the transaction that inserts: a retry (200), a deactivated DID (410), `If-Match` (412), a
stale "updated" (409), an "updated" too far ahead (422), a key that may not write (403), and last
the signature (400), checked against the key of the version actually followed.
"""

import re
from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone

from .. import _native
from .._errors import InvalidDocument
from .._signed import SignedDocument, read_signed
from .._messages import quoted
from .store import AlreadyStored, Decide, NewVersion, Refused, StoredVersion

# How far ahead of the registry's clock a version's "updated" may be: clocks differ a little,
# but a version far in the future would lock its DID against every update until then.
FUTURE_ALLOWANCE = timedelta(minutes=5)
# The largest signed document the registry takes, in UTF-8 bytes as it is sent.
MAX_VERSION_BYTES = 64 * 1024
# The most versions one DID may have. Its log is served whole and every client reads it all to
# resolve, so one key writing without end must not make every reader of its DID pay for it:
# at most MAX_VERSIONS * MAX_VERSION_BYTES (64 MiB, about 80 MiB as stored) per DID.
MAX_VERSIONS = 1000
_TIMESTAMP_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
# One entity tag of an If-Match list: an optional weakness mark and a quoted opaque text.
_ENTITY_TAG = re.compile(r'\s*(W/)?"([\x21\x23-\x7e]*)"\s*')

Clock = Callable[[], datetime]


def utc_now() -> datetime:
    return datetime.now(timezone.utc)


@dataclass(frozen=True)
class IfMatch:
    """A parsed `If-Match`: `any_version` for "*", else the version ids it names.

    Version ids are strong validators: the text of a version never changes. A weak tag (W/"2")
    is compared strongly, as `If-Match` requires, so it matches nothing.
    """
    any_version: bool
    version_ids: frozenset[str]

    def matches(self, last: StoredVersion | None) -> bool:
        if last is None:
            return False
        return self.any_version or str(last.version) in self.version_ids


def parse_if_match(header: str | None) -> IfMatch | None:
    """The `If-Match` header, None when absent; `Refused` (400) when it is not an entity-tag list."""
    if header is None:
        return None
    if header.strip() == "*":
        return IfMatch(any_version=True, version_ids=frozenset())
    strong: set[str] = set()
    for element in header.split(","):
        match = _ENTITY_TAG.fullmatch(element)
        if match is None:
            raise Refused(400, f"If-Match {quoted(header)} is not \"*\" or a list of quoted version ids")
        if match.group(1) is None:
            strong.add(match.group(2))
    return IfMatch(any_version=False, version_ids=frozenset(strong))


def read_submission(body: str, did: str) -> SignedDocument:
    """The signed document in `body`, for the DID `did`; `Refused` (413 too long, 400) when not."""
    if len(body) * 4 > MAX_VERSION_BYTES and len(body.encode("utf-8", "surrogatepass")) > MAX_VERSION_BYTES:
        raise Refused(413, f"the body is over {MAX_VERSION_BYTES // 1024} KiB")
    try:
        signed = read_signed(body)
    except InvalidDocument as error:
        raise Refused(400, str(error)) from None
    if signed.did != did:
        raise Refused(400, f"the document is for {quoted(signed.did)}, not for {quoted(did)} of the path")
    return signed


@dataclass(frozen=True)
class Prejudged:
    """The history's verdict on a version after the DID's last version as read before its batch
    (`last_seq`, None for none): the signature is checked while the log's writer works on other
    batches, and again in the batch only if the DID's last version changed meanwhile."""
    last_seq: int | None
    broken: tuple[str, ...]


def prejudge(signed: SignedDocument, last: StoredVersion | None) -> Prejudged:
    broken, _ = _native.check_next(None if last is None else last.signed, signed.canonical)
    return Prejudged(None if last is None else last.seq, broken)


def decider(signed: SignedDocument, *, if_match: IfMatch | None = None, clock: Clock = utc_now,
            prejudged: Prejudged | None = None) -> Decide:
    """The `Decide` that appends `signed` after the DID's last version, or refuses it.

    The history's rules are the native check that every client runs over the history, so the
    registry accepts exactly the versions that keep the DID resolvable; this only orders its
    answers and words them. A `prejudged` verdict stands when it was made after the same last version.
    """

    def decide(last: StoredVersion | None) -> NewVersion:
        if last is not None and _is_retry(last, signed):
            raise AlreadyStored(last)
        if prejudged is not None and prejudged.last_seq == (None if last is None else last.seq):
            broken = prejudged.broken
        else:
            broken, _ = _native.check_next(None if last is None else last.signed, signed.canonical)
        if "deactivated" in broken:
            assert last is not None
            raise Refused(410, f"{signed.did} is deactivated since version {last.version}: nothing may follow")
        if last is not None and last.version >= MAX_VERSIONS:
            raise Refused(409, f"{signed.did} has {last.version} versions, the most a DID may have"
                               f" (MAX_VERSIONS {MAX_VERSIONS})")
        if if_match is not None and not if_match.matches(last):
            current = "has no version" if last is None else f"is at version {last.version}"
            raise Refused(412, f"If-Match names another version than the last: {signed.did} {current}")
        if "not_later" in broken:
            assert last is not None
            raise Refused(409, f"document.updated {signed.updated} is not later than version {last.version}'s"
                               f" {last.version_time}")
        horizon = clock() + FUTURE_ALLOWANCE
        # Timestamps of one fixed layout: text order is time order, and cheaper than parsing.
        if signed.updated > f"{horizon:{_TIMESTAMP_FORMAT}}":
            raise Refused(422, f"document.updated {signed.updated} is more than 5 minutes ahead of the"
                               f" registry's clock ({horizon - FUTURE_ALLOWANCE:{_TIMESTAMP_FORMAT}})")
        if broken:
            raise _refusal(broken, signed, last)
        return NewVersion(version_time=signed.updated, created=signed.created, signed=signed.canonical,
                          deactivates=signed.deactivates)

    return decide


def signs_the_same(first: SignedDocument, second: SignedDocument) -> bool:
    """True when both carry the same signed values and signature, whatever their unsigned members
    (the proof's "created", say): the second is a retry of the first, not a version of its own."""
    return first.proof_value == second.proof_value and first.compact == second.compact


def _is_retry(last: StoredVersion, signed: SignedDocument) -> bool:
    if last.signed == signed.canonical:
        return True
    # Read the stored version only when its text holds the same signature: most appends do not.
    return f'"{signed.proof_value}"' in last.signed and signs_the_same(read_signed(last.signed), signed)


def _refusal(broken: tuple[str, ...], signed: SignedDocument, last: StoredVersion | None) -> Refused:
    """The answer to a version whose signing key may not write it, or whose signature fails."""
    method = quoted(signed.method)
    if "key_not_listed" in broken and last is None:
        return Refused(403, f"version 1 must be signed by a key of its own assertionMethod, not {method}")
    if "key_not_listed" in broken:
        assert last is not None
        return Refused(403, f"{method} is not in version {last.version}'s assertionMethod: it may not write"
                            f" version {last.version + 1}")
    if "not_key_derived" in broken:
        return Refused(403, f"{signed.did} does not derive from the key of {method}: only key-derived"
                            " DIDs can start a history")
    if "signature" in broken:
        return Refused(400, f"proof.proofValue does not verify with {signed.method}")
    # The path names the DID, so a stored version is always for the same one.
    return Refused(400, f"the document is for {quoted(signed.did)}, not for {quoted(last.did if last else '')}")

