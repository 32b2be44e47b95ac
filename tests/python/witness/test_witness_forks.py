# A log that signs two forks with one key, against three witnesses: a witness that cosigned a
# checkpoint of one fork cosigns nothing of the other, whatever old size and proof the log sends,
# so a client that requires two of the three never accepts the fork it was not shown.
import itertools

import pytest

from did_vek import DIDEngine
from did_vek.tlog.errors import InvalidProof
from did_vek.tlog.policy import parse_policy
from did_vek.witness import Refused, Witness, WitnessState
from witness_logs import Log

FORK_POINT = 50
SHOWN = Log(120)
HIDDEN = SHOWN.fork(FORK_POINT, 120)


@pytest.fixture
def witnesses(tmp_path):
    states = [WitnessState(str(tmp_path / f"w{n}.sqlite3")) for n in range(3)]
    yield [Witness(f"witness.example/w{n}", DIDEngine(), [SHOWN.signer.verifier], state)
           for n, state in enumerate(states)]
    for state in states:
        state.close()


def cosign(witness, log, size):
    """The log's best try: from the size the witness holds, as a 409 tells it, with its own proof."""
    try:
        return witness.add_checkpoint(log.body(0, size))
    except Refused as refusal:
        held = getattr(refusal, "held_size", None)
        if held is None or held > size:
            raise
        return witness.add_checkpoint(log.body(held, size))


def attempts(witness, log, sizes):
    """Every cosignature the witness gives for `log` at `sizes`, each with every old size the log
    might claim (the held one, others, 0) and proofs of either fork."""
    given = []
    for size, old, proving in itertools.product(sizes, [0, 40, 60, 80, 100], [SHOWN, HIDDEN]):
        if old <= size:
            try:
                given.append((size, witness.add_checkpoint(log.body(old, size, proof=proving.proof(old, size)))))
            except Refused:
                pass
    return given


def test_no_witness_that_cosigned_one_fork_cosigns_the_other(witnesses):
    first, second, third = witnesses
    for witness, size in ((first, 100), (second, 80), (third, 60)):
        cosign(witness, SHOWN, size)
    for witness in witnesses:
        assert attempts(witness, HIDDEN, [60, 80, 100, 110, 120]) == []
        with pytest.raises(Refused) as refusal:
            cosign(witness, HIDDEN, 120)
        assert refusal.value.status == 422
    # The shown fork goes on being cosigned, and the hidden one shares its tree up to the fork.
    assert all(cosign(witness, SHOWN, 110) for witness in witnesses)
    assert attempts(third, HIDDEN, [FORK_POINT, 30]) == []  # smaller than held: never cosigned


def test_a_quorum_of_two_never_accepts_the_fork_it_was_not_shown(witnesses):
    first, second, third = witnesses
    policy = parse_policy(f"log {SHOWN.vkey}\n" + "".join(f"witness w{n} {w.vkey}\n" for n, w in enumerate(witnesses))
                          + "group two 2 w0 w1 w2\nquorum two\n")
    shown = SHOWN.signed(100)
    lines = cosign(first, SHOWN, 100) + cosign(second, SHOWN, 100)
    assert policy.check_checkpoint(shown + lines).checkpoint.size == 100
    # The third witness was never shown the first fork: it cosigns the other, which one line
    # cannot carry past the quorum, and the two that cosigned the first refuse it.
    hidden = HIDDEN.signed(120)
    collected = cosign(third, HIDDEN, 120)
    for witness in (first, second):
        with pytest.raises(Refused):
            cosign(witness, HIDDEN, 120)
    with pytest.raises(InvalidProof, match="quorum"):
        policy.check_checkpoint(hidden + collected)
    with pytest.raises(Refused):
        cosign(third, SHOWN, 110)
