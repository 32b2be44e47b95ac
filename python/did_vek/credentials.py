"""W3C Verifiable Credentials secured by Data Integrity proofs of the cryptosuite "eddsa-jcs-2022".

A credential is issued with a `SigningKey` and verified against its issuer's keys: a did:key
issuer is its own key; a did:vek issuer's key is looked up in the DID's verified history, in
the version that was in force at the proof's "created". So a credential signed before a key
was rotated away still verifies (and says it is no longer `current`), while the old key cannot
sign anything new: at a later "created" the version in force no longer lists it.

The proof is computed natively: the credential and the proof configuration in the JSON
Canonicalization Scheme, the SHA-256 of each (the configuration's first), and the Ed25519
signature of those 64 bytes, written as "z" and base58btc.
"""

import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from functools import cached_property
from typing import Any, Protocol

from . import _native
from ._errors import InvalidCredential, InvalidDocument
from ._frozen import frozen
from ._history import History
from ._signed import assertion_key
from ._signing_key import SigningKey
from ._messages import quoted
from .client import NotFound, Resolution

__all__ = ["issue_credential", "verify_credential", "VerifiedCredential", "InvalidCredential", "SigningKey",
           "KnownHistories", "IssuerResolver"]

# How far a proof's "created" may lie ahead of the verifier's clock: clocks disagree a little.
CLOCK_SKEW = timedelta(minutes=5)

# XML Schema's dateTimeStamp, as credentials write their times: a time zone is required.
_DATE_TIME = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?(Z|[+-][0-9]{2}:[0-9]{2})")
_SECONDS = "%Y-%m-%dT%H:%M:%SZ"
_WHOLE_SECONDS = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")


class IssuerResolver(Protocol):
    """What `verify_credential` asks for a did:vek issuer: a `RegistryClient`, or `KnownHistories`."""

    def resolve(self, did: str) -> Resolution: ...


class KnownHistories:
    """A resolver over histories verified already (by `verify_history` or an earlier resolution).

    Nothing is fetched: a verifier that holds its issuers' histories checks credentials
    offline, and as often as it likes at the cost of the signature alone.
    """

    def __init__(self, histories: Iterable[History]) -> None:
        # Histories do not change, so neither does what resolving one gives.
        self._resolutions = {history.did: _latest(history) for history in histories}

    def resolve(self, did: str) -> Resolution:
        resolution = self._resolutions.get(did)
        if resolution is None:
            raise NotFound(404, f"{did} is not among the known histories")
        return resolution


def _latest(history: History) -> Resolution:
    latest = history.latest
    return Resolution(did=history.did, document=latest.document, version_id=latest.version_id,
                      version_time=latest.version_time, deactivated=history.deactivated, history=history)


@dataclass(frozen=True)
class VerifiedCredential:
    """A credential whose proof verifies with a key that its issuer held when the proof was made."""
    did: str                   # the issuer, whose key signed
    verification_method: str   # the proof's "verificationMethod": did, "#", key_id
    key_id: str
    public_key: str            # 64 hex digits
    # The version of the issuer's history in force at the proof's "created"; None for did:key.
    version_id: str | None
    # Whether the key still signs for the issuer: listed for assertion in its last version.
    current: bool
    created: str | None        # the proof's "created"
    # False for a proof whose configuration was hashed without "@context", a variant some
    # issuers write; issue_credential always writes the suite's own.
    standard_proof: bool
    text: str = field(repr=False)

    @cached_property
    def credential(self) -> dict[str, Any]:
        """The credential's value, its proof included."""
        value: dict[str, Any] = _native.parse_json(self.text)
        return value


