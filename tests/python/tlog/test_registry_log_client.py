# The client and the monitor against the real registry: resolutions and receipts proven and remembered,
# one log key signing two registries' different trees caught as a fork (exit 3, state untouched), and
# audits of the registry's whole log that continue where the last one ended.
import json
import subprocess
import sys

import pytest

from did_vek import RegistryClient
from did_vek.tlog.audit import audit
from did_vek.tlog.state import ClientState
from holders import Holder, history
from registries import needs_registry_extra, real_registry
from test_cli import run
from test_lying_registry import snapshot

pytestmark = needs_registry_extra


def test_resolve_and_publish_are_proven_and_remembered(tmp_path):
    state = ClientState(tmp_path / "state")
    holder = history(3)
    with real_registry(tmp_path / "registry.sqlite3") as url, RegistryClient(url, state=state.directory) as client:
        receipts = [client.publish(version) for version in holder.versions]
        after_publish = state.known_size(url)
        assert client.resolve(holder.did, version_id="2").history.latest.version_id == "3"
        other = Holder()
        client.publish(other.write())
        assert client.resolve(holder.did).version_id == "3"  # the tree grew: proven to extend the one before
        assert client.publish(holder.versions[2]).created is False  # a retry's receipt is proven too
    # Each version in a batch of its own: genesis, then (version entry, map entry) per publish.
    assert [receipt.log_index for receipt in receipts] == [1, 3, 5]
    assert (after_publish, state.known_size(url)) == (7, 9)


def test_one_log_key_signing_two_trees_is_a_fork_exit_3_and_nothing_stored(tmp_path):
    # Two registries with the session's one log key (one origin), each holding another DID's version 1:
    # two signed trees of size 3 with different roots.
    state = tmp_path / "state"
    holders = Holder(), Holder()
    with real_registry(tmp_path / "a.sqlite3") as first, real_registry(tmp_path / "b.sqlite3") as second:
        assert run("publish", "--registry", first, "--state", state, "-", stdin=holders[0].write().encode()).status == 0
        assert run("publish", "--registry", second, "-", stdin=holders[1].write().encode()).status == 0  # another state
        before = snapshot(state)
        done = subprocess.run([sys.executable, "-m", "did_vek", "resolve", "--registry", second, "--state", state,
                               holders[1].did], capture_output=True, timeout=60)
    assert done.returncode == 3
    error = done.stderr.decode()
    assert "two trees of size 3 with different roots" in error and error.count("\n— did-vek/") == 2
    assert error.endswith("=\n")  # each checkpoint printed as signed, final newline and all
    assert snapshot(state) == before


def test_publish_refuses_a_fork_before_remembering_it(tmp_path):
    holders = Holder(), Holder()
    state = tmp_path / "state"
    with real_registry(tmp_path / "a.sqlite3") as first, real_registry(tmp_path / "b.sqlite3") as second:
        assert run("publish", "--registry", first, "--state", state, "-", stdin=holders[0].write().encode()).status == 0
        before = snapshot(state)
        done = subprocess.run([sys.executable, "-m", "did_vek", "publish", "--registry", second, "--state", state, "-"],
                              input=holders[1].write().encode(), capture_output=True, timeout=60)
    assert done.returncode == 3 and "the registry's log forked" in done.stderr.decode()
    assert snapshot(state) == before


def test_audit_of_the_registry_continues_where_it_ended(tmp_path):
    state = tmp_path / "state"
    with real_registry(tmp_path / "registry.sqlite3") as url:
        with RegistryClient(url, state=state) as client:
            holders = [history(2) for _ in range(3)]
            for versions in zip(*(holder.versions for holder in holders)):
                for version in versions:
                    client.publish(version)
            first = run("audit", "--registry", url, "--state", state)
            later = Holder()
            client.publish(later.write())
            client.publish(later.write(deactivate=True))
            second = run("audit", "--registry", url, "--state", state)
            again = run("audit", "--registry", url, "--state", state)
        whole = audit(RegistryClient(url))
    assert first.status == 0 and ", tree of 13 entries (entries 0 to 12): 6 versions in 7 batches, 3 DIDs" in first.out
    assert second.status == 0 and "(entries 13 to 16): 2 versions in 2 batches, 4 DIDs" in second.out
    assert again.status == 0 and "(no new entries): 0 versions in 0 batches, 4 DIDs" in again.out
    assert (whole.size, whole.versions, whole.batches, whole.dids) == (17, 8, 9, 4)
    remembered = ClientState(state)
    assert json.loads(remembered.audit(whole.origin))["checkpoint"] == remembered.checkpoint(whole.origin)
