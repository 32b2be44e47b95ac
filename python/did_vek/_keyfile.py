"""Secret key files: 64 hex digits and a line feed, readable by their owner only.

A key file that its group or others can read or write is refused, as ssh refuses one: the
secret in it may already be known, or replaced by one that someone else knows.
"""

import os
import stat
import tempfile

from ._keys import is_hex

# A key file holds 65 bytes; a much larger file is not one, and is not read to its end.
_READ_LIMIT = 4096


class KeyFileError(Exception):
    """A key file that cannot be read or written; the message names the file."""


def read_secret(path: str) -> str:
    """The secret hex in the key file at `path`, white space around it ignored."""
    try:
        # O_NONBLOCK: opening a FIFO by mistake must not hang; it is refused below.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise KeyFileError(f"cannot open key file {path}: {error.strerror}") from None
    try:
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            raise KeyFileError(f"key file {path} is not a regular file")
        if mode & 0o077:
            raise KeyFileError(f"key file {path} is open to its group or others (mode {stat.S_IMODE(mode):04o}): "
                               f"run chmod 600 {path}")
        content = _read_up_to(descriptor, _READ_LIMIT + 1)
    except OSError as error:
        raise KeyFileError(f"cannot read key file {path}: {error.strerror}") from None
    finally:
        os.close(descriptor)
    # The content is never quoted in a message: it may be a secret with a typing error.
    secret = content.decode("ascii", errors="replace").strip()
    if len(content) > _READ_LIMIT or not is_hex(secret, 64):
        raise KeyFileError(f"key file {path} does not hold a secret key (64 hex digits)")
    return secret


def _read_up_to(descriptor: int, limit: int) -> bytes:
    chunks = []
    while limit > 0 and (chunk := os.read(descriptor, limit)):
        chunks.append(chunk)
        limit -= len(chunk)
    return b"".join(chunks)


def write_secret(path: str, secret_hex: str, *, replace: bool) -> None:
    """Write a new key file with mode 0600; an existing file is kept unless `replace`.

    A replacement is written beside the old file and renamed over it, so the old key stays
    whole until the new one is on disk, and the new file never inherits the old one's mode.
    """
    data = f"{secret_hex}\n".encode("ascii")
    if replace:
        directory = os.path.dirname(path) or "."
        try:
            descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".did-vek-key-")
        except OSError as error:
            raise KeyFileError(f"cannot write key file {path}: {error.strerror}") from None
        _write_and_close(descriptor, data, temporary, path)
        try:
            os.replace(temporary, path)
        except OSError as error:
            os.unlink(temporary)
            raise KeyFileError(f"cannot write key file {path}: {error.strerror}") from None
        return
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        raise KeyFileError(f"{path} exists; give --force to replace it") from None
    except OSError as error:
        raise KeyFileError(f"cannot create key file {path}: {error.strerror}") from None
    _write_and_close(descriptor, data, path, path)


def _write_and_close(descriptor: int, data: bytes, written: str, shown: str) -> None:
    try:
        with os.fdopen(descriptor, "wb") as file:
            # The umask can only take permissions away; this makes the mode exactly 0600.
            os.fchmod(file.fileno(), 0o600)
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
    except OSError as error:
        os.unlink(written)
        raise KeyFileError(f"cannot write key file {shown}: {error.strerror}") from None
