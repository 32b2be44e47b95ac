# A log that signs two forks with one key, against three witnesses: a witness that cosigned a
# checkpoint of one fork cosigns nothing of the other, whatever old size and proof the log sends.
import itertools

import pytest

from did_vek import DIDEngine
from did_vek.witness import Refused, Witness, WitnessState
from witness_logs import Log

SHOWN = Log(120)
HIDDEN = SHOWN.fork(50, 120)


@pytest.fixture
def witnesses(tmp_path):
    states = [WitnessState(str(tmp_path / f"w{n}.sqlite3")) for n in range(3)]
    yield [Witness(f"witness.example/w{n}", DIDEngine(), [SHOWN.signer.verifier], state)
           for n, state in enumerate(states)]
    for state in states:
        state.close()


def cosignatures(witness, log, sizes, olds=(0, 40, 50, 60, 80, 100, 110)):
    """Every cosignature the witness gives for `log` at `sizes`, from every old size with proofs of either fork."""
    given = []
    for size, old, proving in itertools.product(sizes, olds, [SHOWN, HIDDEN]):
        if old > size:
            continue
        try:
            given.append(witness.add_checkpoint(log.body(old, size, proof=proving.proof(old, size))))
        except Refused:
            pass
    return given


def test_no_witness_that_cosigned_one_fork_cosigns_the_other(witnesses):
    for witness, size in zip(witnesses, (100, 80, 60)):
        witness.add_checkpoint(SHOWN.body(0, size))
    for witness in witnesses:
        assert cosignatures(witness, HIDDEN, [50, 60, 80, 100, 110, 120]) == []
    # The fork they were shown goes on; a witness never shown it would have taken the other.
    assert all(witness.add_checkpoint(SHOWN.body(size, 110)) for witness, size in zip(witnesses, (100, 80, 60)))
    assert len(cosignatures(Witness("w3", DIDEngine(), [SHOWN.signer.verifier], WitnessState(":memory:")),
                            HIDDEN, [120], olds=[0])) == 1
