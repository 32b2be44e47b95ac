"""The client's decision on a registry's answer: accept it and remember its checkpoint, or refuse it.

A checkpoint is accepted when a trusted key signed it (one the trust policy lists, or, without a
policy, the key pinned for that registry and log at first use), when the answer's own proofs
hold against it, and when it extends the newest tree the client verified of that log. Only
then is anything written; a refusal leaves the state as it was.

A tree of the same size with another root, or a consistency proof that leads to the new root
but to another root at the remembered size, is proof that the log forked: `ForkDetected`
carries both signed checkpoints. Every other failure is `InvalidProof`.
"""

from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from . import answers
from ._base64 import decimal
from .checkpoint import Checkpoint, SignedCheckpoint, signed_checkpoint
from .errors import FormatError, ForkDetected, InvalidProof
from .merkle import roots_from_consistency
from .note import Verifier
from .policy import Log, Policy
from .state import ClientState, StateMoved

# What an answer's own proofs must satisfy against its opened checkpoint before it is remembered.
AnswerCheck = Callable[[Checkpoint], None]


def verify_and_remember(state: ClientState, policy: Policy | None, url: str, signed: str,
                        consistency: Sequence[bytes] | None, *, known: int | None,
                        offered_key: Verifier | None = None, check: AnswerCheck | None = None,
                        max_age: float | None = None) -> SignedCheckpoint:
    """Accept the signed checkpoint `signed` that the registry at `url` served, and remember it.

    `consistency` proves that it extends the tree of size `known` (what the client held when it
    asked, `state.known_size(url)`); `offered_key` is the log key the registry serves, needed
    only at first contact without a policy; `check` runs the answer's own proofs. Raises
    `InvalidProof` (`ForkDetected` for a fork), or `StateMoved` when another process remembered
    a newer tree meanwhile (ask again from `state.known_size(url)`).
    """
    with state.update() as update:
        new = parse_checkpoint(signed)
        opened = open_trusted(update, policy, url, signed, offered_key=offered_key, max_age=max_age)
        if check is not None:
            with _answer_invalid():
                check(opened.checkpoint)
        _check_extends(update.checkpoint(new.origin), signed, new, consistency, known)
        update.pin_registry(url, opened.log)
        if policy is None:
            update.pin_log_key(opened.log)
        update.store_checkpoint(signed)
    return opened


def open_trusted(state: ClientState | None, policy: Policy | None, url: str, signed: str, *,
                 offered_key: Verifier | None = None, max_age: float | None = None) -> SignedCheckpoint:
    """The checkpoint `signed` that the registry at `url` served, if a trusted key signed it, remembering
    nothing: a key of `policy`, else the key pinned in `state`, else `offered_key` (with no state, only it)."""
    new = parse_checkpoint(signed)
    if policy is None:
        policy = _pinned_policy(state, url, new, offered_key)
    with _answer_invalid():
        return policy.check_checkpoint(signed, max_age=max_age)


def accept_history(state: ClientState, policy: Policy | None, url: str, did: str, versions: Sequence[str],
                   vek_log: Any, *, known: int | None, offered_key: Verifier | None = None,
                   max_age: float | None = None, value_forms: bool = False) -> SignedCheckpoint:
    """Accept a history answer of `did`: `versions` (its signed documents, oldest first; with
    `value_forms`, in their value form and verified to be of `did`) and its `vekLog`."""
    signed = answers.history_checkpoint(vek_log)
    return verify_and_remember(
        state, policy, url, signed, answers.history_consistency(vek_log), known=known, offered_key=offered_key,
        check=lambda checkpoint: answers.check_history(did, versions, vek_log, signed, checkpoint,
                                                       value_forms=value_forms),
        max_age=max_age)


def accept_resolution(state: ClientState, policy: Policy | None, url: str, did: str, vek_log: Any, *,
                      document: str | None = None, version_id: int | None = None,
                      consistency: Sequence[bytes] | None = None, known: int | None = None,
                      offered_key: Verifier | None = None, max_age: float | None = None) -> SignedCheckpoint:
    """Accept a resolution answer of `did` with its `vekLog`: `document` is the signed document served
    (with its `version_id`), or None when none was; `consistency` from `known` as fetched apart."""
    signed = answers.resolution_checkpoint(vek_log)
    return verify_and_remember(
        state, policy, url, signed, consistency, known=known, offered_key=offered_key,
        check=lambda checkpoint: answers.check_resolution(did, vek_log, signed, checkpoint, document=document,
                                                          version_id=version_id),
        max_age=max_age)


