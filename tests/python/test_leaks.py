# Every entry point and failing path, called many times over: resident memory stays put, and every
# object handed in (and the receivers and classes) ends with the reference count it started with.
import gc
import os
import sys
from contextlib import nullcontext

import pytest

import did_vek_core as m
from conftest import LONG, SECRET, UNDER_ASAN, sequence

E, B = m.DIDEngine, m.DIDDocumentBuilder
S, DID, MSG, KEY, BAD, LONE, DATA = SECRET, "did:vek:leak", "message", "key-1", "not a did", "a\ud800", b"did:vek:x"
ENGINE, BUILDER, PARTS, BAD_PARTS, MIXED = E.from_secret_key(S), B(DID), [KEY, MSG], [KEY, BAD], [KEY, 7]
SIG, PUB = ENGINE.sign(MSG), ENGINE.public_key
NO_LENGTH, NO_ITER = sequence(lambda: iter(PARTS), lambda: 1 // 0), sequence(lambda: 1 // 0)
WATCHED = [E, B, *(value for name, value in globals().items() if name.isupper())]  # and every object named above
CASES = {  # the exception raised: the calls that raise it
    None: ["E()", "E.from_secret_key(secret_hex=S)", "ENGINE.public_key", "ENGINE.public_key_multibase",
           "ENGINE.create_did(KEY)", "ENGINE.create_did_from_key()", "ENGINE.sign(MSG)", "ENGINE.verify(MSG, SIG)",
           "ENGINE.verify(DID, SIG)", "ENGINE.verify(MSG, BAD)", "E.verify_with_key(MSG, SIG, PUB)",
           "ENGINE.create_document(DID)", "B(did=DID)", "B(DID).set_controller(DID)",
           "B(DID).add_authentication(KEY)", "B(DID).add_verification_method(KEY, PUB)",
           "B(DID).add_assertion_method(KEY)", "B(DID).add_consent_service(MSG)",
           "B(DID).add_service(endpoint=MSG, service_type=KEY, service_id=KEY)", "B(DID).add_talvo_service(MSG)",
           "BUILDER.build()", "m.parse_did_py(DID)", "m.parse_did_py(BAD)", "m.is_valid_did_py(DID)",
           "m.create_did_py(PARTS)", "m.create_did_py(NO_LENGTH)"],
    TypeError: ["E(DID)", "E.from_secret_key(DATA)", "ENGINE.create_did(KEY, id=KEY)", "ENGINE.create_did(x=KEY)",
                "E.sign(BUILDER, MSG)", "E.verify_with_key(MSG, SIG)", "BUILDER.add_talvo_service(DATA)",
                "BUILDER.add_service(KEY, KEY, MSG, KEY)", "B.build(ENGINE)", "m.create_did_py(DID)",
                "m.create_did_py(7)", "m.create_did_py(MIXED)"],
    ValueError: ["E.from_secret_key(BAD)", "E.from_secret_key(S[:62])", "ENGINE.create_document(BAD)", "B(BAD)",
                 "m.create_did_py(BAD_PARTS)", "m.create_did_py([])"],
    UnicodeEncodeError: ["E.from_secret_key(LONE)", "B(LONE)", "BUILDER.add_assertion_method(LONE)",
                         "m.create_did_py([LONE])"],
    ZeroDivisionError: ["m.create_did_py(NO_ITER)"],
}


def resident():
    return os.sysconf("SC_PAGE_SIZE") * int(open("/proc/self/statm").read().split()[1])


@pytest.mark.parametrize("expression, expected", [(call, error) for error, calls in CASES.items() for call in calls])
def test_no_memory_or_reference_kept(expression, expected):
    def repeat(count):
        for _ in range(count):
            with pytest.raises(expected) if expected else nullcontext():
                call()

    call, count = eval("lambda: " + expression), 100_000 if LONG else 2_000
    repeat(count // 10)  # caches, free lists and arenas settle
    gc.collect()
    references, before = [sys.getrefcount(obj) for obj in WATCHED], resident()
    repeat(count)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in WATCHED] == references
    assert UNDER_ASAN or resident() - before < 1 << 20, f"resident memory grew by 1 MiB or more over {count} calls"
