# The client's state: where it lives, that it never moves back even when processes race, that a failed
# write leaves the old file whole, and that any origin or URL makes a safe, private file name.
import contextlib
import multiprocessing
import os
import stat
from pathlib import Path

import pytest

from did_vek import DIDEngine
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import Signer
from did_vek.tlog.state import ClientState, default_directory

SIGNER = Signer("registry.example/did-vek", DIDEngine())


def store(state, size, signer=SIGNER):
    with state.update() as update:
        update.store_checkpoint(Checkpoint(signer.verifier.name, size, size.to_bytes(32, "big")).sign(signer))


@pytest.mark.parametrize("environment, expected", [
    ({"DID_VEK_STATE": "/chosen", "XDG_STATE_HOME": "/xdg"}, "/chosen"), ({"XDG_STATE_HOME": "/xdg"}, "/xdg/did-vek"),
    ({"XDG_STATE_HOME": "relative"}, "~/.local/state/did-vek"), ({"DID_VEK_STATE": ""}, "~/.local/state/did-vek")])
def test_where_the_state_lives(monkeypatch, environment, expected):
    for name in ("DID_VEK_STATE", "XDG_STATE_HOME"):
        monkeypatch.setenv(name, environment.get(name, ""))  # empty is unset
    assert default_directory() == Path(os.path.expanduser(expected))


def _store_rising(directory, start, barrier):
    state = ClientState(directory)
    barrier.wait()
    for size in range(start, 150, 3):  # each process rises; a lost race would store a smaller tree
        with contextlib.suppress(ValueError):  # "would move back": another process is ahead
            store(state, size)
        assert int(state.checkpoint(SIGNER.verifier.name).split("\n")[1]) >= size


def test_racing_processes_never_move_the_state_back(tmp_path):
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(3)
    processes = [context.Process(target=_store_rising, args=(tmp_path, start, barrier)) for start in (1, 2, 3)]
    [process.start() for process in processes], [process.join(60) for process in processes]
    assert [process.exitcode for process in processes] == [0, 0, 0]
    assert ClientState(tmp_path).checkpoint(SIGNER.verifier.name).split("\n")[1] == "149"
    with pytest.raises(ValueError, match="move back from size 149 to 7"):
        store(ClientState(tmp_path), 7)


def test_a_failed_write_leaves_the_old_file_whole(tmp_path, monkeypatch):
    store(ClientState(tmp_path), 3)
    monkeypatch.setattr(os, "fsync", lambda descriptor: (_ for _ in ()).throw(OSError("the disk is full")))
    with pytest.raises(OSError, match="disk is full"):
        store(ClientState(tmp_path), 7)
    assert ClientState(tmp_path).checkpoint(SIGNER.verifier.name).split("\n")[1] == "3"
    assert not list((tmp_path / "logs").glob(".*"))  # no temporary file left behind


@pytest.mark.parametrize("origin, url", [("did-vek/0123abcd", "http://127.0.0.1:8080/"), ("../../x", "http://h/../../x"),
                                         ("ünï/lög", "https://例え.jp/r"), ("a" * 300, "http://h/" + "p" * 5000)])
def test_any_origin_or_url_is_remembered_privately_in_the_state_directory(tmp_path, origin, url):
    signer, state = Signer(origin, DIDEngine()), ClientState(tmp_path / "state")
    with state.update() as update:
        update.pin_log_key(signer.verifier)
        update.pin_registry(url, signer.verifier)
    store(state, 4, signer)
    assert (state.log_key(origin), state.registry_key(url), state.known_size(url)) == (signer.verifier,) * 2 + (4,)
    files = [path for path in tmp_path.rglob("*") if path.is_file()]
    assert all(path.is_relative_to(tmp_path / "state") and len(path.name) <= 75 for path in files)
    assert {stat.S_IMODE(path.stat().st_mode) for path in files} == {0o600}
    assert {stat.S_IMODE(path.stat().st_mode) for path in tmp_path.rglob("*") if path.is_dir()} == {0o700}
