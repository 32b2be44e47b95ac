# The did-vek command, run as a user runs it: exit status 0, 1 for invalid, 2 for usage and input errors,
# one line on stderr for every error, key files of mode 0600 only.
import dataclasses
import json
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import did_vek
from conftest import PUBLIC, SECRET

ENGINE = did_vek.DIDEngine.from_secret_key(SECRET)
KEY_DID = ENGINE.create_did_from_key()
# The installed script sits beside the interpreter, in the venv's bin directory.
RUNNERS = {"python -m did_vek": [sys.executable, "-m", "did_vek"], "did-vek": [str(Path(sys.executable).parent / "did-vek")]}
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


@dataclasses.dataclass
class Result:
    status: int
    out: str
    err: str


def run(*args, stdin=b"", runner="python -m did_vek", umask=-1):
    arguments = [a if isinstance(a, bytes) else str(a) for a in args]
    done = subprocess.run(RUNNERS[runner] + arguments, input=stdin, capture_output=True, timeout=60, umask=umask)
    result = Result(done.returncode, done.stdout.decode(), done.stderr.decode())
    assert "Traceback" not in result.err
    if result.status:
        assert result.err.count("\n") == 1 and result.err.startswith("did-vek"), result.err
    return result


@pytest.fixture
def key(tmp_path):
    path = tmp_path / "key"
    path.write_text(SECRET + "\n")
    path.chmod(0o600)
    return path


@pytest.mark.parametrize("runner", RUNNERS)
def test_round_trip(tmp_path, runner):
    key, document = tmp_path / "key", tmp_path / "signed.json"
    made = run("keygen", "--out", key, runner=runner, umask=0)  # no umask to help: the mode is set, not inherited
    secret = key.read_text()
    assert stat.S_IMODE(key.stat().st_mode) == 0o600 and re.fullmatch(r"[0-9a-f]{64}\n", secret)
    engine = did_vek.DIDEngine.from_secret_key(secret.strip())
    did = engine.create_did_from_key()
    assert made.out == f"public key: {engine.public_key}\nDID: {did}\n" and secret.strip() not in made.out + made.err
    assert (run("did", "--key", key, runner=runner).out, run("public-key", "--key", key, runner=runner).out) == (
        did + "\n", engine.public_key + "\n")

    document.write_text(run("issue", "--key", key, runner=runner).out)
    assert did_vek.verify_document(document.read_text(), did=did).key_derived
    summary = f"valid: {did}, public key {engine.public_key}, key-derived DID\n"
    assert run("verify", document, "--did", did, runner=runner).out == summary
    assert run("verify", stdin=document.read_bytes(), runner=runner).out == summary
    tampered = document.read_text().replace('"updated": "2', '"updated": "3')
    failed = run("verify", "-", stdin=tampered.encode(), runner=runner)
    assert (failed.status, failed.err) == (1, "did-vek verify: <stdin>: invalid: proof.proofValue does not verify: "
                                              "the document is not what its key signed\n")


def test_keygen_keeps_an_existing_file_unless_forced(tmp_path):
    path = tmp_path / "key"
    path.write_text("old\n")
    path.chmod(0o644)
    refused = run("keygen", "--out", path)
    assert (refused.status, path.read_text(), refused.err) == (2, "old\n", f"did-vek keygen: {path} exists; give --force to replace it\n")
    forced = run("keygen", "--out", path, "--force")
    assert forced.status == 0 and re.fullmatch(r"[0-9a-f]{64}\n", path.read_text())
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and os.listdir(tmp_path) == ["key"]  # no temporary left


def test_keygen_to_stdout_only_when_asked():
    made = run("keygen", "--out", "-")
    assert re.fullmatch(r"[0-9a-f]{64}\n", made.out)
    assert made.err == f"public key: {did_vek.DIDEngine.from_secret_key(made.out.strip()).public_key}\nDID: " + \
        did_vek.DIDEngine.from_secret_key(made.out.strip()).create_did_from_key() + "\n"


@pytest.mark.parametrize("where", ["missing/key", "."])
def test_keygen_where_no_file_can_be_made(tmp_path, where):
    assert run("keygen", "--out", tmp_path / where).status == 2


