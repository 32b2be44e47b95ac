# The PostgreSQL store under racing writers and processes, and without its database.
import threading
import time

import psycopg
import pytest

from conftest import LONG
from did_vek.registry.postgres import PostgresStore
from did_vek.registry.store import AlreadyStored, NewVersion, Refused, StoredVersion, StoreUnavailable

WRITERS = 8
APPENDS = 40 if LONG else 10


def version(text, time="2026-01-01T00:00:00Z"):
    return NewVersion(version_time=time, created=time, signed=text, deactivates=False)


def run_threads(count, target):
    """Runs target(i) in `count` threads started together; re-raises the first failure."""
    start, failures = threading.Barrier(count), []

    def run(i):
        start.wait()
        try:
            target(i)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not failures, failures[0]


@pytest.fixture
def stores(postgres_db):
    """Two stores with pools of their own on one database: two server processes, as far as
    PostgreSQL can tell."""
    opened = [PostgresStore(postgres_db), PostgresStore(postgres_db)]
    yield opened
    for store in opened:
        store.close()


def test_racing_writers_judge_the_version_they_follow(stores):
    # Every writer appends to one DID through either store. The last call of decide for a text
    # is the one whose result was stored: it must have seen the version the text now follows.
    seen: dict[str, int] = {}

    def write(i):
        for n in range(APPENDS):
            text = f"{i}-{n}"

            def decide(last: StoredVersion | None) -> NewVersion:
                seen[text] = 0 if last is None else last.version
                return version(text)

            stores[i % 2].append("did:vek:race", decide)

    run_threads(WRITERS, write)
    log = stores[0].log("did:vek:race")
    assert [stored.version for stored in log] == list(range(1, WRITERS * APPENDS + 1))
    assert sorted(stored.signed for stored in log) == sorted(seen)
    assert all(seen[stored.signed] == stored.version - 1 for stored in log)
    assert [stored.seq for stored in log] == sorted(stored.seq for stored in log)


def test_an_export_reader_never_skips_a_version_that_commits_late(stores):
    # A follower pages /export with after=<last seq seen> while writers commit: a version that
    # became visible after a larger seq would be skipped for good.
    done = threading.Event()
    followed: list[int] = []

    def follow():
        while True:
            finished = done.is_set()
            page = stores[1].export(followed[-1] if followed else 0, 1000)
            followed.extend(stored.seq for stored in page)
            if finished and not page:
                return

    follower = threading.Thread(target=follow)
    follower.start()
    try:
        run_threads(WRITERS, lambda i: [stores[i % 2].append(f"did:vek:w{i}-{n}", lambda last: version("x"))
                                        for n in range(APPENDS * 2)])
    finally:
        done.set()
        follower.join(60)
    every = [stored.seq for stored in stores[0].export(0, 100_000)]
    assert followed == every == list(range(1, WRITERS * APPENDS * 2 + 1))


@pytest.mark.parametrize("refusal", [Refused(409, "stale"), AlreadyStored(StoredVersion(
    did="did:vek:a", version=1, seq=1, version_time="t", created="t", signed="x", deactivates=False))])
def test_a_refused_append_stores_nothing_and_spends_no_seq(stores, refusal):
    store = stores[0]
    store.append("did:vek:a", lambda last: version("first"))

    def refuse(last):
        raise refusal

    with pytest.raises(type(refusal)):
        store.append("did:vek:a", refuse)
    second = store.append("did:vek:b", lambda last: version("second"))
    assert [stored.signed for stored in store.export(0, 10)] == ["first", "second"]
    assert second.seq == 2


def test_tables_are_made_once_when_many_processes_start_together(postgres_db):
    opened: list[PostgresStore] = []
    try:
        run_threads(6, lambda i: opened.append(PostgresStore(postgres_db)) or opened[-1].last("did:vek:a"))
        assert all(store.healthy() for store in opened)
    finally:
        for store in opened:
            store.close()


def test_without_its_database_the_store_says_so_in_one_line(nothing_listening):
    store = PostgresStore(nothing_listening, timeout=1.0, health_timeout=0.5)
    try:
        started = time.monotonic()
        assert store.healthy() is False
        assert time.monotonic() - started < 3
        for call in (lambda: store.last("did:vek:a"), lambda: store.append("did:vek:a", lambda last: version("x"))):
            with pytest.raises(StoreUnavailable) as raised:
                call()
            assert str(raised.value).startswith("PostgreSQL: ") and "\n" not in str(raised.value)
    finally:
        store.close()


def test_an_append_overtaken_by_a_writer_outside_the_queue_is_judged_again(stores, postgres_db):
    # A writer that does not queue (an older server, a hand-made import) commits version 1 while
    # the store's append is between its read and its insert: the unique key stops the insert,
    # and decide runs again against the version that got in first.
    seen: list[int | None] = []

    def decide(last):
        seen.append(None if last is None else last.version)
        if len(seen) == 1:
            with psycopg.connect(postgres_db, autocommit=True) as other, other.transaction():
                seq = other.execute("UPDATE did_vek_seq SET last_seq = last_seq + 1 RETURNING last_seq").fetchone()
                other.execute("INSERT INTO did_vek_versions VALUES ('did:vek:a', 1, %s, 't', 't', 'other', false)", seq)
        return version("mine")

    stored = stores[0].append("did:vek:a", decide)
    assert seen == [None, 1]
    assert (stored.version, stored.seq) == (2, 2)
    assert [stored.signed for stored in stores[0].log("did:vek:a")] == ["other", "mine"]
