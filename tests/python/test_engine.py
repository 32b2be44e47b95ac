# DIDEngine: key material, signing and verification, key-derived DIDs.
import hashlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import did_vek_core as m
from conftest import LONG, PUBLIC, RFC8032, SECRET, SIG1

E = m.DIDEngine
L, P = 2**252 + 27742317777372353535851937790883648493, 2**255 - 19  # group order, field prime
ENGINE, OTHER = E.from_secret_key(SECRET), E()
S_PLUS_L = SIG1[:64] + (int.from_bytes(bytes.fromhex(SIG1[64:]), "little") + L).to_bytes(32, "little").hex()


def le(number):
    return number.to_bytes(32, "little").hex()


@pytest.mark.parametrize("vector", RFC8032, ids=[v["name"] for v in RFC8032])
def test_rfc8032_vectors(vector):
    secret, key = vector["secret_key"], vector["public_key"]
    engines = [E.from_secret_key(secret_hex=text) for text in (secret, secret.upper(), secret[:9] + secret[9:].upper())]
    did = "did:vek:" + hashlib.sha256(bytes.fromhex(key)).hexdigest()[:16]
    assert {(e.public_key, e.public_key_multibase, e.create_did_from_key()) for e in engines} == {(key, "f" + key, did)}
    if vector["name"] in ("TEST 1", "TEST 2"):  # the only messages that are text; the C++ tests sign the others
        assert engines[0].sign(message=bytes.fromhex(vector["message"]).decode()) == vector["signature"]


@pytest.mark.parametrize("secret, message", [
    *[(s, "Invalid hex string") for s in ["0" * 63, "0" * 65, "0x" + "0" * 62, "0" * 31 + "  " + "0" * 31, "é" * 32]],
    *[(s, "Secret key must be 32 bytes") for s in ["", "0" * 62, "0" * 66, "ab" * 1000]]])
def test_bad_secrets(secret, message):
    assert pytest.raises(ValueError, E.from_secret_key, secret).value.args == (message,)


def test_create_did_takes_any_text_and_fresh_keys_differ():
    assert [ENGINE.create_did(id=text) for text in ("", "abc", "did:vek:x", "é x/#\x00")] == [
        "did:vek:", "did:vek:abc", "did:vek:did:vek:x", "did:vek:é x/#\x00"]
    assert len({E().create_did_from_key() for _ in range(8)} | {OTHER.create_did_from_key()}) == 9


@pytest.mark.parametrize("message, signature, key, expected", [
    ("", SIG1, PUBLIC, True), ("", SIG1.upper(), PUBLIC.upper(), True), (" ", SIG1, PUBLIC, False),
    ("\x00", SIG1, PUBLIC, False), ("", S_PLUS_L, PUBLIC, False),
    *[("", (int(SIG1, 16) ^ 1 << bit).to_bytes(64).hex(), PUBLIC, False) for bit in (0, 7, 100, 255, 256, 300, 511)],
    *[("", text, PUBLIC, False) for text in (SIG1[:127], SIG1[:126], SIG1 + "00", SIG1[:-1] + "g", "0x" + SIG1[2:])],
    *[("", SIG1, key, False) for key in (RFC8032[1]["public_key"], PUBLIC[:62], PUBLIC + "00", PUBLIC[:63], "",
                                         "g" + PUBLIC[1:], le(2))],  # y = 2 is no point of the curve
    # The neutral point as key, in its three encodings, with R = the neutral point and S = 0: any message
    # verifies; a non-canonical encoding of R never does, R being compared as bytes.
    *[(text, le(1) + le(0), key, True) for key in (le(1), le(1 | 1 << 255), le(P + 1)) for text in ("", "any\x00é")],
    *[("", r + le(0), le(1), False) for r in (le(P + 1), le(1 | 1 << 255))]])
def test_verify(message, signature, key, expected):
    assert E.verify_with_key(message=message, signature=signature, public_key=key) is expected
    if key.lower() == PUBLIC:
        assert ENGINE.verify(signature=signature, message=message) is expected


@pytest.mark.skipif(not LONG, reason="set DID_VEK_LONG_TESTS=1")
@pytest.mark.parametrize("unit", ["a", "é", "😀"], ids=["ascii", "2-byte", "4-byte"])
def test_hundred_megabyte_message(unit):
    message = unit * (100 * 2**20 // len(unit.encode()))
    signature = ENGINE.sign(message)
    assert ENGINE.verify(message, signature) and E.verify_with_key(message, signature, PUBLIC)
    assert not ENGINE.verify(message[:-1] + "b", signature)


@given(st.text(), st.text())
def test_verify_agrees_with_verify_with_key(message, other):
    signature = OTHER.sign(message)
    assert signature == OTHER.sign(message) and len(signature) == 128
    for text, sig in ((message, signature), (other, signature), (message, ENGINE.sign(message))):
        expected = text == message and sig == signature
        assert OTHER.verify(text, sig) is E.verify_with_key(text, sig, OTHER.public_key) is expected
