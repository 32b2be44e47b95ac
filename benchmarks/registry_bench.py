"""Measures the registry server under load beside its baselines, prints the goals, writes JSON.

Every server runs on 127.0.0.1 with 2 worker processes and is loaded by wrk (2 threads, 32
connections): nginx serving the same resolution results as files, a bare ASGI application that
answers fixed bytes under the same uvicorn settings as the registry, and the registry on SQLite
and on a private PostgreSQL. wrk and the servers share the machine's cores, so every figure is a
figure of the pair; the ratios, measured in one run with rounds interleaved, are what the goals
judge. Stores are filled directly (see registry_data), the largest SQLite one kept in build/bench/.

    python benchmarks/registry_bench.py [--quick] [--output FILE]
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
from dataclasses import asdict, dataclass, replace
from importlib.metadata import version as package_version
from pathlib import Path
from typing import Any

import did_vek
import registry_data as data
import registry_servers as servers
import wrk_runs
from did_vek.registry.postgres import PostgresStore
from did_vek.registry.server import event_loop, http_parser
from did_vek.registry.sqlite import SqliteStore
from registry_client_timing import (ClientTiming, append_seconds, asgi_resolve_seconds, client_resolve, ten_versions,
                                    verify_throughput)
from registry_report import Measured, PublishRun, as_json, best, paired_ratio, table, text

HERE = Path(__file__).resolve().parent
WORKERS = 2
VERIFY_THREADS = 2


@dataclass(frozen=True)
class Sizes:
    resolve: int        # DIDs stored for the resolve runs
    small: int          # the growth comparison: this many DIDs ...
    large: int          # ... against this many
    publish: int        # versions prepared for each publish run, more than a run can send
    seconds: int        # one wrk run of resolutions (wrk takes whole seconds)
    publish_seconds: int
    rounds: int         # wrk runs per case, interleaved
    client_rounds: int


# Many short rounds rather than a few long ones: the cases compared take turns seconds apart,
# so that the load of a shared machine, which changes from minute to minute, falls on both.
FULL = Sizes(resolve=100_000, small=10_000, large=1_000_000, publish=40_000, seconds=3, publish_seconds=10,
             rounds=6, client_rounds=200)
QUICK = Sizes(resolve=10_000, small=1_000, large=100_000, publish=10_000, seconds=2, publish_seconds=3,
              rounds=2, client_rounds=50)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


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


# --- the phases ------------------------------------------------------------------------------------

@dataclass(frozen=True)
class Bench:
    """What every phase shares: the sizes, the load, a stack that stops what was started, a
    working directory and the private PostgreSQL."""
    sizes: Sizes
    load: wrk_runs.Load
    warm_up: wrk_runs.Load
    stack: ExitStack
    work: Path
    postgres: Any

    def start(self, server: servers.ServerProcess) -> servers.ServerProcess:
        return self.stack.enter_context(server)


def measure_resolve(bench: Bench, store: Path, *, stacks: bool = False) -> dict[str, list[wrk_runs.WrkReport]]:
    """nginx, the bare ASGI app and the registry on SQLite and PostgreSQL, resolving the DIDs of `store`;
    with `stacks`, the bare app and the registry on uvicorn's pure-Python HTTP parser and event loop too,
    and the registry on SQLite on the pure-Python parser alone."""
    log("PostgreSQL: the resolve store copied in")
    bench.postgres.execute("CREATE DATABASE resolve")
    data.copy_to_postgres(store, bench.postgres.url("resolve"))

    log("nginx: the same resolution results as files")
    # In memory where the machine has it: a hundred thousand files are made and removed much faster.
    memory = Path("/dev/shm")
    static_root = Path(tempfile.mkdtemp(prefix="did-vek-bench-", dir=memory if memory.is_dir() else None))
    static_root.chmod(0o755)
    bench.stack.callback(shutil.rmtree, static_root, ignore_errors=True)
    tree = static_tree(static_root / "static", store)
    dids = resolving(write_dids(bench.work / "resolve-dids.txt", data.dids(store)))

    cases = [
        Case("nginx, static files", bench.start(servers.nginx(tree, WORKERS)), dids, []),
        Case("bare ASGI app, fixed bytes", bench.start(servers.bare_asgi(WORKERS)), dids, []),
        Case("registry, SQLite", bench.start(servers.registry(str(store), WORKERS)), dids, []),
        Case("registry, PostgreSQL", bench.start(servers.registry(bench.postgres.url("resolve"), WORKERS)), dids, []),
    ]
    if stacks:
        plain = servers.PURE_PYTHON_STACK
        cases += [
            Case("bare ASGI app, h11 and asyncio", bench.start(servers.bare_asgi(WORKERS, plain)), dids, []),
            Case("registry, SQLite, h11 and asyncio",
                 bench.start(servers.registry_on_stack(str(store), WORKERS, plain)), dids, []),
            Case("registry, PostgreSQL, h11 and asyncio",
                 bench.start(servers.registry_on_stack(bench.postgres.url("resolve"), WORKERS, plain)), dids, []),
            Case("registry, SQLite, h11", bench.start(servers.registry(str(store), WORKERS, http_parser="h11")), dids, []),
        ]
    log(f"resolve: {bench.sizes.resolve:,} DIDs, {bench.sizes.rounds} round(s) of {bench.sizes.seconds} s per server")
    interleaved(cases, bench.load, bench.sizes.rounds, bench.warm_up)
    for case in cases:
        case.server.stop()
    return {case.name: case.reports for case in cases}


def measure_growth(bench: Bench, stores: dict[int, Path]) -> tuple[dict[int, list[wrk_runs.WrkReport]],
                                                                   dict[int, float]]:
    """The registry on SQLite resolving among each count of DIDs, under wrk and in process."""
    log(f"growth: {', '.join(f'{count:,}' for count in stores)} DIDs")
    cases = [Case(f"registry, SQLite, {count:,} DIDs", bench.start(servers.registry(str(store), WORKERS)),
                  resolving(write_dids(bench.work / f"dids-{count}.txt", data.dids(store))), [])
             for count, store in stores.items()]
    interleaved(cases, bench.load, bench.sizes.rounds, bench.warm_up)
    for case in cases:
        case.server.stop()
    in_process = {count: asgi_resolve_seconds(str(store), data.dids(store)) for count, store in stores.items()}
    return {count: case.reports for count, case in zip(stores, cases)}, in_process


def measure_publish(bench: Bench) -> tuple[list[PublishRun], float, dict[str, float]]:
    """Each durability setting publishing prepared next versions; `verify_document` alone on the
    same documents; each store's durable append alone."""
    log(f"publish: {bench.sizes.publish:,} prepared next versions per store")
    for database in ("publish", "publish_async", "commits"):
        bench.postgres.execute(f"CREATE DATABASE {database}")
    updates = data.updates(bench.sizes.publish)
    requests_file = publish_requests(bench.work / "publish.txt", updates)
    publish_load = replace(bench.load, seconds=bench.sizes.publish_seconds)
    runs = []
    for setting in PUBLISH_SETTINGS:
        db = setting.db(bench.work, bench.postgres)
        data.store_first_versions(setting.store(db), [update.first for update in updates])
        log(f"  {setting.name}")
        with setting.server(db, WORKERS) as server:
            runs.append(PublishRun(setting.name, setting.durable, setting.holds,
                                   wrk_runs.publish(server.url(), requests_file, publish_load)))
    documents = [update.second for update in updates[:20_000]]
    verified_per_second = max(verify_throughput(documents, VERIFY_THREADS) for _ in range(bench.sizes.rounds))

    # The stores' durable commits alone, one after another, on DIDs of their own.
    commit_rows = [update.first for update in data.updates(300, label="commit")]
    append_alone = {
        "SQLite, synchronous=FULL": append_seconds(SqliteStore(str(bench.work / "commits.sqlite3")), commit_rows),
        "PostgreSQL, synchronous_commit=on": append_seconds(PostgresStore(bench.postgres.url("commits")), commit_rows,
                                                            str(servers.bench_log_key())),
    }
    return runs, verified_per_second, append_alone


