"""Times did_vek_core against its peers and the floor, prints one table, writes JSON.

Every figure is the median over several rounds of a timed loop. The rounds interleave all
variants (ours, PyNaCl, cryptography, the pure-Python reference and the C floor), so that
a shared, noisy machine slows them alike and the ratios stay meaningful; a ratio to the floor
is the median of the rounds' own ratios. Loops are timed
in CPU time of the running thread (here and in the floor program), so time spent waiting
for a core that another process holds is not counted.

    python benchmarks/run.py --floor build/bench/floor [--quick]
    python benchmarks/run.py --section signed   # only the signed-document operations
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path

import cryptography
import nacl
import nacl.exceptions
import nacl.signing
import psutil
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.backends.openssl import backend as openssl_backend
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

import did_vek_core as vek
import reference_documents as ref
import credential_operations
import signed_documents
from sample_documents import builder_with
import threads
from ratios import paired_ratio

HERE = Path(__file__).resolve().parent
PEERS = ("PyNaCl", "cryptography", "Python ref")


def message(length: int) -> str:
    """The floor program builds the same bytes."""
    return "".join(chr(ord("a") + (7 * i + 13) % 26) for i in range(length))


SEED_HEX = bytes(range(32)).hex()
# The DID functions on typical arguments, each beside a trivial built-in given the same argument.
DID_FUNCTIONS = [
    ("parse_did_py('did:vek:example:alice')", "parse_did_py(typical_did)", "len(typical_did)"),
    ("is_valid_did_py('did:vek:example:alice')", "is_valid_did_py(typical_did)", "len(typical_did)"),
    ("create_did_py(['example', 'alice'])", "create_did_py(parts)", "len(parts)"),
]
NEUTRAL_KEY = "01" + "00" * 31
NEUTRAL_SIGNATURE = "01" + "00" * 63
WRONG = "verify 100 B wrong (R changed)"
EXOTIC = "verify 100 B exotic (neutral key)"
NACL_VERIFY_WRONG = "try:\n nacl_verify_key.verify(b100, invalid_bytes)\nexcept BadSignatureError:\n pass"
CRYPTOGRAPHY_VERIFY_WRONG = "try:\n crypto_public.verify(invalid_bytes, b100)\nexcept InvalidSignature:\n pass"


# --- timed loops ---------------------------------------------------------------------------

class PythonLoop:
    """A timeit loop over one statement; the statement's names come from `namespace`."""

    def __init__(self, stmt: str, namespace: dict) -> None:
        self.timer = timeit.Timer(stmt, timer=time.thread_time, globals=namespace)
        self.iterations = 1

    def run(self, iterations: int) -> float:
        return self.timer.timeit(iterations)


class FloorLoop:
    """A loop of the C floor program, run by its serving process."""

    def __init__(self, process: subprocess.Popen, case: str) -> None:
        self.process = process
        self.case = case
        self.iterations = 1

    def run(self, iterations: int) -> float:
        self.process.stdin.write(f"{self.case} {iterations}\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        if "seconds" not in answer:
            raise RuntimeError(f"floor: {answer}")
        return answer["seconds"]


def calibrate(loop, seconds: float) -> None:
    """Chooses the iteration count that makes one loop last about `seconds`."""
    iterations = 1
    while True:
        elapsed = loop.run(iterations)
        if elapsed >= seconds / 5:
            break
        iterations *= 10 if elapsed < seconds / 50 else 2
    loop.iterations = max(1, math.ceil(iterations * seconds / elapsed))


@dataclass
class Variant:
    label: str
    loop: object
    samples: list[float] = field(default_factory=list)

    def sample(self) -> None:
        self.samples.append(self.loop.run(self.loop.iterations) / self.loop.iterations)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)


