# GET /1.0/identifiers/{did}: representations, Vary, selectors, metadata, deactivation, and every error as a result.
import json

import pytest
from starlette.testclient import TestClient

from did_vek import record_of, verify_resolution
from did_vek.registry import create_app
from registry_histories import DID, day, history, signed

JSON = {"content-type": "application/json"}
RESULT = "application/did-resolution"
LD = 'application/ld+json;profile="https://w3id.org/did-resolution"'
DEREFERENCING = "application/did-url-dereferencing"


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
    # Accept header, Content-Type of the answer (a result type: the resolution result, else the bare document)
    (None, LD),
    ("*/*", LD),
    ("application/ld+json", LD),
    (LD, LD),
    (RESULT, RESULT),
    ("application/did", "application/did"),
    ("application/did+json", "application/did+json"),
    ("application/did+ld+json", "application/did+ld+json"),
    ("application/json", "application/json"),
    ("application/did-resolution;q=0.1, application/did", "application/did"),
]


@pytest.mark.parametrize("accept, content_type", ACCEPT)
def test_accept_chooses_the_resolution_result_or_the_bare_document(client, accept, content_type):
    answer = resolve(client) if accept is None else resolve(client, accept=accept)
    assert answer.status_code == 200
    assert answer.headers["content-type"] == content_type and answer.headers["vary"] == "Accept"
    body = answer.json()
    document = body["didDocument"] if content_type in (LD, RESULT) else body
    assert document["id"] == DID and document["updated"] == day(4)
    assert document["@context"] == ["https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1"]


@pytest.mark.parametrize("accept", ["text/html", "application/did;q=0", "image/*", "application/json;q=x"])
def test_an_accept_the_registry_cannot_serve_is_406(client, accept):
    answer = resolve(client, accept=accept)
    assert answer.status_code == 406
    assert error_code(answer) == "REPRESENTATION_NOT_SUPPORTED"


def error_code(answer, content_type=RESULT):
    assert answer.headers["content-type"] == content_type and answer.headers["vary"] == "Accept"
    body = answer.json()
    if content_type == DEREFERENCING:
        assert body["contentStream"] is None and body["contentMetadata"] == {}
        error = body["dereferencingMetadata"]["error"]
    else:
        assert body["didDocument"] is None and body["didDocumentMetadata"] == {}
        error = body["didResolutionMetadata"]["error"]
    assert error["title"] and error["detail"] and error["type"].startswith("https://www.w3.org/ns/did#")
    return error["type"].rpartition("#")[2]


def test_the_result_maps_back_to_the_signed_version_and_verifies(client):
    body = resolve(client, query="?versionId=1").json()
    stored = client.get(f"/dids/{DID}/log").json()[0]
    metadata = body["didResolutionMetadata"]
    assert metadata.pop("vekLog")["entry"].startswith(f"v {DID} 1 ")
    assert metadata == {"contentType": "application/did", "proof": [stored["proof"]]}
    assert record_of(body["didDocument"]) == stored["document"]
    assert verify_resolution(body).did == DID


@pytest.mark.parametrize("query, metadata", [
    # A version 1 was never updated: no "updated".
    ("?versionId=1", {"created": day(1), "versionId": "1", "nextVersionId": "2", "nextUpdate": day(3)}),
    ("?versionId=2", {"created": day(1), "updated": day(3), "versionId": "2", "nextVersionId": "3",
                      "nextUpdate": day(4)}),
    ("", {"created": day(1), "updated": day(4), "versionId": "3"}),
])
def test_document_metadata_names_the_version_and_the_next(client, query, metadata):
    assert resolve(client, query=query).json()["didDocumentMetadata"] == metadata


SELECTORS = [
    # query, versionId selected
    ("?versionId=1", "1"),
    ("?versionId=3", "3"),
    (f"?versionTime={day(2)}", "1"),
    ("?versionTime=2024-01-03T12:00:00Z", "2"),
    ("?versionTime=2030-01-01T00:00:00Z", "3"),
]


@pytest.mark.parametrize("query, version_id", SELECTORS)
def test_selectors_choose_the_version(client, query, version_id):
    assert resolve(client, query=query).json()["didDocumentMetadata"]["versionId"] == version_id