def measure_client(bench: Bench) -> ClientTiming:
    log("client: resolve of a 10-version DID")
    did, versions = ten_versions()
    with servers.registry(str(bench.work / "client.sqlite3"), WORKERS) as server:
        with did_vek.RegistryClient(server.url()) as client:
            for signed in versions:
                client.publish(signed)
        return client_resolve(server.url(), did, versions, bench.sizes.client_rounds)


def resolve_text(resolve: dict[str, list[wrk_runs.WrkReport]], count: int) -> str:
    """The best round of each resolve case, and each registry case over the bare app on its own stack."""
    rows = [["run", "requests/s", "p50 ms", "p99 ms", "failed"]]
    for name, reports in resolve.items():
        top = best(reports)
        rows.append([f"resolve: {name}, {count:,} DIDs", f"{top.requests_per_second:,.0f}",
                     f"{top.p50_seconds * 1e3:.2f}", f"{top.p99_seconds * 1e3:.2f}",
                     str(sum(report.failures for report in reports))])
    ratios = []
    for stack in ("", ", h11 and asyncio"):
        bare = resolve[f"bare ASGI app{stack or ', fixed bytes'}"]
        for engine in ("SQLite", "PostgreSQL"):
            ratios.append(f"resolve: registry on {engine}{stack} / bare ASGI app{stack}: "
                          f"{paired_ratio(resolve[f'registry, {engine}{stack}'], bare):.3f}")
    fast, plain = resolve["bare ASGI app, fixed bytes"], resolve["bare ASGI app, h11 and asyncio"]
    ratios.append(f"bare ASGI app: serve's parser and loop / h11 and asyncio: {paired_ratio(fast, plain):.3f}")
    for engine in ("SQLite", "PostgreSQL"):
        ratios.append(f"registry on {engine}: serve's parser and loop / h11 and asyncio: "
                      f"{paired_ratio(resolve[f'registry, {engine}'], resolve[f'registry, {engine}, h11 and asyncio']):.3f}")
    ratios.append(f"registry on SQLite: serve's parser ({http_parser()}) / h11, both on {event_loop()}: "
                  f"{paired_ratio(resolve['registry, SQLite'], resolve['registry, SQLite, h11']):.3f}")
    return table(rows) + "\n\n" + "\n".join(ratios)


