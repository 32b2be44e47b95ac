"""The credential operations of did_vek beside the calls they are measured against.

`issue_credential` of a 1 KiB credential beside one `sign` of as many bytes; `verify_credential`
with the issuer's history already resolved (`KnownHistories`) beside one `verify_with_key` of
as many bytes; the native JCS of a 100 KiB document beside the pure-Python `jcs` package given
the same text (read by json.loads, which is C, then canonicalized). Run alone, only these lines:

    python benchmarks/credential_operations.py [--quick]
"""

from __future__ import annotations

import argparse
import json
import sys
from functools import partial

import jcs

import did_vek
import did_vek_core as vek
import threads
from did_vek import _native

SECRET = bytes(range(32)).hex()
CONTEXT = ["https://www.w3.org/ns/credentials/v2", "https://www.w3.org/ns/credentials/examples/v2"]
# (operation, ours, baseline, what the baseline is, relation, limit): ours / baseline must keep
# the relation to the limit; for JCS the goal is the other way round (baseline / ours >= limit).
OPERATIONS = [
    ("issue_credential (1 KiB)", "issue_credential(key, credential, verification_method=method)",
     "engine.sign(credential)", "sign", "<=", 1.3),
    ("verify_credential (1 KiB, history resolved)", "verify_credential(signed, resolver=known)",
     "verify_with_key(credential, signature, public_hex)", "verify_with_key", "<=", 1.3),
    ("JCS of 100 KiB", "canonicalize(document)", "jcs_canonicalize(loads(document))", "jcs package", ">=", 20.0),
]


def sized_credential(did: str, size: int) -> str:
    """A credential of `did` whose JSON text is `size` bytes, give or take a few."""
    value = {"@context": CONTEXT, "type": ["VerifiableCredential", "ExampleCredential"], "issuer": did,
             "validFrom": "2026-01-01T00:00:00Z", "credentialSubject": {"id": "did:example:subject"}}
    subject, n = value["credentialSubject"], 0
    while len(json.dumps(value)) < size - 40:
        subject[f"claim{n}"] = f"value {n} of the subject, in plain text"
        n += 1
    return json.dumps(value)


def large_document(size: int) -> str:
    """A JSON document of about `size` bytes: nested objects, arrays, numbers, non-ASCII text."""
    entries = []
    while len(json.dumps(entries)) < size:
        k = len(entries)
        entries.append({"id": f"urn:example:{k}", "name": f"Entrée {k} — Zoë", "score": k * 1.25, "rank": k,
                        "active": k % 2 == 0, "tags": ["a", "b", f"t{k % 7}"], "note": None})
    return json.dumps({"entries": entries}, ensure_ascii=False)


def namespace() -> dict:
    key, engine = did_vek.SigningKey(SECRET), vek.DIDEngine.from_secret_key(SECRET)
    did = engine.create_did_from_key()
    # Version 1 as the engine issues it: key-1 listed for assertion.
    history = did_vek.verify_history([engine.create_document(did)])
    credential = sized_credential(did, 1024)
    method = f"{did}#key-1"
    big = large_document(100 * 1024)
    return {
        "key": key, "engine": engine, "method": method, "credential": credential,
        "signed": did_vek.issue_credential(key, credential, verification_method=method),
        "known": did_vek.KnownHistories([history]), "signature": engine.sign(credential),
        "public_hex": engine.public_key, "verify_with_key": vek.DIDEngine.verify_with_key,
        "issue_credential": did_vek.issue_credential, "verify_credential": did_vek.verify_credential,
        "canonicalize": _native.canonicalize, "jcs_canonicalize": jcs.canonicalize,
        "document": big, "document_value": json.loads(big), "loads": json.loads,
    }


def check(ns: dict) -> None:
    """What is timed works, and the two canonical forms agree."""
    assert ns["verify_credential"](ns["signed"], resolver=ns["known"]).current
    assert ns["canonicalize"](ns["document"]).encode() == ns["jcs_canonicalize"](ns["document_value"])


def scaling_cases(ns: dict) -> list[threads.Scaling]:
    return [threads.Scaling("verify_credential (1 KiB, history resolved)", "ours",
                            partial(did_vek.verify_credential, ns["signed"], resolver=ns["known"]))]


def goals(by_name: dict[str, dict]) -> list[tuple[str, float, str, float]]:
    """(target, measured, relation, limit) of each operation, from rows with "ours" and "floor"."""
    out = []
    for name, _, _, baseline, relation, limit in OPERATIONS:
        row = by_name[name]
        if relation == "<=":
            out.append((f"{name} / {baseline}", row["ours_over_floor"], relation, limit))
        else:
            out.append((f"{name}: {baseline} / ours", 1 / row["ours_over_floor"], relation, limit))
    return out


def main() -> None:
    # The harness of run.py, on these operations only.
    import run

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--loop-seconds", type=float, default=0.05)
    parser.add_argument("--scaling-rounds", type=int, default=9)
    parser.add_argument("--scaling-seconds", type=float, default=0.2)
    parser.add_argument("--quick", action="store_true", help="3 rounds of short loops")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.loop_seconds, args.scaling_rounds, args.scaling_seconds = 3, 0.02, 3, 0.1
    ns = namespace()
    check(ns)
    ops = [run.Operation(name, run.Variant("ours", run.PythonLoop(ours, ns)), {},
                         [run.Variant(baseline, run.PythonLoop(stmt, ns))], baseline)
           for name, ours, stmt, baseline, _, _ in OPERATIONS]
    run.measure(ops, args.rounds, args.loop_seconds)
    results = run.rows(ops)
    print(run.table(results))
    scaling = scaling_cases(ns)
    threads.measure_scaling(scaling, args.scaling_rounds, args.scaling_seconds)
    print()
    print(threads.scaling_table(scaling))
    print()
    by_name = {row["operation"]: row for row in results}
    targets = [run.goal(*goal) for goal in goals(by_name)] + [
        run.goal(f"{case.operation}: ours at 2 threads / 1 thread", case.speedup(), ">=", 1.8) for case in scaling]
    for target in targets:
        print(f"{target['target']:60}  {target['measured']:8.3f} {target['relation']} {target['limit']:<5}  "
              f"{'met' if target['met'] else 'MISSED'}")


if __name__ == "__main__":
    sys.exit(main())