def accept_receipt(state: ClientState, policy: Policy | None, url: str, document: str, receipt: Any, *,
                   consistency: Sequence[bytes] | None = None, known: int | None = None,
                   offered_key: Verifier | None = None, max_age: float | None = None) -> SignedCheckpoint:
    """Accept the registry's receipt (its 201 or 200 body) for publishing the signed `document`."""
    if not isinstance(receipt, dict) or not isinstance(receipt.get("versionId"), str):
        raise InvalidProof("the receipt is not an object with a versionId")
    try:
        version_id = decimal(receipt["versionId"], "the receipt's versionId")
    except FormatError as error:
        raise InvalidProof(str(error)) from None
    proof, vek_log = receipt.get("proof"), receipt.get("vekLog")
    signed = answers.receipt_checkpoint(proof)
    return verify_and_remember(
        state, policy, url, signed, consistency, known=known, offered_key=offered_key, max_age=max_age,
        check=lambda checkpoint: answers.check_receipt(document, version_id, receipt.get("logIndex"), proof, vek_log,
                                                       signed, checkpoint))


def _pinned_policy(state: ClientState | None, url: str, new: Checkpoint, offered_key: Verifier | None) -> Policy:
    """Without a trust policy: the one key that the state pins for `url` and the log, or the
    key offered at first contact; another origin or key than the pinned one is refused."""
    pinned = None if state is None else state.registry_key(url)
    if pinned is not None and pinned.name != new.origin:
        raise InvalidProof(f"{url} serves the log {new.origin!r}, but was first seen serving {pinned.name!r}")
    key = pinned or offered_key
    if key is None:
        raise InvalidProof(f"no key of the log {new.origin!r} is known: give a trust policy or the key {url} serves")
    if key.name != new.origin:
        raise InvalidProof(f"the key offered is of the log {key.name!r}, not of {new.origin!r}")
    remembered = None if state is None else state.log_key(new.origin)
    if remembered is not None and remembered != key:
        raise InvalidProof(f"{url} offers another key for the log {new.origin!r} than the one pinned at first use")
    return Policy((Log(key),), {}, {}, "none")


def _check_extends(stored: str | None, signed: str, new: Checkpoint, consistency: Sequence[bytes] | None,
                   known: int | None) -> None:
    """Check that the tree of `new` extends the newest one remembered of its log (`stored`)."""
    if stored is None:
        return
    old = parse_checkpoint(stored)
    origin = new.origin
    if new.size < old.size:
        raise InvalidProof(f"the log {origin!r} shows a tree of size {new.size}, smaller than the tree of "
                           f"size {old.size} already verified")
    if new.size == old.size:
        if new.root != old.root:
            raise ForkDetected(f"the log {origin!r} signed two trees of size {new.size} with different roots",
                               stored, signed)
        return
    if known is None or consistency is None:
        raise InvalidProof(f"the answer does not prove that the tree of size {new.size} of {origin!r} extends "
                           f"the tree of size {old.size} already verified")
    if known != old.size:
        raise StateMoved(f"the proof starts at size {known}, but the newest tree verified of {origin!r} "
                         f"is now of size {old.size}")
    old_root, new_root = roots_from_consistency(old.size, new.size, old.root, consistency)
    if new_root != new.root:
        raise InvalidProof(f"the consistency proof does not lead to the root of size {new.size} of {origin!r}")
    if old_root != old.root:
        raise ForkDetected(f"the log {origin!r} signed a tree of size {new.size} whose hashes give another tree "
                           f"of size {old.size} than the one already verified", stored, signed)


def parse_checkpoint(signed: str) -> Checkpoint:
    """The checkpoint in a signed note; `InvalidProof` when it is none (its signatures unchecked)."""
    with _answer_invalid():
        return signed_checkpoint(signed)


@contextmanager
def _answer_invalid() -> Iterator[None]:
    """A malformed part of an answer proves nothing: it is refused as an invalid proof."""
    try:
        yield
    except FormatError as error:
        raise InvalidProof(str(error)) from None