# --- main ------------------------------------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK.resolve:,} DIDs, growth {QUICK.small:,} to {QUICK.large:,}, "
                             f"{QUICK.seconds} s runs, {QUICK.rounds} rounds")
    parser.add_argument("--cache", type=Path, default=HERE.parent / "build" / "bench" / "registry",
                        help="where the generated SQLite stores are kept between runs")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "registry.json")
    parser.add_argument("--resolve-only", action="store_true",
                        help="only the resolve cases, each also on uvicorn's pure-Python HTTP parser and event loop, "
                             "and the registry on SQLite on the pure-Python parser alone; "
                             "prints their table and ratios, writes nothing")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    started = time.time()

    with ExitStack() as stack:
        work = Path(tempfile.mkdtemp(prefix="did-vek-bench-"))
        work.chmod(0o755)  # nginx's workers, another user than root, read the files under it
        stack.callback(shutil.rmtree, work, ignore_errors=True)
        log(f"stores: {sizes.large:,}, {sizes.resolve:,} and {sizes.small:,} DIDs (made once, kept in {args.cache})")
        counts = (sizes.resolve,) if args.resolve_only else (sizes.large, sizes.resolve, sizes.small)
        stores = {count: data.sqlite_store(args.cache, count) for count in counts}
        log("PostgreSQL: a private cluster")
        postgres = servers.postgres_server()
        stack.callback(postgres.destroy)
        postgres.start()
        bench = Bench(sizes, wrk_runs.Load(threads=2, connections=32, seconds=sizes.seconds),
                      wrk_runs.Load(threads=2, connections=32, seconds=1), stack, work, postgres)

        if args.resolve_only:
            resolve = measure_resolve(bench, stores[sizes.resolve], stacks=True)
            print("\n" + resolve_text(resolve, sizes.resolve))
            return
        resolve = measure_resolve(bench, stores[sizes.resolve])
        growth, in_process = measure_growth(bench, {count: stores[count] for count in (sizes.small, sizes.large)})
        publish, verified_per_second, append_alone = measure_publish(bench)
        client = measure_client(bench)
        info = machine()

    measured = Measured(sizes.resolve, sizes.small, sizes.large, sizes.publish, resolve, growth, in_process,
                        publish, verified_per_second, VERIFY_THREADS, append_alone, client)
    settings = {"workers": WORKERS, "wrk": asdict(bench.load), "sizes": asdict(sizes),
                "seconds": round(time.time() - started, 1)}
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(as_json(measured, info, settings), indent=2, ensure_ascii=False) + "\n")
    print("\n" + text(measured, info, WORKERS, bench.load, sizes.rounds))
    print(f"\nwritten to {args.output}")


if __name__ == "__main__":
    main()