@pytest.mark.parametrize("mode", [0o640, 0o604, 0o644, 0o620, 0o602, 0o700 | 0o060])
@pytest.mark.parametrize("command", [["did"], ["public-key"], ["issue"], ["sign", "--message", "m"]])
def test_key_files_open_to_others_are_refused(key, mode, command):
    key.chmod(mode)
    refused = run(command[0], "--key", key, *command[1:])
    assert refused.status == 2 and str(key) in refused.err and f"chmod 600 {key}" in refused.err


@pytest.mark.parametrize("content, status", [
    (f"  \n\t{SECRET.upper()}\r\n\n", 0), (SECRET, 0), ("", 2), (SECRET[:-1], 2), (SECRET + "0", 2), (SECRET + " x", 2),
    (f"secret={SECRET}", 2), (SECRET[:32] + " " + SECRET[32:], 2), (SECRET + "\n" * 5000, 2)])
def test_key_file_content(key, content, status):
    key.write_text(content)
    result = run("public-key", "--key", key)
    assert (result.status, result.out) == (status, PUBLIC + "\n" if status == 0 else "")
    assert SECRET not in result.err and SECRET[:32] not in result.err  # a near-secret is never echoed


@pytest.mark.parametrize("make", [lambda path: None, lambda path: path.mkdir(mode=0o700),
                                  lambda path: os.mkfifo(path, 0o600)], ids=["missing", "directory", "fifo"])
def test_key_paths_that_are_not_key_files(tmp_path, make):
    make(tmp_path / "key")
    assert str(tmp_path / "key") in run("did", "--key", tmp_path / "key").err


@pytest.mark.parametrize("did, status", [(None, 0), ("did:vek:chosen", 0), ("did:vek:", 2), ("did:web:x", 2),
                                         (KEY_DID + " ", 2)])
def test_issue(key, did, status):
    result = run("issue", "--key", key, *([] if did is None else ["--did", did]))
    assert result.status == status
    if status == 0:
        verified = did_vek.verify_document(result.out, did=did or KEY_DID)
        assert (verified.public_key, verified.key_derived) == (PUBLIC, did is None)


def test_verify_inputs(tmp_path):
    signed, other = tmp_path / "signed.json", ENGINE.create_document("did:vek:chosen")
    signed.write_text(ENGINE.create_document(KEY_DID))
    (tmp_path / "latin-1").write_bytes(b"\xe9")
    cases = [  # arguments, stdin, status, the start of stdout or stderr
        ([signed], b"", 0, f"valid: {KEY_DID}"), (["-"], other.encode(), 0, "valid: did:vek:chosen, public key "
                                                                               f"{PUBLIC}, DID not derived from the key"),
        ([signed, "--did", "did:vek:chosen"], b"", 1, f'did-vek verify: {signed}: invalid: the document is for "{KEY_DID}"'),
        ([], b"", 1, "did-vek verify: <stdin>: invalid: not JSON"),
        ([tmp_path / "latin-1"], b"", 1, f"did-vek verify: {tmp_path / 'latin-1'} is not UTF-8 text (byte 0)"),
        ([tmp_path / "missing"], b"", 2, f"did-vek verify: cannot read document {tmp_path / 'missing'}"),
        ([tmp_path], b"", 2, f"did-vek verify: cannot read document {tmp_path}"),
        (["--did", b"did:vek:\xff"], b"", 2, "did-vek verify: argument --did: not valid UTF-8")]
    for arguments, stdin, status, start in cases:
        result = run("verify", *arguments, stdin=stdin)
        assert (result.status, (result.out or result.err)[:len(start)]) == (status, start)


def test_verify_json(tmp_path):
    text = ENGINE.create_document(KEY_DID)
    fields = dataclasses.asdict(did_vek.verify_document(text))
    del fields["document"]
    assert json.loads(run("verify", "--json", stdin=text.encode()).out) == fields


