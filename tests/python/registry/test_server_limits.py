# A server process as the user runs it, against clients that would take its memory or its
# connections: the largest answers at once in bounded memory, slow connections cut off.
import http.client
import itertools
import os
import signal
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import LONG, UNDER_ASAN
from did_vek._signed import read_signed
from did_vek.registry import open_log
from did_vek.registry import server as registry_server
from did_vek.registry.guarded_h11 import GuardedH11Protocol
from did_vek.registry.guarded_httptools import GuardedHttpToolsProtocol
from did_vek.registry.rules import decider
from did_vek.registry.sqlite import SqliteStore
from histories import stamp
from registry_histories import keyed, keyed_version, padded
from registry_process import RegistryProcess

# A DID at the limit of versions, each of about 64 KiB, is the largest log there is.
VERSIONS = 1000 if LONG else 200
READERS = 8


@pytest.fixture(params=registry_server.HTTP_PARSERS)
def http_parser(request, monkeypatch):
    """Each server of the test runs on this HTTP parser, each under the same connection guard."""
    monkeypatch.setenv(registry_server.HTTP_PARSER_VARIABLE, request.param)
    return request.param


@pytest.mark.parametrize("chosen, protocol", [
    (None, GuardedHttpToolsProtocol),
    ("httptools", GuardedHttpToolsProtocol),
    ("h11", GuardedH11Protocol),
])
def test_the_parser_chosen_is_the_one_served(monkeypatch, chosen, protocol):
    if chosen is None:
        monkeypatch.delenv(registry_server.HTTP_PARSER_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(registry_server.HTTP_PARSER_VARIABLE, chosen)
    assert registry_server.http_protocol() is protocol


def test_an_unknown_parser_is_refused_before_the_server_starts(monkeypatch, tmp_path):
    monkeypatch.setenv(registry_server.HTTP_PARSER_VARIABLE, "llhttp")
    with pytest.raises(ValueError, match="DID_VEK_HTTP_PARSER names no HTTP parser"):
        registry_server.serve(str(tmp_path / "registry.sqlite3"), port=0)
    assert not (tmp_path / "registry.sqlite3").exists()


def memory(pid, field):
    """`field` of /proc/PID/status (VmRSS: now, VmHWM: the peak), in MiB."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise AssertionError(f"no {field} for {pid}")


def full_registry(path):
    """A registry whose one DID has VERSIONS versions of about 64 KiB; returns the DID."""
    key = keyed("memory")
    did = key.engine.create_did_from_key()
    store = SqliteStore(str(path), synchronous="NORMAL")
    try:
        log = open_log(store)
        for number in range(1, VERSIONS + 1):
            text = padded(stamp(number), 280, did=did, signer=key)
            log.append(did, decider(read_signed(text)))
    finally:
        store.close()
    return did


def read_whole(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        assert response.status == 200
        return len(response.read())
    finally:
        connection.close()


@pytest.mark.skipif(UNDER_ASAN, reason="ASan keeps freed memory: resident memory says nothing")
def test_the_largest_logs_and_export_pages_at_once_take_bounded_memory(tmp_path, http_parser):
    did = full_registry(tmp_path / "registry.sqlite3")
    server = RegistryProcess(str(tmp_path / "registry.sqlite3")).start()
    try:
        pid = server.process.pid
        assert read_whole(server.port, "/export?limit=1") > 0
        before = memory(pid, "VmRSS")
        paths = [f"/dids/{did}/log", "/export?limit=1000"] * (READERS // 2)
        with ThreadPoolExecutor(READERS) as readers:
            sizes = list(readers.map(lambda path: read_whole(server.port, path), paths))
        growth = memory(pid, "VmHWM") - before
    finally:
        server.kill()
    answered = sum(sizes) / 2**20
    print(f"{READERS} answers of {answered / READERS:.0f} MiB at once: the server grew by {growth:.0f} MiB")
    assert answered > 8 * 30 if LONG else answered > 8 * 6
    # Built whole, each answer takes about three times its size; in batches, a few MiB each.
    assert growth < 80, growth


# Requests that never arrive whole, each stopped at another point of the parser's work.
SLOW_REQUESTS = {
    "head unfinished": b"GET /healthz HTTP/1.1\r\nHost: registry\r\n",
    "body unfinished": b"POST /dids/did:vek:x HTTP/1.1\r\nHost: registry\r\nContent-Length: 100\r\n\r\n{",
}


def slow_connection(port, start):
    connection = socket.create_connection(("127.0.0.1", port), timeout=10)
    connection.sendall(start)
    return connection


def closed_within(connection, seconds):
    """Whether the server closes `connection` within `seconds`; an answer it sends before the
    request was whole (the refusal of a DID, say) may come first."""
    connection.settimeout(seconds)
    try:
        while connection.recv(1024) != b"":
            pass
        return True
    except ConnectionResetError:
        return True
    except TimeoutError:
        return False
    finally:
        connection.close()


@pytest.mark.parametrize("start", SLOW_REQUESTS.values(), ids=SLOW_REQUESTS.keys())
def test_slow_connections_are_cut_and_others_served(tmp_path, http_parser, start):
    server = RegistryProcess(str(tmp_path / "registry.sqlite3"),
                             options=("--max-connections", "20", "--request-timeout", "1")).start()
    try:
        slow = [slow_connection(server.port, start) for _ in range(60)]
        started = time.monotonic()
        # Until the slow ones are cut (one request timeout), a new connection may be refused
        # or answered 503 by the connection limit; after that it is served.
        status = 0
        while status != 200:
            assert time.monotonic() - started < 5, f"the slow connections held the server (last status {status})"
            try:
                status = server.request("GET", "/healthz", timeout=5).status
            except (ConnectionError, http.client.RemoteDisconnected):
                status = 0
            if status != 200:
                time.sleep(0.1)
        assert all(closed_within(connection, 5) for connection in slow)
        printed = server.printed()
    finally:
        server.kill()
    # One line of each kind, not one per connection.
    assert printed.count("connections are open") == 1, printed
    assert printed.count("sends its request too slowly") == 1, printed


@pytest.mark.parametrize("then", [b"\r\n", b"GET /healthz HTTP/1.1\r\n"], ids=["blank line", "head unfinished"])
def test_a_kept_alive_connection_is_cut_when_its_next_request_stalls(tmp_path, http_parser, then):
    # Bytes after an answer stop the idle timeout; the request timeout must take over from them.
    server = RegistryProcess(str(tmp_path / "registry.sqlite3"),
                             options=("--idle-timeout", "60", "--request-timeout", "1")).start()
    try:
        connection = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        connection.sendall(b"GET /healthz HTTP/1.1\r\nHost: registry\r\n\r\n")
        assert connection.recv(1024).startswith(b"HTTP/1.1 200")
        connection.sendall(then)
        assert closed_within(connection, 10)
    finally:
        server.kill()


@pytest.mark.skipif(not LONG, reason="a long case: DID_VEK_LONG_TESTS=1")
def test_a_frozen_server_process_holds_the_writers_of_another_a_bounded_time(postgres_db):
    # Ten threads publish through one process, which is then frozen (SIGSTOP) in the middle of
    # whatever it does; the writers of the same DIDs through the other process go on.
    frozen, other = RegistryProcess(postgres_db).start(), RegistryProcess(postgres_db).start()
    keys = [keyed(f"frozen-{number}") for number in range(4)]
    seconds = itertools.count(1)
    for key in keys:
        assert other.publish(keyed_version(key, next(seconds)), key.engine.create_did_from_key()).status == 201
    stop, answers = threading.Event(), []

    def publish(server, number, record):
        key = keys[number % len(keys)]
        while not stop.is_set():
            started = time.monotonic()
            try:
                status = server.publish(keyed_version(key, next(seconds)), key.engine.create_did_from_key()).status
            except (OSError, http.client.HTTPException):  # the frozen process killed with its answer half sent
                status = 0
            if record:
                answers.append((started, time.monotonic() - started, status))

    writers = [threading.Thread(target=publish, args=(frozen, number, False)) for number in range(10)]
    writers += [threading.Thread(target=publish, args=(other, number, True)) for number in range(4)]
    try:
        for writer in writers:
            writer.start()
        time.sleep(1)
        os.kill(frozen.process.pid, signal.SIGSTOP)
        stopped = time.monotonic()
        time.sleep(8)
        stop.set()
        for writer in writers[10:]:
            writer.join(60)
    finally:
        os.kill(frozen.process.pid, signal.SIGCONT)
        stop.set()
        frozen.kill(), other.kill()
        for writer in writers:
            writer.join(60)
    during = [(started - stopped, took, status) for started, took, status in answers if started > stopped]
    print(f"{len(during)} answers while frozen, the longest in {max(took for _, took, _ in during):.1f} s")
    assert max(took for _, took, _ in during) < 5, during
    assert any(status == 201 and started + took < 6 for started, took, status in during), during
