"""Asking witnesses to cosign the log's checkpoints, as a log of the witness protocol does.

Each witness is sent the checkpoint with a consistency proof from the tree it holds; a witness
that holds another size says which (409), and is asked again from there. The checkpoint is
served once `quorum` witnesses cosigned it, with their lines after the log's own signature,
without waiting for the slower ones. A witness that does not answer, answers otherwise, or is
still busy with an earlier checkpoint, is asked again with the next one.
"""

import logging
import os
import threading
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass

from .._transport import Connection, RegistryError
from ..tlog import merkle
from ..tlog._base64 import encode
from ..tlog.errors import FormatError, InvalidProof
from ..tlog.note import COSIGNATURE_V1, Verifier, parse_note, verify_note
from .log_view import LogView
from .store import Head

_log = logging.getLogger("did_vek.registry")
# How long one witness may take to answer one request; also how long a server process waits for
# its turn to ask while another asks.
WITNESS_TIMEOUT = 3.0
# How `serve` hands its witnesses ("<vkey> <url>" lines) and quorum to its worker processes.
WITNESSES_VARIABLE = "DID_VEK_WITNESSES"
QUORUM_VARIABLE = "DID_VEK_QUORUM"


class WitnessConfigError(ValueError):
    """A witness or quorum given to the registry cannot be used; the message says why."""


@dataclass(frozen=True)
class WitnessPeer:
    verifier: Verifier
    url: str


def witness_peer(vkey: str, url: str) -> WitnessPeer:
    try:
        verifier = Verifier.from_vkey(vkey)
    except (FormatError, ValueError) as error:
        raise WitnessConfigError(f"witness key {vkey[:80]!r}: {error}") from None
    if verifier.key_type != COSIGNATURE_V1:
        raise WitnessConfigError(f"{vkey[:80]!r} is not a witness's key (cosignature type 0x04)")
    try:
        Connection(url, WITNESS_TIMEOUT).close()
    except ValueError as error:
        raise WitnessConfigError(f"witness {verifier.name}: {error}") from None
    return WitnessPeer(verifier, url)


def witnesses_to_environment(peers: Sequence[WitnessPeer], quorum: int | None) -> None:
    os.environ[WITNESSES_VARIABLE] = "".join(f"{peer.verifier.vkey} {peer.url}\n" for peer in peers)
    os.environ[QUORUM_VARIABLE] = "" if quorum is None else str(quorum)


def witnesses_from_environment() -> tuple[list[WitnessPeer], int | None]:
    lines = os.environ.get(WITNESSES_VARIABLE, "").splitlines()
    quorum = os.environ.get(QUORUM_VARIABLE, "")
    return [witness_peer(*line.split(" ", 1)) for line in lines if line], int(quorum) if quorum else None


class Cosigner:
    def __init__(self, peers: Sequence[WitnessPeer], quorum: int | None, view: LogView) -> None:
        quorum = len(peers) if quorum is None else quorum
        if not peers or not 1 <= quorum <= len(peers):
            raise WitnessConfigError(f"a quorum is 1 to the number of witnesses ({len(peers)}), not {quorum}")
        if len({peer.verifier.name for peer in peers}) != len(peers):
            raise WitnessConfigError("each witness is named once")
        self.peers, self.quorum, self._view = list(peers), quorum, view
        self._held: dict[str, int] = {}  # witness name -> the tree size it holds, as last heard
        # One request at a time to each witness, on a connection kept open between them.
        self._busy = {peer.verifier.name: threading.Lock() for peer in peers}
        self._connections = {peer.verifier.name: Connection(peer.url, WITNESS_TIMEOUT) for peer in peers}
        # Room for a slow witness's request of an earlier round beside every request of this one.
        self._pool = ThreadPoolExecutor(2 * len(peers), thread_name_prefix="did-vek-witness")

    def learn(self, served: Head) -> None:
        """What the witnesses whose cosignatures `served` carries hold at least: its size.

        Every server process of one store asks the same witnesses; a witness another process
        moved on would otherwise answer this one's next request with a 409 and be asked twice.
        """
        try:
            signatures = parse_note(served.checkpoint).signatures
        except FormatError:
            return
        for peer in self.peers:
            name = peer.verifier.name
            if any(signature.is_by(peer.verifier) for signature in signatures) and self._held.get(name, 0) < served.size:
                self._held[name] = served.size

    def cosign(self, head: Head) -> str | None:
        """`head`'s checkpoint with the cosignature lines of at least `quorum` witnesses, or None."""
        lines = []
        for asked in as_completed([self._pool.submit(self._ask, peer, head) for peer in self.peers]):
            if line := asked.result():
                lines.append(line)
                if len(lines) == self.quorum:
                    break
        if len(lines) < self.quorum:
            _log.warning("checkpoint of tree size %d: %d of %d witnesses cosigned, %d needed",
                         head.size, len(lines), len(self.peers), self.quorum)
            return None
        return head.checkpoint + "".join(lines)

    def close(self) -> None:
        self._pool.shutdown(wait=False, cancel_futures=True)
        for connection in self._connections.values():
            connection.close()

    def _ask(self, peer: WitnessPeer, head: Head) -> str | None:
        name = peer.verifier.name
        if not self._busy[name].acquire(blocking=False):
            return None  # still asked about an earlier checkpoint: this one waits for the next round
        try:
            return self._ask_now(peer, head)
        finally:
            self._busy[name].release()

    def _ask_now(self, peer: WitnessPeer, head: Head) -> str | None:
        name = peer.verifier.name
        old = self._held.get(name, 0)
        connection = self._connections[name]
        try:
            for _ in range(2):  # a 409 names the size the witness holds: ask once more from there
                if old > head.size:
                    _log.error("witness %s holds tree size %d, past this log's %d", name, old, head.size)
                    return None
                proof = [] if old == 0 else merkle.consistency_proof(self._view.hash_reader(head.size), old, head.size)
                body = f"old {old}\n" + "".join(encode(hash_) + "\n" for hash_ in proof) + "\n" + head.checkpoint
                answer = connection.request("POST", "/add-checkpoint", body=body.encode(),
                                            headers={"Content-Type": "text/plain; charset=utf-8"})
                if answer.status == 409 and answer.body.strip().isdigit():
                    old = int(answer.body.strip())
                    continue
                if answer.status != 200:
                    _log.warning("witness %s answered %d: %s", name, answer.status, answer.body[:200].decode(errors="replace"))
                    return None
                line = answer.body.decode("utf-8", errors="replace")
                note = parse_note(head.checkpoint + line)
                if not verify_note(note, [peer.verifier]):
                    raise InvalidProof("no cosignature of its key")
                self._held[name] = head.size
                return "".join(signature.line for signature in note.signatures if signature.is_by(peer.verifier))
        except RegistryError as error:
            _log.warning("witness %s: %s", name, error.detail)
        except (FormatError, InvalidProof) as error:
            _log.error("witness %s answered with no valid cosignature: %s", name, error)
        return None