@dataclass
class Operation:
    name: str
    ours: Variant
    peers: dict[str, Variant] = field(default_factory=dict)
    floor: list[Variant] = field(default_factory=list)  # the floor is the sum of these
    floor_label: str = "floor"

    def __post_init__(self) -> None:
        self.ours.label = "ours"
        for label, variant in self.peers.items():
            variant.label = label

    def variants(self) -> list[Variant]:
        return [self.ours, *self.peers.values(), *self.floor]

    def floor_seconds(self) -> float | None:
        return sum(v.median for v in self.floor) if self.floor else None

    def over_floor(self) -> float | None:
        """Ours / the floor, round by round (see `ratios.paired_ratio`)."""
        if not self.floor:
            return None
        return paired_ratio(self.ours.samples, map(sum, zip(*(v.samples for v in self.floor))))


# --- what is measured ----------------------------------------------------------------------

TIMESTAMP = re.compile(r'"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"')


def same_document(ours: str, theirs: str) -> bool:
    """Equal texts apart from the clock readings."""
    return TIMESTAMP.sub('"T"', ours) == TIMESTAMP.sub('"T"', theirs)


def compact_form(signed: str) -> str:
    """The compact record form that `create_document` signed, rebuilt from its result."""
    document = json.loads(signed)["document"]
    order = ["@context", "id", "controller", "verificationMethod", "authentication", "assertionMethod",
             "service", "created", "updated"]
    method_order = ["id", "type", "controller", "publicKeyMultibase", "publicKeyHex"]
    record = {name: document[name] for name in order if name in document}
    record["verificationMethod"] = [{name: m[name] for name in method_order if name in m}
                                    for m in record["verificationMethod"]]
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False)


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"benchmark set-up: {what}")