def issue_credential(key: SigningKey, credential: str, *, verification_method: str,
                     created: str | None = None) -> str:
    """`credential` (the JSON text of a credential without a proof) with a proof by `key`.

    The proof is a "DataIntegrityProof" of the cryptosuite "eddsa-jcs-2022" for the purpose
    "assertionMethod", naming `verification_method` (a DID URL: the issuer's DID, "#", a key
    id) and `created` (YYYY-MM-DDThh:mm:ssZ; default now). The credential's own text is kept;
    the proof is appended as its last member. A text that is not a JSON object with
    "@context", "type" and "issuer", or one that already has a proof, raises `InvalidCredential`.
    """
    if not isinstance(key, SigningKey):
        raise TypeError(f"key must be a SigningKey, not {type(key).__name__}")
    for name, value in (("credential", credential), ("verification_method", verification_method)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be str, not {type(value).__name__}")
    if created is not None and not isinstance(created, str):
        raise TypeError(f"created must be str or None, not {type(created).__name__}")
    did, _, key_id = verification_method.partition("#")
    if not did.startswith("did:") or not key_id:
        raise InvalidCredential(f"the verification method {quoted(verification_method)} is not a DID, '#' and a key id")
    try:
        return key._key.issue_credential(credential, verification_method, created or "")
    except ValueError as error:
        raise InvalidCredential(str(error)) from None


def verify_credential(text: str, *, resolver: IssuerResolver, now: datetime | None = None) -> VerifiedCredential:
    """Check the "eddsa-jcs-2022" proof of the credential in `text` against its issuer's key.

    The proof's verification method must belong to the issuer. A did:key issuer is resolved
    locally (Ed25519 keys only); a did:vek issuer through `resolver`, from its verified
    history: the key must be listed for assertion in the version in force at the proof's
    "created", which a did:vek proof must therefore have. Refused with `InvalidCredential`:
    a "created" more than five minutes ahead of `now` (an aware datetime; default: the
    clock), a "validFrom" after it, a "validUntil" before it, another cryptosuite, any change
    to the credential or its proof. A `RegistryError` other than `NotFound` means that no
    answer could be had, and is raised as it is.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    try:
        issuer, method, created, valid_from, valid_until, context_in_proof, data, signature = (
            _native.read_credential_proof(text))
    except ValueError as error:
        raise InvalidCredential(str(error)) from None
    if now is None:
        now = datetime.now(UTC)
    elif now.tzinfo is None:
        raise TypeError("now must be an aware datetime (with its time zone)")
    did, _, key_id = method.partition("#")
    if not key_id:
        raise InvalidCredential(f"the verification method {quoted(method)} names no key (DID#ID)")
    if did != issuer:
        raise InvalidCredential(f"the proof's key {quoted(method)} is not one of the issuer {quoted(issuer)}")
    created_at = _check_times(created, valid_from, valid_until, now)

    version_id: str | None = None
    if did.startswith("did:key:"):
        public_key, current = _did_key(did, key_id), True
    elif did.startswith("did:vek:"):
        public_key, version_id, current = _did_vek_key(resolver, did, method, created, created_at)
    else:
        raise InvalidCredential(f"the issuer {quoted(did)} is neither a did:vek nor a did:key DID")

    if not _native.verify_ed25519(data, signature, public_key):
        raise InvalidCredential("the proof does not verify: the credential or its proof was changed, "
                                "or another key signed it")
    return frozen(VerifiedCredential, did=did, verification_method=method, key_id=key_id, public_key=public_key,
                  version_id=version_id, current=current, created=created, standard_proof=context_in_proof,
                  text=text)


def _moment(text: str, what: str) -> datetime:
    if _DATE_TIME.fullmatch(text):
        try:
            return datetime.fromisoformat(text)
        except ValueError:
            pass
    raise InvalidCredential(f"{what} {quoted(text)} is not a date and time with its zone (YYYY-MM-DDThh:mm:ssZ)")


def _check_times(created: str | None, valid_from: str | None, valid_until: str | None,
                 now: datetime) -> datetime | None:
    """The moment of "created", once each time is checked against `now`."""
    created_at = None if created is None else _moment(created, 'the proof\'s "created"')
    if created_at is not None and created_at > now + CLOCK_SKEW:
        raise InvalidCredential(f"the proof was created in the future ({created})")
    if valid_from is not None and _moment(valid_from, '"validFrom"') > now:
        raise InvalidCredential(f"the credential is not valid before {valid_from}")
    if valid_until is not None and _moment(valid_until, '"validUntil"') < now:
        raise InvalidCredential(f"the credential was valid until {valid_until}")
    return created_at


def _did_key(did: str, key_id: str) -> str:
    # A did:key DID's one key is named by the DID's own multibase text.
    if key_id != did.removeprefix("did:key:"):
        raise InvalidCredential(f"{quoted(did)} has no key {quoted(key_id)}")
    try:
        return _native.did_key_public_key(did)
    except ValueError as error:
        raise InvalidCredential(str(error)) from None


def _did_vek_key(resolver: IssuerResolver, did: str, method: str, created: str | None,
                 created_at: datetime | None) -> tuple[str, str, bool]:
    """(public key, version id, current) of `method` in the version of `did` in force at `created`."""
    if created is None or created_at is None:
        raise InvalidCredential("a proof by a did:vek key needs \"created\": the key is checked at that time")
    # Histories keep whole seconds in UTC; a version updated within the proof's second was
    # already in force.
    at = created if _WHOLE_SECONDS.fullmatch(created) else created_at.astimezone(UTC).strftime(_SECONDS)
    try:
        history = resolver.resolve(did).history
        version = history.at(version_time=at)
    except NotFound:
        raise InvalidCredential(f"the issuer {did} is unknown to the registry") from None
    except InvalidDocument as error:
        raise InvalidCredential(f"the issuer's history does not verify: {error}") from None
    except LookupError:
        raise InvalidCredential(f"the issuer {did} did not exist yet at {created}") from None
    public_key = assertion_key(version.document, method)
    if public_key is None:
        raise InvalidCredential(f"{quoted(method)} was not an assertion key of {did} at {created} "
                                f"(version {version.version_id})")
    latest = history.latest
    current = public_key == (assertion_key(latest.document, method) if version is not latest else public_key)
    return public_key, version.version_id, current
