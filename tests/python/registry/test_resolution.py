# GET /1.0/identifiers/{did}: representations, selectors, and every error as a resolution result.
import json

import pytest
from starlette.testclient import TestClient

from did_vek.registry import create_app
from registry_histories import DID, day, history, signed

JSON = {"content-type": "application/json"}
RESULT = "application/did-resolution"


@pytest.fixture
def client(db):
    """ALICE's DID with 3 versions, updated on January 2, 3 and 4."""
    with TestClient(create_app(db)) as client:
        for version in history(3):
            assert client.post(f"/dids/{DID}", content=version, headers=JSON).status_code == 201
        yield client


def resolve(client, did=DID, query="", **headers):
    return client.get(f"/1.0/identifiers/{did}{query}", headers=headers)


ACCEPT = [
    # Accept header, Content-Type of the answer (None: the resolution result)
    (None, RESULT),
    ("*/*", RESULT),
    ("application/*", RESULT),
    ("application/did-resolution", RESULT),
    ('application/ld+json;profile="https://w3id.org/did-resolution"', RESULT),
    ('application/ld+json; profile="https://w3id.org/did-resolution"; q=0.9', RESULT),
    ("application/ld+json;profile=https://w3id.org/did-resolution", RESULT),
    ("application/did", "application/did"),
    ("application/did+json", "application/did+json"),
    ("application/did+ld+json", "application/did+ld+json"),
    ("application/json", "application/json"),
    ("text/html, application/json", "application/json"),
    ("application/json, application/did-resolution", RESULT),
    ("application/did-resolution;q=0.1, application/did", RESULT),
    ("application/did;q=0.5, application/did+json", "application/did+json"),
    ("application/did-resolution;q=0, application/did", "application/did"),
    ("APPLICATION/DID+JSON", "application/did+json"),
]


@pytest.mark.parametrize("accept, content_type", ACCEPT)
def test_accept_chooses_the_resolution_result_or_the_bare_document(client, accept, content_type):
    answer = resolve(client) if accept is None else resolve(client, accept=accept)
    assert answer.status_code == 200
    assert answer.headers["content-type"] == content_type
    body = answer.json()
    document = body["didDocument"] if content_type == RESULT else body
    assert document["id"] == DID and document["updated"] == day(4)


@pytest.mark.parametrize("accept", ["text/html", "application/ld+json", "application/did;q=0", "image/*",
                                    "application/json;q=x"])
def test_an_accept_the_registry_cannot_serve_is_406(client, accept):
    answer = resolve(client, accept=accept)
    assert answer.status_code == 406
    assert error_code(answer) == "REPRESENTATION_NOT_SUPPORTED"


def error_code(answer):
    assert answer.headers["content-type"] == RESULT
    body = answer.json()
    assert body["didDocument"] is None and body["didDocumentMetadata"] == {}
    error = body["didResolutionMetadata"]["error"]
    assert error["title"] and error["detail"] and error["type"].startswith("https://www.w3.org/ns/did#")
    return error["type"].rpartition("#")[2]


def test_the_result_of_the_latest_version_makes_its_signed_document_again(client):
    body = resolve(client).json()
    metadata = body["didDocumentMetadata"]
    assert body["didResolutionMetadata"] == {"contentType": "application/did"}
    assert {name: metadata[name] for name in ("created", "updated", "versionId")} == {
        "created": "2024-01-01T00:00:00Z", "updated": day(4), "versionId": "3"}
    assert "nextVersionId" not in metadata and "deactivated" not in metadata
    stored = client.get(f"/dids/{DID}/log").json()[-1]
    assert {"document": body["didDocument"], "proof": metadata["proof"]} == stored


SELECTORS = [
    # query, versionId selected, nextVersionId
    ("?versionId=1", "1", "2"),
    ("?versionId=2", "2", "3"),
    ("?versionId=3", "3", None),
    (f"?versionTime={day(2)}", "1", "2"),
    ("?versionTime=2024-01-03T12:00:00Z", "2", "3"),
    ("?versionTime=2030-01-01T00:00:00Z", "3", None),
    ("?versionId=2&unknown=1", "2", "3"),
    ("?versionId%3D2", "3", None),  # an escaped "=" makes the whole field a name: an unknown option
]


