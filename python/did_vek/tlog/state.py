"""What a client remembers of the logs it has verified, in a directory of small files.

    lock                        held (flock) by whoever reads, checks and writes
    logs/<H(origin)>.key        the log's vkey, pinned at first use
    logs/<H(origin)>.checkpoint the newest checkpoint verified for that log, as signed
    logs/<H(origin)>.audit      where the last audit of that log ended, to continue from
    registries/<H(url)>         the registry's URL and the vkey of the log first seen there

Names are the hex SHA-256 of the origin or URL, so any text makes a safe file name. Every
write goes to a temporary file that is flushed to disk and then renamed over the old one, so a
crash leaves the old file or the new one, never a part. A checkpoint is only ever replaced by
a larger one: the client's view of a log never moves back, which is what lets it catch a fork.
"""

import fcntl
import hashlib
import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from .checkpoint import Checkpoint, signed_checkpoint
from .errors import FormatError
from .note import Verifier

ENVIRONMENT = "DID_VEK_STATE"


def default_directory() -> Path:
    """`$DID_VEK_STATE`, else `$XDG_STATE_HOME/did-vek`, else `~/.local/state/did-vek`."""
    if chosen := os.environ.get(ENVIRONMENT):
        return Path(chosen)
    # A relative XDG_STATE_HOME is invalid and to be ignored.
    base = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "state")
    return Path(base, "did-vek")


