# SIGKILL of `did-vek witness` at random points while a log asks it for cosignatures, now of one
# fork and now of another signed with the same key: what it holds after each kill is what it
# held or what it was being asked, it resumes from that size, and every checkpoint it held,
# cosigned or not, is consistent with every one before it.
import http.client
import random
import socket
import sqlite3
import subprocess
import sys
import threading
import time

from conftest import LONG
from did_vek._keyfile import write_secret
from did_vek.tlog import merkle
from did_vek.tlog.note import Verifier, parse_note, verify_note
from witness_logs import Log, request_body

CALLS = 1000 if LONG else 150
KILLS = 20 if LONG else 3  # asked for until reached: how many calls fit before a kill depends on the machine
SECONDS = 600 if LONG else 90
SIZE = CALLS * 3
MAIN = Log(SIZE)
FORK = MAIN.fork(CALLS, SIZE)  # usually reached about halfway, on one fork or the other


def start(arguments, port, deadline):
    process = subprocess.Popen([sys.executable, "-m", "did_vek", "witness", *arguments, "--port", str(port)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    vkey = process.stdout.readline().decode().strip()
    while post(port, b"", timeout=1) is None:  # a 400 once it listens
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)
    return process, vkey


def post(port, body, timeout=10.0):
    """(status, body), or None when the witness is not there or died before it answered."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("POST", "/add-checkpoint", body=body)
        response = connection.getresponse()
        return response.status, response.read()
    except (OSError, http.client.HTTPException):
        return None
    finally:
        connection.close()


def held_on_disk(db):
    with sqlite3.connect(db) as connection:
        row = connection.execute("SELECT size, root FROM checkpoints").fetchone()
    return (0, merkle.EMPTY_ROOT) if row is None else (row[0], bytes(row[1]))


def test_sigkill_at_random_points_never_makes_it_cosign_two_inconsistent_checkpoints(tmp_path):
    key, db = str(tmp_path / "witness.key"), str(tmp_path / "witness.sqlite3")
    write_secret(key, "11" * 32, replace=False)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    arguments = ["--name", "witness.example/w1", "--db", db, "--key", key, "--log", MAIN.vkey]
    rng, deadline = random.Random(21), time.monotonic() + SECONDS
    process, vkey = start(arguments, port, deadline)
    killer = threading.Timer(rng.uniform(0, 0.15), process.kill)
    killer.start()
    held = [(MAIN, 0)]  # every checkpoint the witness held, in order
    kills = calls = cosignatures = 0
    try:
        while calls < CALLS or kills < KILLS:
            assert time.monotonic() < deadline, (calls, kills)
            (held_log, old), log = held[-1], rng.choice([MAIN, FORK])
            size = min(old + rng.randint(0, 4), SIZE)
            calls += 1
            answer = post(port, log.body(old, size))
            if answer is None:
                killer.join()
                process.wait()
                kills += 1
                on_disk = held_on_disk(db)
                assert on_disk in [(old, held_log.tree.root(old)), (size, log.tree.root(size))]
                if on_disk != (old, held_log.tree.root(old)):
                    held.append((log, size))  # committed, killed before it answered
                process, restarted_vkey = start(arguments, port, deadline)
                assert restarted_vkey == vkey
                assert post(port, request_body(on_disk[0] + 1, [], MAIN.signed(SIZE))) == (409, b"%d\n" % on_disk[0])
                killer = threading.Timer(rng.uniform(0, 0.15), process.kill)
                killer.start()
            elif answer[0] == 200:
                assert verify_note(parse_note(log.signed(size) + answer[1].decode()), [Verifier.from_vkey(vkey)])
                held.append((log, size))
                cosignatures += 1
            else:
                assert answer[0] == 422, answer  # the other fork
    finally:
        killer.cancel()
        process.kill()
        process.wait()
    assert cosignatures > calls // 4
    for (old_log, old), (new_log, new) in zip(held, held[1:]):
        merkle.verify_consistency(old, new, old_log.tree.root(old), new_log.tree.root(new), new_log.proof(old, new))