@pytest.mark.parametrize("query, version_id, next_version_id", SELECTORS)
def test_selectors_choose_the_version(client, query, version_id, next_version_id):
    metadata = resolve(client, query=query).json()["didDocumentMetadata"]
    assert metadata["versionId"] == version_id
    assert metadata.get("nextVersionId") == next_version_id
    if next_version_id is not None:
        assert metadata["nextUpdate"] == day(int(next_version_id) + 1)


ERRORS = [
    # DID in the path, query, CODE, status
    ("did:vek:0000000000000000", "", "NOT_FOUND", 404),
    (DID, "?versionId=4", "NOT_FOUND", 404),
    (DID, "?versionId=" + "9" * 40, "NOT_FOUND", 404),
    (DID, "?versionTime=2024-01-01T23:59:59Z", "NOT_FOUND", 404),
    (DID, "?versionId=0", "INVALID_OPTIONS", 400),
    (DID, "?versionId=01", "INVALID_OPTIONS", 400),
    (DID, "?versionId=-1", "INVALID_OPTIONS", 400),
    (DID, "?versionId=", "INVALID_OPTIONS", 400),
    (DID, "?versionTime=2024-01-02", "INVALID_OPTIONS", 400),
    (DID, "?versionTime=2024-02-30T00:00:00Z", "INVALID_OPTIONS", 400),
    (DID, f"?versionId=1&versionTime={day(2)}", "INVALID_OPTIONS", 400),
    (DID, "?versionId=1&versionId=2", "INVALID_OPTIONS", 400),
    (DID, "?versionId=%FF", "INVALID_OPTIONS", 400),
    (DID, "?versionId=%zz", "INVALID_OPTIONS", 400),
    ("did:key:z6MkhaXgBZDvotDkL5257faiztiGiC2QtKLGpbnnEGta2doK", "", "METHOD_NOT_SUPPORTED", 501),
    ("did:web:example.com", "", "METHOD_NOT_SUPPORTED", 501),
    ("did:vek:", "", "INVALID_DID", 400),
    ("not-a-did", "", "INVALID_DID", 400),
    ("", "", "INVALID_DID", 400),
    ("did%3Avek%3Ax%ZZ", "", "INVALID_DID", 400),
    ("did%3Avek%3A%C3%28", "", "INVALID_DID", 400),
]


@pytest.mark.parametrize("did, query, code, status", ERRORS)
def test_errors_are_resolution_results_with_the_code(client, did, query, code, status):
    answer = resolve(client, did=did, query=query)
    assert (answer.status_code, error_code(answer)) == (status, code)


def test_a_percent_encoded_did_resolves_as_the_did(client):
    for did in (DID.replace(":", "%3A"), DID.replace(":", "%3a")):
        assert resolve(client, did=did).json()["didDocument"]["id"] == DID


def test_head_answers_the_headers_of_get(client):
    answer = client.head(f"/1.0/identifiers/{DID}")
    assert answer.status_code == 200 and answer.content == b""
    assert int(answer.headers["content-length"]) == len(resolve(client).content)


def test_a_deactivated_did_is_gone_but_its_history_resolves(client):
    end = signed(updated=day(5), deactivate=True)
    assert client.post(f"/dids/{DID}", content=end, headers=JSON).status_code == 201
    latest = resolve(client)
    assert latest.status_code == 410
    assert latest.json()["didDocument"] == json.loads(end)["document"]
    assert latest.json()["didDocumentMetadata"]["deactivated"] is True
    assert resolve(client, accept="application/did").status_code == 410
    older = resolve(client, query="?versionId=2")
    assert older.status_code == 200
    assert older.json()["didDocumentMetadata"]["deactivated"] is True


def test_methods_lists_this_method(client):
    answer = client.get("/1.0/methods")
    assert (answer.status_code, answer.json()) == (200, ["vek"])
