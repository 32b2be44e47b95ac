"""Measures what the registry's signed log costs: publishes, resolutions with proofs, witnesses,
the proofs' size and a restart of a large registry; prints the goals, writes JSON.

Every ratio is against a baseline measured in the same run, the cases taking turns round by
round (wrk, `-t2`, on 127.0.0.1, every server with 2 worker processes):

- publish of new DIDs, 64 connections: the registry on SQLite (synchronous=FULL) and on one
  PostgreSQL database (synchronous_commit=on) against a bare ASGI app that reads the same
  bodies and answers 201; the registry with 3 local witnesses (quorum 2) against the same
  registry without any. Each round publishes DIDs of its own.
- resolution of the latest version with its vekLog, against the bare ASGI app.
- a client's `resolve` of a DID of 10 versions, every proof checked, against the round trip of
  the same request and 10 `verify_with_key` of the versions' compact texts.
- a large store (1,000,000 DIDs; --large) made once and kept under --cache with its log: the
  log's making (once), a restart's seconds to the first resolution with proofs, each worker's
  resident memory, and the bytes of didResolutionMetadata.vekLog in its answers.

    python benchmarks/log_bench.py [--quick] [--large N] [--cache DIR] [--output FILE]
"""

from __future__ import annotations

import argparse
import http.client
import json
import math
import shutil
import statistics
import sys
import tempfile
import time
from contextlib import ExitStack
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import log_store
import registry_data as data
import registry_servers as servers
import wrk_runs
from registry_bench import Case, interleaved, resolving, write_dids
from registry_client_timing import ten_versions
from registry_report import paired_ratio

HERE = Path(__file__).resolve().parent
WORKERS = 2
PUBLISH_CONNECTIONS = 64
WITNESSES = 3
# The versions of the large store are logged this many at a time (see log_store.logged_store).
LARGE_STORE_BATCH = 65_536
QUORUM = 2


@dataclass(frozen=True)
class Sizes:
    resolve: int          # DIDs stored for the resolution runs
    large: int            # DIDs of the store restarted and whose proofs are weighed
    publish_per_round: int  # new DIDs prepared for each round of a publish case, more than a round sends
    seconds: int
    rounds: int


FULL = Sizes(resolve=100_000, large=1_000_000, publish_per_round=16_000, seconds=5, rounds=4)
QUICK = Sizes(resolve=10_000, large=100_000, publish_per_round=6_000, seconds=2, rounds=2)


@dataclass(frozen=True)
class Goal:
    name: str
    measured: float
    relation: str   # ">=" or "<="
    limit: float
    unit: str = ""

    @property
    def met(self) -> bool:
        return self.measured >= self.limit if self.relation == ">=" else self.measured <= self.limit

    def line(self) -> str:
        return (f"{self.name}: {self.measured:,.3f}{self.unit} (goal {self.relation} {self.limit:,}{self.unit}): "
                f"{'met' if self.met else 'MISSED'}")


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def created_rate(report: wrk_runs.WrkReport) -> wrk_runs.WrkReport:
    """The report with 201 answers per second as its rate: a publish stores only those."""
    return replace(report, requests_per_second=wrk_runs.created_per_second(report))


def publishing(round_files: list[Path], *, repeat: bool = False) -> Any:
    """A publish run for `Case`: round n sends the DIDs of `round_files[n]`, each once."""
    state = {"round": 0}

    def run(server: servers.ServerProcess, load: wrk_runs.Load) -> wrk_runs.WrkReport:
        requests_file = round_files[min(state["round"], len(round_files) - 1)]
        state["round"] += 1
        return created_rate(wrk_runs.publish(server.url(), requests_file, load, repeat=repeat))
    return run


def new_did_requests(work: Path, sizes: Sizes) -> list[Path]:
    """One file of "PATH<tab>BODY" lines per round: version 1 of DIDs no store holds yet."""
    prepared = data.updates(sizes.publish_per_round * (sizes.rounds + 1), label="log-bench-new")
    files = []
    for number in range(sizes.rounds + 1):  # one more for the warm-up round
        share = prepared[number * sizes.publish_per_round:(number + 1) * sizes.publish_per_round]
        path = work / f"new-dids-{number}.txt"
        with path.open("w") as out:
            for update in share:
                body = json.dumps(json.loads(update.first.signed), ensure_ascii=False, separators=(",", ":"))
                out.write(f"/dids/{update.first.did}\t{body}\n")
        files.append(path)
    return files


def row(name: str, reports: list[wrk_runs.WrkReport]) -> dict[str, Any]:
    top = max(reports, key=lambda report: report.requests_per_second)
    return {"case": name, "per_second": top.requests_per_second, "p50_ms": top.p50_seconds * 1e3,
            "p99_ms": top.p99_seconds * 1e3, "failures": sum(wrk_runs.publish_failures(report) if report.script
                                                            else report.failures for report in reports),
            "rounds": [report.as_dict() for report in reports]}


