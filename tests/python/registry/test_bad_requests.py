# Generated bad requests, straight to the ASGI application: every one is answered with a 4xx
# problem report (a resolution result on the resolution route), none is stored, and the
# server's memory stays flat. 10,000 of them take about a second, so every run sends them all.
import asyncio
import gc
import json
import random
import tracemalloc

from did_vek.registry import create_app, open_store
from registry_histories import ALICE, DID, MALLORY, day, signed

COUNT = 10_000
VALID = signed(did=DID, updated=day(2))
FOREIGN = signed(MALLORY, did=DID, keys=(MALLORY,), updated=day(2))  # DID not derived from its key

PATHS = [DID, DID.replace(":", "%3A"), "did:vek:abc", "", "%", "%G1", "%FF", "%00", "did%3Avek%3A%C3%28", "a%2Fb",
         "did:vek:" + "a" * 5000, "..%2F..%2Fetc", "did:vek:x\u00e9".encode().decode("latin-1"), "did:vek:abc/extra"]
CONTENT_TYPES = [None, "text/plain", "application/json; charset=latin-1", "application/xml", "\x01\x02",
                 "application/jsonx", "multipart/form-data; boundary=x", "", "application/json;charset"]
IF_MATCH = [None, "garbage", 'W/"1"', '"1"', "*", '"' * 3000, '"\x7f"', ","]
ACCEPT = [None, "text/html", "*/*;q=x", "\xff\xfe", ",,,", "application/did;q=0", "application/json;q=-1"]


def bad_bodies(rng):
    """Bodies that can never be stored, each from one family of faults."""
    yield rng.randbytes(rng.randrange(0, 200))
    yield VALID[:rng.randrange(len(VALID))].encode()
    position = VALID.index('"proofValue": "') + 15 + rng.randrange(128)
    yield (VALID[:position] + rng.choice([d for d in "0123456789abcdef" if d != VALID[position]])
           + VALID[position + 1:]).encode()
    yield FOREIGN.encode()
    yield rng.choice([b"[" * 100_000, b'{"a":' * 5000, b"1" * 5000, b'"\\ud800"', b"NaN", b"{}", b"[]", b"null",
                      b'{"document": {}, "document": {}}', b"\xef\xbb\xbf{}", VALID.replace("did:vek", "did:veq").encode()])
    yield b"x" * (64 * 1024 + rng.randrange(1, 1000))


def generate(rng):
    """(method, raw path, query, headers, body chunks, resolution route?) tuples, COUNT in all."""
    made = 0
    while made < COUNT:
        path = rng.choice(PATHS)
        for body in bad_bodies(rng):
            headers = []
            content_type = rng.choice(CONTENT_TYPES + ["application/json"] * 6)
            if content_type is not None:
                headers.append((b"content-type", content_type.encode("latin-1")))
            if (if_match := rng.choice(IF_MATCH)) is not None:
                headers.append((b"if-match", if_match.encode("latin-1")))
            length = rng.choice([str(len(body)), None, None, "-1", "1e3", "99999999999999999999", " 5", "abc"])
            if length is not None:
                headers.append((b"content-length", length.encode()))
            cut = rng.randrange(len(body) + 1)
            yield "POST", b"/dids/" + path.encode("latin-1"), b"", headers, [body[:cut], body[cut:]], False
            made += 1
        accept = rng.choice(ACCEPT)
        headers = [] if accept is None else [(b"accept", accept.encode("latin-1"))]
        query = rng.choice([b"", b"versionId=0", b"versionId=1&versionTime=x", b"versionTime=%ZZ", b"versionId=%FF",
                            b"&&==&", b"versionId=" + b"9" * 400])
        yield "GET", b"/1.0/identifiers/" + path.encode("latin-1"), query, headers, [b""], True
        yield "GET", b"/dids/" + path.encode("latin-1") + b"/log", b"", [], [b""], False
        yield "GET", b"/export", rng.choice([b"after=-1", b"limit=0", b"after=%FF", b"after=1e9"]), [], [b""], False
        yield rng.choice(["PUT", "DELETE", "PATCH"]), b"/dids/" + path.encode("latin-1"), b"", [], [b""], False
        made += 4


async def call(app, method, raw_path, query, headers, chunks):
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": method, "scheme": "http",
             "path": raw_path.decode("latin-1"), "raw_path": raw_path, "query_string": query, "root_path": "",
             "headers": headers, "client": ("127.0.0.1", 1), "server": ("127.0.0.1", 80)}
    pending = [{"type": "http.request", "body": chunk, "more_body": index < len(chunks) - 1}
               for index, chunk in enumerate(chunks)]
    answer = {"body": b""}

    async def receive():
        return pending.pop(0) if pending else {"type": "http.disconnect"}

    async def send(message):
        if message["type"] == "http.response.start":
            answer["status"] = message["status"]
            answer["headers"] = dict(message["headers"])
        else:
            answer["body"] += message.get("body", b"")

    await app(scope, receive, send)
    return answer


def check(answer, resolution):
    status, body = answer["status"], json.loads(answer["body"])
    content_type = answer["headers"][b"content-type"]
    if resolution:
        # The result type negotiated; an option it does not know is "not supported" (501), not a failure.
        assert content_type in (b"application/did-resolution", b'application/ld+json;profile="https://w3id.org/did-resolution"')
        assert (400 <= status < 500 or status == 501) and body["didResolutionMetadata"]["error"]["type"], answer
    else:
        assert 400 <= status < 500, answer
        assert content_type == b"application/problem+json"
        assert body["status"] == status and body["type"] == "about:blank" and "\n" not in body["detail"]


def test_bad_requests_are_refused_with_reports_store_nothing_and_leak_nothing(db):
    store = open_store(db)
    app = create_app(store)
    requests = list(generate(random.Random(20240101)))
    assert len(requests) >= COUNT

    async def run(batch):
        for method, raw_path, query, headers, chunks, resolution in batch:
            check(await call(app, method, raw_path, query, headers, chunks), resolution)

    half = len(requests) // 2
    try:
        asyncio.run(run(requests[:half]))  # warms every cache and pool the server has
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        asyncio.run(run(requests[half:]))
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        assert grown < 1_000_000, f"{grown} bytes still held after {len(requests) - half} bad requests"
        assert store.export(0, 10) == []
    finally:
        store.close()