def _name(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def registry_name(url: str) -> str:
    """The URL under which a registry is remembered: one spelling with or without a final "/"."""
    return url.rstrip("/")


class StateMoved(Exception):
    """Another process verified a newer tree of the log while an answer was on its way.

    The answer's consistency proof starts from a size the client no longer holds; asking again
    from the size it now holds settles it. Not a proof of anything wrong.
    """


class ClientState:
    """The remembered logs and registries under `directory` (by default `default_directory()`).

    Reading needs no lock; `update()` takes the lock for a read, check and write that must not
    interleave with another process's.
    """

    def __init__(self, directory: str | os.PathLike[str] | None = None, *, _kept: "ClientState | None" = None) -> None:
        self.directory = Path(default_directory() if directory is None else directory)
        # What each file held when last read, by its identity then: a file is only ever
        # replaced whole (a new inode), so an unchanged identity means unchanged text. An
        # update shares what its state read (`_kept`).
        self._read_before: dict[str, tuple[tuple[int, int, int], str]] = {} if _kept is None else _kept._read_before
        self._paths: dict[tuple[str, str, str], str] = {} if _kept is None else _kept._paths

    def log_key(self, origin: str) -> Verifier | None:
        """The key pinned for the log of `origin`, if any."""
        text = self._read(self._log_path(origin, "key"))
        return None if text is None else self._vkey(text.removesuffix("\n"), origin, "key")

    def checkpoint(self, origin: str) -> str | None:
        """The newest checkpoint verified for the log of `origin`, signed, as it was served."""
        text = self._read(self._log_path(origin, "checkpoint"))
        if text is not None and self._parse_checkpoint(text).origin != origin:
            raise FormatError(f"{self._log_path(origin, 'checkpoint')} holds a checkpoint of another log")
        return text

    def audit(self, origin: str) -> str | None:
        """What the last audit of the log of `origin` stored to continue from (its own format), if any."""
        return self._read(self._log_path(origin, "audit"))

    def registry_key(self, url: str) -> Verifier | None:
        """The key of the log first seen at the registry at `url`, if it has been seen."""
        path = self._registry_path(url)
        text = self._read(path)
        if text is None:
            return None
        stored_url, separator, vkey = text.removesuffix("\n").partition("\n")
        if not separator or stored_url != registry_name(url):
            raise FormatError(f"{path} is not '<url>\\n<vkey>\\n' of {registry_name(url)}")
        return self._vkey(vkey, None, "registry")

    def known_size(self, url: str) -> int | None:
        """The size of the newest tree verified of the log first seen at `url`: where a consistency
        proof for that registry's next answer should start. None before the first answer."""
        key = self.registry_key(url)
        signed = None if key is None else self.checkpoint(key.name)
        return None if signed is None else self._parse_checkpoint(signed).size

    @contextmanager
    def update(self) -> Iterator["StateUpdate"]:
        """The state, locked against other processes until the block ends, with its writes."""
        lock = os.path.join(self.directory, "lock")
        try:
            descriptor = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except FileNotFoundError:  # the first update: the directory is made with it
            self._make_directory(self.directory)
            descriptor = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            yield StateUpdate(self.directory, _kept=self)
        finally:
            os.close(descriptor)  # releases the lock

    def _log_path(self, origin: str, kind: str) -> str:
        return self._path(("logs", origin, kind))

    def _registry_path(self, url: str) -> str:
        return self._path(("registries", registry_name(url), ""))

    def _path(self, key: tuple[str, str, str]) -> str:
        # Kept: an answer's check reads the same few files several times.
        path = self._paths.get(key)
        if path is None:
            folder, text, kind = key
            path = self._paths[key] = os.path.join(self.directory, folder,
                                                   f"{_name(text)}.{kind}" if kind else _name(text))
        return path

    def _read(self, name: str) -> str | None:
        try:
            status = os.stat(name)
            identity = (status.st_ino, status.st_mtime_ns, status.st_size)
            before = self._read_before.get(name)
            if before is not None and before[0] == identity:
                return before[1]
            with open(name, "rb") as file:
                text = file.read().decode("utf-8")  # byte for byte: no newline translation
        except FileNotFoundError:
            return None
        except UnicodeDecodeError:
            raise FormatError(f"{name} is not UTF-8 text") from None
        self._read_before[name] = (identity, text)
        return text

    @staticmethod
    def _vkey(text: str, origin: str | None, kind: str) -> Verifier:
        verifier = Verifier.from_vkey(text)
        if origin is not None and verifier.name != origin:
            raise FormatError(f"the {kind} file of {origin!r} holds the key of {verifier.name!r}")
        return verifier

    @staticmethod
    def _parse_checkpoint(signed: str) -> Checkpoint:
        return signed_checkpoint(signed)

    @staticmethod
    def _make_directory(path: Path) -> None:
        # Only the directories this state creates get 0700; an existing one keeps its owner's choice.
        path.parent.mkdir(parents=True, exist_ok=True)
        try:
            path.mkdir(mode=0o700)
        except FileExistsError:
            pass


class StateUpdate(ClientState):
    """The state while its lock is held: the only way to write it."""

    @contextmanager
    def update(self) -> Iterator["StateUpdate"]:
        yield self  # already locked: a second lock of this process's own would wait forever

    def pin_log_key(self, verifier: Verifier) -> None:
        """Remember `verifier` as the key of the log it names, unless one is already pinned."""
        if self.log_key(verifier.name) is None:
            self._write(self._log_path(verifier.name, "key"), verifier.vkey + "\n")

    def pin_registry(self, url: str, verifier: Verifier) -> None:
        """Remember `verifier` as the log first seen at `url`, unless one already is."""
        if self.registry_key(url) is None:
            self._write(self._registry_path(url), f"{registry_name(url)}\n{verifier.vkey}\n")

    def store_checkpoint(self, signed: str) -> None:
        """Remember the verified checkpoint `signed` if its tree is larger than the one remembered.

        A smaller tree is a `ValueError`: the caller was to refuse it before. One of the same size
        leaves the remembered one (its root is the same, or the caller found a fork).
        """
        checkpoint = self._parse_checkpoint(signed)
        stored = self.checkpoint(checkpoint.origin)
        if stored is not None:
            stored_size = self._parse_checkpoint(stored).size
            if checkpoint.size < stored_size:
                raise ValueError(f"the state of {checkpoint.origin} would move back from size "
                                 f"{stored_size} to {checkpoint.size}")
            if checkpoint.size == stored_size:
                return
        self._write(self._log_path(checkpoint.origin, "checkpoint"), signed)

    def store_audit(self, origin: str, text: str) -> None:
        """Remember where an audit of the log of `origin` ended (the audit's own format)."""
        self._write(self._log_path(origin, "audit"), text)

    def _write(self, name: str, text: str) -> None:
        path = Path(name)
        self._make_directory(path.parent)
        descriptor, temporary = tempfile.mkstemp(dir=path.parent, prefix=".", suffix=".tmp")  # 0600
        try:
            with os.fdopen(descriptor, "w", encoding="utf-8", newline="") as file:
                file.write(text)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, path)
        except BaseException:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
            raise
        # The rename is durable only once the directory that records it is.
        directory = os.open(path.parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
