"""Threads sharing one engine or one builder, switching as often as the interpreter allows:
no call fails that should not, every answer is right, and every entry added is in the
built document exactly once, in the order its thread added it."""

import collections
import json
import sys
import threading

import pytest

import did_vek_core as vek

THREADS = 8
OPERATIONS = 250  # per thread, on the engine
ADDITIONS = 600  # per thread, on the builder
DID = "did:vek:stress"


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(target, count=THREADS):
    """Runs target(index) on `count` threads released together; returns their exceptions."""
    start = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            start.wait()
            target(index)
        except BaseException as error:  # PanicException included
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def test_threads_share_one_engine():
    engine = vek.DIDEngine()
    public_key = engine.public_key
    did = engine.create_did_from_key()
    signatures = {}

    def work(index):
        for j in range(OPERATIONS):
            message = f"thread {index} message {j}"
            signature = engine.sign(message)
            signatures[message] = signature
            assert engine.verify(message, signature)
            assert not engine.verify(message + ".", signature)
            assert vek.DIDEngine.verify_with_key(message, signature, public_key)
            assert engine.create_did_from_key() == did
            document = json.loads(engine.create_document(did))
            assert document["document"]["verificationMethod"][0]["publicKeyHex"] == public_key
            assert document["proof"]["verificationMethod"] == did + "#key-1"
            if j % 10 == 0:  # a failing call in between disturbs no other
                with pytest.raises(TypeError):
                    engine.sign(b"bytes")

    assert run_threads(work) == []
    assert len(signatures) == THREADS * OPERATIONS
    # Deterministic signatures: the same as one thread alone computes.
    assert all(engine.sign(message) == signature for message, signature in signatures.items())


def test_threads_create_and_drop_engines():
    def work(index):
        for _ in range(OPERATIONS // 5):
            engine = vek.DIDEngine()
            copy = vek.DIDEngine.from_secret_key("0" * 63 + str(index))
            signature = engine.sign("m")
            assert vek.DIDEngine.verify_with_key("m", signature, engine.public_key)
            assert copy.public_key == vek.DIDEngine.from_secret_key("0" * 63 + str(index)).public_key

    assert run_threads(work) == []


def add_entries(builder, index, retry_on_conflict=False):
    """ADDITIONS entries from one thread, each tagged "<thread>-<n>", with controller
    changes and builds in between."""
    for n in range(ADDITIONS):
        tag = f"{index}-{n}"
        kind = n % 6
        calls = [
            lambda: builder.add_verification_method(f"key-{tag}", "00" * 32),
            lambda: builder.add_authentication(f"key-{tag}"),
            lambda: builder.add_assertion_method(f"key-{tag}"),
            lambda: builder.add_service(f"svc-{tag}", "LinkedDomains", f"https://e/{tag}"),
            lambda: builder.add_consent_service(f"https://e/{tag}"),
            lambda: builder.add_talvo_service(f"https://e/{tag}"),
        ]
        extra = []
        if n % 10 == 0:
            extra.append(lambda: builder.set_controller(f"did:vek:controller-{tag}"))
        if n % 50 == 0:
            extra.append(lambda: json.loads(builder.build()))
        for call in [calls[kind], *extra]:
            while True:
                try:
                    call()
                    break
                except RuntimeError as conflict:
                    if not retry_on_conflict or str(conflict) not in ("Already borrowed", "Already mutably borrowed"):
                        raise


def tags_in(document):
    """Every entry's tag in the order of each list, by list."""
    fragment = lambda reference: reference.split("#", 1)[1].split("-", 1)[1]
    return {
        "verificationMethod": [fragment(m["id"]) for m in document.get("verificationMethod", [])],
        "authentication": [fragment(r) for r in document.get("authentication", [])],
        "assertionMethod": [fragment(r) for r in document.get("assertionMethod", [])],
        "service": [s["serviceEndpoint"].rsplit("/", 1)[1] for s in document.get("service", [])],
    }


def check_every_entry_once_in_order(document):
    lists = tags_in(document)
    every = [tag for tags in lists.values() for tag in tags]
    assert len(every) == THREADS * ADDITIONS
    assert collections.Counter(every) == collections.Counter(
        f"{i}-{n}" for i in range(THREADS) for n in range(ADDITIONS)
    )
    for tags in lists.values():  # each thread's entries keep the order it added them in
        for i in range(THREADS):
            mine = [int(tag.split("-")[1]) for tag in tags if tag.split("-")[0] == str(i)]
            assert mine == sorted(mine)
    assert document["controller"].startswith("did:vek:controller-")


def test_threads_share_one_builder():
    builder = vek.DIDDocumentBuilder(DID)
    assert run_threads(lambda index: add_entries(builder, index)) == []
    check_every_entry_once_in_order(json.loads(builder.build()))


def test_failing_calls_on_a_shared_builder_lose_nothing():
    # A failing conversion may briefly hold the builder while its error is prepared; the
    # other threads then meet a claim conflict, try again, and lose nothing.
    builder = vek.DIDDocumentBuilder(DID)
    stop = threading.Event()
    failures = []

    def spoil():
        while not stop.is_set():
            for call in (
                lambda: builder.add_service("s", "T", 5),
                lambda: builder.add_authentication(None),
                lambda: builder.set_controller(b"did:vek:x"),
                lambda: builder.add_verification_method("k", "\ud800"),
            ):
                try:
                    call()
                except (TypeError, UnicodeEncodeError):
                    failures.append(1)
                except RuntimeError:
                    pass

    spoiler = threading.Thread(target=spoil)
    spoiler.start()
    try:
        errors = run_threads(lambda index: add_entries(builder, index, retry_on_conflict=True))
    finally:
        stop.set()
        spoiler.join()
    assert errors == []
    assert failures
    check_every_entry_once_in_order(json.loads(builder.build()))
