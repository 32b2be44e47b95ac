# The registry benchmarks' own parts: stores filled without HTTP must hold what a publish would
# have stored, the static baseline must serve the registry's exact answers, every prepared update
# must be one the registry accepts, and wrk's report must be read right or not at all.
import json
import shutil
from datetime import datetime, timedelta

import pytest
from starlette.testclient import TestClient

import did_vek
from did_vek.registry import create_app

import registry_data
import wrk_runs

RESULT = {"accept": "application/did-resolution"}
JSON = {"content-type": "application/json"}


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    """A store of 40 generated DIDs, and one of 15 cut from it."""
    directory = tmp_path_factory.mktemp("bench")
    large = registry_data.sqlite_store(directory, 40, processes=1)
    return large, registry_data.sqlite_store(directory, 15)


def test_a_smaller_store_is_the_first_dids_of_a_larger_one(stores):
    large, small = stores
    assert registry_data.dids(small) == registry_data.dids(large)[:15]
    assert len(set(registry_data.dids(large))) == 40


@pytest.mark.parametrize("engine", ["sqlite", "postgresql"])
def test_the_static_files_are_the_registrys_own_answers(stores, engine, request, tmp_path):
    """nginx serves these bytes: they must be what the registry answers, on either engine, but for
    the proofs of the registry's log, which static files cannot have."""
    large, _ = stores
    db = str(shutil.copy(large, tmp_path / "registry.sqlite3"))
    if engine == "postgresql":
        db = request.getfixturevalue("postgres_db")
        registry_data.copy_to_postgres(large, db)
    with TestClient(create_app(db)) as client:
        for did, body in registry_data.resolution_results(large):
            answer = client.get(f"/1.0/identifiers/{did}", headers=RESULT)
            served = answer.json()
            assert "entry" in served["didResolutionMetadata"].pop("vekLog")
            assert (answer.status_code, json.dumps(served, ensure_ascii=False).encode()) == (200, body)
        # The generated rows count as published: a next version follows them with the next seq.
        answer = client.post(f"/dids/{did}", content=next_version(39, json.loads(body)), headers=JSON)
        assert answer.status_code == 201, answer.text
        assert [json.loads(line)["seq"] for line in client.get("/export?after=39").text.splitlines()] == [40, 41]


def next_version(number, result):
    """Version 2 of the `number`-th generated DID, a second after its version 1."""
    engine = registry_data.engine_for("resolve", number)
    document = did_vek.record_of(result["didDocument"])
    updated = datetime.strptime(document["updated"], "%Y-%m-%dT%H:%M:%SZ") + timedelta(seconds=1)
    document["updated"] = updated.strftime("%Y-%m-%dT%H:%M:%SZ")
    return did_vek.sign_document(engine, json.dumps(document), key_id="key-1")


def test_every_prepared_update_is_accepted_as_version_2(db):
    updates = registry_data.updates(6, processes=1)
    registry_data.store_first_versions(db, [update.first for update in updates])
    with TestClient(create_app(db)) as client:
        for update in updates:
            # The body as the load generator sends it: the same JSON on one line.
            body = json.dumps(json.loads(update.second), separators=(",", ":"))
            answer = client.post(f"/dids/{update.first.did}", content=body, headers=JSON)
            assert (answer.status_code, answer.json()["versionId"]) == (201, "2"), answer.text
        stored = client.get("/export").text.splitlines()
    assert len(stored) == 12 and [json.loads(line)["seq"] for line in stored] == list(range(1, 13))


WRK_REPORT = """\
Running 10s test @ http://127.0.0.1:8080
  2 threads and 32 connections
  Thread Stats   Avg      Stdev     Max   +/- Stdev
    Latency     {p50}   1.20ms  40.11ms   90.00%
  Latency Distribution
     50%    {p50}
     75%    2.90ms
     90%    4.10ms
     99%    {p99}
  41234 requests in 10.00s, 60.12MB read
{errors}Requests/sec:   4123.40
Transfer/sec:      6.01MB
{script}"""


@pytest.mark.parametrize("p50, p99, errors, script, seconds, failures, script_value", [
    ("812.00us", "1.25ms", "", "", (812e-6, 1.25e-3), 0, None),
    ("2.50ms", "1.02s", "  Non-2xx or 3xx responses: 7\n", "", (2.5e-3, 1.02), 7, None),
    ("2.50ms", "2.00m", "  Socket errors: connect 1, read 2, write 0, timeout 3\n  Non-2xx or 3xx responses: 4\n",
     "", (2.5e-3, 120.0), 10, None),
    ("1.00ms", "9.99ms", "", '{"created": 41234, "other": 0, "ran_out": 0, "duration_us": 10000123}\n',
     (1e-3, 9.99e-3), 0, {"created": 41234, "other": 0, "ran_out": 0, "duration_us": 10000123}),
])
def test_wrk_reports_are_read_with_their_units_and_failures(p50, p99, errors, script, seconds, failures,
                                                            script_value):
    report = wrk_runs.parse(WRK_REPORT.format(p50=p50, p99=p99, errors=errors, script=script))
    assert (report.requests, report.requests_per_second) == (41234, 4123.40)
    assert (report.p50_seconds, report.p99_seconds) == pytest.approx(seconds)
    assert (report.failures, report.script) == (failures, script_value)


@pytest.mark.parametrize("damage", ["Requests/sec:   4123.40\n", "     99%    {p99}\n"])
def test_a_wrk_report_without_its_figures_is_an_error_not_a_zero(damage):
    text = WRK_REPORT.replace(damage, "").format(p50="1.00ms", p99="2.00ms", errors="", script="")
    with pytest.raises(ValueError, match="wrk's report has no"):
        wrk_runs.parse(text)

