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
from did_vek.registry.rules import decider
from did_vek.registry.sqlite import SqliteStore
from histories import stamp
from registry_histories import keyed, keyed_version, padded
from registry_process import RegistryProcess

# A DID at the limit of versions, each of about 64 KiB, is the largest log there is.
VERSIONS = 1000 if LONG else 200
READERS = 8


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
def test_the_largest_logs_and_export_pages_at_once_take_bounded_memory(tmp_path):
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


def slow_connection(port):
    connection = socket.create_connection(("127.0.0.1", port), timeout=10)
    connection.sendall(b"GET /healthz HTTP/1.1\r\nHost: registry\r\n")  # and never the blank line
    return connection


def closed_within(connection, seconds):
    connection.settimeout(seconds)
    try:
        return connection.recv(1024) == b""
    except ConnectionResetError:
        return True
    except TimeoutError:
        return False
    finally:
        connection.close()


def test_slow_connections_are_cut_and_others_served(tmp_path):
    server = RegistryProcess(str(tmp_path / "registry.sqlite3"),
                             options=("--max-connections", "20", "--request-timeout", "1")).start()
    try:
        slow = [slow_connection(server.port) for _ in range(60)]
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
            except OSError:
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
