# SIGKILL of a witness process at random points while a log asks it for cosignatures, now of
# one fork and now of another signed with the same key: what it holds after each kill is what
# it held or what it was being asked, it resumes from that size, and every checkpoint it held,
# cosigned or not, is consistent with every one before it.
import random
import sqlite3
import threading
import time

from conftest import LONG
from did_vek._keyfile import write_secret
from did_vek.tlog import merkle
from did_vek.tlog.errors import InvalidProof
from did_vek.tlog.note import Verifier, parse_note, verify_note
from witness_logs import Log, request_body
from witness_process import WitnessProcess

CALLS = 1000 if LONG else 150
DEADLINE = 600 if LONG else 90
SIZE = CALLS * 3
FORK_POINT = CALLS  # usually passed about halfway, on one fork or the other
MAIN = Log(SIZE)
FORK = MAIN.fork(FORK_POINT, SIZE)


def held_on_disk(db):
    with sqlite3.connect(db) as connection:
        row = connection.execute("SELECT size, root FROM checkpoints").fetchone()
    return (0, merkle.EMPTY_ROOT) if row is None else (row[0], bytes(row[1]))


class Killer:
    """SIGKILL to the witness a random time after it started."""

    def __init__(self, witness, rng):
        self.timer = threading.Timer(rng.uniform(0, 0.15), witness.kill)
        self.timer.start()

    def wait(self):
        self.timer.join()

    def cancel(self):
        self.timer.cancel()
        self.timer.join()


def test_sigkill_at_random_points_never_makes_it_cosign_two_inconsistent_checkpoints(tmp_path):
    key, db = str(tmp_path / "witness.key"), str(tmp_path / "witness.sqlite3")
    write_secret(key, "11" * 32, replace=False)

    def start():
        return WitnessProcess("witness.example/w1", db, key, [MAIN.vkey]).start()

    witness = start()
    verifier = Verifier.from_vkey(witness.vkey)
    rng = random.Random(21)
    held = [(MAIN, 0)]  # every checkpoint the witness held, in order
    kills = calls = cosignatures = 0
    deadline = time.monotonic() + DEADLINE
    killer = Killer(witness, rng)
    try:
        while calls < CALLS and time.monotonic() < deadline:
            (held_log, old), log = held[-1], rng.choice([MAIN, FORK])
            size = min(old + rng.randint(0, 4), SIZE)
            calls += 1
            try:
                answer = witness.post(log.body(old, size))
            except OSError:
                killer.wait()
                kills += 1
                on_disk = held_on_disk(db)
                assert on_disk in [(old, held_log.tree.root(old)), (size, log.tree.root(size))]
                if on_disk != (old, held_log.tree.root(old)):
                    held.append((log, size))  # committed, killed before it answered
                witness = start()
                assert witness.vkey == verifier.vkey
                resumed = witness.post(request_body(on_disk[0] + 1, [], MAIN.signed(SIZE)))
                assert (resumed.status, resumed.body) == (409, b"%d\n" % on_disk[0])
                killer = Killer(witness, rng)
                continue
            if answer.status == 200:
                assert verify_note(parse_note(log.signed(size) + answer.body.decode()), [verifier])
                held.append((log, size))
                cosignatures += 1
            else:
                assert answer.status == 422, answer  # the other fork
    finally:
        killer.cancel()
        witness.kill()
    assert kills >= 2 and cosignatures > calls // 4
    for (old_log, old), (new_log, new) in zip(held, held[1:]):
        try:
            merkle.verify_consistency(old, new, old_log.tree.root(old), new_log.tree.root(new), new_log.proof(old, new))
        except InvalidProof:
            raise AssertionError(f"held size {old} of one fork, then size {new} of the other") from None
