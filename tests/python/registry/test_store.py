# The store under writers racing for one DID: every version taken once, each judged against the
# version it actually follows, and seq in commit order.
import asyncio
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from did_vek import verify_history
from did_vek.registry import open_log, open_store
from did_vek.registry.rules import decider, parse_if_match, prejudge, read_submission
from did_vek.registry.store import AlreadyStored, ReadsOnLoop, Refused, WouldBlock
from registry_histories import ALICE, ALICE_NEXT, DID, day, signed


@pytest.fixture
def store(db):
    store = open_store(db)
    yield store
    store.close()


def append(store, text, if_match=None):
    return open_log(store).append(DID, decider(read_submission(text, DID), if_match=parse_if_match(if_match)))


def test_racing_writers_with_if_match_each_take_one_version_or_get_412(store):
    append(store, signed(updated=day(1)))
    # Ten writers build on version 1, each with its own time: one wins, the rest must see 412.
    candidates = [signed(updated=f"2024-01-02T00:00:{second:02d}Z") for second in range(10)]

    def attempt(text):
        try:
            return append(store, text, if_match='"1"').version
        except Refused as refusal:
            return refusal.status

    with ThreadPoolExecutor(10) as pool:
        outcomes = sorted(pool.map(attempt, candidates))
    assert outcomes == [2] + [412] * 9
    assert len(verify_history([version.signed for version in store.log(DID)]).versions) == 2


def test_racing_writers_without_if_match_keep_the_history_valid(store):
    append(store, signed(updated=day(1)))
    candidates = [signed(updated=f"2024-01-02T00:00:{second:02d}Z") for second in range(20)]

    def attempt(text):
        try:
            return append(store, text).version
        except Refused as refusal:
            return refusal.status

    with ThreadPoolExecutor(8) as pool:
        outcomes = list(pool.map(attempt, candidates))
    taken = sorted(outcome for outcome in outcomes if outcome != 409)
    assert taken == list(range(2, len(taken) + 2))  # no number twice, none skipped
    log = store.log(DID)
    verify_history([version.signed for version in log])  # each checked against what it follows
    assert [version.seq for version in store.export(0, 1000)] == sorted(version.seq for version in log)


def test_refusals_and_retries_store_nothing(store):
    text = signed(updated=day(1))
    first = append(store, text)
    with pytest.raises(AlreadyStored):
        append(store, text.replace("\n", " "))
    with pytest.raises(Refused):
        append(store, signed(keys=(ALICE, ALICE_NEXT), updated=day(1)))  # another document, same time: 409
    assert store.log(DID) == [first]
    assert (store.last(DID), store.version(DID, 2), store.at_time(DID, day(1))) == (first, None, first)


def test_a_verdict_made_before_the_last_version_changed_is_made_again(store):
    first = append(store, signed(keys=(ALICE, ALICE_NEXT), updated=day(1)))
    candidate = read_submission(signed(ALICE_NEXT, keys=(ALICE, ALICE_NEXT), updated=day(3)), DID)
    prejudged = prejudge(candidate, first)
    assert prejudged.broken == ()  # after version 1, which lists its key
    append(store, signed(keys=(ALICE,), updated=day(2)))  # version 2 takes that key's right away
    with pytest.raises(Refused) as refused:
        open_log(store).append(DID, decider(candidate, prejudged=prejudged))
    assert refused.value.status == 403


def test_a_batch_stores_its_versions_in_order_and_the_next_batch_numbers_on(store):
    first_text = signed(updated=day(1))
    outcomes = open_log(store).append_all([(DID, decider(read_submission(text, DID))) for text in
                                           (first_text, first_text, signed(updated=day(2)))])
    first, retry, second = outcomes
    assert isinstance(retry, AlreadyStored) and retry.stored == first  # the version just added in this batch
    assert (first.version, second.version, second.seq) == (1, 2, first.seq + 1)
    assert store.log(DID) == [first, second] and store.export(0, 10) == [first, second]
    third = append(store, signed(updated=day(3)))
    assert (third.version, third.seq) == (3, second.seq + 1)


def test_a_resolution_reads_the_served_head_with_the_last_version_its_tree_holds(store):
    def entry(version):
        return store.entries(version.log_index, version.log_index + 1)[0]

    assert store.served_and_last(DID) == (None, None, None)  # no head yet
    first = append(store, signed(updated=day(1)))
    older = store.head()
    second = append(store, signed(updated=day(2)))
    assert store.served_and_last(DID) == (store.head(), second, entry(second))
    assert store.served_and_last("did:vek:0000000000000000") == (store.head(), None, None)
    store.write(lambda transaction: transaction.set_served(older))  # as while a newer head waits
    assert store.served_and_last(DID) == (older, first, entry(first))


@pytest.mark.parametrize("fails", [False, True])
def test_reads_awaited_on_one_event_loop_are_sent_together_and_each_gets_its_own_row(store, monkeypatch, fails):
    if not isinstance(store, ReadsOnLoop):
        pytest.skip("this store reads inline")
    append(store, signed(updated=day(1)))
    append(store, signed(updated=day(2)))
    dids = [DID, "did:vek:0000000000000000", DID]  # one twice, one the store does not hold
    reads = store._loop_reads
    sent, fetch_all = [], reads._fetch_all

    async def counted(on_loop, query, parameters):
        sent.append(parameters[0])
        if fails:
            raise WouldBlock("the database is away")
        return await fetch_all(on_loop, query, parameters)

    monkeypatch.setattr(reads, "_fetch_all", counted)

    async def read_all():
        return await asyncio.gather(*(store.served_and_last_on_loop(did) for did in dids), return_exceptions=True)

    answers = asyncio.run(read_all())
    assert sent == [[DID, "did:vek:0000000000000000"]]  # one statement, each DID once
    if fails:  # each answer is then made in a worker thread
        assert all(isinstance(answer, WouldBlock) for answer in answers)
    else:
        assert answers == [store.served_and_last(did) for did in dids]


def test_a_closed_store_fails_as_unavailable(db):
    store = open_store(db)
    assert store.healthy()
    store.close()
    assert not store.healthy()


def test_one_process_at_a_time_asks_the_witnesses_and_a_wait_in_vain_ends(db):
    # Two stores on one database stand for two server processes.
    first, second = open_store(db), open_store(db)
    try:
        with first.cosigning(until=time.monotonic()):
            began = time.monotonic()
            with second.cosigning(until=began + 0.2):  # held by the other: given up after the wait
                assert time.monotonic() - began >= 0.2
        began = time.monotonic()
        with second.cosigning(until=began + 5):  # free again: taken at once
            assert time.monotonic() - began < 1
    finally:
        first.close()
        second.close()
