# Every answer of the add-checkpoint protocol, in the order the witness judges them, and its
# cosignature against one computed here by hand.
import base64
import hashlib

import pytest
from starlette.testclient import TestClient

from conftest import PUBLIC, SECRET
from did_vek import DIDEngine
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import Signer, Verifier, parse_note, verify_note
from did_vek.tlog.policy import parse_policy
from did_vek.witness import Held, Witness, WitnessState
from did_vek.witness.app import create_app
from witness_logs import ORIGIN, Log, request_body

NAME = "witness.example/w1"
NOW = 1_700_000_000
LOG = Log(40)
OTHER = Log(40, origin="other.example/log")
IMPOSTOR = Log(40, signer=Signer(ORIGIN, DIDEngine()))  # the log's origin, another key
FORK = LOG.fork(5, 40)
FLIPPED = [bytes([LOG.proof(10, 20)[0][0] ^ 1]) + LOG.proof(10, 20)[0][1:], *LOG.proof(10, 20)[1:]]
ALTERED = LOG.signed(20).replace("\n20\n", "\n21\n")  # the log's signature over another size


@pytest.fixture
def witness(tmp_path):
    state = WitnessState(str(tmp_path / "witness.sqlite3"))
    running = Witness(NAME, DIDEngine.from_secret_key(SECRET), [LOG.signer.verifier], state, clock=lambda: NOW)
    with TestClient(create_app(running)) as client:
        yield running, state, client
    state.close()


def hold(client, size):
    if size:
        assert client.post("/add-checkpoint", content=LOG.body(0, size)).status_code == 200


@pytest.mark.parametrize("held, body, status, detail", [
    (10, OTHER.body(0, 20), 404, "not a log this witness knows"),
    (10, request_body("x", [], OTHER.signed(20)), 404, "not a log this witness knows"),
    (10, IMPOSTOR.body(10, 20), 403, "no signature of a known log key"),
    (10, LOG.body(10, 20, signed=ALTERED), 403, "does not verify"),
    (10, request_body(30, [], IMPOSTOR.signed(20)), 403, "no signature"),
    (10, request_body(25, [], LOG.signed(20)), 400, "above the checkpoint's size 20"),
    (10, b"old 10\n\xff\n\n" + LOG.signed(20).encode(), 400, "not UTF-8"),
    (10, b"old 10\n", 400, "no blank line"),
    (10, request_body("010", LOG.proof(10, 20), LOG.signed(20)), 400, "leading zeros"),
    (10, LOG.body(10, 20).replace(b"old ", b"size "), 400, "old <size>"),
    (10, LOG.body(10, 20).replace(b"=\n", b"\n", 1), 400, "proof line 1"),
    (10, request_body(10, LOG.proof(10, 20) * 16, LOG.signed(20)), 400, "more than 63"),
    (10, b"old 0\n\nhello\n\n\xe2\x80\x94 x AAAAAAA=\n", 400, "an origin, a size and a root"),
    (10, LOG.body(5, 20), 409, None),
    (10, LOG.body(0, 20), 409, None),
    (10, LOG.body(10, 20, proof=FLIPPED), 422, "consistency proof"),
    (10, LOG.body(10, 20, proof=FORK.proof(10, 20)), 422, "consistency proof"),
    (10, LOG.body(10, 20, proof=LOG.proof(10, 20)[1:]), 422, "shorter"),
    (10, FORK.body(10, 10), 422, "different roots"),
    (0, LOG.body(0, 20, proof=LOG.proof(10, 20)), 422, "must be empty"),
    (0, request_body(0, [], Checkpoint(ORIGIN, 0, bytes(32)).sign(LOG.signer)), 422, "different roots"),
    (0, LOG.body(0, 20), 200, None),
    (0, request_body(0, [], LOG.signed(0)), 200, None),
    (10, LOG.body(10, 20), 200, None),
    (10, LOG.body(10, 10), 200, None),
    (10, LOG.body(10, 40, signed=LOG.signed(40).removesuffix("\n") + "\n" + OTHER.signer.sign("x\n").line), 200, None),
])
def test_each_answer_and_what_the_witness_holds_after_it(witness, held, body, status, detail):
    running, state, client = witness
    hold(client, held)
    answer = client.post("/add-checkpoint", content=body)
    assert answer.status_code == status, answer.text
    if status == 200:
        assert answer.headers["content-type"] == "text/plain; charset=utf-8"
        note = parse_note(body.decode().split("\n\n", 1)[1] + answer.text)
        checkpoint = Checkpoint.parse(note.text)
        assert state.held(ORIGIN) == Held(checkpoint.size, checkpoint.root)
        [verified] = verify_note(note, [Verifier.from_vkey(running.vkey)])
        assert verified.timestamp == NOW
        return
    assert state.held(ORIGIN).size == held  # a refusal leaves the held checkpoint as it was
    if status == 409:
        assert answer.headers["content-type"] == "text/x.tlog.size"
        assert answer.content == b"%d\n" % held
    else:
        assert answer.headers["content-type"] == "application/problem+json"
        assert answer.json()["status"] == status and detail in answer.json()["detail"]


def test_the_cosignature_as_computed_by_hand(witness):
    running, _, client = witness
    signed = LOG.signed(20)
    answer = client.post("/add-checkpoint", content=LOG.body(0, 20, signed=signed))
    text = signed.split("\n\n")[0] + "\n"
    key_id = hashlib.sha256(NAME.encode() + b"\n\x04" + bytes.fromhex(PUBLIC)).digest()[:4]
    signature = bytes.fromhex(DIDEngine.from_secret_key(SECRET).sign(f"cosignature/v1\ntime {NOW}\n{text}"))
    assert answer.text == f"— {NAME} {base64.b64encode(key_id + NOW.to_bytes(8, 'big') + signature).decode()}\n"
    assert running.vkey == f"{NAME}+{key_id.hex()}+{base64.b64encode(b'\x04' + bytes.fromhex(PUBLIC)).decode()}"
    # A client's policy that requires this witness accepts the checkpoint with the line added.
    policy = parse_policy(f"log {LOG.vkey}\nwitness w1 {running.vkey}\nquorum w1\n")
    assert policy.check_checkpoint(signed + answer.text).checkpoint.size == 20


@pytest.mark.parametrize("method, path, body, status", [
    ("GET", "/add-checkpoint", None, 405),
    ("POST", "/add-checkpoints", b"", 404),
    ("POST", "/add-checkpoint", b"old 0\n" * 20_000, 413),
])
def test_other_requests_are_problem_reports(witness, method, path, body, status):
    answer = witness[2].request(method, path, content=body)
    assert answer.status_code == status
    assert answer.headers["content-type"] == "application/problem+json"
