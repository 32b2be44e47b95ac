# DID URLs: a key or service by its fragment, a service's endpoint by ?service= (with relativeRef), and their errors;
# every served document read by pydid into its typed classes.
import json

import pydid
import pytest
from pydid.verification_method import Ed25519VerificationKey2020
from starlette.testclient import TestClient

from did_vek.registry import create_app
from registry_histories import ALICE, DID, day

import histories

JSON = {"content-type": "application/json"}
DEREFERENCING = "application/did-url-dereferencing"
SERVICES = [("files", "FileService", "https://files.example/store/"),
            ("inbox", "InboxService", "urn:example:inbox"),
            ("relative", "OddService", "no-scheme/at-all")]


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    """ALICE's DID with two versions, the second with three services."""
    with TestClient(create_app(str(tmp_path_factory.mktemp("deref") / "registry.sqlite3"))) as client:
        keys = {"key-1": ALICE.engine}
        for number, services in ((1, ()), (2, SERVICES)):
            version = histories.version(ALICE.engine, "key-1", keys, did=DID, created=day(1), updated=day(number + 1),
                                        services=services)
            assert client.post(f"/dids/{DID}", content=version, headers=JSON).status_code == 201
        yield client


def get(client, path, accept=None):
    return client.get(f"/1.0/identifiers/{DID}{path}", headers={} if accept is None else {"accept": accept},
                      follow_redirects=False)


KEY = {"id": f"{DID}#key-1", "type": "Ed25519VerificationKey2020", "controller": DID}


@pytest.mark.parametrize("path, accept, content_type", [
    ("%23key-1", None, "application/did+json"),
    ("%23key-1", "*/*", "application/did+json"),
    ("%23key-1", "application/did", "application/did"),
    ("%23key-1", "application/json", "application/json"),
    ("%23key-1", "application/did-resolution", "application/did+json"),
    ("%23key-1?versionId=1", None, "application/did+json"),
    ("%3FversionId%3D1%23key-1", None, "application/did+json"),   # the whole DID URL escaped
])
def test_a_key_fragment_dereferences_to_its_verification_method(client, path, accept, content_type):
    answer = get(client, path, accept)
    assert (answer.status_code, answer.headers["content-type"], answer.headers["vary"]) == (200, content_type, "Accept")
    method = answer.json()
    assert {name: method[name] for name in KEY} == KEY
    assert isinstance(Ed25519VerificationKey2020.deserialize(method), Ed25519VerificationKey2020)


def test_the_dereferencing_result_wraps_the_content_and_its_metadata(client):
    body = get(client, "%23key-1", DEREFERENCING).json()
    assert body["dereferencingMetadata"] == {"contentType": "application/did+json"}
    assert body["contentStream"]["id"] == KEY["id"] and body["contentMetadata"]["versionId"] == "2"
    service = get(client, "%23files", DEREFERENCING).json()["contentStream"]
    assert service == {"id": f"{DID}#files", "type": "FileService", "serviceEndpoint": SERVICES[0][2]}


@pytest.mark.parametrize("query, location", [
    ("?service=files", "https://files.example/store/"),
    ("?service=files&relativeRef=%2Fa%2Fb.pdf", "https://files.example/a/b.pdf"),
    ("?service=files&relativeRef=a%2F..%2Fb.pdf%3Fx%3D1", "https://files.example/store/b.pdf?x=1"),
    ("?relativeRef=..%2Fup&service=files", "https://files.example/up"),
    ("?service=files%23top", "https://files.example/store/#top"),
    ("?service=inbox&relativeRef=%3Fto%3Dme", "urn:example:inbox?to=me"),
    ("?service=relative", "no-scheme/at-all"),
])
def test_a_service_dereferences_to_a_redirect_to_its_endpoint(client, query, location):
    answer = get(client, query)
    assert (answer.status_code, answer.headers["location"], answer.headers["vary"]) == (303, location, "Accept")
    body = get(client, query, DEREFERENCING).json()
    assert (body["contentStream"], body["dereferencingMetadata"]) == (location, {"contentType": "text/uri-list"})


@pytest.mark.parametrize("path, code, status", [
    ("%23key-9", "NOT_FOUND", 404),
    ("?service=nothing", "NOT_FOUND", 404),
    ("%23key-1?versionId=0", "NOT_FOUND", 404),
    ("?service=files%23key-1&versionId=1", "NOT_FOUND", 404),                 # version 1 had no services
    ("?service=relative&relativeRef=x", "NOT_FOUND", 404),                     # nothing to resolve it against
    ("%23", "INVALID_DID_URL", 400),
    ("%23a%20b", "INVALID_DID_URL", 400),
    ("%23a%23b", "INVALID_DID_URL", 400),
    ("?relativeRef=%2Fa", "INVALID_DID_URL", 400),
    ("?service=", "INVALID_DID_URL", 400),
    ("?service=files&service=inbox", "INVALID_DID_URL", 400),
    (":%23key-1", "INVALID_DID_URL", 400),
    ("?service=files&versionId=x", "INVALID_OPTIONS", 400),
    ("?service=files&other=1", "FEATURE_NOT_SUPPORTED", 501),
])
def test_dereferencing_errors(client, path, code, status):
    for accept in (None, DEREFERENCING):
        answer = get(client, path, accept)
        body = answer.json()
        metadata = body["dereferencingMetadata"] if accept else body["didResolutionMetadata"]
        assert (answer.status_code, metadata["error"]["type"]) == (status, f"https://www.w3.org/ns/did#{code}")


@pytest.mark.parametrize("query", ["?versionId=1", ""])
def test_pydid_reads_every_served_document_with_typed_keys(client, query):
    for accept in (None, "application/did+json", "application/did+ld+json", DEREFERENCING):
        body = get(client, query, accept).json()
        view = body.get("didDocument") or body.get("contentStream") or body
        document = pydid.deserialize_document(view, strict=True)
        assert [type(method) for method in document.verification_method] == [Ed25519VerificationKey2020]
        assert json.loads(document.to_json())["verificationMethod"] == view["verificationMethod"]


def test_every_served_key_verifies_a_signature_of_the_dids_key(client):
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
    from did_vek._base58 import decode

    message = "made by the holder of the DID's key"
    signature = bytes.fromhex(ALICE.engine.sign(message))
    for path in ("", "?versionId=1", "%23key-1"):
        body = get(client, path).json()
        methods = body["didDocument"]["verificationMethod"] if "didDocument" in body else [body]
        for method in methods:
            prefixed = decode(method["publicKeyMultibase"].removeprefix("z"))
            assert prefixed[:2] == b"\xed\x01"
            Ed25519PublicKey.from_public_bytes(prefixed[2:]).verify(signature, message.encode())  # raises if not
