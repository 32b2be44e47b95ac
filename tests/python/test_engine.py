"""DIDEngine: key material, signing and verification, key-derived DIDs."""
import hashlib
import re
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given
from hypothesis import strategies as st

import did_vek_core as m
from conftest import RFC8032, TEST1, utf8_text

E = m.DIDEngine
L, P = 2**252 + 27742317777372353535851937790883648493, 2**255 - 19  # group order, field prime


def le(number):
    return number.to_bytes(32, "little").hex()


def flip(signature, bit):
    raw = bytearray.fromhex(signature)
    raw[bit // 8] ^= 1 << (bit % 8)
    return raw.hex()


# The neutral point (y = 1, x = 0) as key; R = its canonical encoding and S = 0 verify any message.
NEUTRAL_KEY, NEUTRAL_SIGNATURE = le(1), le(1) + le(0)
SIG1, KEY1 = TEST1["signature"], TEST1["public_key"]
S1 = int.from_bytes(bytes.fromhex(SIG1[64:]), "little")


@pytest.mark.parametrize("vector", RFC8032, ids=[v["name"] for v in RFC8032])
def test_rfc8032_vectors_and_key_did(vector):
    secret, key, message = vector["secret_key"], vector["public_key"], utf8_text(vector["message"])
    mixed = "".join(c.upper() if i % 3 else c for i, c in enumerate(secret))
    engines = [E.from_secret_key(s) for s in (secret, secret.upper(), mixed)]
    assert {(e.public_key, e.public_key_multibase) for e in engines} == {(key, "f" + key)}
    digest = hashlib.sha256(bytes.fromhex(key)).hexdigest()
    assert {e.create_did_from_key() for e in engines} == {"did:vek:" + digest[:16]}
    assert m.is_valid_did_py(engines[0].create_did_from_key()) is True
    # Only TEST 1 and TEST 2 have messages that are UTF-8 text; the C++ tests sign the others.
    if message is not None:
        assert engines[0].sign(message) == vector["signature"]


@pytest.mark.parametrize(
    "secret, message",
    [(s, "Invalid hex string") for s in ["0" * 63, "0" * 65, "0x" + "0" * 62, "0" * 31 + " " + "0" * 32, "0" * 63 + "g",
                                         "+" + "0" * 63, "é" + "0" * 63, "ä" + "0" * 62]]
    + [(s, "Secret key must be 32 bytes") for s in ["", "0" * 62, "0" * 66, "ab" * 1000]],
)
def test_bad_secrets(secret, message):
    with pytest.raises(ValueError) as info:
        E.from_secret_key(secret)
    assert (type(info.value), info.value.args) == (ValueError, (message,))


def test_fresh_engines():
    engines = [E() for _ in range(16)]
    for engine in engines:
        digest = hashlib.sha256(bytes.fromhex(engine.public_key)).hexdigest()
        assert re.fullmatch("[0-9a-f]{64}", engine.public_key) and engine.public_key_multibase[1:] == engine.public_key
        assert engine.public_key_multibase[0] == "f"
        assert engine.create_did_from_key() == "did:vek:" + digest[:16]
    assert len({e.public_key for e in engines}) == len({e.sign("m") for e in engines}) == 16


def test_signing_covers_the_whole_text(engine):
    messages = ["", "\x00", "a", "a\x00", "a\x00b", "a\x00c", "é", "e\u0301"]
    signatures = [engine.sign(message) for message in messages]
    assert signatures == [engine.sign(message) for message in messages]  # deterministic
    assert len(set(signatures)) == len(messages)
    assert [engine.verify(text, signature) for text in messages for signature in signatures] == [
        a == b for a in messages for b in messages]


@pytest.mark.parametrize(
    "message, signature, expected",
    [("", SIG1, True), ("", SIG1.upper(), True), ("", SIG1[:64] + SIG1[64:].upper(), True), (" ", SIG1, False),
     ("\x00", SIG1, False), ("", SIG1[:64] + le(S1 + L), False), ("", SIG1[:64] + le(L), False),
     *[("", flip(SIG1, bit), False) for bit in (0, 7, 100, 254, 255, 256, 300, 509, 511)],
     *[("", text, False) for text in (SIG1[:127], SIG1[:126], SIG1 + "00", "", SIG1[:-1] + "g", " " + SIG1[1:],
                                      "0x" + SIG1[2:])]],
)
def test_verify(message, signature, expected):
    engine = E.from_secret_key(TEST1["secret_key"])
    assert engine.verify(message, signature) is expected
    assert E.verify_with_key(message, signature, KEY1) is expected
    assert E.verify_with_key(message, signature, KEY1.upper()) is expected


@pytest.mark.parametrize(
    "key", [RFC8032[1]["public_key"], KEY1[:62], KEY1 + "00", KEY1[:63], "", KEY1[:-1] + "g", le(2)]  # y = 2: no point
)
def test_verify_with_a_wrong_key(key):
    assert E.verify_with_key("", SIG1, key) is False


@pytest.mark.parametrize("key", [NEUTRAL_KEY, le(1 | 1 << 255), le(P + 1)], ids=["canonical", "sign-bit", "p+1"])
@pytest.mark.parametrize("message", ["", "any message", "\x00é"])
def test_neutral_point_key(key, message):
    assert E.verify_with_key(message, NEUTRAL_SIGNATURE, key) is True
    assert E.verify_with_key(message, NEUTRAL_SIGNATURE.upper(), key.upper()) is True
    # R is compared as bytes: non-canonical encodings of the same point never match.
    assert not any(E.verify_with_key(message, r + le(0), key) for r in (le(P + 1), le(1 | 1 << 255)))


ENGINE, OTHER = E(), E()


@given(st.text(), st.text())
def test_verify_agrees_with_verify_with_key(message, other):
    signature = ENGINE.sign(message)
    assert re.fullmatch("[0-9a-f]{128}", signature)
    for text, sig in ((message, signature), (other, signature), (message, OTHER.sign(message))):
        expected = text == message and sig == signature
        assert ENGINE.verify(text, sig) is E.verify_with_key(text, sig, ENGINE.public_key) is expected
    assert E.verify_with_key(message, signature, OTHER.public_key) is False


@pytest.mark.parametrize(
    "id_, did",
    [("", "did:vek:"), ("abc", "did:vek:abc"), ("did:vek:abc", "did:vek:did:vek:abc"), ("é:ü x/#", "did:vek:é:ü x/#"),
     ("a\x00b", "did:vek:a\x00b")],
)
def test_create_did(engine, id_, did):
    assert engine.create_did(id_) == did


def test_threads_share_one_engine():
    engine = E()
    did = engine.create_did_from_key()

    def work(thread):
        for message in (f"thread {thread} message {i}" for i in range(200)):
            signature = engine.sign(message)
            assert engine.verify(message, signature) and not engine.verify(message + "!", signature)
            assert E.verify_with_key(message, signature, engine.public_key) and engine.create_did_from_key() == did
            assert E.verify_with_key(message, NEUTRAL_SIGNATURE, NEUTRAL_KEY)  # the slower, exact path
        return thread

    with ThreadPoolExecutor(max_workers=8) as pool:
        assert list(pool.map(work, range(8))) == list(range(8))
