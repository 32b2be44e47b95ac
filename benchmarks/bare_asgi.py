"""The floor of any Python registry: an ASGI application that answers every request with the same
bytes, a resolution result of the usual size, without looking at the request; and `created`,
the floor of a publish, which reads the request's whole body and answers 201.

Served as `did-vek serve` serves the registry (its HTTP protocol, event loop and limits):

    python benchmarks/bare_asgi.py PORT WORKERS [app|created]
"""

import json
import sys

import did_vek
from did_vek._resolution import document_metadata, resolution_result
from did_vek._view import view_of

_engine = did_vek.DIDEngine.from_secret_key("11" * 32)
_signed = json.loads(_engine.create_document(_engine.create_did_from_key()))
_document = _signed["document"]
BODY = json.dumps(resolution_result(view_of(_document), document_metadata(
    created=_document["created"], version_id="1", version_time=_document["updated"]), proof=_signed["proof"])).encode()
_START = {"type": "http.response.start", "status": 200,
          "headers": [(b"content-type", b"application/did-resolution"), (b"content-length", str(len(BODY)).encode())]}
_BODY = {"type": "http.response.body", "body": BODY}


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    await send(_START)
    await send(_BODY)


_CREATED_START = {"type": "http.response.start", "status": 201,
                  "headers": [(b"content-type", b"application/json"), (b"content-length", b"2")]}
_CREATED_BODY = {"type": "http.response.body", "body": b"{}"}


async def created(scope, receive, send):
    if scope["type"] == "lifespan":
        await app(scope, receive, send)
        return
    while (await receive()).get("more_body", False):
        pass
    await send(_CREATED_START)
    await send(_CREATED_BODY)


def app_factory():
    return app


def created_factory():
    return created


if __name__ == "__main__":
    from did_vek.registry.server import run_uvicorn

    port, workers, which = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] if len(sys.argv) > 3 else "app"
    run_uvicorn(f"bare_asgi:{which}_factory", host="127.0.0.1", port=port, workers=workers)
