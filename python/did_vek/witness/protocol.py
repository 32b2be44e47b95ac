"""The add-checkpoint protocol, apart from HTTP: a request body in, cosignature lines or a
refusal with its status out.

The answers are judged in a fixed order, each only once the ones before it passed: 404 an
origin of no configured log; 403 no valid signature of that log's keys; 400 a malformed body or
an old size above the checkpoint's; 409 an old size other than the one held; 422 a proof that
does not lead from the held tree to the checkpoint's (a proof from size 0 is empty, a tree of
size 0 has the root H(""), a tree of the held size has the held root). Only then is the new size
held, and only once it is held is the checkpoint cosigned.
"""

import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

from did_vek_core import DIDEngine

from ..registry.store import Refused
from ..tlog.checkpoint import Checkpoint, open_checkpoint
from ..tlog.errors import FormatError, InvalidProof
from ..tlog.merkle import verify_consistency
from ..tlog.note import COSIGNATURE_V1, ED25519, Signer, Verifier, parse_note
from .request import read_header, split_body
from .state import Held, WitnessState


class Conflict(Refused):
    """The request's old size is not the size the witness holds, which the answer gives."""

    def __init__(self, held_size: int, old_size: int) -> None:
        super().__init__(409, f"the old size is {old_size}, but the witness holds size {held_size}")
        self.held_size = held_size


@dataclass(frozen=True)
class _Request:
    checkpoint: Checkpoint
    note_text: str
    old_size: int
    proof: tuple[bytes, ...]


class Witness:
    """A named cosigning key, the logs it witnesses (by their verifier keys) and its state."""

    def __init__(self, name: str, engine: DIDEngine, logs: Iterable[Verifier], state: WitnessState,
                 clock: Callable[[], float] = time.time) -> None:
        self._signer = Signer(name, engine, COSIGNATURE_V1)
        self._logs: dict[str, list[Verifier]] = {}
        for log in logs:
            if log.key_type != ED25519:
                raise ValueError(f"{log.name} is not a log's key (signature type 0x01)")
            self._logs.setdefault(log.name, []).append(log)
        self._state = state
        self._clock = clock

    @property
    def vkey(self) -> str:
        return self._signer.verifier.vkey

    def add_checkpoint(self, body: bytes) -> str:
        """The cosignature line of the checkpoint in `body`, once its size is held; else `Refused`."""
        request = self._read(body)
        checkpoint = request.checkpoint

        def extends(held: Held) -> None:
            if request.old_size != held.size:
                raise Conflict(held.size, request.old_size)
            try:
                verify_consistency(held.size, checkpoint.size, held.root, checkpoint.root, request.proof)
            except InvalidProof as error:
                raise Refused(422, str(error)) from None

        self._state.advance(checkpoint.origin, Held(checkpoint.size, checkpoint.root), extends)
        return self._signer.sign(request.note_text, timestamp=int(self._clock())).line

    def _read(self, body: bytes) -> _Request:
        try:
            parts = split_body(body)
            note = parse_note(parts.signed)
            checkpoint = Checkpoint.parse(note.text)
        except FormatError as error:
            raise Refused(400, str(error)) from None
        logs = self._logs.get(checkpoint.origin)
        if logs is None:
            raise Refused(404, f"{checkpoint.origin!r} is not a log this witness knows")
        try:
            open_checkpoint(parts.signed, logs)
        except InvalidProof as error:
            raise Refused(403, str(error)) from None
        try:
            header = read_header(parts.header)
        except FormatError as error:
            raise Refused(400, str(error)) from None
        if header.old_size > checkpoint.size:
            raise Refused(400, f"the old size {header.old_size} is above the checkpoint's size {checkpoint.size}")
        return _Request(checkpoint, note.text, header.old_size, header.proof)
