# A registry's log made of the log's building blocks, which the tests bend into the lies a registry can tell.
import base64

from did_vek import DIDEngine
from did_vek._signed import read_signed
from did_vek.tlog import merkle
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.dmap import DidMap, map_key
from did_vek.tlog.entries import GENESIS, MapEntry, VersionEntry, document_hash
from did_vek.tlog.note import Signer
from did_vek.tlog.proof import prove

ORIGIN, URL = "registry.example/did-vek", "http://registry.example"


class Log:
    """Appends batches (version entries, then a map entry) and answers as of any size it had."""

    def __init__(self, signer=None, origin=ORIGIN):
        self.signer, self.origin = signer or Signer(origin, DIDEngine()), origin
        self.entries, self.tree, self.latest, self.served = [], merkle.TreeHashes(), {}, {}
        self.maps = {1: {}}  # tree size -> the map's items then
        self._append(GENESIS.text)

    size = property(lambda self: self.tree.size)

    def _append(self, text):
        self.entries.append(text)
        self.tree.append(merkle.leaf_hash(text.encode()))
        return self.size - 1

    def publish(self, *versions, logged=None, previous=None, hide=()):
        """A batch. `logged` ({served: other}) logs another document's hash, `previous` ({served: hash})
        another prev; DIDs in `hide` stay out of the map."""
        logged, previous = logged or {}, previous or {}
        for document in versions:
            did = read_signed(document).did
            history = self.served.setdefault(did, [])
            prev = previous.get(document, merkle.leaf_hash(history[-1][2].encode()) if history else None)
            entry = VersionEntry(did, len(history) + 1, document_hash(read_signed(logged.get(document, document)).canonical), prev)
            history.append((self._append(entry.text), document, entry.text))
            if did not in hide:
                self.latest[map_key(did)] = entry.leaf_hash
        self._append(MapEntry(len(self.latest), DidMap(self.latest.items()).root()).text)
        self.maps[self.size] = dict(self.latest)
        return self

    def signed(self, size=None):
        return Checkpoint(self.origin, size or self.size, self.tree.root(size or self.size)).sign(self.signer)

    def proof(self, index, size=None):
        return prove(self.tree, index, self.signed(size), extra=self.entries[index].encode()).text

    def map_proof(self, did, size):  # the proof of `did` in the map of the tree of `size`
        return DidMap(self.maps[size].items()).prove(map_key(did)).to_json()

    def history(self, did, *, size=None, known=None):
        """The versions of `did` served as of the tree of `size` (the newest by default) and their vekLog."""
        size = size or self.size
        vek_log = {"checkpoint": self.signed(size), "mapEntry": self.entries[size - 1],
                   "mapProof": self.proof(size - 1, size), "map": self.map_proof(did, size)}
        if known is not None:
            vek_log["consistency"] = [base64.b64encode(h).decode() for h in merkle.consistency_proof(self.tree, known, size)]
        return [document for index, document, _ in self.served.get(did, []) if index < size], vek_log

    def resolution(self, did, version_id):
        """The document, versionId and vekLog of version `version_id` of `did`, in the newest tree."""
        index, document, entry = self.served[did][version_id - 1]
        vek_log = {**self.history(did)[1], "entry": entry, "proof": self.proof(index),
                   "chain": [text for _, _, text in self.served[did][version_id:]]}
        del vek_log["checkpoint"]
        return document, version_id, vek_log
