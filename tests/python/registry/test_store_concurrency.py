# Two stores on one database, as two server processes have them, under threads that race:
# whatever the interleaving, each version is judged against the one it follows, and seq follows
# commit order so that a reader paging the export misses nothing.
import threading

import pytest

from conftest import LONG
from did_vek.registry import open_log, open_store
from did_vek.registry.store import NewVersion, StoredVersion
from racing import in_threads

WRITERS = 8
APPENDS = 40 if LONG else 10


def version(text):
    return NewVersion(version_time="2026-01-01T00:00:00Z", created="2026-01-01T00:00:00Z", signed=text,
                      deactivates=False)


@pytest.fixture
def stores(db):
    opened = [open_store(db), open_store(db)]
    yield opened
    for store in opened:
        store.close()


@pytest.fixture
def logs(stores):
    return [open_log(store) for store in stores]


def test_racing_writers_judge_the_version_they_follow(stores, logs):
    # The last call of decide for a text is the one whose result was stored: it must have seen
    # the version that the text now follows.
    seen: dict[str, int] = {}

    def write(i):
        for n in range(APPENDS):
            text = f"{i}-{n}"

            def decide(last: StoredVersion | None) -> NewVersion:
                seen[text] = 0 if last is None else last.version
                return version(text)

            logs[i % 2].append("did:vek:race", decide)

    in_threads(WRITERS, write)
    log = stores[0].log("did:vek:race")
    assert [stored.version for stored in log] == list(range(1, WRITERS * APPENDS + 1))
    assert sorted(stored.signed for stored in log) == sorted(seen)
    assert all(seen[stored.signed] == stored.version - 1 for stored in log)
    assert [stored.seq for stored in log] == sorted(stored.seq for stored in log)


def test_an_export_reader_never_skips_a_version_that_commits_late(stores, logs):
    # A follower pages the export with after=<last seq seen> while writers commit: a version that
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
        in_threads(WRITERS, lambda i: [logs[i % 2].append(f"did:vek:w{i}-{n}", lambda last: version("x"))
                                       for n in range(APPENDS * 2)])
    finally:
        done.set()
        follower.join(60)
    every = [stored.seq for stored in stores[0].export(0, 100_000)]
    assert followed == sorted(set(every)) == every and len(every) == WRITERS * APPENDS * 2
