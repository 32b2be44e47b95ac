"""Measures the registry server under load beside its baselines, prints the goals, writes JSON.

Every server runs on 127.0.0.1 with 2 worker processes and is loaded by wrk (2 threads, 32
connections): nginx serving the same resolution results as files, a bare ASGI application that
answers fixed bytes under the same uvicorn settings as the registry, and the registry on SQLite
and on a private PostgreSQL. wrk and the servers share the machine's cores, so every figure is a
figure of the pair; the ratios, measured in one run with rounds interleaved, are what the goals
judge. Stores are filled directly (see registry_data), the largest SQLite one kept in build/bench/.

    python benchmarks/registry.py [--quick] [--output FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from contextlib import ExitStack
from dataclasses import asdict, dataclass
from importlib.metadata import version as package_version
from pathlib import Path
from typing import Any

import did_vek
import registry_data as data
import registry_servers as servers
import wrk_runs
from did_vek.registry.postgres import PostgresStore
from did_vek.registry.sqlite import SqliteStore
from registry_client_timing import append_seconds, asgi_resolve_seconds, client_resolve, ten_versions, verify_throughput

HERE = Path(__file__).resolve().parent
WORKERS = 2
VERIFY_THREADS = 2


@dataclass(frozen=True)
class Sizes:
    resolve: int        # DIDs stored for the resolve runs
    small: int          # the growth comparison: this many DIDs ...
    large: int          # ... against this many
    publish: int        # versions prepared for each publish run, more than a run can send
    seconds: float      # one wrk run
    rounds: int         # wrk runs per case, interleaved; the best is kept
    client_rounds: int


# Several short rounds rather than one long one: a busy moment of the machine then spoils one
# round of a case, and the best round of each is kept.
FULL = Sizes(resolve=100_000, small=10_000, large=1_000_000, publish=40_000, seconds=5.0, rounds=4,
             client_rounds=200)
QUICK = Sizes(resolve=10_000, small=1_000, large=100_000, publish=10_000, seconds=3.0, rounds=1, client_rounds=50)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --- goals, as benchmarks/run.py writes them ---------------------------------------------------

RELATIONS: dict[str, Callable[[float, float], bool]] = {"<=": float.__le__, ">=": float.__ge__}


def goal(name: str, measured: float, relation: str, limit: float) -> dict[str, Any]:
    return {"target": name, "measured": measured, "limit": limit, "relation": relation,
            "met": RELATIONS[relation](float(measured), float(limit))}


def goal_lines(goals: list[dict[str, Any]]) -> str:
    width = max(len(g["target"]) for g in goals)
    return "\n".join(f"{g['target'].ljust(width)}  {g['measured']:8.3f} {g['relation']} {g['limit']:<5}  "
                     f"{'met' if g['met'] else 'MISSED'}" for g in goals)


def table(rows: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for n, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        lines.append("| " + " | ".join(cells) + " |")
        if n == 0:
            lines.append("|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|")
    return "\n".join(lines)


# --- the runs ------------------------------------------------------------------------------------

@dataclass
class Case:
    """One server under one kind of load; `reports` holds every round's."""
    name: str
    server: servers.ServerProcess
    run: Callable[[servers.ServerProcess, wrk_runs.Load], wrk_runs.WrkReport]
    reports: list[wrk_runs.WrkReport]

    def best(self) -> wrk_runs.WrkReport:
        return max(self.reports, key=lambda report: report.requests_per_second)


def interleaved(cases: list[Case], load: wrk_runs.Load, rounds: int, warm_up: wrk_runs.Load | None) -> None:
    """Each case once per round, in turn, so that a noisy minute slows them alike."""
    if warm_up is not None:
        for case in cases:
            case.run(case.server, warm_up)
    for number in range(rounds):
        for case in cases:
            log(f"  round {number + 1}/{rounds}: {case.name}")
            case.reports.append(case.run(case.server, load))


def resolving(dids_file: Path) -> Callable[[servers.ServerProcess, wrk_runs.Load], wrk_runs.WrkReport]:
    return lambda server, load: wrk_runs.resolve(server.url(), dids_file, load)


def write_dids(path: Path, dids: list[str]) -> Path:
    path.write_text("".join(did + "\n" for did in dids))
    return path


def static_tree(root: Path, store: Path) -> Path:
    """The resolution result of every DID of `store` as a file at its resolution path under `root`."""
    directory = root / "1.0" / "identifiers"
    directory.mkdir(parents=True)
    for did, body in data.resolution_results(store):
        (directory / did).write_bytes(body)
    return root


def publish_requests(path: Path, updates: list[data.Update]) -> Path:
    """One "PATH<tab>BODY" line per prepared version, the body on one line."""
    with path.open("w") as out:
        for update in updates:
            body = json.dumps(json.loads(update.second), ensure_ascii=False, separators=(",", ":"))
            out.write(f"/dids/{update.first.did}\t{body}\n")
    return path


