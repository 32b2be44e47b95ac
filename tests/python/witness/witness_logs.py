"""Logs for the witness's tests: a tree of entries signed by a log key, the add-checkpoint
bodies of its checkpoints, and forks of it signed with the same key."""

import base64

from did_vek import DIDEngine
from did_vek.tlog import merkle
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import Signer

ORIGIN = "log.example/did-vek"


class Log:
    def __init__(self, size: int, *, origin: str = ORIGIN, signer: Signer | None = None,
                 entries: list[bytes] | None = None) -> None:
        self.signer = signer or Signer(origin, DIDEngine())
        self.entries = entries if entries is not None else [b"entry %d\n" % i for i in range(size)]
        self.tree = merkle.TreeHashes()
        self.tree.extend(merkle.leaf_hash(entry) for entry in self.entries)

    @property
    def vkey(self) -> str:
        return self.signer.verifier.vkey

    def fork(self, at: int, size: int) -> "Log":
        """Another log under the same key and origin: these entries up to `at`, others after."""
        return Log(size, signer=self.signer, entries=self.entries[:at] + [b"fork %d\n" % i for i in range(at, size)])

    def checkpoint(self, size: int) -> Checkpoint:
        return Checkpoint(self.signer.verifier.name, size, self.tree.root(size))

    def signed(self, size: int) -> str:
        return self.checkpoint(size).sign(self.signer)

    def proof(self, old: int, size: int) -> list[bytes]:
        return merkle.consistency_proof(self.tree, old, size)

    def body(self, old: int, size: int, *, proof: list[bytes] | None = None, signed: str | None = None) -> bytes:
        return request_body(old, self.proof(old, size) if proof is None else proof,
                            self.signed(size) if signed is None else signed)


def request_body(old: int | str, proof: list[bytes], signed: str) -> bytes:
    lines = "".join(base64.b64encode(hash_).decode() + "\n" for hash_ in proof)
    return f"old {old}\n{lines}\n{signed}".encode()
