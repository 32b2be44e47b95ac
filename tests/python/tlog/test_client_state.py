# The client's remembered state: where it lives, that it never moves back (not even when processes race),
# that a failed write leaves the old file whole, and that any origin or URL makes a safe file name.
import multiprocessing
import os
import stat
from pathlib import Path

import pytest

from did_vek import DIDEngine
from did_vek.tlog.checkpoint import Checkpoint
from did_vek.tlog.note import Signer
from did_vek.tlog.state import ClientState, default_directory

ORIGIN = "registry.example/did-vek"
SIGNER = Signer(ORIGIN, DIDEngine())


def signed(size, origin=ORIGIN, signer=SIGNER):
    return Checkpoint(origin, size, size.to_bytes(32, "big")).sign(signer)


def stored_size(state, origin=ORIGIN):
    text = state.checkpoint(origin)
    return None if text is None else int(text.split("\n")[1])


@pytest.mark.parametrize("environment, expected", [
    ({"DID_VEK_STATE": "/chosen", "XDG_STATE_HOME": "/xdg"}, "/chosen"),
    ({"XDG_STATE_HOME": "/xdg"}, "/xdg/did-vek"),
    ({"XDG_STATE_HOME": "relative"}, "~/.local/state/did-vek"),
    ({"DID_VEK_STATE": "", "XDG_STATE_HOME": ""}, "~/.local/state/did-vek"),
    ({}, "~/.local/state/did-vek"),
])
def test_where_the_state_lives(monkeypatch, environment, expected):
    for name in ("DID_VEK_STATE", "XDG_STATE_HOME"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setenv("HOME", "/home/someone")
    assert default_directory() == Path(os.path.expanduser(expected))


@pytest.mark.parametrize("sizes, remembered", [
    ([5, 9], 9),
    ([9, 9], 9),
    ([9, 5], 9),  # refused
    ([1, 9, 5, 12, 2], 12),
])
def test_a_remembered_checkpoint_never_moves_back(tmp_path, sizes, remembered):
    state = ClientState(tmp_path)
    for size in sizes:
        with state.update() as update:
            if stored_size(update) is not None and size < stored_size(update):
                with pytest.raises(ValueError, match="move back"):
                    update.store_checkpoint(signed(size))
            else:
                update.store_checkpoint(signed(size))
    assert state.checkpoint(ORIGIN) == signed(remembered)


def _store_each(directory, sizes):
    state = ClientState(directory)
    for size in sizes:
        with state.update() as update:
            if (stored_size(update) or 0) < size:
                update.store_checkpoint(signed(size))


def test_racing_processes_never_move_the_state_back(tmp_path):
    # Each process stores a rising sequence; without the lock, one that read an older size could
    # write its smaller tree over another's larger one.
    context = multiprocessing.get_context("spawn")
    processes = [context.Process(target=_store_each, args=(tmp_path, range(start, 240, 3))) for start in (1, 2, 3)]
    for process in processes:
        process.start()
    for process in processes:
        process.join(60)
        assert process.exitcode == 0
    assert stored_size(ClientState(tmp_path)) == 239


def test_a_failed_write_leaves_the_old_file_whole(tmp_path, monkeypatch):
    state = ClientState(tmp_path)
    with state.update() as update:
        update.store_checkpoint(signed(3))

    def failing_fsync(descriptor):
        raise OSError("the disk is full")

    monkeypatch.setattr(os, "fsync", failing_fsync)
    with pytest.raises(OSError, match="disk is full"), state.update() as update:
        update.store_checkpoint(signed(7))
    assert state.checkpoint(ORIGIN) == signed(3)
    assert not list((tmp_path / "logs").glob(".*"))  # no temporary file left behind


@pytest.mark.parametrize("origin, url", [
    ("did-vek/0123abcd", "http://127.0.0.1:8080/"),
    ("../../etc/passwd", "http://h/../../x"),
    ("ünïcødé/lög", "https://例え.jp/registry"),
    ("a" * 300, "http://h/" + "p" * 5000),
])
def test_any_origin_or_url_is_remembered_in_the_state_directory_only(tmp_path, origin, url):
    signer = Signer(origin, DIDEngine())
    state = ClientState(tmp_path / "state")
    with state.update() as update:
        update.pin_log_key(signer.verifier)
        update.pin_registry(url, signer.verifier)
        update.store_checkpoint(signed(4, origin, signer))
    assert (state.log_key(origin), state.registry_key(url), state.known_size(url)) == (signer.verifier,) * 2 + (4,)
    files = [path for path in tmp_path.rglob("*") if path.is_file()]
    assert all(path.is_relative_to(tmp_path / "state") and len(path.name) <= 75 for path in files)
    assert stat.S_IMODE((tmp_path / "state").stat().st_mode) == 0o700
    assert {stat.S_IMODE(path.stat().st_mode) for path in files} == {0o600}


def test_pins_are_kept_from_first_use(tmp_path):
    first, second = Signer(ORIGIN, DIDEngine()), Signer(ORIGIN, DIDEngine())
    state = ClientState(tmp_path)
    with state.update() as update:
        for signer in (first, second):
            update.pin_log_key(signer.verifier)
            update.pin_registry("http://registry.example", signer.verifier)
    assert state.log_key(ORIGIN) == state.registry_key("http://registry.example/") == first.verifier
