# The registry client against the real registry, and against a fake one that lies: the client
# must accept only histories the DID's keys signed, whatever a registry serves.
import json
import time

import pytest

from did_vek import InvalidDocument, NotFound, RegistryClient, RegistryError
from histories import DID, life_of_a_did
from holders import Holder, history, timestamp
from tlog.lying_log import Log, history_route, key_route
from registries import FakeRegistry, StallingRegistry, free_socket, registry  # noqa: F401 (the fixture)


@pytest.fixture
def client(registry):
    with RegistryClient(registry) as client:
        yield client


@pytest.fixture
def published(client):
    """A DID with four versions in the registry: a service from version 2, a new key in 3."""
    holder = history(4)
    for version in holder.versions:
        client.publish(version)
    return holder


def values(texts):
    return [json.loads(text) for text in texts]


def test_publish_then_retry(client):
    holder = Holder()
    first = client.publish(holder.write())
    again = client.publish(holder.versions[0])
    assert (first.did, first.version_id, first.version_time, first.created) == (holder.did, "1", timestamp(1), True)
    assert (again.version_id, again.created) == ("1", False)
    second = client.publish(holder.write(), if_match="1")
    assert (second.version_id, second.created) == ("2", True)


def test_log_is_every_version_as_published(client, published):
    assert values(client.log(published.did)) == values(published.versions)


@pytest.mark.parametrize("selector, version_id", [
    ({}, "4"),
    ({"version_id": "1"}, "1"),
    ({"version_id": "3"}, "3"),
    ({"version_time": timestamp(2)}, "2"),
    ({"version_time": "2999-01-01T00:00:00Z"}, "4"),
])
def test_resolve_selects_a_version(client, published, selector, version_id):
    resolution = client.resolve(published.did, **selector)
    assert (resolution.did, resolution.version_id, resolution.deactivated) == (published.did, version_id, False)
    assert resolution.document == json.loads(published.versions[int(version_id) - 1])["document"]
    assert resolution.version_time == timestamp(int(version_id))
    assert len(resolution.history.versions) == 4


@pytest.mark.parametrize("selector, error", [
    ({"version_id": "5"}, NotFound),
    ({"version_time": timestamp(0)}, NotFound),
    ({"version_id": "01"}, ValueError),
    ({"version_time": "yesterday"}, ValueError),
    ({"version_id": "1", "version_time": timestamp(1)}, ValueError),
])
def test_resolve_selectors_that_match_nothing(client, published, selector, error):
    with pytest.raises(error):
        client.resolve(published.did, **selector)


def test_deactivated_did_resolves_with_its_history(client, published):
    client.publish(published.write(deactivate=True))
    latest = client.resolve(published.did)
    older = client.resolve(published.did, version_id="2")
    assert (latest.version_id, latest.deactivated, older.deactivated) == ("5", True, True)
    assert "assertionMethod" not in latest.document


@pytest.mark.parametrize("change, status", [
    # Another text for a version the registry already holds: stale.
    (lambda holder: holder.write(updated=timestamp(3), services=["https://other.example"]), 409),
    # Signed by a key that version 4 no longer lists.
    (lambda holder: holder.write(signer=holder.first_key), 403),
    (lambda holder: holder.write(updated="2999-01-01T00:00:00Z"), 422),
])
def test_refusals_carry_status_and_detail(client, published, change, status):
    with pytest.raises(RegistryError) as refused:
        client.publish(change(published))
    assert refused.value.status == status and refused.value.detail
    assert len(client.log(published.did)) == 4


def test_if_match_another_version_is_refused(client, published):
    with pytest.raises(RegistryError) as refused:
        client.publish(published.write(), if_match="3")
    assert refused.value.status == 412


def test_unknown_did_is_not_found(client):
    unknown = Holder().did
    for call in (client.log, client.resolve):
        with pytest.raises(NotFound) as missing:
            call(unknown)
        assert isinstance(missing.value, LookupError) and missing.value.status == 404


def test_a_text_that_is_no_signed_document_is_not_sent(client):
    with pytest.raises(InvalidDocument):
        client.publish('{"document": {}}')


def test_export_lists_every_version_in_acceptance_order(client, published):
    lines = [json.loads(line) for line in client.export()]
    mine = [line for line in lines if line["did"] == published.did]
    assert [line["versionId"] for line in mine] == ["1", "2", "3", "4"]
    assert [line["signed"] for line in mine] == values(published.versions)
    assert [line["seq"] for line in lines] == sorted({line["seq"] for line in lines})


# A registry that lies: each log is served for the DID of `published`, whose honest log has
# four versions.
def tampered(versions):
    signed = json.loads(versions[1])
    signed["document"]["service"][0]["serviceEndpoint"] = "https://attacker.example"
    return [json.loads(versions[0]), signed, *values(versions[2:])]


