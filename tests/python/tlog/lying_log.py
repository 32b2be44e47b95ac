# A registry's log made of the log's building blocks, which the tests bend into the lies a registry can tell.
import base64
import json

from urllib.parse import quote

from did_vek import DIDEngine
from did_vek._signed import read_signed
from did_vek.tlog import merkle
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.dmap import DidMap, map_key
from did_vek.tlog.entries import GENESIS, MapEntry, VersionEntry, document_hash
from did_vek.tlog.note import Signer
from did_vek.tlog.proof import prove
from did_vek.tlog.tiles import EntryBundle, bundle_data, entry_bundles_for_size, parse_path, tile_data, tiles_for_size

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

    def receipt(self, did, version_id):
        """The registry's answer to the publish of version `version_id` of `did`, in the newest tree."""
        index, document, _ = self.served[did][version_id - 1]
        vek_log = self.history(did)[1]
        return {"did": did, "versionId": str(version_id), "versionTime": read_signed(document).updated,
                "logIndex": index, "proof": self.proof(index),
                "vekLog": {name: vek_log[name] for name in ("mapEntry", "mapProof", "map")}}


def key_route(log):
    return {"/tlog/key": (200, (log.signer.verifier.vkey + "\n").encode())}


def history_path(did, known=None):
    return f"/dids/{quote(did, safe='')}/history" + ("" if known is None else f"?known={known}")


def history_route(log, did, *, size=None, known=None):
    """The route of a history answer of `did` from `log` as of its tree of `size`."""
    versions, vek_log = log.history(did, size=size, known=known)
    body = {"did": did, "versions": [json.loads(version) for version in versions], "vekLog": vek_log}
    return {history_path(did, known): (200 if versions else 404, body)}


class Served:
    """The log as its registry serves it to a monitor (an audit's source): the newest checkpoint, the
    key, tiles and bundles, and the export. `tiles` ({path: contents}) replaces what it serves, the
    versions at the log indices in `withhold` are not exported, and `rows` are exported as well."""

    def __init__(self, log, *, tiles=None, withhold=(), rows=()):
        self.log, self.url, self.changed, self.withhold, self.rows = log, URL, tiles or {}, set(withhold), list(rows)

    def checkpoint(self):
        return self.log.signed()

    def log_key(self):
        return self.log.signer.verifier.vkey + "\n"

    def tile(self, path):
        if path in self.changed:
            return self.changed[path]
        found = parse_path(path)
        if isinstance(found, EntryBundle):
            return bundle_data([text.encode() for text in self.log.entries[found.start:found.start + found.width]])
        return tile_data(self.log.tree, found)

    def export(self, after=0):
        logged = sorted((index, did, number, document) for did, history in self.log.served.items()
                        for number, (index, document, _) in enumerate(history, 1) if index not in self.withhold)
        rows = [{"did": did, "versionId": str(number), "signed": json.loads(document), "logIndex": index}
                for index, did, number, document in logged] + self.rows
        for seq, row in enumerate(rows, 1):
            if seq > after:
                yield json.dumps({"seq": seq, **row})

    def routes(self):
        """What a fake registry answers for each path: this log over HTTP."""
        size = self.log.size
        paths = [tile.path for tile in [*tiles_for_size(size), *entry_bundles_for_size(size)]]
        lines = list(self.export())
        return {"/tlog/checkpoint": (200, self.checkpoint().encode()), "/tlog/key": (200, self.log_key().encode()),
                **{f"/tlog/{path}": (200, self.tile(path)) for path in paths},
                "/export?after=0": (200, "".join(line + "\n" for line in lines).encode()),
                f"/export?after={len(lines)}": (200, b"")}