def measure_publish(stack: ExitStack, work: Path, postgres: Any, sizes: Sizes) -> tuple[list[dict[str, Any]],
                                                                                         list[Goal]]:
    log(f"publish: {sizes.publish_per_round:,} new DIDs prepared per round")
    files = new_did_requests(work, sizes)
    warm, rounds = files[0], files[1:]
    postgres.execute("CREATE DATABASE log_publish")
    witnessed_db = work / "witnessed.sqlite3"
    peers = stack.enter_context(log_store.local_witnesses(work, witnessed_db, WITNESSES))

    def start(server: servers.ServerProcess) -> servers.ServerProcess:
        return stack.enter_context(server)

    cases = [
        Case("bare ASGI app, 201", start(servers.bare_asgi(WORKERS, app="bare_asgi:created")),
             publishing(rounds, repeat=True), []),
        Case("registry, SQLite, synchronous=FULL", start(servers.registry(str(work / "plain.sqlite3"), WORKERS)),
             publishing(rounds), []),
        Case("registry, PostgreSQL, synchronous_commit=on",
             start(servers.registry(postgres.url("log_publish"), WORKERS)), publishing(rounds), []),
        Case(f"registry, SQLite, synchronous=FULL, {WITNESSES} witnesses, quorum {QUORUM}",
             start(servers.registry(str(witnessed_db), WORKERS, witnesses=peers, quorum=QUORUM)),
             publishing(rounds), []),
    ]
    load = wrk_runs.Load(threads=2, connections=PUBLISH_CONNECTIONS, seconds=sizes.seconds)
    warm_up = replace(load, seconds=1)
    for case in cases:  # a first second of load on each; the stores take the warm-up's own DIDs
        wrk_runs.publish(case.server.url(), warm, warm_up, repeat=case.server.name == "bare ASGI app")
    interleaved(cases, load, sizes.rounds, None)
    for case in cases:
        case.server.stop()
    by_name = {case.name: case.reports for case in cases}
    bare, sqlite, postgresql, witnessed = (by_name[case.name] for case in cases)
    goals = [Goal("publish: registry on SQLite (FULL) / bare ASGI app", paired_ratio(sqlite, bare), ">=", 0.25),
             Goal("publish: registry on PostgreSQL (synchronous) / bare ASGI app", paired_ratio(postgresql, bare),
                  ">=", 0.15),
             Goal(f"publish: with {WITNESSES} witnesses (quorum {QUORUM}) / without", paired_ratio(witnessed, sqlite),
                  ">=", 0.8)]
    return [row(case.name, case.reports) for case in cases], goals


def measure_resolve(stack: ExitStack, work: Path, store: Path, sizes: Sizes) -> tuple[list[dict[str, Any]], Goal]:
    log(f"resolve: latest version with its vekLog, {sizes.resolve:,} DIDs")
    dids = resolving(write_dids(work / "resolve-dids.txt", data.dids(store)))
    cases = [Case("bare ASGI app, fixed bytes", stack.enter_context(servers.bare_asgi(WORKERS)), dids, []),
             Case("registry, SQLite, with vekLog", stack.enter_context(servers.registry(str(store), WORKERS)), dids,
                  [])]
    load = wrk_runs.Load(threads=2, connections=32, seconds=sizes.seconds)
    interleaved(cases, load, sizes.rounds, replace(load, seconds=1))
    for case in cases:
        case.server.stop()
    bare, registry = (case.reports for case in cases)
    return ([row(case.name, case.reports) for case in cases],
            Goal("resolve with vekLog: registry on SQLite / bare ASGI app", paired_ratio(registry, bare), ">=", 0.5))


def measure_client(stack: ExitStack, work: Path, rounds: int) -> tuple[dict[str, Any], Goal]:
    log("client: resolve of a DID of 10 versions, every proof checked")
    import did_vek
    did, versions = ten_versions()
    engine = data.engine_for("client", 0)
    compact = []
    for version in versions:
        value = json.loads(version)
        del value["proof"]
        message = json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        compact.append((message, engine.sign(message)))
    server = stack.enter_context(servers.registry(str(work / "client.sqlite3"), WORKERS))
    resolve, round_trip, verify = [], [], []
    with did_vek.RegistryClient(server.url(), state=work / "client-state") as client:
        for version in versions:
            client.publish(version)
        client.resolve(did)
        connection = http.client.HTTPConnection(servers.HOST, server.port, timeout=10)
        connection.request("GET", "/tlog/checkpoint")
        size = int(connection.getresponse().read().decode().split("\n")[1])
        # The request the client sends once it knows the tree: the proofs from that size.
        path = f"/dids/{did}/history?known={size}"
        for _ in range(rounds):
            started = time.perf_counter()
            resolution = client.resolve(did)
            resolve.append(time.perf_counter() - started)
            started = time.perf_counter()
            connection.request("GET", path, headers={"Accept": "application/json"})
            answer = connection.getresponse()
            answer.read()
            round_trip.append(time.perf_counter() - started)
            started = time.perf_counter()
            for message, signature in compact:
                did_vek.DIDEngine.verify_with_key(message, signature, engine.public_key)
            verify.append(time.perf_counter() - started)
        connection.close()
    server.stop()
    assert resolution.version_id == "10" and answer.status == 200
    figures = {"resolve_ms": statistics.median(resolve) * 1e3, "round_trip_ms": statistics.median(round_trip) * 1e3,
               "verify_ms": statistics.median(verify) * 1e3, "rounds": rounds}
    ratio = figures["resolve_ms"] / (figures["round_trip_ms"] + figures["verify_ms"])
    return figures, Goal("client resolve of 10 versions / (round trip + 10 verify_with_key)", ratio, "<=", 1.3)