ERRORS = [
    # DID in the path, query, CODE, status
    ("did:vek:0000000000000000", "", "NOT_FOUND", 404),
    (DID, "?versionId=4", "NOT_FOUND", 404),
    (DID, "?versionId=0", "NOT_FOUND", 404),
    (DID, "?versionId=" + "9" * 40, "NOT_FOUND", 404),
    (DID, "?versionTime=2024-01-01T23:59:59Z", "NOT_FOUND", 404),
    (DID + "/path", "", "NOT_FOUND", 404),
    (DID, "?versionId=01", "INVALID_OPTIONS", 400),
    (DID, "?versionId=-1", "INVALID_OPTIONS", 400),
    (DID, "?versionId=", "INVALID_OPTIONS", 400),
    (DID, "?versionTime=2024-01-02", "INVALID_OPTIONS", 400),
    (DID, "?versionTime=2024-02-30T00:00:00Z", "INVALID_OPTIONS", 400),
    (DID, f"?versionId=1&versionTime={day(2)}", "INVALID_OPTIONS", 400),
    (DID, "?versionId=1&versionId=2", "INVALID_OPTIONS", 400),
    (DID, "?versionId=%FF", "INVALID_OPTIONS", 400),
    (DID, "?versionId=%zz", "INVALID_OPTIONS", 400),
    (DID, "?versionId=2&unknown=1", "FEATURE_NOT_SUPPORTED", 501),
    (DID, "?versionId%3D2", "FEATURE_NOT_SUPPORTED", 501),  # an escaped "=" makes the whole field a name
    (DID, "?noCache=true", "FEATURE_NOT_SUPPORTED", 501),
    ("did:key:z6MkhaXgBZDvotDkL5257faiztiGiC2QtKLGpbnnEGta2doK", "", "METHOD_NOT_SUPPORTED", 501),
    ("did:web:example.com", "", "METHOD_NOT_SUPPORTED", 501),
    ("did:vek:", "", "INVALID_DID", 400),
    ("did:vek:abc:", "", "INVALID_DID", 400),  # the method's rule takes it; W3C DID syntax does not
    (DID + ":", "", "INVALID_DID", 400),
    ("not-a-did", "", "INVALID_DID", 400),
    ("", "", "INVALID_DID", 400),
    ("did%3Avek%3Ax%ZZ", "", "INVALID_DID", 400),
    ("did%3Avek%3A%C3%28", "", "INVALID_DID", 400),
]


@pytest.mark.parametrize("did, query, code, status", ERRORS)
def test_errors_are_resolution_results_with_the_code(client, did, query, code, status):
    answer = resolve(client, did=did, query=query)
    assert (answer.status_code, error_code(answer, LD)) == (status, code)


@pytest.mark.parametrize("accept, content_type", [
    (None, LD), ("application/ld+json", LD), (RESULT, RESULT), ("application/did+json", RESULT),
    (DEREFERENCING, DEREFERENCING),
])
def test_errors_come_in_the_result_representation_negotiated(client, accept, content_type):
    answer = resolve(client, did="did:vek:0000000000000000", **({} if accept is None else {"accept": accept}))
    assert (answer.status_code, error_code(answer, content_type)) == (404, "NOT_FOUND")


def test_a_percent_encoded_did_resolves_as_the_did(client):
    for did in (DID.replace(":", "%3A"), DID.replace(":", "%3a")):
        assert resolve(client, did=did).json()["didDocument"]["id"] == DID


def test_head_answers_the_headers_of_get(client):
    answer = client.head(f"/1.0/identifiers/{DID}")
    assert answer.status_code == 200 and answer.content == b""
    assert int(answer.headers["content-length"]) == len(resolve(client).content)


GONE = [
    # query, Accept, Content-Type of the 410
    ("", None, LD),
    ("", RESULT, RESULT),
    ("", "application/did+json", RESULT),
    ("?versionId=1", None, LD),
    (f"?versionTime={day(3)}", "application/did", RESULT),
    ("?versionId=99", None, LD),
    ("%23key-1", None, RESULT),
    ("%23key-1", DEREFERENCING, DEREFERENCING),
    ("?service=files", None, RESULT),
]


@pytest.mark.parametrize("query, accept, content_type", GONE)
def test_a_deactivated_did_is_gone_for_every_request(client, query, accept, content_type):
    assert client.post(f"/dids/{DID}", content=signed(updated=day(5), deactivate=True), headers=JSON).status_code == 201
    answer = resolve(client, query=query, **({} if accept is None else {"accept": accept}))
    assert (answer.status_code, answer.headers["content-type"]) == (410, content_type)
    body = answer.json()
    metadata = {"created": day(1), "updated": day(5), "versionId": "4", "deactivated": True}
    if content_type == DEREFERENCING:
        assert (body["contentStream"], body["contentMetadata"]) == (None, metadata)
    else:
        assert (body["didDocument"], body["didDocumentMetadata"]) == (None, metadata)
    assert len(client.get(f"/dids/{DID}/log").json()) == 4  # the history stays readable


def test_methods_lists_this_method(client):
    answer = client.get("/1.0/methods")
    assert (answer.status_code, answer.json()) == (200, ["vek"])
