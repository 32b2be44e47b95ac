"""What the registry benchmarks found, as goal lines like benchmarks/run.py prints, a table and JSON."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import ratios
from registry_client_timing import ClientTiming
from wrk_runs import WrkReport, created_per_second, publish_failures

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


@dataclass(frozen=True)
class PublishRun:
    setting: str
    durable: bool
    holds: str          # what an acknowledged version survives under this setting
    report: WrkReport


@dataclass(frozen=True)
class Measured:
    """Everything one run measured, by name; resolve and growth keep every round."""
    resolve_dids: int
    small: int
    large: int
    publish_dids: int
    resolve: dict[str, list[WrkReport]]     # "nginx, static files", "bare ASGI app, fixed bytes", "registry, ..."
    growth: dict[int, list[WrkReport]]      # by the number of stored DIDs
    in_process: dict[int, float]            # seconds of the registry's own work per resolution, by stored DIDs
    publish: list[PublishRun]
    verified_per_second: float
    verify_threads: int
    append_alone: dict[str, float]          # seconds per durable append, by store
    client: ClientTiming


def best(reports: list[WrkReport]) -> WrkReport:
    return max(reports, key=lambda report: report.requests_per_second)


def paired_ratio(ours: list[WrkReport], theirs: list[WrkReport]) -> float:
    """Ours / theirs in requests a second, round by round (see `ratios.paired_ratio`)."""
    return ratios.paired_ratio((a.requests_per_second for a in ours), (b.requests_per_second for b in theirs))


def goals(m: Measured) -> list[dict[str, Any]]:
    bare = m.resolve["bare ASGI app, fixed bytes"]
    failures = (sum(report.failures for reports in [*m.resolve.values(), *m.growth.values()] for report in reports)
                + sum(publish_failures(run.report) for run in m.publish))
    return [
        goal(f"resolve, {m.resolve_dids:,} DIDs: registry on SQLite / bare ASGI app",
             paired_ratio(m.resolve["registry, SQLite"], bare), ">=", 0.6),
        goal(f"resolve, {m.resolve_dids:,} DIDs: registry on PostgreSQL / bare ASGI app",
             paired_ratio(m.resolve["registry, PostgreSQL"], bare), ">=", 0.3),
        goal(f"resolve on SQLite: {m.large:,} DIDs / {m.small:,} DIDs",
             paired_ratio(m.growth[m.large], m.growth[m.small]), ">=", 0.9),
        *(goal(f"publish, {run.setting}: registry / verify_document at {m.verify_threads} threads",
               created_per_second(run.report) / m.verified_per_second, ">=", 0.5)
          for run in m.publish if run.durable),
        goal("client resolve, 10 versions / (log round trip + 10 verify_document)", m.client.ratio, "<=", 1.3),
        goal("failed or unexpected answers in all runs", failures, "<=", 0),
    ]


def rows(m: Measured) -> list[list[str]]:
    out = [["run", "requests/s", "p50 ms", "p99 ms", "failed"]]
    resolve_runs = [(f"{name}, {m.resolve_dids:,} DIDs", reports) for name, reports in m.resolve.items()]
    growth_runs = [(f"registry, SQLite, {count:,} DIDs", reports) for count, reports in m.growth.items()]
    for name, reports in resolve_runs + growth_runs:
        report = best(reports)
        out.append([f"resolve: {name}", f"{report.requests_per_second:,.0f}", f"{report.p50_seconds * 1e3:.2f}",
                    f"{report.p99_seconds * 1e3:.2f}", str(report.failures)])
    for run in m.publish:
        out.append([f"publish: registry, {run.setting}", f"{created_per_second(run.report):,.0f}",
                    f"{run.report.p50_seconds * 1e3:.2f}", f"{run.report.p99_seconds * 1e3:.2f}",
                    str(publish_failures(run.report))])
    out.append([f"verify_document alone, {m.verify_threads} threads", f"{m.verified_per_second:,.0f}", "", "", ""])
    return out


def as_json(m: Measured, machine: dict[str, Any], settings: dict[str, Any]) -> dict[str, Any]:
    return {
        "machine": machine,
        "settings": settings,
        "resolve": {name: [r.as_dict() for r in reports] for name, reports in m.resolve.items()},
        "growth": {str(count): [r.as_dict() for r in reports] for count, reports in m.growth.items()},
        "publish": {run.setting: {"durable": run.durable, "holds": run.holds,
                                  "published_per_second": created_per_second(run.report), **run.report.as_dict()}
                    for run in m.publish},
        "verify_document_per_second": m.verified_per_second,
        "resolve_in_process_us": {str(count): seconds * 1e6 for count, seconds in m.in_process.items()},
        "append_alone_ms": {name: seconds * 1e3 for name, seconds in m.append_alone.items()},
        "client": {"resolve_ms": m.client.resolve * 1e3, "log_round_trip_ms": m.client.round_trip * 1e3,
                   "ten_verifications_ms": m.client.verifications * 1e3, "rounds": m.client.rounds},
        "targets": goals(m),
    }


def text(m: Measured, machine: dict[str, Any], workers: int, load: Any, rounds: int) -> str:
    parts = [
        f"CPU: {machine['cpu']} ({machine['cores']} cores), load average {machine['load_average'][0]:.2f}; "
        f"Python {machine['python']}, uvicorn {machine['uvicorn']}, Starlette {machine['starlette']}, "
        f"psycopg {machine['psycopg']}, {machine['nginx']}, {machine['wrk'].split(' [')[0]}",
        f"every server: {workers} worker processes on 127.0.0.1; wrk -t{load.threads} -c{load.connections} "
        f"-d{load.seconds}s on the same {machine['cores']} cores; {rounds} interleaved round(s): the table "
        "shows the best of each case, a goal's ratio is the median of the ratios within each round\n",
        table(rows(m)),
        f"\nclient resolve of a 10-version DID: {m.client.resolve * 1e3:.2f} ms; the log's round trip "
        f"{m.client.round_trip * 1e3:.2f} ms + 10 verify_document {m.client.verifications * 1e3:.2f} ms "
        f"(medians of {m.client.rounds} interleaved rounds)",
        "the registry's own work per resolution (its ASGI application called in this process, no HTTP): "
        + ", ".join(f"{count:,} DIDs {seconds * 1e6:.1f} µs" for count, seconds in m.in_process.items())
        + f": the larger store at {m.in_process[m.small] / m.in_process[m.large]:.2f} times the smaller's rate",
        "a store's append alone, one after another in one thread (median): "
        + "; ".join(f"{name} {seconds * 1e3:.2f} ms, {1 / seconds:,.0f} per second"
                    for name, seconds in m.append_alone.items()),
        f"\ndurability of the publish runs ({m.publish_dids:,} DIDs, each sent its version 2 once):",
        *(f"  {run.setting}{'' if run.durable else ' (not durable, for comparison)'}: {run.holds}"
          for run in m.publish),
        "",
        goal_lines(goals(m)),
    ]
    return "\n".join(parts)
