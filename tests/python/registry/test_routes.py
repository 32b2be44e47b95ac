# The registry's own routes, and what the server answers when its store fails.
import json

import pytest
from starlette.testclient import TestClient

from did_vek import verify_history
from did_vek.registry import create_app, import_lines, open_store
from did_vek.registry.importer import ImportRefused
from did_vek.registry.store import StoreUnavailable
from registry_histories import DID, day, history, oversized, signed

JSON = {"content-type": "application/json"}
OTHER = "did:vek:abc"


@pytest.fixture
def client(db):
    with TestClient(create_app(db)) as client:
        yield client


def publish(client, versions, did=DID):
    for version in versions:
        assert client.post(f"/dids/{did}", content=version, headers=JSON).status_code == 201


def test_the_log_is_the_history_oldest_first(client):
    versions = history(3)
    publish(client, versions)
    answer = client.get(f"/dids/{DID}/log")
    assert answer.headers["content-type"] == "application/json"
    assert answer.json() == [json.loads(version) for version in versions]
    assert verify_history(answer.text).latest.version_id == "3"


@pytest.mark.parametrize("path, status", [(f"/dids/{OTHER}/log", 404), ("/dids/not-a-did/log", 400),
                                          ("/dids/did%3Avek%3A%FF/log", 400)])
def test_a_log_that_is_not_there_is_a_problem_report(client, path, status):
    answer = client.get(path)
    assert answer.status_code == status
    assert answer.headers["content-type"] == "application/problem+json"


def test_export_pages_give_every_version_once_in_acceptance_order(client):
    publish(client, history(3))
    publish(client, [signed(did=DID, updated=day(9))])
    lines, after = [], 0
    while page := client.get(f"/export?after={after}&limit=2").text.splitlines():
        lines += [json.loads(line) for line in page]
        after = lines[-1]["seq"]
    assert [line["seq"] for line in lines] == [1, 2, 3, 4]
    assert [line["versionId"] for line in lines] == ["1", "2", "3", "4"]
    assert client.get("/export?limit=99999").text.count("\n") == 4


@pytest.mark.parametrize("query", ["?after=-1", "?after=x", "?limit=0", "?limit=", "?after=" + "9" * 19, "?after=%FF"])
def test_export_refuses_malformed_options(client, query):
    assert client.get("/export" + query).status_code == 400


def test_import_moves_a_registry_and_skips_what_is_there(client, tmp_path):
    publish(client, history(3))
    exported = client.get("/export").text.splitlines()
    target = open_store(str(tmp_path / "copy.sqlite3"))
    try:
        assert import_lines(target, exported[:2]) == (2, 0)
        assert import_lines(target, ["", *exported]) == (1, 2)
        assert [version.signed for version in target.log(DID)] == [
            json.dumps(version, indent=2, sort_keys=True) for version in client.get(f"/dids/{DID}/log").json()]
    finally:
        target.close()


@pytest.mark.parametrize("line, message", [
    ("not json", "line 2: not JSON"),
    ('{"did": "did:vek:abc", "versionId": "1"}', "line 2: \"signed\""),
    ("GAP", "line 2: .* version 3 cannot follow version 1"),
    ("OTHER_FIRST", "line 2: .* version 1 is stored with another text"),
    ('{"did": "DID", "versionId": "9223372036854775808", "signed": {}}', 'line 2: "versionId" is over MAX_VERSIONS'),
    ('{"did": "DID", "versionId": 1001, "signed": {}}', 'line 2: "versionId" is over MAX_VERSIONS 1000'),
    ("OVERSIZE", "line 2: the body is over 64 KiB"),
])
def test_import_names_the_line_it_refuses(db, line, message):
    versions = [json.dumps({"seq": k, "did": DID, "versionId": str(k), "signed": json.loads(text)})
                for k, text in enumerate(history(2), start=1)]
    if line == "GAP":
        line = versions[1].replace('"versionId": "2"', '"versionId": "3"')
    if line == "OTHER_FIRST":  # another registry's version 1 of the same DID
        line = json.dumps({"seq": 1, "did": DID, "versionId": "1", "signed": json.loads(signed(updated=day(9)))})
    if line == "OVERSIZE":  # a version that a publish refuses (413) for its size
        line = json.dumps({"seq": 2, "did": DID, "versionId": "2", "signed": json.loads(oversized(updated=day(3)))})
    lines = [versions[0], line.replace('"DID"', json.dumps(DID))]
    store = open_store(db)
    try:
        with pytest.raises(ImportRefused, match=message):
            import_lines(store, lines)
    finally:
        store.close()


def test_unknown_routes_and_methods_are_problem_reports(client):
    for answer, status in ((client.get("/nothing"), 404), (client.delete(f"/dids/{DID}"), 405),
                           (client.post(f"/1.0/identifiers/{DID}"), 405)):
        assert answer.status_code == status
        assert answer.headers["content-type"] == "application/problem+json"


def test_healthz_answers_ok(client):
    answer = client.get("/healthz")
    assert (answer.status_code, answer.json()) == (200, {"status": "ok"})


class FailingStore:
    """A store whose engine is gone: every call fails."""

    def __getattr__(self, name):
        def fail(*arguments):
            raise StoreUnavailable("connection refused")
        return fail

    def healthy(self):
        return False


@pytest.mark.parametrize("method, path, status", [
    ("GET", f"/dids/{DID}/log", 500),
    ("GET", "/export", 500),
    ("POST", f"/dids/{DID}", 500),
    ("GET", "/healthz", 503),
])
def test_a_failing_store_is_a_500_problem_report_and_the_server_goes_on(method, path, status):
    with TestClient(create_app(FailingStore())) as client:
        answer = client.request(method, path, content=history(1)[0], headers=JSON)
        assert answer.status_code == status
        assert answer.headers["content-type"] == "application/problem+json"
        assert "connection refused" not in answer.text  # the cause is for the log, not the client
        assert client.get("/1.0/methods").status_code == 200


def test_a_failing_store_resolves_as_internal_error():
    with TestClient(create_app(FailingStore())) as client:
        answer = client.get(f"/1.0/identifiers/{DID}")
        assert answer.status_code == 500
        assert answer.json()["didResolutionMetadata"]["error"]["type"].endswith("#INTERNAL_ERROR")


@pytest.mark.parametrize("method, path, status", [
    ("GET", f"/1.0/identifiers/{DID}", 404),
    ("GET", "/healthz", 200),
    ("POST", f"/1.0/identifiers/{DID}", 405),
    ("GET", "/nothing", 404),
])
def test_middleware_added_to_the_app_sees_every_route(db, method, path, status):
    app = create_app(db)
    seen = []

    class Seeing:
        def __init__(self, app):
            self.app = app

        async def __call__(self, scope, receive, send):
            seen.append(scope.get("path"))
            await self.app(scope, receive, send)

    app.add_middleware(Seeing)
    with TestClient(app) as client:
        assert client.request(method, path).status_code == status
    assert path in seen


@pytest.mark.parametrize("path, location", [("/healthz/", "/healthz"), ("/1.0/identifiers", "/1.0/identifiers/")])
def test_a_path_off_by_its_trailing_slash_is_redirected(client, path, location):
    answer = client.get(path, follow_redirects=False)
    assert (answer.status_code, answer.headers["location"]) == (307, f"http://testserver{location}")
