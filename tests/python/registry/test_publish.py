# POST /dids/{did}: each refusal in the order the checks run. Every row breaks the check it names
# and, where it can, the checks after it too, so that a check run out of order shows.
import json

import pytest
from starlette.testclient import TestClient

from did_vek import DIDEngine, did_for_public_key, verify_history
from did_vek.registry import create_app
from registry_histories import ALICE, ALICE_NEXT, DID, MALLORY, Key, day, signed

BOB = Key(DIDEngine.from_secret_key("44" * 32), "key-1")
BOB_DID = did_for_public_key(BOB.public_key)
MALLORY_DID = did_for_public_key(MALLORY.public_key)
MALLORY_AS_UNKNOWN = Key(MALLORY.engine, "key-9")  # a key id that no version lists
JSON = {"content-type": "application/json"}
ALICE_V1, ALICE_V2 = signed(updated=day(2)), signed(updated=day(3))
ALICE_V3 = signed(updated=day(4))


def tampered(text, **document):
    """`text` with a proof that no key made, and `document`'s members changed after signing."""
    value = json.loads(text)
    value["proof"]["proofValue"] = "00" * 64
    value["document"].update(document)
    return json.dumps(value)


@pytest.fixture
def client(db):
    """A registry holding ALICE's DID at version 2 and BOB's DID deactivated by its version 2."""
    with TestClient(create_app(db)) as client:
        for did, body in ((DID, ALICE_V1), (DID, ALICE_V2), (BOB_DID, signed(BOB, did=BOB_DID, keys=(BOB,), updated=day(2))),
                          (BOB_DID, signed(BOB, did=BOB_DID, updated=day(3), deactivate=True))):
            assert client.post(f"/dids/{did}", content=body, headers=JSON).status_code == 201
        yield client


REFUSALS = [
    # status, why, DID of the path, body, headers
    (413, "body over 64 KiB, not JSON, no content type", DID, "x" * (64 * 1024 + 1), {}),
    (413, "body over 64 KiB to a path that is no DID", "%FF", "x" * (64 * 1024 + 1), JSON),
    (415, "no content type, body not JSON", DID, "{", {}),
    (415, "another content type to a path that is no DID", "not-a-did", ALICE_V3, {"content-type": "text/plain"}),
    (415, "another content type", DID, ALICE_V3, {"content-type": "text/plain"}),
    (415, "JSON in another charset", DID, ALICE_V3, {"content-type": "application/json; charset=latin-1"}),
    (400, "not JSON", DID, "{", {**JSON, "if-match": '"1"'}),
    (400, "not UTF-8", DID, b"\xff\xfe{}", JSON),
    (400, "not a signed document", DID, '{"document": {}}', JSON),
    (400, "record rules broken: updated before created",
     DID, tampered(signed(MALLORY, updated=day(1)), updated="2023-01-01T00:00:00Z"), JSON),
    (400, "document for another DID than the path's", BOB_DID, ALICE_V3, JSON),
    (400, "path that is no DID", "not-a-did", ALICE_V3, JSON),
    (400, "If-Match not an entity tag", DID, ALICE_V3, {**JSON, "if-match": "2"}),
    (410, "deactivated DID, stale version, wrong If-Match", BOB_DID,
     signed(MALLORY, did=BOB_DID, updated=day(1)), {**JSON, "if-match": '"1"'}),
    (412, "If-Match names an older version, stale version", DID,
     signed(MALLORY_AS_UNKNOWN, updated=day(1)), {**JSON, "if-match": '"1"'}),
    (412, "If-Match with a weak tag of the last version", DID, ALICE_V3, {**JSON, "if-match": 'W/"2"'}),
    (412, "If-Match on a DID without versions", MALLORY_DID,
     signed(MALLORY, did=MALLORY_DID, keys=(MALLORY,), updated=day(2)), {**JSON, "if-match": "*"}),
    (409, "updated equal to the last, foreign key", DID, signed(MALLORY_AS_UNKNOWN, updated=day(3)), JSON),
    (409, "updated before the last", DID, signed(updated=day(1)), JSON),
    (422, "updated far in the future, foreign key", DID,
     signed(MALLORY_AS_UNKNOWN, updated="2999-01-01T00:00:00Z"), JSON),
    (403, "H2: key id not in the last version's assertionMethod", DID, signed(MALLORY_AS_UNKNOWN, updated=day(4)), JSON),
    (403, "H2: key listed only by the new version itself", DID,
     signed(ALICE_NEXT, keys=(ALICE_NEXT,), updated=day(4)), JSON),
    (403, "H1: version 1 signed by a key it does not list", MALLORY_DID,
     signed(MALLORY_AS_UNKNOWN, did=MALLORY_DID, keys=(MALLORY,), updated=day(2)), JSON),
    (403, "H1: DID not derived from the signing key", "did:vek:abc",
     signed(MALLORY, did="did:vek:abc", keys=(MALLORY,), updated=day(2)), JSON),
    (400, "H2 key, signature by another key", DID, signed(MALLORY, updated=day(4)), JSON),
    (400, "version 1 with a broken signature", MALLORY_DID,
     tampered(signed(MALLORY, did=MALLORY_DID, keys=(MALLORY,), updated=day(2))), JSON),
]