def operations(floor: subprocess.Popen, scale: list[int]) -> tuple[list[Operation], dict]:
    engine = vek.DIDEngine.from_secret_key(SEED_HEX)
    nacl_key = nacl.signing.SigningKey(bytes.fromhex(SEED_HEX))
    crypto_key = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(SEED_HEX))
    public_hex = engine.public_key
    check(bytes(nacl_key.verify_key).hex() == public_hex == crypto_key.public_key().public_bytes_raw().hex(),
          "the three libraries derive different public keys")

    short, long = message(100), message(10_000)
    texts = {}
    for name, text in (("100", short), ("10k", long)):
        signature = engine.sign(text)
        check(signature == crypto_key.sign(text.encode()).hex(), f"signatures of the {name} message differ")
        texts[name] = (text, text.encode(), signature, bytes.fromhex(signature))
    invalid = f"{int(texts['100'][2][:2], 16) ^ 1:02x}" + texts["100"][2][2:]
    check(engine.verify(short, texts["100"][2]) and not engine.verify(short, invalid), "verify answers wrongly")
    check(vek.DIDEngine.verify_with_key(short, NEUTRAL_SIGNATURE, NEUTRAL_KEY), "the neutral-point case fails")

    did = engine.create_did_from_key()
    signed = engine.create_document(did)
    compact = compact_form(signed)
    check(vek.DIDEngine.verify_with_key(compact, json.loads(signed)["proof"]["proofValue"], public_hex),
          "the rebuilt compact form is not what was signed")
    ref_engine = ref.Engine(crypto_key)
    check(same_document(signed, ref_engine.create_document(did)), "the reference create_document differs")

    ns = {
        "vek": vek, "engine": engine, "nacl_key": nacl_key, "nacl_verify_key": nacl_key.verify_key,
        "crypto_key": crypto_key, "crypto_public": crypto_key.public_key(), "ref_engine": ref_engine,
        "VerifyKey": nacl.signing.VerifyKey, "Ed25519PublicKey": Ed25519PublicKey,
        "SigningKey": nacl.signing.SigningKey, "Ed25519PrivateKey": Ed25519PrivateKey,
        "BadSignatureError": nacl.exceptions.BadSignatureError, "InvalidSignature": InvalidSignature,
        "seed_hex": SEED_HEX, "public_hex": public_hex, "did": did, "compact": compact,
        "invalid": invalid, "invalid_bytes": bytes.fromhex(invalid),
        "neutral_key": NEUTRAL_KEY, "neutral_signature": NEUTRAL_SIGNATURE,
        "parse_did_py": vek.parse_did_py, "is_valid_did_py": vek.is_valid_did_py,
        "create_did_py": vek.create_did_py, "parts": ["example", "alice"], "typical_did": "did:vek:example:alice",
    }
    for name, (text, data, signature, signature_bytes) in texts.items():
        ns |= {f"m{name}": text, f"b{name}": data, f"s{name}": signature, f"sb{name}": signature_bytes}

    def py(stmt: str, label: str = "ours") -> Variant:
        return Variant(label, PythonLoop(stmt, ns))

    def fl(*cases: str) -> list[Variant]:
        return [Variant(case, FloorLoop(floor, case)) for case in cases]

    ops: list[Operation] = []
    for size in ("100", "10k"):
        label = "100 B" if size == "100" else "10 kB"
        ops.append(Operation(f"sign {label}", py(f"engine.sign(m{size})"), {
            "PyNaCl": py(f"nacl_key.sign(b{size})"),
            "cryptography": py(f"crypto_key.sign(b{size})"),
        }, fl(f"sodium_sign_{size}")))
    for size in ("100", "10k"):
        label = "100 B" if size == "100" else "10 kB"
        ops.append(Operation(f"verify {label} valid", py(f"engine.verify(m{size}, s{size})"), {
            "PyNaCl": py(f"nacl_verify_key.verify(b{size}, sb{size})"),
            "cryptography": py(f"crypto_public.verify(sb{size}, b{size})"),
        }, fl(f"sodium_verify_valid_{size}")))
    ops.append(Operation(WRONG, py("engine.verify(m100, invalid)"), {
        "PyNaCl": py(NACL_VERIFY_WRONG),
        "cryptography": py(CRYPTOGRAPHY_VERIFY_WRONG),
    }, fl("sodium_verify_invalid")))
    ops.append(Operation(EXOTIC, py("vek.DIDEngine.verify_with_key(m100, neutral_signature, neutral_key)"), {},
                         fl("openssl_verify_exotic"), "floor (OpenSSL)"))
    ops.append(Operation("verify_with_key 100 B valid", py("vek.DIDEngine.verify_with_key(m100, s100, public_hex)"), {
        "PyNaCl": py("VerifyKey(bytes.fromhex(public_hex)).verify(b100, bytes.fromhex(s100))"),
        "cryptography": py("Ed25519PublicKey.from_public_bytes(bytes.fromhex(public_hex))"
                           ".verify(bytes.fromhex(s100), b100)"),
    }, fl("sodium_verify_valid_100")))
    ops.append(Operation("DIDEngine()", py("vek.DIDEngine()"), {
        "PyNaCl": py("SigningKey.generate()"),
        "cryptography": py("Ed25519PrivateKey.generate()"),
    }, fl("sodium_seed_keypair"), "floor (seed_keypair)"))
    ops.append(Operation("from_secret_key", py("vek.DIDEngine.from_secret_key(seed_hex)"), {
        "PyNaCl": py("SigningKey(bytes.fromhex(seed_hex))"),
        "cryptography": py("Ed25519PrivateKey.from_private_bytes(bytes.fromhex(seed_hex))"),
    }, fl("sodium_seed_keypair"), "floor (seed_keypair)"))
    ops.append(Operation("create_did_from_key", py("engine.create_did_from_key()")))
    ops.append(Operation(f"sign compact document ({len(compact.encode())} B)", py("engine.sign(compact)"), {
        "PyNaCl": py("nacl_key.sign(compact.encode())"),
        "cryptography": py("crypto_key.sign(compact.encode())"),
    }))
    ops.append(Operation("create_document", py("engine.create_document(did)"), {
        "Python ref": py("ref_engine.create_document(did)"),
    }))

    sizes = {"empty": 0, "16 entries": 16} | {f"{n} entries (scale)": n for n in scale}
    for label, entries in sizes.items():
        ours = builder_with(entries, did, public_hex, vek.DIDDocumentBuilder)
        theirs = builder_with(entries, did, public_hex, ref.DocumentBuilder)
        check(same_document(ours.build(), theirs.build()), f"the reference build differs at {entries} entries")
        key = f"builder_{entries}"
        ns[key], ns[f"ref_{key}"] = ours, theirs
        ops.append(Operation(f"build() {label}", py(f"{key}.build()"),
                             {"Python ref": py(f"ref_{key}.build()")}))

    for name, stmt, baseline in DID_FUNCTIONS:
        ops.append(Operation(name, py(stmt), {}, [py(baseline, baseline)], f"floor ({baseline})"))

    signed_ops, ns["signed"] = signed_operations(engine)
    ns["credentials"] = credential_ns = credential_operations.namespace()
    credential_operations.check(credential_ns)
    for name, stmt, baseline_stmt, baseline, _, _ in credential_operations.OPERATIONS:
        ops.append(Operation(name, Variant("ours", PythonLoop(stmt, credential_ns)), {},
                             [Variant(baseline, PythonLoop(baseline_stmt, credential_ns))], f"floor ({baseline})"))
    return ops + signed_ops, ns


