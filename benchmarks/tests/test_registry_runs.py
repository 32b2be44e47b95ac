# The registry benchmarks' runs must never report a failure as a figure: a publish run counts
# only versions stored now, a timing over answers that are not 200 is refused, and the servers
# they start go down with all of their workers.
import asyncio
import importlib.util
import json
import sys
from pathlib import Path

import pytest


BENCHMARKS = Path(__file__).resolve().parents[1]
import bare_asgi
import registry_client_timing
import registry_data
import registry_report
import registry_servers
import wrk_runs


def load_driver():
    spec = importlib.util.spec_from_file_location("bench_registry_driver", BENCHMARKS / "registry_bench.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


driver = load_driver()


def publish_report(created, other=0, ran_out=0, failures=0, seconds=2.0):
    script = {"created": created, "other": other, "ran_out": ran_out, "duration_us": int(seconds * 1e6)}
    return wrk_runs.WrkReport(created + other, (created + other) / seconds, 0.01, 0.1, failures, script)


@pytest.mark.parametrize("report, per_second, failures", [
    # all answers 201: the rate is theirs, no failure
    (publish_report(1000), 500.0, 0),
    # retries (200) and refusals are answers, but not versions stored: they count as failures, not in the rate
    (publish_report(1000, other=500), 500.0, 500),
    # a thread that ran out of prepared versions stopped early: the rate would be too low, so it is a failure
    (publish_report(1000, ran_out=1), 500.0, 1),
    # connection errors that wrk counts
    (publish_report(1000, failures=3), 500.0, 3),
])
def test_a_publish_run_counts_only_versions_stored_now(report, per_second, failures):
    assert wrk_runs.created_per_second(report) == per_second
    assert wrk_runs.publish_failures(report) == failures


@pytest.mark.parametrize("measured, relation, limit, met", [
    (0.6, ">=", 0.6, True), (0.599, ">=", 0.6, False), (1.3, "<=", 1.3, True), (1.31, "<=", 1.3, False),
    (0, "<=", 0, True), (1, "<=", 0, False),
])
def test_goals_are_met_on_their_limit_and_missed_past_it(measured, relation, limit, met):
    assert registry_report.goal("g", measured, relation, limit)["met"] is met
    line = registry_report.goal_lines([registry_report.goal("g", measured, relation, limit)])
    assert line.endswith("met" if met else "MISSED")


def test_publish_lines_carry_each_prepared_version_whole(tmp_path):
    """The Lua script splits each line at its first tab: the body must be one line holding the
    signed document's whole value."""
    updates = registry_data.updates(3, processes=1)
    lines = driver.publish_requests(tmp_path / "publish.txt", updates).read_text().splitlines()
    assert len(lines) == 3
    for line, update in zip(lines, updates):
        path, body = line.split("\t", 1)
        assert path == f"/dids/{update.first.did}"
        assert json.loads(body) == json.loads(update.second)


def test_the_static_tree_holds_each_result_at_its_resolution_path(tmp_path):
    store = registry_data.sqlite_store(tmp_path / "stores", 5, processes=1)
    tree = driver.static_tree(tmp_path / "static", store)
    for did, body in registry_data.resolution_results(store):
        assert (tree / "1.0" / "identifiers" / did).read_bytes() == body


def test_timing_resolutions_of_dids_that_are_not_stored_is_refused(tmp_path):
    store = registry_data.sqlite_store(tmp_path / "stores", 5, processes=1)
    dids = registry_data.dids(store)
    assert registry_client_timing.asgi_resolve_seconds(str(store), dids, count=50) > 0
    with pytest.raises(RuntimeError, match=r"\[200, 404\]"):
        registry_client_timing.asgi_resolve_seconds(str(store), [*dids, "did:vek:0000000000000000"], count=200)


def test_the_bare_app_starts_answers_its_bytes_and_stops():
    sent = []

    async def exchange(kind, messages):
        async def receive():
            return messages.pop(0)

        async def send(message):
            sent.append(message)
        await bare_asgi.app({"type": kind}, receive, send)

    asyncio.run(exchange("lifespan", [{"type": "lifespan.startup"}, {"type": "lifespan.shutdown"}]))
    asyncio.run(exchange("http", [{"type": "http.request", "body": b"", "more_body": False}]))
    start, body = sent[2:]
    assert [message["type"] for message in sent[:2]] == ["lifespan.startup.complete", "lifespan.shutdown.complete"]
    assert start["status"] == 200 and dict(start["headers"])[b"content-length"] == str(len(body["body"])).encode()
    assert json.loads(body["body"])["didDocumentMetadata"]["versionId"] == "1"


def test_a_server_that_exits_at_start_is_reported_with_its_errors():
    server = registry_servers.ServerProcess("failing", [sys.executable, "-c", "raise SystemExit('no port for me')"],
                                            registry_servers.free_port(), "/")
    with pytest.raises(RuntimeError, match="failing exited with 1: no port for me"):
        server.start(timeout=20)


def running_children(pid):
    """The processes whose parent is `pid` and that still run (a zombie has ended)."""
    children = []
    for entry in Path("/proc").iterdir():
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == pid and fields[0] != "Z":
            children.append(int(entry.name))
    return children


def process_runs(pid):
    try:
        return (Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def test_a_stopped_server_leaves_none_of_its_workers(tmp_path):
    """The registry's uvicorn runs workers in processes of their own: stopping it must stop them."""
    with registry_servers.registry(str(tmp_path / "registry.sqlite3"), 2) as server:
        master = server.process.pid
        workers = running_children(master)
        assert len(workers) >= 2
    assert not [pid for pid in [master, *workers] if process_runs(pid)]


def resolve_report(per_second, failures=0):
    return wrk_runs.WrkReport(int(per_second * 5), per_second, 0.002, 0.01, failures, None)


def test_each_goal_divides_the_right_figures_and_every_failure_counts():
    client = registry_client_timing.ClientTiming(resolve=0.0022, round_trip=0.0008, verifications=0.0012, rounds=9)
    measured = registry_report.Measured(
        resolve_dids=100, small=10, large=1000, publish_dids=50,
        # Three rounds; the machine was busier in the second (every case slower) than in the others.
        resolve={"nginx, static files": [resolve_report(50_000)] * 3,
                 "bare ASGI app, fixed bytes": [resolve_report(10_000), resolve_report(4_000), resolve_report(10_000)],
                 "registry, SQLite": [resolve_report(7_000, failures=1), resolve_report(2_000),
                                      resolve_report(6_000)],
                 "registry, PostgreSQL": [resolve_report(2_000), resolve_report(1_600), resolve_report(3_000)]},
        growth={10: [resolve_report(6_000), resolve_report(3_000), resolve_report(6_000)],
                1000: [resolve_report(5_400), resolve_report(2_000, failures=2), resolve_report(6_000)]},
        in_process={10: 20e-6, 1000: 30e-6},
        publish=[registry_report.PublishRun("durable", True, "all", publish_report(1000, other=4)),
                 registry_report.PublishRun("fast", False, "some", publish_report(4000))],
        verified_per_second=1000.0, verify_threads=2, append_alone={"SQLite": 0.002}, client=client)
    goals = {goal["target"].split(":")[0]: goal["measured"] for goal in registry_report.goals(measured)}
    assert goals == pytest.approx({
        "resolve, 100 DIDs": 0.3,                     # PostgreSQL: the median of 0.2, 0.4 and 0.3
        "resolve on SQLite": 0.9,                     # among 1,000 DIDs over among 10: median of 0.9, 0.67, 1.0
        "publish, durable": 0.5,                      # only the durable setting is judged: 500 a second over 1,000
        "client resolve, 10 versions / (log round trip + 10 verify_document)": 1.1,
        "failed or unexpected answers in all runs": 7,  # 1 + 2 in resolutions, 4 answers other than 201
    })
    resolve_goals = [goal for goal in registry_report.goals(measured) if goal["target"].startswith("resolve, 100")]
    assert [goal["measured"] for goal in resolve_goals] == pytest.approx([0.6, 0.3])  # SQLite: 0.7, 0.5, 0.6


def test_a_server_stops_and_leaves_no_directory_of_its_own(tmp_path):
    """nginx's configuration and state live in a directory made for it: gone once it stops."""
    own = tmp_path / "server"
    own.mkdir()
    (own / "index.html").write_text("ready")
    port = registry_servers.free_port()
    command = [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1", "--directory", str(own)]
    with registry_servers.ServerProcess("files", command, port, "/index.html", own_directory=own) as server:
        assert server.process is not None
    assert not own.exists()
