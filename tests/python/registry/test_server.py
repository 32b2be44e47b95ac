# The registry as it runs: `python -m did_vek.registry` on a loopback port, in one process and in
# two sharing one SQLite file, driven over real HTTP.
import json
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

from did_vek import verify_history
from registry_histories import DID, signed

STARTUP_SECONDS = 20


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def request(url, body=None, headers=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=body, headers=headers or {}), timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


@pytest.fixture(params=[1, 2], ids=["1 worker", "2 workers"])
def server(request, db, tmp_path):
    port = free_port()
    output = open(tmp_path / "server.log", "wb")  # a file, not a pipe: nobody reads while it runs
    process = subprocess.Popen([sys.executable, "-m", "did_vek.registry", "--db", db, "--port", str(port),
                                "--workers", str(request.param)], stdout=output, stderr=subprocess.STDOUT)
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + STARTUP_SECONDS
        while True:
            try:
                if request_status(url + "/healthz") == 200:
                    break
            except OSError:
                pass
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the registry did not start: {(tmp_path / 'server.log').read_text()[-2000:]}")
            time.sleep(0.1)
        yield url
    finally:
        process.terminate()
        process.wait(timeout=20)
        output.close()


def request_status(url):
    return request(url)[0]


def test_writers_racing_over_http_leave_one_valid_history(server):
    headers = {"content-type": "application/json"}
    assert request(f"{server}/dids/{DID}", signed(updated="2024-01-02T00:00:00Z").encode(), headers)[0] == 201
    candidates = [signed(updated=f"2024-01-03T00:00:{second:02d}Z").encode() for second in range(12)]
    with ThreadPoolExecutor(6) as pool:
        statuses = list(pool.map(lambda body: request(f"{server}/dids/{DID}", body, headers)[0], candidates))
    assert set(statuses) <= {201, 409} and 201 in statuses
    status, log = request(f"{server}/dids/{DID}/log")
    history = verify_history(log.decode())
    assert len(history.versions) == 1 + statuses.count(201)
    status, body = request(f"{server}/1.0/identifiers/{DID.replace(':', '%3A')}")
    assert status == 200
    assert json.loads(body)["didDocumentMetadata"]["versionId"] == history.latest.version_id


def test_a_store_that_cannot_be_opened_stops_the_server_before_it_listens(tmp_path):
    result = subprocess.run([sys.executable, "-m", "did_vek.registry", "--db", str(tmp_path / "no" / "such.db"),
                             "--port", str(free_port())], capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "cannot be opened" in result.stderr


@pytest.mark.parametrize("arguments, message", [
    (["--port", "65536"], "not a port number"),
    (["--workers", "0"], "not a number of processes"),
    (["--port", "{busy}"], "cannot listen on 127.0.0.1 port {busy}"),
])
def test_what_would_keep_the_server_from_working_stops_it_before_it_starts(tmp_path, arguments, message):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        arguments = [argument.format(busy=port) for argument in arguments]
        result = subprocess.run([sys.executable, "-m", "did_vek.registry", "--db", str(tmp_path / "r.sqlite3"),
                                 *arguments], capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert message.format(busy=port) in result.stderr