def signed_operations(engine: vek.DIDEngine) -> tuple[list[Operation], dict]:
    """did_vek's signed-document operations, each beside the core call it is built on."""
    signed_ns = signed_documents.namespace(engine)
    ops = [Operation(name, Variant("ours", PythonLoop(stmt, signed_ns)), {},
                     [Variant(floor_label, PythonLoop(floor_stmt, signed_ns))], floor_label)
           for name, stmt, floor_stmt, floor_label in signed_documents.OPERATIONS]
    return ops, signed_ns


def scaling_cases(ns: dict) -> list[threads.Scaling]:
    """The operations a server runs in a thread pool, for each library that has them. The
    calls are bound methods with their arguments, so that as little Python as possible runs
    between two calls, under the lock that every library needs for that part."""
    engine, nacl_key, nacl_verify, crypto_key, crypto_public = (
        ns["engine"], ns["nacl_key"], ns["nacl_verify_key"], ns["crypto_key"], ns["crypto_public"])
    m100, b100, s100, sb100, invalid, invalid_bytes = (
        ns["m100"], ns["b100"], ns["s100"], ns["sb100"], ns["invalid"], ns["invalid_bytes"])
    m1M = message(2**20)
    b1M = m1M.encode()

    def refused(verify, *args) -> Callable[[], None]:
        def call() -> None:
            try:
                verify(*args)
            except (nacl.exceptions.BadSignatureError, InvalidSignature):
                pass
        return call

    calls = {
        "verify 100 B valid": {"ours": partial(engine.verify, m100, s100), "PyNaCl": partial(nacl_verify.verify, b100, sb100),
                               "cryptography": partial(crypto_public.verify, sb100, b100)},
        "verify 100 B wrong": {"ours": partial(engine.verify, m100, invalid),
                               "PyNaCl": refused(nacl_verify.verify, b100, invalid_bytes),
                               "cryptography": refused(crypto_public.verify, invalid_bytes, b100)},
        "sign 100 B": {"ours": partial(engine.sign, m100), "PyNaCl": partial(nacl_key.sign, b100),
                       "cryptography": partial(crypto_key.sign, b100)},
        "sign 1 MB": {"ours": partial(engine.sign, m1M), "PyNaCl": partial(nacl_key.sign, b1M),
                      "cryptography": partial(crypto_key.sign, b1M)},
    }
    return [threads.Scaling(operation, library, call)
            for operation, by_library in calls.items() for library, call in by_library.items()]


def stall_of_long_work(ns: dict, megabytes: int) -> dict:
    """The longest stall of a 1 ms ticker while another thread signs and verifies a long message."""
    engine, text = ns["engine"], "a" * (megabytes * 2**20)
    stall = threads.longest_stall(
        lambda: check(engine.verify(text, engine.sign(text)), "the long signature does not verify"))
    return {"work": f"sign and verify {megabytes} MB", "longest_stall": stall}