def publishing(requests_file: Path) -> Callable[[servers.ServerProcess, wrk_runs.Load], wrk_runs.WrkReport]:
    return lambda server, load: wrk_runs.publish(server.url(), requests_file, load)


@dataclass(frozen=True)
class PublishSetting:
    """A store and its durability for a publish run; the goal judges the durable ones."""
    name: str
    durable: bool
    holds: str
    db: Callable[[Path, Any], str]                          # (work directory, PostgreSQL) -> db
    server: Callable[[str, int], servers.ServerProcess]     # (db, workers) -> server
    store: Callable[[str], str] = str                       # the db to fill, without options


_NO_SYNC_WAIT = "?options=-c%20synchronous_commit%3Doff"
PUBLISH_SETTINGS = [
    PublishSetting("SQLite, synchronous=FULL", True,
                   "the log is synced at every commit: an acknowledged version survives a power loss",
                   lambda work, postgres: str(work / "publish-full.sqlite3"), servers.registry),
    PublishSetting("SQLite, synchronous=NORMAL", False,
                   "synced at checkpoints only: survives a killed process, a power loss can take the last versions",
                   lambda work, postgres: str(work / "publish-normal.sqlite3"), servers.registry_sqlite_normal),
    PublishSetting("PostgreSQL, synchronous_commit=on", True,
                   "the WAL is flushed before the commit returns: survives a crash of PostgreSQL or the machine",
                   lambda work, postgres: postgres.url("publish"), servers.registry),
    PublishSetting("PostgreSQL, synchronous_commit=off", False,
                   "the WAL is flushed within 0.6 s: survives a killed registry, a crash of PostgreSQL or the "
                   "machine can take the last versions",
                   lambda work, postgres: postgres.url("publish_async") + _NO_SYNC_WAIT, servers.registry,
                   lambda db: db.removesuffix(_NO_SYNC_WAIT)),
]


def published_per_second(report: wrk_runs.WrkReport) -> float:
    assert report.script is not None
    return float(report.script["created"]) / (report.script["duration_us"] / 1e6)


def publish_failures(report: wrk_runs.WrkReport) -> int:
    """Answers other than 201, and a run that ran out of prepared versions (its rate is then too low)."""
    assert report.script is not None
    return report.failures + int(report.script["other"]) + int(report.script["ran_out"])


# --- the machine -----------------------------------------------------------------------------------

def _first_line(command: list[str]) -> str:
    try:
        finished = subprocess.run(command, capture_output=True, text=True, timeout=30)
    except OSError:
        return "?"
    return (finished.stdout + finished.stderr).strip().splitlines()[0] if (finished.stdout + finished.stderr) else "?"


def machine() -> dict[str, Any]:
    cpu = platform.processor() or "?"
    for line in _first_line(["sh", "-c", "lscpu | grep 'Model name'"]).splitlines():
        cpu = line.split(":", 1)[1].strip()
    return {"cpu": cpu, "cores": os.cpu_count(), "load_average": os.getloadavg(), "python": platform.python_version(),
            **{name: package_version(name) for name in ("uvicorn", "starlette", "psycopg")},
            "nginx": _first_line(["nginx", "-v"]), "wrk": _first_line(["wrk", "--version"]),
            "postgresql": str(servers.postgres_binaries())}


