"""Times `RegistryClient.resolve` of a 10-version DID against what it cannot avoid.

A registry runs in a process of its own (`did-vek serve`, SQLite in a temporary directory,
a free port on 127.0.0.1). Three things are timed in interleaved rounds, so that a noisy
machine slows them alike: the HTTP round trip of the DID's log on a kept-alive connection,
`verify_history` of that log, and `resolve`. The client's own cost is what resolve takes
beyond the other two; it prints their medians and the ratio resolve / (round trip + verify).

    python benchmarks/registry_resolve.py [--rounds N]
"""

import argparse
import json
import secrets
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from pathlib import Path
from socket import socket
from urllib.parse import quote

import did_vek
from did_vek._transport import Connection

VERSIONS = 10


def ten_versions() -> tuple[str, list[str]]:
    """A key-derived DID's history, one second apart from an hour ago, all signed by its key."""
    engine = did_vek.DIDEngine.from_secret_key(secrets.token_hex(32))
    did = engine.create_did_from_key()
    start = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(hours=1)
    versions = []
    for number in range(1, VERSIONS + 1):
        builder = did_vek.DIDDocumentBuilder(did)
        builder.add_verification_method("key-1", engine.public_key)
        builder.add_assertion_method("key-1")
        builder.add_consent_service(f"https://consent.example/{number}")
        document = json.loads(builder.build())
        document["created"] = start.strftime("%Y-%m-%dT%H:%M:%SZ")
        document["updated"] = (start + timedelta(seconds=number)).strftime("%Y-%m-%dT%H:%M:%SZ")
        versions.append(did_vek.sign_document(engine, json.dumps(document), key_id="key-1"))
    return did, versions


def wait_for(url: str) -> None:
    deadline = time.monotonic() + 30
    while True:
        try:
            urllib.request.urlopen(url, timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                sys.exit("the registry did not start")
            time.sleep(0.1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=500)
    rounds = parser.parse_args().rounds

    with socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    url = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory() as directory:
        server = subprocess.Popen([sys.executable, "-m", "did_vek", "serve", "--port", str(port),
                                   "--db", str(Path(directory) / "registry.sqlite3")])
        try:
            wait_for(url + "/healthz")
            did, versions = ten_versions()
            client = did_vek.RegistryClient(url)
            for version in versions:
                client.publish(version)
            raw = Connection(url, 10.0)
            path = "/dids/" + quote(did, safe="") + "/log"
            log = raw.request("GET", path).body.decode()
            timed: dict[str, Callable[[], object]] = {
                "round trip": lambda: raw.request("GET", path),
                "verify_history": lambda: did_vek.verify_history(log),
                "resolve": lambda: client.resolve(did),
            }
            samples: dict[str, list[float]] = {name: [] for name in timed}
            for _ in range(rounds):
                for name, call in timed.items():
                    start = time.perf_counter()
                    call()
                    samples[name].append(time.perf_counter() - start)
        finally:
            server.terminate()
            server.wait(30)
    medians = {name: statistics.median(values) * 1000 for name, values in samples.items()}
    for name, value in medians.items():
        print(f"{name:>15}: {value:.3f} ms (median of {rounds})")
    floor = medians["round trip"] + medians["verify_history"]
    print(f"{'ratio':>15}: {medians['resolve'] / floor:.2f} (resolve / (round trip + verify_history))")


if __name__ == "__main__":
    main()