def measure(ops: list[Operation], rounds: int, loop_seconds: float) -> None:
    variants = [v for op in ops for v in op.variants()]
    print(f"calibrating {len(variants)} loops ...", file=sys.stderr)
    for variant in variants:
        calibrate(variant.loop, loop_seconds)
    for r in range(rounds):
        print(f"round {r + 1}/{rounds}", file=sys.stderr)
        for op in ops:
            group = op.variants()
            shift = r % len(group)  # rotate the order so that no variant always runs first
            for variant in group[shift:] + group[:shift]:
                variant.sample()


def rss_growth(stmt: str, ns: dict, calls: int) -> dict:
    """Resident set size before and after `calls` calls (after a warm-up of 10,000)."""
    timer = timeit.Timer(stmt, globals=ns)
    timer.timeit(10_000)
    gc.collect()
    process = psutil.Process()
    before = process.memory_info().rss
    timer.timeit(calls)
    gc.collect()
    after = process.memory_info().rss
    return {"statement": stmt, "calls": calls, "rss_before": before, "rss_after": after, "growth": after - before}


# --- report --------------------------------------------------------------------------------

def duration(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3g} µs"
    return f"{seconds * 1e3:.3g} ms"


def fmt(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}"


def rows(ops: list[Operation]) -> list[dict]:
    result = []
    for op in ops:
        ours = op.ours.median
        floor = op.floor_seconds()
        peers = {label: op.peers[label].median for label in PEERS if label in op.peers}
        result.append({
            "operation": op.name,
            "ours": ours,
            "peers": peers,
            "floor": floor,
            "floor_kind": op.floor_label,
            "floor_parts": {v.label: v.median for v in op.floor},
            "ours_over_floor": op.over_floor(),
            "ours_over_peer": {label: ours / seconds for label, seconds in peers.items()},
            "samples": {v.label: v.samples for v in op.variants()},
        })
    return result