def measure_large(store: Path, count: int, made_seconds: float | None) -> tuple[dict[str, Any], list[Goal]]:
    log(f"restart: the registry on {count:,} DIDs")
    restart = log_store.restart(store, WORKERS)
    figures = {"dids": count, "entries": log_store.entry_count(store), "log_made_seconds": made_seconds,
               **restart.as_dict()}
    proof = restart.proof_bytes_max
    goals = [Goal(f"restart of {count:,} DIDs: seconds to the first resolution with proofs",
                  restart.first_answer_seconds, "<=", 15.0, " s"),
             Goal("resident memory per server process", max(restart.worker_rss_mib), "<=", 512.0, " MiB"),
             Goal(f"vekLog of a resolution at {count:,} DIDs", proof / 1024, "<=", 4.0, " KiB")]
    if count < 1_000_000:
        # The map proof and both inclusion proofs grow by one hash (base64, quoted or on a line of
        # its own: about 46 bytes) each time the store doubles.
        figures["proof_bytes_at_1m_estimated"] = round(proof + math.log2(1_000_000 / count) * 3 * 46)
    return figures, goals


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK.resolve:,} DIDs resolved, {QUICK.large:,} restarted, {QUICK.seconds} s runs")
    parser.add_argument("--large", type=int, help="DIDs of the store restarted (default: 1,000,000; 100,000 quick)")
    parser.add_argument("--cache", type=Path, default=HERE.parent / "build" / "bench" / "registry",
                        help="where the generated SQLite stores and their logs are kept between runs")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "log.json")
    parser.add_argument("--only", choices=("publish", "resolve", "client", "large"), action="append",
                        help="only these parts (repeatable)")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    if args.large is not None:
        sizes = replace(sizes, large=args.large)
    parts = set(args.only or ("publish", "resolve", "client", "large"))
    started = time.time()
    results: dict[str, Any] = {"sizes": sizes.__dict__, "workers": WORKERS}
    goals: list[Goal] = []

    with ExitStack() as stack:
        work = Path(tempfile.mkdtemp(prefix="did-vek-log-bench-"))
        stack.callback(shutil.rmtree, work, ignore_errors=True)
        if "large" in parts:
            store, made = log_store.logged_store(args.cache, sizes.large, LARGE_STORE_BATCH)
            results["large"], large_goals = measure_large(store, sizes.large, made)
            goals += large_goals
        if "resolve" in parts:
            store, _ = log_store.logged_store(args.cache, sizes.resolve)
            results["resolve"], resolve_goal = measure_resolve(stack, work, store, sizes)
            goals.append(resolve_goal)
        if "client" in parts:
            results["client"], client_goal = measure_client(stack, work, 200 if args.quick else 1000)
            goals.append(client_goal)
        if "publish" in parts:
            log("PostgreSQL: a private cluster")
            postgres = servers.postgres_server()
            stack.callback(postgres.destroy)
            postgres.start()
            results["publish"], publish_goals = measure_publish(stack, work, postgres, sizes)
            goals += publish_goals

    results["goals"] = [{**goal.__dict__, "met": goal.met} for goal in goals]
    results["seconds"] = round(time.time() - started, 1)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(results, indent=2) + "\n")
    for part in ("publish", "resolve"):
        for figures in results.get(part, []):
            print(f"{part}: {figures['case']}: {figures['per_second']:,.0f}/s, p50 {figures['p50_ms']:.2f} ms, "
                  f"p99 {figures['p99_ms']:.2f} ms, failed {figures['failures']}")
    if "client" in results:
        print("client: " + ", ".join(f"{key} {value:.3f}" for key, value in results["client"].items()))
    if "large" in results:
        print("large store: " + ", ".join(f"{key} {value}" for key, value in results["large"].items()))
    print("\n".join(goal.line() for goal in goals))
    print(f"written to {args.output}")


if __name__ == "__main__":
    main()
