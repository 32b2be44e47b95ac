"""Times the transparency log's structures: the log tree (pure Python) and the DID map (native).

For each size: appending every leaf hash to the tree and its root; an inclusion and a
consistency proof; building the map of that many DIDs and its root; one map proof; a batch
of 256 changed DIDs and the new root. Times are CPU time of this thread (median of proofs),
the peak resident memory of the process after each size.

    python benchmarks/tlog_structures.py [--sizes 100000 1000000]
"""

import argparse
import hashlib
import resource
import statistics
import time


from did_vek.tlog import dmap, merkle


def timed(call):  # seconds of CPU time of this thread, and the call's result
    start = time.thread_time()
    result = call()
    return time.thread_time() - start, result


def tree_figures(size: int) -> dict[str, float]:
    leaves = [merkle.leaf_hash(b"v did:vek:bench %d 1\n" % n) for n in range(size)]
    tree = merkle.TreeHashes()
    append_seconds, _ = timed(lambda: tree.extend(leaves))
    root_seconds, _ = timed(tree.root)
    proofs = [timed(lambda i=i: merkle.inclusion_proof(tree, i * 7919 % size, size))[0] for i in range(200)]
    consistency = [timed(lambda i=i: merkle.consistency_proof(tree, 1 + i * 7919 % size, size))[0] for i in range(200)]
    return {"append all leaves s": append_seconds, "root s": root_seconds,
            "inclusion proof ms": 1e3 * statistics.median(proofs),
            "consistency proof ms": 1e3 * statistics.median(consistency)}


def map_figures(size: int) -> dict[str, float]:
    pairs = [(dmap.map_key(f"did:vek:bench:{n}"), hashlib.sha256(b"%d" % n).digest()) for n in range(size)]
    the_map = dmap.DidMap()
    load_seconds, _ = timed(lambda: the_map.update(pairs))
    root_seconds, root = timed(the_map.root)
    keys = [pairs[i * 7919 % size][0] for i in range(200)]
    proofs = [timed(lambda key=key: the_map.prove(key))[0] for key in keys]
    verify = [timed(lambda key=key: the_map.prove(key).verify(root, key))[0] for key in keys[:50]]
    changes = [(dmap.map_key(f"did:vek:bench:new:{n}"), bytes(31) + b"\x01") for n in range(128)]
    changes += [(key, bytes(31) + b"\x02") for key, _ in pairs[:128]]
    batch_seconds, _ = timed(lambda: (the_map.update(changes), the_map.root()))
    cold_proofs = [timed(lambda key=key: the_map.prove(key))[0] for key, _ in changes[:50]]
    return {"load pairs s": load_seconds, "first root s": root_seconds,
            "proof ms": 1e3 * statistics.median(proofs), "prove+verify ms": 1e3 * statistics.median(verify),
            "batch of 256 + root ms": 1e3 * batch_seconds, "proof after batch ms": 1e3 * statistics.median(cold_proofs)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    for size in parser.parse_args().sizes:
        for name, figures in (("tree", tree_figures(size)), ("map", map_figures(size))):
            shown = ", ".join(f"{key} {value:.3f}" for key, value in figures.items())
            print(f"{name} of {size:,}: {shown}; peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB", flush=True)


if __name__ == "__main__":
    main()
