"""Load from wrk (Debian's package) and what its report says: requests per second, p99, failures."""

from __future__ import annotations

import json
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Any

SCRIPTS = Path(__file__).resolve().parent / "wrk"
RESOLUTION_ACCEPT = "Accept: application/did-resolution"
_UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0, "h": 3600.0}


@dataclass(frozen=True)
class Load:
    """How hard wrk pushes: its threads, open connections and seconds."""
    threads: int = 2
    connections: int = 32
    seconds: int = 10     # wrk reads no fractions of a second

    def arguments(self) -> list[str]:
        return [f"-t{self.threads}", f"-c{self.connections}", f"-d{self.seconds}s", "--latency",
                "--timeout", "10s"]


@dataclass(frozen=True)
class WrkReport:
    requests: int
    requests_per_second: float
    p50_seconds: float
    p99_seconds: float
    # Answers with a status of 400 or more, and connect, read, write and timeout errors.
    failures: int
    # The JSON line that the script's done() printed, if any.
    script: dict[str, Any] | None

    def as_dict(self) -> dict[str, Any]:
        return {"requests": self.requests, "requests_per_second": self.requests_per_second,
                "p50_ms": self.p50_seconds * 1e3, "p99_ms": self.p99_seconds * 1e3, "failures": self.failures,
                **({"script": self.script} if self.script else {})}


def duration(text: str) -> float:
    """wrk's durations ("812.00us", "1.25ms", "2.00s") in seconds."""
    match = re.fullmatch(r"([0-9.]+)(us|ms|s|m|h)", text)
    if match is None:
        raise ValueError(f"not a wrk duration: {text!r}")
    return float(match[1]) * _UNITS[match[2]]


def parse(output: str) -> WrkReport:
    """The figures of a `wrk --latency` report; a report without them is an error, not a zero."""
    def needed(pattern: str) -> re.Match[str]:
        match = re.search(pattern, output, re.M)
        if match is None:
            raise ValueError(f"wrk's report has no {pattern!r}:\n{output}")
        return match

    requests = int(needed(r"^\s*(\d+) requests in ")[1])
    per_second = float(needed(r"^Requests/sec:\s*([0-9.]+)")[1])
    p50 = duration(needed(r"^\s*50%\s+(\S+)")[1])
    p99 = duration(needed(r"^\s*99%\s+(\S+)")[1])
    failures = 0
    if match := re.search(r"^\s*Non-2xx or 3xx responses: (\d+)", output, re.M):
        failures += int(match[1])
    if match := re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output):
        failures += sum(int(group) for group in match.groups())
    script = None
    for line in output.splitlines():
        if line.startswith("{"):
            script = json.loads(line)
    return WrkReport(requests, per_second, p50, p99, failures, script)


def run(url: str, script: str, script_arguments: list[str], load: Load, headers: tuple[str, ...] = ()) -> WrkReport:
    command = ["wrk", *load.arguments(), *(part for header in headers for part in ("-H", header)),
               "-s", str(SCRIPTS / script), url, "--", *script_arguments]
    finished = subprocess.run(command, capture_output=True, text=True, timeout=load.seconds + 120)
    if finished.returncode != 0:
        # wrk prints its usage on stdout when it refuses an argument.
        raise RuntimeError(f"wrk failed ({finished.returncode}): {(finished.stderr or finished.stdout).strip()}")
    return parse(finished.stdout)


def resolve(url: str, dids_file: Path, load: Load) -> WrkReport:
    """GET /1.0/identifiers/{did} of random DIDs from `dids_file`, asking for the resolution result."""
    return run(url, "resolve.lua", [str(dids_file)], load, (RESOLUTION_ACCEPT,))


def publish(url: str, requests_file: Path, load: Load, *, repeat: bool = False) -> WrkReport:
    """POST each prepared version of `requests_file` once; with `repeat`, again from the first
    when all were sent (for a server that stores nothing)."""
    return run(url, "publish.lua", [str(requests_file), str(load.threads), *(["repeat"] if repeat else [])], load)


def created_per_second(report: WrkReport) -> float:
    """Versions stored by a publish run (201 answers) per second of the run."""
    assert report.script is not None
    return float(report.script["created"]) / (report.script["duration_us"] / 1e6)


def publish_failures(report: WrkReport) -> int:
    """Answers other than 201, and a run that ran out of prepared versions (its rate is then too low)."""
    assert report.script is not None
    return report.failures + int(report.script["other"]) + int(report.script["ran_out"])
