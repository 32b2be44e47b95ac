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

import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from functools import cached_property
from typing import Any, Protocol

from . import _native
from ._errors import InvalidCredential, InvalidDocument
from ._history import History
from ._signed import assertion_key
from ._signing_key import SigningKey
from ._messages import quoted
from .client import NotFound, Resolution

__all__ = ["issue_credential", "verify_credential", "VerifiedCredential", "InvalidCredential", "SigningKey",
           "KnownHistories", "IssuerResolver"]

_EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
_MICROSECOND = timedelta(microseconds=1)


class IssuerResolver(Protocol):
    """What `verify_credential` asks for a did:vek issuer: a `RegistryClient`, or `KnownHistories`."""

    def resolve(self, did: str) -> Resolution: ...


class KnownHistories:
    """A resolver over histories verified already (by `verify_history` or an earlier resolution).

    Nothing is fetched: a verifier that holds its issuers' histories checks credentials
    offline, and as often as it likes at the cost of the signature alone.
    """

    def __init__(self, histories: Iterable[History]) -> None:
        # Histories do not change, so neither does what resolving one gives, nor which key
        # each version lists: the table of keys over time is built once, for checks that
        # need no interpreter lock.
        self._resolutions = {history.did: _latest(history) for history in histories}
        self._issuer_keys = _issuer_keys(resolution.history for resolution in self._resolutions.values())

    def resolve(self, did: str) -> Resolution:
        resolution = self._resolutions.get(did)
        if resolution is None:
            raise NotFound(404, f"{did} is not among the known histories")
        return resolution


def _issuer_keys(histories: Iterable[History]) -> _native.IssuerKeys:
    """The native table of the keys each history's versions list for assertion, over time."""
    return _native.IssuerKeys([(history.did, version.version_time, version.version_id, _assertion_keys(version.document))
                               for history in histories for version in history.versions])


def _assertion_keys(document: dict[str, Any]) -> dict[str, str]:
    """{verification method: public key hex} of every key `document` lists for assertion."""
    keys = {}
    for method in document.get("assertionMethod", ()):
        key = assertion_key(document, method)
        if key is not None:
            keys[method] = key
    return keys


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
    if now is None:
        now_us = time.time_ns() // 1000
    elif now.tzinfo is None:
        raise TypeError("now must be an aware datetime (with its time zone)")
    else:
        now_us = (now - _EPOCH) // _MICROSECOND
    # Known histories are searched natively, in the same call that reads the proof, checks the
    # signature and makes the result. When that call finds a did:vek key that it cannot look
    # up, it gives the issuer's DID: the resolver is asked for its history and the check runs
    # again with it.
    known = resolver._issuer_keys if isinstance(resolver, KnownHistories) else None
    verdict = _check(text, now_us, known)
    if isinstance(verdict, str):
        verdict = _check(text, now_us, _issuer_keys([_resolved_history(resolver, verdict)]))
        assert not isinstance(verdict, str)  # the history holds the issuer's keys
    return verdict


def _check(text: str, now_us: int, known: _native.IssuerKeys | None) -> VerifiedCredential | str:
    try:
        return _native.check_credential(VerifiedCredential, text, now_us, known)
    except ValueError as error:
        raise InvalidCredential(str(error)) from None


def _resolved_history(resolver: IssuerResolver, did: str) -> History:
    try:
        history = resolver.resolve(did).history
    except NotFound:
        raise InvalidCredential(f"the issuer {did} is unknown to the registry") from None
    except InvalidDocument as error:
        raise InvalidCredential(f"the issuer's history does not verify: {error}") from None
    if history.did != did:
        raise InvalidCredential(f"the resolver answered for {history.did}, not for the issuer {did}")
    return history