def table(results: list[dict]) -> str:
    header = ["operation", "ours", *PEERS, "floor", "ours/floor", *(f"ours/{p}" for p in PEERS)]
    lines = [header]
    for row in results:
        lines.append([row["operation"], duration(row["ours"]),
                      *(duration(row["peers"].get(p)) for p in PEERS), duration(row["floor"]),
                      fmt(row["ours_over_floor"]), *(fmt(row["ours_over_peer"].get(p)) for p in PEERS)])
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = []
    for n, line in enumerate(lines):
        cells = [line[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(line[1:], widths[1:])]
        text.append("| " + " | ".join(cells) + " |")
        if n == 0:
            text.append("|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|")
    return "\n".join(text)


RELATIONS = {"<=": float.__le__, ">=": float.__ge__, "<": float.__lt__}


def goal(name: str, measured: float, relation: str, limit: float) -> dict:
    return {"target": name, "measured": measured, "limit": limit, "relation": relation,
            "met": RELATIONS[relation](float(measured), float(limit))}


def targets(results: list[dict], memory: list[dict], scale: list[int]) -> list[dict]:
    by_name = {row["operation"]: row for row in results}
    out = []

    def target(name: str, measured: float, limit: float, at_most: bool = True) -> None:
        out.append(goal(name, measured, "<=" if at_most else ">=", limit))

    for op in ("sign 100 B", "verify 100 B valid"):
        row = by_name[op]
        target(f"{op}: ours / libsodium floor", row["ours_over_floor"], 1.05)
        for peer in ("PyNaCl", "cryptography"):
            target(f"{op}: ours / {peer}", row["ours_over_peer"][peer], 1.0)
    target(f"{WRONG}: ours / ours verify 100 B valid", by_name[WRONG]["ours"] / by_name["verify 100 B valid"]["ours"],
           1.10)
    target(f"{WRONG}: ours / PyNaCl", by_name[WRONG]["ours_over_peer"]["PyNaCl"], 1.0)
    target(f"{WRONG}: ours / libsodium floor", by_name[WRONG]["ours_over_floor"], 1.10)
    target(f"{EXOTIC}: ours / OpenSSL floor", by_name[EXOTIC]["ours_over_floor"], 1.10)
    sign_compact = next(row for name, row in by_name.items() if name.startswith("sign compact document"))
    target("create_document / sign of its compact text", by_name["create_document"]["ours"] / sign_compact["ours"],
           1.2)
    target("build() 16 entries: Python ref / ours", 1 / by_name["build() 16 entries"]["ours_over_peer"]["Python ref"],
           10.0, at_most=False)
    per_entry = {n: by_name[f"build() {n} entries (scale)"]["ours"] / n for n in scale}
    base = min(n for n in scale if n >= 100)
    target(f"build() per-entry cost, {max(scale)} / {base} entries (linear growth)",
           per_entry[max(scale)] / per_entry[base], 1.5)
    for name, _, baseline in DID_FUNCTIONS:
        target(f"{name} / {baseline}", by_name[name]["ours_over_floor"], 3.0)
    out.extend(signed_targets(results))
    for name, measured, relation, limit in credential_operations.goals(by_name):
        out.append(goal(name, measured, relation, limit))
    for entry in memory:
        target(f"RSS growth over {entry['calls']:,} calls of {entry['statement']} (MiB)", entry["growth"] / 2**20, 1.0)
    return out


def signed_targets(results: list[dict]) -> list[dict]:
    by_name = {row["operation"]: row for row in results}
    return [goal(f"{name} / {floor_label.removeprefix('floor (').removesuffix(')')}", by_name[name]["ours_over_floor"],
                 "<=", 1.2)
            for name, _, _, floor_label in signed_documents.OPERATIONS]


def thread_targets(scaling: list[threads.Scaling], stall: dict) -> list[dict]:
    by_key = {(c.operation, c.library): c for c in scaling}
    out = []
    for case in (c for c in scaling if c.library == "ours" and (c.operation, "PyNaCl") not in by_key):
        out.append(goal(f"{case.operation}: ours at 2 threads / 1 thread", case.speedup(), ">=", 1.8))
    for case in (c for c in scaling if c.library == "ours" and (c.operation, "PyNaCl") in by_key):
        out.append(goal(f"{case.operation}: ours at 2 threads / 1 thread", case.speedup(), ">=", 1.8))
        out.append(goal(f"{case.operation}: ours / PyNaCl, throughput at 2 threads",
                        case.best(2) / by_key[(case.operation, "PyNaCl")].best(2), ">=", 1.0))
    out.append(goal(f"longest ticker stall during {stall['work']} (ms)", stall["longest_stall"] * 1e3, "<", 10.0))
    return out


def machine(floor: Path) -> dict:
    cpu = platform.processor()
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        cpu = re.search(r"^Model name:\s*(.+)$", lscpu, re.M).group(1).strip()
    except (OSError, subprocess.CalledProcessError, AttributeError):
        pass
    return {
        "cpu": cpu, "cores": os.cpu_count(), "load_average": os.getloadavg(),
        "python": platform.python_version(), "did_vek_core": vek.__version__,
        "pynacl": nacl.__version__,
        "cryptography": cryptography.__version__, "OpenSSL (cryptography)": openssl_backend.openssl_version_text(),
        # The system libraries that the module and the floor link.
        **json.loads(subprocess.run([str(floor), "--versions"], capture_output=True, text=True, check=True).stdout),
    }


def print_goals(goals: list[dict]) -> None:
    width = max(len(g["target"]) for g in goals)
    for goal in goals:
        status = "met" if goal["met"] else "MISSED"
        print(f"{goal['target'].ljust(width)}  {goal['measured']:8.3f} {goal['relation']} {goal['limit']:<5}  {status}")


def signed_section(rounds: int, loop_seconds: float) -> None:
    """Times the signed-document operations alone: a quick look while working on them."""
    ops, _ = signed_operations(vek.DIDEngine.from_secret_key(SEED_HEX))
    measure(ops, rounds, loop_seconds)
    results = rows(ops)
    print(table(results) + "\n")
    print_goals(signed_targets(results))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", type=Path, default=HERE.parent / "build" / "bench" / "floor")
    parser.add_argument("--rounds", type=int, default=9, help="timed loops per variant (the median is kept)")
    parser.add_argument("--loop-seconds", type=float, default=0.05, help="length of one timed loop")
    parser.add_argument("--memory-calls", type=int, default=1_000_000)
    parser.add_argument("--scaling-rounds", type=int, default=9, help="runs of each case at 1 and 2 threads")
    parser.add_argument("--scaling-seconds", type=float, default=0.2, help="length of one throughput run")
    parser.add_argument("--stall-megabytes", type=int, default=100)
    parser.add_argument("--quick", action="store_true", help="3 rounds, short loops, 10^5 memory calls")
    parser.add_argument("--section", choices=("all", "signed"), default="all",
                        help="signed: only did_vek's signed-document operations and their goals, printed, not written")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "latest.json")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.loop_seconds, args.memory_calls = 3, 0.02, 100_000
        args.scaling_rounds, args.scaling_seconds, args.stall_megabytes = 3, 0.1, 10
    if args.section == "signed":
        signed_section(args.rounds, args.loop_seconds)
        return

    scale = [10, 100, 1_000, 10_000]
    started = time.time()
    floor = subprocess.Popen([str(args.floor), "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        ops, ns = operations(floor, scale)
        measure(ops, args.rounds, args.loop_seconds)
    finally:
        floor.stdin.close()
        floor.wait()

    print("threads: 1 and 2 threads per case ...", file=sys.stderr)
    scaling = (scaling_cases(ns) + signed_documents.scaling_cases(ns["signed"])
               + credential_operations.scaling_cases(ns["credentials"]))
    threads.measure_scaling(scaling, args.scaling_rounds, args.scaling_seconds)
    stall = stall_of_long_work(ns, args.stall_megabytes)

    print(f"memory: {args.memory_calls:,} calls each ...", file=sys.stderr)
    memory = [rss_growth("engine.sign(m100)", ns, args.memory_calls),
              rss_growth("builder_16.build()", ns, args.memory_calls)]

    results = rows(ops)
    scaling_rows = [{"operation": c.operation, "library": c.library, "per_second": c.samples} for c in scaling]
    goals = targets(results, memory, scale) + thread_targets(scaling, stall)
    report = {
        "machine": machine(args.floor),
        "settings": {"rounds": args.rounds, "loop_seconds": args.loop_seconds, "memory_calls": args.memory_calls,
                     "seconds": round(time.time() - started, 1)},
        "operations": results,
        "memory": memory,
        "threads": scaling_rows,
        "stall": stall,
        "targets": goals,
    }
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, indent=2, ensure_ascii=False) + "\n")

    info = report["machine"]
    print(f"\nCPU: {info['cpu']} ({info['cores']} cores), load average {info['load_average'][0]:.2f}; "
          f"Python {info['python']}, libsodium {info['libsodium']}, {info['OpenSSL']}, "
          f"PyNaCl {info['pynacl']}, cryptography {info['cryptography']}\n"
          f"median of {args.rounds} interleaved loops of ~{args.loop_seconds * 1e3:.0f} ms of thread CPU time each\n")
    print(table(results))
    print("\nfloor: the C program benchmarks/floor.c (libsodium, OpenSSL EVP_DigestVerify); for the DID "
          "functions, len() of the same argument. A ratio below 1 means ours is faster.\n")
    print("\nOperations per second at 1 and 2 threads (wall-clock time, best of "
          f"{args.scaling_rounds} interleaved runs of {args.scaling_seconds} s; the gains are medians "
          "of each run's own):\n")
    print(threads.scaling_table(scaling))
    print(f"\nLongest stall of a 1 ms ticker thread while another thread does {stall['work']}: "
          f"{stall['longest_stall'] * 1e3:.2f} ms\n")
    print_goals(goals)
    print(f"\nwritten to {args.output}")


if __name__ == "__main__":
    main()
