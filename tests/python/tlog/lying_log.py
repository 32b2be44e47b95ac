# A registry's log made of the log's building blocks, which the tests bend into the lies a registry can tell.
import base64

from did_vek import DIDEngine
from did_vek.tlog import merkle
from did_vek.tlog.dmap import DidMap, map_key
from did_vek.tlog.entries import GENESIS, MapEntry, VersionEntry, document_hash
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import Signer
from did_vek.tlog.proof import prove
from did_vek._signed import read_signed

ORIGIN = "registry.example/did-vek"
URL = "http://registry.example"


def b64(data):
    return base64.b64encode(data).decode()


class Log:
    """Appends batches (version entries, then a map entry) and answers as of any size it had."""

    def __init__(self, signer=None, origin=ORIGIN):
        self.signer = signer or Signer(origin, DIDEngine())
        self.origin = origin
        self.entries = []
        self.tree = merkle.TreeHashes()
        self.latest = {}  # map key -> leaf hash of the latest entry, as the map holds it
        self.maps = {}  # tree size -> the map's items at that size
        self.served = {}  # did -> [(index, signed document, entry text)]
        self._append(GENESIS.text)
        self.maps[1] = {}

    @property
    def size(self):
        return self.tree.size

    def _append(self, text):
        self.entries.append(text)
        self.tree.append(merkle.leaf_hash(text.encode()))
        return self.size - 1

    def publish(self, *versions, logged=None, previous=None, hide=()):
        """One batch of signed documents. `logged` ({document: other document}) logs another document's
        hash than the one served; `previous` ({document: leaf hash}) logs another prev; DIDs in `hide`
        stay out of the map."""
        for document in versions:
            did = read_signed(document).did
            history = self.served.setdefault(did, [])
            entry = VersionEntry(did, len(history) + 1,
                                 document_hash(read_signed((logged or {}).get(document, document)).canonical),
                                 (previous or {}).get(document, merkle.leaf_hash(history[-1][2].encode()) if history else None))
            history.append((self._append(entry.text), document, entry.text))
            if did not in hide:
                self.latest[map_key(did)] = entry.leaf_hash
        items = dict(self.latest)
        self._append(MapEntry(len(items), DidMap(items.items()).root()).text)
        self.maps[self.size] = items
        return self

    def signed(self, size=None):
        size = size or self.size
        return Checkpoint(self.origin, size, self.tree.root(size)).sign(self.signer)

    def _map_parts(self, did, size, map_size=None):
        signed = self.signed(size)
        map_size = map_size or size
        return {"mapEntry": self.entries[map_size - 1],
                "mapProof": prove(self.tree, map_size - 1, signed, extra=self.entries[map_size - 1].encode()).text,
                "map": DidMap(self.maps[map_size].items()).prove(map_key(did)).to_json()}

    def history(self, did, *, size=None, known=None, map_size=None):
        """The versions served of `did` and their vekLog, as of the tree of `size` (by default the newest)."""
        size = size or self.size
        versions = [document for index, document, _ in self.served.get(did, []) if index < size]
        vek_log = {"checkpoint": self.signed(size), **self._map_parts(did, size, map_size)}
        if known is not None:
            vek_log["consistency"] = [b64(hash_) for hash_ in merkle.consistency_proof(self.tree, known, size)]
        return versions, vek_log

    def resolution(self, did, version_id=None, *, size=None):
        """The served document, its versionId and the vekLog of `did`'s version `version_id` (by default
        the latest), or (None, None, vekLog of absence)."""
        size = size or self.size
        history = [item for item in self.served.get(did, []) if item[0] < size]
        vek_log = self._map_parts(did, size)
        if not history:
            return None, None, vek_log
        version_id = version_id or len(history)
        index, document, entry = history[version_id - 1]
        vek_log.update(entry=entry, proof=prove(self.tree, index, self.signed(size), extra=entry.encode()).text,
                       chain=[text for _, _, text in history[version_id:]])
        return document, version_id, vek_log