LIES = {
    "a version changed after signing": (tampered, "version 2 breaks H2"),
    # Version 4 is signed by the key that version 3 brought in.
    "the key rotation left out": (lambda versions: values([*versions[:2], versions[3]]), "version 3 breaks H2"),
    "two versions swapped": (lambda versions: values([versions[1], versions[0], *versions[2:]]), "version 1"),
    "another DID's history": (lambda versions: values(history(2).versions), "the history of"),
    "a start not derived from its key": (
        lambda versions: values([Holder().write(did="did:vek:0000000000000000")]), "version 1 breaks H1"),
    "an empty log": (lambda versions: [], "empty"),
    "not an array": (lambda versions: {"versions": values(versions)}, "array"),
    "a version that is no object": (lambda versions: [1, *values(versions[1:])], "version 1 breaks H1"),
    "an array, not an answer": (lambda versions: json.dumps(values(versions)).encode(), "array"),
    "not JSON": (lambda versions: b"<html>", "not JSON"),
    "duplicate members": (lambda versions: b'[{"document": {}, "document": {}}]', "duplicate"),
}


@pytest.mark.parametrize("lie", LIES)
def test_a_history_that_does_not_verify_is_refused(lie):
    holder = history(4)
    serve, message = LIES[lie]
    path = "/dids/" + holder.did.replace(":", "%3A") + "/history"
    served = serve(holder.versions)
    body = served if isinstance(served, bytes) else {"did": holder.did, "versions": served}
    with FakeRegistry({path: (200, body)}) as fake, RegistryClient(fake.url) as client:
        with pytest.raises(InvalidDocument, match=message):
            client.resolve(holder.did)
    assert fake.paths == [path]


@pytest.mark.parametrize("drop_idle, connections", [(False, 1), (True, 3)])
def test_one_connection_for_many_requests_unless_the_registry_drops_it(drop_idle, connections):
    log = Log().publish(*life_of_a_did()[:2])
    routes = {**key_route(log), **history_route(log, DID), **history_route(log, DID, known=log.size)}
    with FakeRegistry(routes, drop_idle=drop_idle) as fake, RegistryClient(fake.url) as client:
        for _ in range(3):
            assert client.resolve(DID).version_id == "2"
    assert fake.connections == connections + drop_idle  # dropped: the key is fetched apart


@pytest.mark.parametrize("answer, status, detail", [
    ((400, {"type": "about:blank", "title": "Bad Request", "status": 400, "detail": "the body is not JSON"}),
     400, "the body is not JSON"),
    ((500, {"didDocument": None, "didResolutionMetadata": {"error": {"detail": "the store fails"}}}),
     500, "the store fails"),
    ((503, b"\x1b[31mno\x1b[0m\nsecond line"), 503, "Service Unavailable"),
    ((403, {"detail": "\x1b]0;title\x07 one line\nand another"}), 403, "\\u001b]0;title\\u0007 one line\\u000aand"),
])
def test_refusal_details_are_one_printable_line(answer, status, detail):
    with FakeRegistry({"/dids/did%3Avek%3Aabc/log": answer}) as fake, RegistryClient(fake.url) as client:
        with pytest.raises(RegistryError) as refused:
            client.log("did:vek:abc")
    assert refused.value.status == status and refused.value.detail.startswith(detail)


def test_an_export_whose_seq_does_not_grow_stops():
    line = json.dumps({"seq": 1, "did": "did:vek:abc", "versionId": "1", "signed": {}}).encode()
    routes = {"/export?after=0": (200, line), "/export?after=1": (200, line)}
    with FakeRegistry(routes) as fake, RegistryClient(fake.url) as client:
        with pytest.raises(RegistryError, match="growing seq"):
            list(client.export())


def test_no_registry_is_status_zero():
    with free_socket() as unused:
        url = f"http://127.0.0.1:{unused.getsockname()[1]}"
    with pytest.raises(RegistryError) as failed:
        RegistryClient(url).log("did:vek:abc")
    assert failed.value.status == 0 and "refused" in failed.value.detail


def test_a_registry_that_never_answers_times_out():
    # A listening socket that nobody accepts from: the connection is made, no answer comes.
    with free_socket() as silent:
        silent.listen()
        client = RegistryClient(f"http://127.0.0.1:{silent.getsockname()[1]}", timeout=0.2)
        with pytest.raises(RegistryError) as failed:
            client.log("did:vek:abc")
    assert failed.value.status == 0 and "timed out" in failed.value.detail


@pytest.mark.parametrize("how", ["trickle", "continue"])
def test_a_registry_that_stalls_cannot_hold_a_request_past_its_timeout(how):
    with StallingRegistry(how) as stalling, RegistryClient(stalling.url, timeout=0.5) as client:
        started = time.monotonic()
        with pytest.raises(RegistryError) as failed:
            client.resolve("did:vek:abc")
    assert failed.value.status == 0 and "timed out" in failed.value.detail
    assert time.monotonic() - started < 2


@pytest.mark.parametrize("url", ["127.0.0.1:8080", "ftp://host/", "http://", "http://host:99999", "http://host/?q=1"])
def test_urls_that_name_no_registry(url):
    with pytest.raises(ValueError):
        RegistryClient(url)


def test_a_path_prefix_is_kept():
    with FakeRegistry({"/registry/dids/did%3Avek%3Aabc/log": (200, [])}) as fake:
        assert RegistryClient(fake.url + "/registry/").log("did:vek:abc") == []
