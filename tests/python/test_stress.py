# Threads sharing one engine and one builder: no call fails that should not, no entry is lost.
import json
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import did_vek_core as m
from conftest import ticks_during

THREADS, ADDITIONS, DID = 8, 1000, "did:vek:s"


def test_threads_share_one_engine_and_one_builder():
    engine, builder, interval = m.DIDEngine(), m.DIDDocumentBuilder(DID), sys.getswitchinterval()

    def work(thread):
        for n in range(ADDITIONS):
            tag = f"{thread}-{n}"
            (builder.add_assertion_method if n % 2 else builder.add_authentication)(tag)
            if n % 4 == 0:  # the engine's work, controller changes, other entries, builds and failing calls in between
                signature = engine.sign(tag)
                assert engine.verify(tag, signature) and m.DIDEngine.verify_with_key(tag, signature, engine.public_key)
                assert json.loads(engine.create_document(DID))["proof"]["verificationMethod"] == DID + "#key-1"
                builder.set_controller(tag), builder.add_verification_method("k", "00")
                pytest.raises(TypeError, engine.sign, b"m"), pytest.raises(TypeError, builder.add_service, "s", 5, "e")
            if n % 100 == 0:
                json.loads(builder.build())

    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        with ThreadPoolExecutor(THREADS) as pool:
            assert list(pool.map(work, range(THREADS))) == [None] * THREADS
    finally:
        sys.setswitchinterval(interval)
    document = json.loads(builder.build())
    assert "service" not in document and len(document["verificationMethod"]) * 4 == THREADS * ADDITIONS
    for name, first in (("authentication", 0), ("assertionMethod", 1)):  # each thread's entries, all, once, in order
        for thread in range(THREADS):
            mine = [reference for reference in document[name] if reference.startswith(f"{DID}#{thread}-")]
            assert mine == [f"{DID}#{thread}-{n}" for n in range(first, ADDITIONS, 2)]


# Genuine, wrong and exotic signatures, short and 1 MB: the neutral-point key is answered
# by the exact path, the engine's key by libsodium.
NEUTRAL_KEY, NEUTRAL_SIGNATURE = "01" + "00" * 31, "01" + "00" * 63
MEGABYTE = "é" * 2**19


def test_threads_share_one_engine_for_every_kind_of_answer():
    engine, rounds = m.DIDEngine(), 40
    cases = []
    for message in ("short", MEGABYTE):
        signature = engine.sign(message)
        wrong = ("0" if signature[0] != "0" else "1") + signature[1:]  # one digit of R changed
        cases += [(message, signature, True), (message, wrong, False), (message + "!", signature, False)]

    def work(thread):
        for n in range(rounds):
            message, signature, answer = cases[(thread + n) % len(cases)]
            assert engine.verify(message, signature) is answer
            assert m.DIDEngine.verify_with_key(message, signature, engine.public_key) is answer
            assert m.DIDEngine.verify_with_key(f"{thread}-{n}", NEUTRAL_SIGNATURE, NEUTRAL_KEY) is True
            assert m.DIDEngine.verify_with_key("", NEUTRAL_SIGNATURE[:-2] + "01", NEUTRAL_KEY) is False
            if n % 8 == 0:
                if answer:
                    assert engine.sign(message) == signature
                document = json.loads(engine.create_document(DID))
                assert document["document"]["verificationMethod"][0]["publicKeyHex"] == engine.public_key
        return thread

    with ThreadPoolExecutor(THREADS) as pool:
        assert list(pool.map(work, range(THREADS))) == list(range(THREADS))


def test_other_threads_run_while_a_long_signature_is_made():
    engine, message = m.DIDEngine(), "a" * 20 * 2**20

    def sign_and_verify():
        signature = engine.sign(message)
        assert engine.verify(message, signature)

    assert ticks_during(sign_and_verify) > 5
