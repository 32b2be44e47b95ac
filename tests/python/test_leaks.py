"""Every entry point, on its successful path and on each of its failing paths, called many
times over: the process's resident memory stays put and every object handed in (and the
receivers and classes) ends with the reference count it started with."""

import gc
import os
import sys

import pytest

import did_vek_core as vek

LONG = bool(os.environ.get("DID_VEK_LONG_TESTS"))
# The full count in CI (DID_VEK_LONG_TESTS=1); a tenth, and a hundredth for the calls
# that do elliptic-curve work, in the everyday run.
CALLS = 100_000 if LONG else 10_000
CRYPTO_CALLS = 100_000 if LONG else 1_000
RSS_LIMIT = 1 << 20
# ASan keeps freed memory in quarantine, so resident memory says nothing under it.
UNDER_ASAN = "libasan" in open("/proc/self/maps").read()


def fresh(text):
    """An equal str object of our own, shared with no constant or interned string."""
    middle = len(text) // 2
    return "".join([text[:middle], text[middle:]])


SECRET = fresh("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
ENGINE = vek.DIDEngine.from_secret_key(SECRET)
DID = fresh("did:vek:leak-check")
MESSAGE = fresh("a message to sign")
SIGNATURE = ENGINE.sign(MESSAGE)
OTHER_SIGNATURE = ENGINE.sign(fresh("another message"))
PUBLIC_KEY = ENGINE.public_key
KEY_ID = fresh("key-1")
ENDPOINT = fresh("https://service.example/endpoint")
SERVICE_TYPE = fresh("LinkedDomains")
BAD_DID = fresh("not a did")
BAD_HEX = fresh("zz" * 32)
SHORT_HEX = fresh("00" * 31)
LONE = fresh("ab\ud800cd")
DATA = b"did:vek:bytes"
PARTS = [fresh("part-one"), fresh("part-two")]
PARTS_TUPLE = tuple(PARTS)
BAD_PARTS = [fresh("ok-part"), fresh("bad part")]
MIXED_PARTS = [fresh("ok-part"), 7]
LONE_PARTS = [fresh("ok-part"), LONE]
EMPTY_PARTS = []
BUILDER = vek.DIDDocumentBuilder(DID)
BUILDER.set_controller(DID)
BUILDER.add_verification_method(KEY_ID, PUBLIC_KEY)
BUILDER.add_authentication(KEY_ID)
BUILDER.add_assertion_method(KEY_ID)
BUILDER.add_consent_service(ENDPOINT)


class Failure(Exception):
    pass


class NoLength:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise Failure("no length")

    def __getitem__(self, index):
        return self.items[index]


class NoIterator(NoLength):
    def __iter__(self):
        raise Failure("no iterator")


NO_LENGTH = NoLength(PARTS)
NO_ITERATOR = NoIterator(PARTS)

Builder = vek.DIDDocumentBuilder
Engine = vek.DIDEngine


def new_builder():
    return Builder(DID)


# (id, call, expected exception or None, uses elliptic-curve work)
CASES = [
    # DIDEngine
    ("engine-new", lambda: Engine(), None, True),
    ("engine-new-extra-arg", lambda: Engine(DID), TypeError, False),
    ("engine-new-keyword", lambda: Engine(did=DID), TypeError, False),
    ("from-secret-key", lambda: Engine.from_secret_key(SECRET), None, True),
    ("from-secret-key-keyword", lambda: Engine.from_secret_key(secret_hex=SECRET), None, True),
    ("from-secret-key-bad-hex", lambda: Engine.from_secret_key(BAD_HEX), ValueError, False),
    ("from-secret-key-short", lambda: Engine.from_secret_key(SHORT_HEX), ValueError, False),
    ("from-secret-key-bytes", lambda: Engine.from_secret_key(DATA), TypeError, False),
    ("from-secret-key-surrogate", lambda: Engine.from_secret_key(LONE), UnicodeEncodeError, False),
    ("from-secret-key-missing", lambda: Engine.from_secret_key(), TypeError, False),
    ("public-key", lambda: ENGINE.public_key, None, False),
    ("public-key-multibase", lambda: ENGINE.public_key_multibase, None, False),
    ("create-did", lambda: ENGINE.create_did(KEY_ID), None, False),
    ("create-did-none", lambda: ENGINE.create_did(None), TypeError, False),
    ("create-did-too-many", lambda: ENGINE.create_did(KEY_ID, KEY_ID), TypeError, False),
    ("create-did-unexpected-keyword", lambda: ENGINE.create_did(KEY_ID, other=KEY_ID), TypeError, False),
    ("create-did-twice", lambda: ENGINE.create_did(KEY_ID, id=KEY_ID), TypeError, False),
    ("create-did-from-key", lambda: ENGINE.create_did_from_key(), None, False),
    ("sign", lambda: ENGINE.sign(MESSAGE), None, True),
    ("sign-keyword", lambda: ENGINE.sign(message=MESSAGE), None, True),
    ("sign-bytes", lambda: ENGINE.sign(DATA), TypeError, False),
    ("sign-surrogate", lambda: ENGINE.sign(LONE), UnicodeEncodeError, False),
    ("sign-wrong-receiver", lambda: Engine.sign(BUILDER, MESSAGE), TypeError, False),
    ("verify", lambda: ENGINE.verify(MESSAGE, SIGNATURE), None, True),
    ("verify-wrong-signature", lambda: ENGINE.verify(MESSAGE, OTHER_SIGNATURE), None, True),
    ("verify-bad-hex", lambda: ENGINE.verify(MESSAGE, BAD_HEX), None, False),
    ("verify-int", lambda: ENGINE.verify(MESSAGE, 7), TypeError, False),
    ("verify-surrogate", lambda: ENGINE.verify(LONE, SIGNATURE), UnicodeEncodeError, False),
    ("verify-with-key", lambda: Engine.verify_with_key(MESSAGE, SIGNATURE, PUBLIC_KEY), None, True),
    ("verify-with-key-bad-key", lambda: Engine.verify_with_key(MESSAGE, SIGNATURE, BAD_HEX), None, False),
    ("verify-with-key-missing", lambda: Engine.verify_with_key(MESSAGE, SIGNATURE), TypeError, False),
    ("create-document", lambda: ENGINE.create_document(DID), None, True),
    ("create-document-invalid-did", lambda: ENGINE.create_document(BAD_DID), ValueError, False),
    ("create-document-bytes", lambda: ENGINE.create_document(DATA), TypeError, False),
    # DIDDocumentBuilder: a new builder per call, so that its entries are released again
    ("builder-new", new_builder, None, False),
    ("builder-new-invalid-did", lambda: Builder(BAD_DID), ValueError, False),
    ("builder-new-none", lambda: Builder(None), TypeError, False),
    ("builder-new-keyword", lambda: Builder(did=DID), None, False),
    ("builder-new-unexpected-keyword", lambda: Builder(DID, x=DID), TypeError, False),
    ("builder-new-surrogate", lambda: Builder(LONE), UnicodeEncodeError, False),
    ("set-controller", lambda: new_builder().set_controller(DID), None, False),
    ("add-verification-method", lambda: new_builder().add_verification_method(KEY_ID, PUBLIC_KEY), None, False),
    ("add-verification-method-int", lambda: BUILDER.add_verification_method(KEY_ID, 7), TypeError, False),
    ("add-authentication", lambda: new_builder().add_authentication(KEY_ID), None, False),
    ("add-authentication-wrong-receiver", lambda: Builder.add_authentication(ENGINE, KEY_ID), TypeError, False),
    ("add-assertion-method", lambda: new_builder().add_assertion_method(KEY_ID), None, False),
    ("add-assertion-method-surrogate", lambda: BUILDER.add_assertion_method(LONE), UnicodeEncodeError, False),
    ("add-service", lambda: new_builder().add_service(KEY_ID, SERVICE_TYPE, ENDPOINT), None, False),
    (
        "add-service-keywords",
        lambda: new_builder().add_service(endpoint=ENDPOINT, service_type=SERVICE_TYPE, service_id=KEY_ID),
        None,
        False,
    ),
    ("add-service-missing", lambda: BUILDER.add_service(KEY_ID, SERVICE_TYPE), TypeError, False),
    ("add-service-too-many", lambda: BUILDER.add_service(KEY_ID, KEY_ID, KEY_ID, KEY_ID), TypeError, False),
    ("add-service-twice", lambda: BUILDER.add_service(KEY_ID, SERVICE_TYPE, ENDPOINT, service_id=KEY_ID), TypeError, False),
    ("add-consent-service", lambda: new_builder().add_consent_service(ENDPOINT), None, False),
    ("add-talvo-service", lambda: new_builder().add_talvo_service(ENDPOINT), None, False),
    ("add-talvo-service-bytes", lambda: BUILDER.add_talvo_service(DATA), TypeError, False),
    ("build", lambda: BUILDER.build(), None, False),
    ("build-wrong-receiver", lambda: Builder.build(ENGINE), TypeError, False),
    # module functions
    ("parse-did", lambda: vek.parse_did_py(DID), None, False),
    ("parse-did-none-result", lambda: vek.parse_did_py(BAD_DID), None, False),
    ("parse-did-surrogate", lambda: vek.parse_did_py(LONE), UnicodeEncodeError, False),
    ("is-valid-did", lambda: vek.is_valid_did_py(DID), None, False),
    ("is-valid-did-false", lambda: vek.is_valid_did_py(BAD_DID), None, False),
    ("is-valid-did-bytes", lambda: vek.is_valid_did_py(DATA), TypeError, False),
    ("create-did-py-list", lambda: vek.create_did_py(PARTS), None, False),
    ("create-did-py-tuple", lambda: vek.create_did_py(PARTS_TUPLE), None, False),
    ("create-did-py-no-length", lambda: vek.create_did_py(NO_LENGTH), None, False),
    ("create-did-py-no-iterator", lambda: vek.create_did_py(NO_ITERATOR), Failure, False),
    ("create-did-py-str", lambda: vek.create_did_py(DID), TypeError, False),
    ("create-did-py-int", lambda: vek.create_did_py(7), TypeError, False),
    ("create-did-py-mixed", lambda: vek.create_did_py(MIXED_PARTS), TypeError, False),
    ("create-did-py-invalid-characters", lambda: vek.create_did_py(BAD_PARTS), ValueError, False),
    ("create-did-py-empty", lambda: vek.create_did_py(EMPTY_PARTS), ValueError, False),
    ("create-did-py-surrogate", lambda: vek.create_did_py(LONE_PARTS), UnicodeEncodeError, False),
]

# Everything whose count a leaking path would change.
WATCHED = [
    ENGINE, BUILDER, Engine, Builder, SECRET, DID, MESSAGE, SIGNATURE, OTHER_SIGNATURE, PUBLIC_KEY, KEY_ID,
    ENDPOINT, SERVICE_TYPE, BAD_DID, BAD_HEX, SHORT_HEX, LONE, DATA, PARTS, PARTS_TUPLE, BAD_PARTS,
    MIXED_PARTS, LONE_PARTS, EMPTY_PARTS, NO_LENGTH, NO_ITERATOR, *PARTS, *BAD_PARTS,
]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(call, expected, count):
    if expected is None:
        for _ in range(count):
            call()
        return
    for _ in range(count):
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError(f"{expected.__name__} not raised")


@pytest.mark.parametrize("call, expected, crypto", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_memory_or_reference_kept(call, expected, crypto):
    count = CRYPTO_CALLS if crypto else CALLS
    repeat(call, expected, max(count // 10, 100))  # caches, free lists and arenas settle
    gc.collect()
    references = [sys.getrefcount(obj) for obj in WATCHED]
    before = resident_bytes()
    repeat(call, expected, count)
    gc.collect()
    growth = resident_bytes() - before
    assert [sys.getrefcount(obj) for obj in WATCHED] == references
    if not UNDER_ASAN:
        assert growth < RSS_LIMIT, f"resident memory grew by {growth} bytes over {count} calls"