# --- main ------------------------------------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK.resolve:,} DIDs, growth {QUICK.small:,} to {QUICK.large:,}, "
                             f"{QUICK.seconds:g} s runs, one round")
    parser.add_argument("--cache", type=Path, default=HERE.parent / "build" / "bench" / "registry",
                        help="where the generated SQLite stores are kept between runs")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "registry.json")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    load = wrk_runs.Load(threads=2, connections=32, seconds=sizes.seconds)
    warm_up = wrk_runs.Load(threads=2, connections=32, seconds=1.0)
    started = time.time()

    with ExitStack() as stack:
        work = Path(tempfile.mkdtemp(prefix="did-vek-bench-"))
        work.chmod(0o755)  # nginx's workers, another user than root, read the files under it
        stack.callback(shutil.rmtree, work, ignore_errors=True)

        log(f"stores: {sizes.large:,}, {sizes.resolve:,} and {sizes.small:,} DIDs (made once, kept in {args.cache})")
        large = data.sqlite_store(args.cache, sizes.large)
        resolve_store = data.sqlite_store(args.cache, sizes.resolve)
        small = data.sqlite_store(args.cache, sizes.small)

        log("PostgreSQL: a private cluster, the resolve store copied in")
        postgres = servers.postgres_server()
        stack.callback(postgres.destroy)
        postgres.start()
        postgres.execute("CREATE DATABASE resolve")
        postgres.execute("CREATE DATABASE publish")
        postgres.execute("CREATE DATABASE publish_async")
        data.copy_to_postgres(resolve_store, postgres.url("resolve"))

        log("nginx: the same resolution results as files")
        # In memory where the machine has it: a hundred thousand files are made and removed much faster.
        memory = Path("/dev/shm")
        static_root = Path(tempfile.mkdtemp(prefix="did-vek-bench-", dir=memory if memory.is_dir() else None))
        static_root.chmod(0o755)
        stack.callback(shutil.rmtree, static_root, ignore_errors=True)
        tree = static_tree(static_root / "static", resolve_store)
        resolve_dids = write_dids(work / "resolve-dids.txt", data.dids(resolve_store))

        def start(server: servers.ServerProcess) -> servers.ServerProcess:
            return stack.enter_context(server)

        resolve_cases = [
            Case("nginx, static files", start(servers.nginx(tree, WORKERS)), resolving(resolve_dids), []),
            Case("bare ASGI app, fixed bytes", start(servers.bare_asgi(WORKERS)), resolving(resolve_dids), []),
            Case("registry, SQLite", start(servers.registry(str(resolve_store), WORKERS)), resolving(resolve_dids), []),
            Case("registry, PostgreSQL", start(servers.registry(postgres.url("resolve"), WORKERS)),
                 resolving(resolve_dids), []),
        ]
        log(f"resolve: {sizes.resolve:,} DIDs, {sizes.rounds} round(s) of {sizes.seconds:g} s per server")
        interleaved(resolve_cases, load, sizes.rounds, warm_up)
        for case in resolve_cases:
            case.server.stop()

        growth_cases = [
            Case(f"registry, SQLite, {count:,} DIDs", start(servers.registry(str(store), WORKERS)),
                 resolving(write_dids(work / f"dids-{count}.txt", data.dids(store))), [])
            for count, store in ((sizes.small, small), (sizes.large, large))]
        log(f"growth: {sizes.small:,} against {sizes.large:,} DIDs")
        interleaved(growth_cases, load, sizes.rounds, warm_up)
        for case in growth_cases:
            case.server.stop()
        in_process = {count: asgi_resolve_seconds(str(store), data.dids(store))
                      for count, store in ((sizes.small, small), (sizes.large, large))}

        log(f"publish: {sizes.publish:,} prepared next versions per store")
        updates = data.updates(sizes.publish)
        requests_file = publish_requests(work / "publish.txt", updates)
        publish_cases = []
        for setting in PUBLISH_SETTINGS:
            db = setting.db(work, postgres)
            data.store_first_versions(setting.store(db), [update.first for update in updates])
            server = start(setting.server(db, WORKERS))
            log(f"  {setting.name}")
            publish_cases.append(Case(setting.name, server, publishing(requests_file),
                                      [wrk_runs.publish(server.url(), requests_file, load)]))
            server.stop()
        # The stores' durable commits alone, one after another, on DIDs of their own.
        commit_rows = [update.first for update in data.updates(300, label="commit")]
        postgres.execute("CREATE DATABASE commits")
        commit = {"SQLite, synchronous=FULL": append_seconds(SqliteStore(str(work / "commits.sqlite3")), commit_rows),
                  "PostgreSQL, synchronous_commit=on": append_seconds(PostgresStore(postgres.url("commits")),
                                                                      commit_rows)}
        documents = [update.second for update in updates[:20_000]]
        verified_per_second = max(verify_throughput(documents, VERIFY_THREADS) for _ in range(sizes.rounds))

        log("client: resolve of a 10-version DID")
        client_store = str(work / "client.sqlite3")
        client_server = start(servers.registry(client_store, WORKERS))
        did, versions = ten_versions()
        with did_vek.RegistryClient(client_server.url()) as client:
            for signed in versions:
                client.publish(signed)
        client_timing = client_resolve(client_server.url(), did, versions, sizes.client_rounds)
        client_server.stop()
        info = machine()

    # --- report -----------------------------------------------------------------------------------
    by_name = {case.name: case.best() for case in resolve_cases}
    bare = by_name["bare ASGI app, fixed bytes"].requests_per_second
    small_best, large_best = (case.best() for case in growth_cases)
    published = {case.name: published_per_second(case.reports[0]) for case in publish_cases}
    failures = (sum(report.failures for case in resolve_cases + growth_cases for report in case.reports)
                + sum(publish_failures(case.reports[0]) for case in publish_cases))
    goals = [
        goal(f"resolve, {sizes.resolve:,} DIDs: registry on SQLite / bare ASGI app",
             by_name["registry, SQLite"].requests_per_second / bare, ">=", 0.6),
        goal(f"resolve, {sizes.resolve:,} DIDs: registry on PostgreSQL / bare ASGI app",
             by_name["registry, PostgreSQL"].requests_per_second / bare, ">=", 0.3),
        goal(f"resolve on SQLite: {sizes.large:,} DIDs / {sizes.small:,} DIDs",
             large_best.requests_per_second / small_best.requests_per_second, ">=", 0.9),
        *(goal(f"publish, {setting.name}: registry / verify_document at {VERIFY_THREADS} threads",
               published[setting.name] / verified_per_second, ">=", 0.5)
          for setting in PUBLISH_SETTINGS if setting.durable),
        goal("client resolve, 10 versions / (log round trip + 10 verify_document)", client_timing.ratio, "<=", 1.3),
        goal("failed or unexpected answers in all runs", failures, "<=", 0),
    ]
    rows = [["run", "requests/s", "p50 ms", "p99 ms", "failed"]]
    for case in resolve_cases + growth_cases:
        best = case.best()
        rows.append([f"resolve: {case.name}" + ("" if "DIDs" in case.name else f", {sizes.resolve:,} DIDs"),
                     f"{best.requests_per_second:,.0f}", f"{best.p50_seconds * 1e3:.2f}",
                     f"{best.p99_seconds * 1e3:.2f}", str(best.failures)])
    for case in publish_cases:
        report = case.reports[0]
        rows.append([f"publish: registry, {case.name}", f"{published[case.name]:,.0f}",
                     f"{report.p50_seconds * 1e3:.2f}", f"{report.p99_seconds * 1e3:.2f}",
                     str(publish_failures(report))])
    rows.append([f"verify_document alone, {VERIFY_THREADS} threads", f"{verified_per_second:,.0f}", "", "", ""])

    report_json = {
        "machine": info,
        "settings": {"workers": WORKERS, "wrk": asdict(load), "sizes": asdict(sizes),
                     "seconds": round(time.time() - started, 1)},
        "resolve": {case.name: [r.as_dict() for r in case.reports] for case in resolve_cases + growth_cases},
        "publish": {setting.name: {"durable": setting.durable, "holds": setting.holds,
                                   "published_per_second": published[setting.name], **case.reports[0].as_dict()}
                    for setting, case in zip(PUBLISH_SETTINGS, publish_cases)},
        "verify_document_per_second": verified_per_second,
        "resolve_in_process_us": {str(count): seconds * 1e6 for count, seconds in in_process.items()},
        "append_alone_ms": {name: seconds * 1e3 for name, seconds in commit.items()},
        "client": {"resolve_ms": client_timing.resolve * 1e3, "log_round_trip_ms": client_timing.round_trip * 1e3,
                   "ten_verifications_ms": client_timing.verifications * 1e3, "rounds": client_timing.rounds},
        "targets": goals,
    }
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report_json, indent=2, ensure_ascii=False) + "\n")

    print(f"\nCPU: {info['cpu']} ({info['cores']} cores), load average {info['load_average'][0]:.2f}; "
          f"Python {info['python']}, uvicorn {info['uvicorn']}, Starlette {info['starlette']}, "
          f"psycopg {info['psycopg']}, {info['nginx']}, {info['wrk'].split(' [')[0]}\n"
          f"every server: {WORKERS} worker processes on 127.0.0.1; wrk -t{load.threads} -c{load.connections} "
          f"-d{load.seconds:g}s on the same {info['cores']} cores; best of {sizes.rounds} interleaved round(s)\n")
    print(table(rows))
    print(f"\nclient resolve of a 10-version DID: {client_timing.resolve * 1e3:.2f} ms; the log's round trip "
          f"{client_timing.round_trip * 1e3:.2f} ms + 10 verify_document {client_timing.verifications * 1e3:.2f} ms "
          f"(medians of {client_timing.rounds} interleaved rounds)\n"
          "the registry's own work per resolution (its ASGI application called in this process, no HTTP): "
          + ", ".join(f"{count:,} DIDs {seconds * 1e6:.1f} µs" for count, seconds in in_process.items())
          + f": the larger store at {in_process[sizes.small] / in_process[sizes.large]:.2f} times the smaller's rate\n"
          "a store's append alone, one after another in one thread (median): "
          + "; ".join(f"{name} {seconds * 1e3:.2f} ms, {1 / seconds:,.0f} per second"
                      for name, seconds in commit.items())
          + f"\n\ndurability of the publish runs ({sizes.publish:,} DIDs, each sent its version 2 once):")
    for setting in PUBLISH_SETTINGS:
        print(f"  {setting.name}{'' if setting.durable else ' (not durable, for comparison)'}: {setting.holds}")
    print()
    print(goal_lines(goals))
    print(f"\nwritten to {args.output}")


if __name__ == "__main__":
    main()