@pytest.mark.parametrize("status, why, did, body, headers", REFUSALS, ids=[f"{row[0]}-{row[1]}" for row in REFUSALS])
def test_refusals_come_in_order_as_problem_reports_and_store_nothing(client, status, why, did, body, headers):
    before = client.get("/export").text
    answer = client.post(f"/dids/{did}", content=body, headers=headers)
    assert answer.status_code == status, answer.text
    assert answer.headers["content-type"] == "application/problem+json"
    report = answer.json()
    assert report["type"] == "about:blank" and report["status"] == status and report["title"]
    assert report["detail"] and "\n" not in report["detail"]
    assert client.get("/export").text == before


@pytest.mark.parametrize("if_match", [None, '"2"', '"7", "2"', "*"])
def test_a_valid_next_version_is_stored_and_resolvable(client, if_match):
    headers = JSON if if_match is None else {**JSON, "if-match": if_match}
    answer = client.post(f"/dids/{DID}", content=ALICE_V3, headers=headers)
    assert answer.status_code == 201
    receipt = answer.json()
    assert {name: receipt[name] for name in ("did", "versionId", "versionTime")} == {
        "did": DID, "versionId": "3", "versionTime": day(4)}
    assert set(receipt) == {"did", "versionId", "versionTime", "logIndex", "proof", "vekLog"}
    assert client.get(answer.headers["location"]).json()["didDocumentMetadata"]["versionId"] == "3"
    assert verify_history(client.get(f"/dids/{DID}/log").text).latest.version_id == "3"


def test_a_retry_of_the_last_version_in_any_layout_answers_200_and_stores_nothing(client):
    relaid = json.dumps(json.loads(ALICE_V2), indent=None, sort_keys=False)
    answer = client.post(f"/dids/{DID}", content=relaid, headers={**JSON, "if-match": '"1"'})
    assert (answer.status_code, answer.json()["versionId"]) == (200, "2")
    assert len(client.get(f"/dids/{DID}/log").json()) == 2


def test_a_replaced_key_writes_the_next_version_and_the_old_one_no_longer_does(client):
    # Version 3 hands the DID to ALICE_NEXT, signed by ALICE; version 4 must be signed by ALICE_NEXT.
    handover = signed(ALICE, keys=(ALICE_NEXT,), updated=day(4))
    assert client.post(f"/dids/{DID}", content=handover, headers=JSON).status_code == 201
    assert client.post(f"/dids/{DID}", content=signed(ALICE, updated=day(5)), headers=JSON).status_code == 403
    answer = client.post(f"/dids/{DID}", content=signed(ALICE_NEXT, keys=(ALICE_NEXT,), updated=day(5)), headers=JSON)
    assert answer.status_code == 201
    assert verify_history(client.get(f"/dids/{DID}/log").text).latest.key_id == "key-2"


def test_a_percent_encoded_did_in_the_path_is_the_did(client):
    answer = client.post(f"/dids/{DID.replace(':', '%3A')}", content=ALICE_V3, headers=JSON)
    assert answer.status_code == 201