@pytest.mark.parametrize("message", ["line\n", "", "é and 😀\r\n", "\x00"])
def test_sign_and_check_message_files_exactly_as_read(tmp_path, key, message):
    (tmp_path / "message").write_bytes(message.encode())
    signature = ENGINE.sign(message)
    assert run("sign", "--key", key, "--message-file", tmp_path / "message").out == signature + "\n"
    assert run("sign", "--key", key, "--message-file", "-", stdin=message.encode()).out == signature + "\n"
    check = ["check-signature", "--public-key", PUBLIC.upper(), "--signature", signature]
    assert run(*check, "--message-file", tmp_path / "message").status == 0
    assert run(*check, "--message-file", "-", stdin=message.encode() + b" ").status == 1


SIGNATURE = ENGINE.sign("hello")


@pytest.mark.parametrize("arguments, stdin, status", [
    (["--public-key", PUBLIC, "--signature", SIGNATURE, "--message", "hello"], b"", 0),
    (["--public-key", PUBLIC, "--signature", SIGNATURE.upper(), "--message-file", "-"], b"hello", 0),
    (["--public-key", PUBLIC, "--signature", SIGNATURE, "--message", "hello!"], b"", 1),
    (["--public-key", "00" * 32, "--signature", SIGNATURE, "--message", "hello"], b"", 1),
    (["--public-key", PUBLIC[:-1], "--signature", SIGNATURE, "--message", "hello"], b"", 1),
    (["--public-key", PUBLIC, "--signature", "zz", "--message", "hello"], b"", 1),
    (["--public-key", PUBLIC, "--signature", SIGNATURE, "--message-file", "-"], b"\xff", 2),
    (["--public-key", PUBLIC, "--signature", SIGNATURE, "--message", "hello", "--message-file", "-"], b"hello", 2),
    (["--public-key", PUBLIC, "--signature", SIGNATURE], b"", 2),
    (["--public-key", PUBLIC, "--signature", SIGNATURE, "--message", b"\xff"], b"", 2)])
def test_check_signature(arguments, stdin, status):
    assert run("check-signature", *arguments, stdin=stdin).status == status


def test_sign_refuses_a_message_file_that_is_not_utf8(tmp_path, key):
    (tmp_path / "message").write_bytes(b"ok \xc3\x28")
    assert run("sign", "--key", key, "--message-file", tmp_path / "message").err == (
        f"did-vek sign: message file {tmp_path / 'message'} is not UTF-8 text (byte 3)\n")


def test_build_keeps_the_order_of_interleaved_options():
    did = "did:vek:x"
    result = run("build", did, "--talvo-service", "t", "--method", "k2", "22", "--service", "s", "T", "e",
                 "--controller", "did:vek:c", "--authentication", "k2", "--method", "k1", "11", "--consent-service",
                 "c", "--assertion-method", "k1", "--authentication", "k1")
    builder = did_vek.DIDDocumentBuilder(did)
    builder.add_talvo_service("t"), builder.add_verification_method("k2", "22"), builder.add_service("s", "T", "e")
    builder.set_controller("did:vek:c"), builder.add_authentication("k2"), builder.add_verification_method("k1", "11")
    builder.add_consent_service("c"), builder.add_assertion_method("k1"), builder.add_authentication("k1")
    assert TIMESTAMP.sub("T", result.out) == TIMESTAMP.sub("T", builder.build()) + "\n"


@pytest.mark.parametrize("arguments, status, out", [
    (["build", "did:vek:"], 2, ""), (["build", "did:vek:x", "--method", "k1"], 2, ""),
    (["parse", "did:vek:a:b"], 0, "method: vek\nidentifier: a:b\n"), (["parse", "did:web:"], 0, "method: web\nidentifier: \n"),
    (["parse", "did:vek"], 1, ""), (["validate", "did:vek:A-b.c_9"], 0, "valid: did:vek:A-b.c_9\n"),
    (["validate", "did:vek:a b"], 1, ""), (["validate", "did:vek:\n"], 1, ""), (["validate", b"did:vek:\xff"], 2, ""),
    ([], 2, ""), (["nope"], 2, ""), (["keygen"], 2, ""), (["verify", "--bogus"], 2, ""), (["--help"], 0, "usage:")])
def test_exit_status(arguments, status, out):
    result = run(*arguments)
    assert result.status == status and result.out.startswith(out) and (status == 0 or result.out == "")
