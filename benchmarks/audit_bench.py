"""Times `did-vek audit`'s work over a log in memory, against checking the same histories alone.

The log holds VERSIONS versions: DIDs of four versions each, published in batches of 64 as a
registry sequences them. The audit reads its tiles, bundles and export rows from memory, so
the figure is the audit's own work (no HTTP). The baseline, in the same run, is one
`verify_with_key` of every version (and, beside it, `verify_history` over every DID's
versions): the signature checks no audit can skip. The audit runs on one thread and on
--threads; so does the baseline, whose ratio is what the machine gives that many threads at the
time (other work on it takes its share). Times are wall-clock medians of ROUNDS rounds, the cases
taking turns; a ratio is the median of the rounds' own ratios, so that a stretch in which the
machine runs slow for everyone slows both sides of it. The profile shows where the rest goes.

    python benchmarks/audit_bench.py [--versions 10000] [--rounds 3] [--threads 2] [--profile]
"""

import argparse
import concurrent.futures
import cProfile
import json
import pstats
import statistics
import time
from collections.abc import Iterator

import did_vek
from did_vek._signed import read_signed
from did_vek.tlog import merkle
from did_vek.tlog.audit import audit
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.dmap import DidMap, map_key
from did_vek.tlog.entries import GENESIS, MapEntry, VersionEntry, document_hash
from did_vek.tlog.note import Signer
from did_vek.tlog.tiles import EntryBundle, bundle_data, parse_path, tile_data
from ratios import paired_ratio

PER_DID, BATCH = 4, 64


class MemoryLog:
    """A registry's log in memory, as an audit's source."""
    url = "http://audit.bench"

    def __init__(self, versions: list[str]) -> None:
        self.signer = Signer("audit.bench/log", did_vek.DIDEngine())
        self.entries, self.tree, self.rows = [GENESIS.text.encode()], merkle.TreeHashes(), []
        self.tree.append(merkle.leaf_hash(self.entries[0]))
        latest: dict[str, VersionEntry] = {}
        the_map = DidMap()
        for start in range(0, len(versions), BATCH):
            changes = {}
            for text in versions[start:start + BATCH]:
                signed = read_signed(text)
                before = latest.get(signed.did)
                entry = VersionEntry(signed.did, 1 if before is None else before.version_id + 1,
                                     document_hash(signed.canonical), None if before is None else before.leaf_hash)
                latest[signed.did] = entry
                changes[map_key(signed.did)] = entry.leaf_hash
                self.rows.append({"seq": len(self.rows) + 1, "did": signed.did, "versionId": str(entry.version_id),
                                  "signed": json.loads(text), "logIndex": self._append(entry.text)})
            the_map.update(changes)
            self._append(MapEntry(len(the_map), the_map.root()).text)
        size = len(self.entries)
        self.signed = Checkpoint(self.signer.verifier.name, size, self.tree.root(size)).sign(self.signer)
        self.lines = [json.dumps(row) for row in self.rows]

    def _append(self, text: str) -> int:
        self.entries.append(text.encode())
        self.tree.append(merkle.leaf_hash(self.entries[-1]))
        return len(self.entries) - 1

    def checkpoint(self) -> str:
        return self.signed

    def log_key(self) -> str:
        return self.signer.verifier.vkey

    def tile(self, path: str) -> bytes:
        found = parse_path(path)
        if isinstance(found, EntryBundle):
            return bundle_data(self.entries[found.start:found.start + found.width])
        return tile_data(self.tree, found)

    def export(self, after: int = 0) -> Iterator[str]:
        return iter(self.lines[after:])


def histories(count: int) -> list[list[str]]:
    """`count` versions: DIDs of PER_DID versions, each signed by the DID's own key."""
    result = []
    for _ in range(count // PER_DID):
        engine = did_vek.DIDEngine()
        did = engine.create_did_from_key()
        versions = []
        for number in range(PER_DID):
            builder = did_vek.DIDDocumentBuilder(did)
            builder.add_verification_method("key-1", engine.public_key)
            builder.add_assertion_method("key-1")
            record = json.loads(builder.build())
            record["created"], record["updated"] = "2026-01-01T00:00:00Z", f"2026-01-01T00:00:{number:02d}Z"
            versions.append(did_vek.sign_document(engine, json.dumps(record), key_id="key-1"))
        result.append(versions)
    return result


def timed(call: object) -> float:
    start = time.perf_counter()
    call()  # type: ignore[operator]
    return time.perf_counter() - start


def signatures(per_did: list[list[str]]) -> list[tuple[str, str, str]]:
    """(compact form, signature, public key hex) of every version: what verify_with_key checks."""
    result = []
    for versions in per_did:
        key = json.loads(versions[0])["document"]["verificationMethod"][0]["publicKeyHex"]
        result += [(signed.compact, signed.proof_value, key) for signed in map(read_signed, versions)]
    return result


def verified_on(threads: int, checked: list[tuple[str, str, str]]) -> None:
    """verify_with_key of every version, the versions shared out among `threads` threads."""
    verify = did_vek.DIDEngine.verify_with_key
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(lambda part: [verify(*args) for args in part], [checked[i::threads] for i in range(threads)]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--versions", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2, help="the threads of the audit beside the one-thread audit")
    parser.add_argument("--profile", action="store_true")
    options = parser.parse_args()
    per_did = histories(options.versions)
    checked = signatures(per_did)
    # Interleaved as a registry receives them: every DID's version 1, then every version 2, ...
    log = MemoryLog([versions[number] for number in range(PER_DID) for versions in per_did])
    one, many, floor, floor_many, history = [], [], [], [], []
    verify = did_vek.DIDEngine.verify_with_key
    for _ in range(options.rounds):  # the cases take turns, so that a slower minute hits them all
        one.append(timed(lambda: audit(log, threads=1)))
        many.append(timed(lambda: audit(log, threads=options.threads)))
        floor.append(timed(lambda: [verify(*args) for args in checked]))
        floor_many.append(timed(lambda: verified_on(options.threads, checked)))
        history.append(timed(lambda: [did_vek.verify_history(versions) for versions in per_did]))
    report = audit(log, threads=1)
    one_s, many_s, floor_s, floor_many_s, history_s = map(statistics.median, (one, many, floor, floor_many, history))
    print(f"audit of {report.versions} versions ({report.dids} DIDs, {report.size} entries, {report.tiles} tiles "
          f"and bundles): {one_s:.2f} s on 1 thread, {many_s:.2f} s on {options.threads}; "
          f"{report.versions} verify_with_key {floor_s:.2f} s, verify_history of the same {history_s:.2f} s")
    print(f"audit, 1 thread / {report.versions} verify_with_key: {paired_ratio(one, floor):.3f} (goal <= 1.5)")
    print(f"audit, 1 thread / {options.threads} threads: {paired_ratio(one, many):.3f} (goal >= 1.6 at 2); "
          f"verify_with_key, 1 thread / {options.threads} threads: {paired_ratio(floor, floor_many):.3f}")
    if options.profile:
        profile = cProfile.Profile()
        profile.runcall(audit, log, threads=1)
        pstats.Stats(profile).sort_stats("tottime").print_stats(12)


if __name__ == "__main__":
    main()
