# did-vek sign-document and verify-history, as a user runs them: builder output signed and verified, a history
# checked with a one-line summary; 1 for what does not verify, 2 for what cannot be read.
import json

import pytest

import did_vek
from histories import DID, KEYS, life_of_a_did
from test_cli import key, run  # noqa: F401 (the fixture)


def test_build_sign_verify(key):
    built = run("build", DID, "--method", "key-1", KEYS[0].public_key, "--assertion-method", "key-1",
                "--consent-service", "https://consent.example").out
    signed = run("sign-document", "--key", key, "--key-id", "key-1", stdin=built.encode())
    assert signed.status == 0 and did_vek.verify_document(signed.out).document == json.loads(built)
    assert run("verify", stdin=signed.out.encode()).out.startswith(f"valid: {DID}, public key {KEYS[0].public_key}")


@pytest.mark.parametrize("stdin, status, message", [
    (b'{"id": "did:vek:abc"}', 2, 'lacks the member "@context"'),
    (b"not json", 2, "not JSON"),
    (b"\xff", 2, "not UTF-8"),
])
def test_sign_document_refuses_what_it_cannot_sign(key, stdin, status, message):
    result = run("sign-document", "--key", key, "--key-id", "key-1", stdin=stdin)
    assert (result.status, result.out) == (status, "") and message in result.err


def test_sign_document_needs_a_key_id(key):
    assert run("sign-document", "--key", key, stdin=b"{}").status == 2


@pytest.mark.parametrize("versions, status, summary", [
    (life_of_a_did()[:3], 0, f"valid: {DID}, 3 version(s), active; version 3 of 2026-01-01T00:00:20Z signed by key-1"),
    (life_of_a_did(), 0, f"valid: {DID}, 5 version(s), deactivated; version 5 of 2026-01-01T00:00:40Z signed by key-2"),
    (life_of_a_did()[2:], 1, "invalid: version 1 breaks H1"),
    ([], 1, "invalid: the history is empty"),
])
def test_verify_history(tmp_path, versions, status, summary):
    path = tmp_path / "log.json"
    path.write_text("[" + ",".join(versions) + "]")
    result = run("verify-history", path)
    assert result.status == status and summary in (result.out if status == 0 else result.err)


@pytest.mark.parametrize("arguments, stdin, status", [
    (["verify-history", "/nonexistent/log.json"], b"", 2), (["verify-history", "-"], b"\xff[]", 2),
    (["verify-history"], b"[1]", 1), (["verify-history"], b"", 1)])
def test_verify_history_inputs(arguments, stdin, status):
    assert run(*arguments, stdin=stdin).status == status
