"""The key the registry signs its log's checkpoints with, and the origin that names the log.

The key is a key file of the package's own form. A SQLite registry without one names makes
`<db file>.log-key` at its first start and reuses it after; a PostgreSQL registry's processes
must share one key, so it is always named. The database remembers the verifier key of the log it
holds: a registry started with another key or origin refuses to start rather than sign checkpoints
that no client who saw the old ones would accept.
"""

import hashlib
import os
import secrets
from dataclasses import dataclass

from did_vek_core import DIDEngine

from .._keyfile import KeyFileError, read_secret, write_secret
from ..tlog.note import Signer, check_key_name


# How `serve` hands the log key and origin to its worker processes; what a registry opened
# without either reads.
LOG_KEY_VARIABLE = "DID_VEK_LOG_KEY"
ORIGIN_VARIABLE = "DID_VEK_LOG_ORIGIN"


class LogKeyError(ValueError):
    """The log key or origin cannot be used; the message says why."""


@dataclass(frozen=True)
class LogKey:
    signer: Signer

    @property
    def origin(self) -> str:
        return self.signer.verifier.name

    @property
    def vkey(self) -> str:
        """The log's verifier key, as clients and witnesses name it."""
        return self.signer.verifier.vkey


def default_origin(public_key_hex: str) -> str:
    return "did-vek/" + hashlib.sha256(bytes.fromhex(public_key_hex)).hexdigest()[:8]


def sqlite_key_path(db: str) -> str:
    return f"{db}.log-key"


def log_key(engine: DIDEngine, origin: str | None = None) -> LogKey:
    """The log key of `engine`, under `origin` or the default one derived from its public key."""
    origin = default_origin(engine.public_key) if origin is None else origin
    try:
        check_key_name(origin, "origin")
    except ValueError as error:  # a space, a "+", a control character
        raise LogKeyError(str(error)) from None
    return LogKey(Signer(origin, engine))


def load_log_key(path: str, origin: str | None = None, *, create: bool = False) -> LogKey:
    """The log key in the key file at `path`; with `create`, a new one written there (mode 0600)
    when the file does not exist yet. A `KeyFileError` names what is wrong with the file."""
    if create:
        try:
            write_secret(path, secrets.token_bytes(32).hex(), replace=False)
        except KeyFileError:
            pass  # there already (perhaps made by another process just now): read below
    return log_key(DIDEngine.from_secret_key(read_secret(path)), origin)


def log_key_for(store: object, path: str | None = None, origin: str | None = None) -> LogKey:
    """The log key of a registry on `store`: from the key file at `path`, else the one named by
    $DID_VEK_LOG_KEY, else for a SQLite store `<db file>.log-key` (made at first use)."""
    origin = origin if origin is not None else os.environ.get(ORIGIN_VARIABLE) or None
    path = path if path is not None else os.environ.get(LOG_KEY_VARIABLE) or None
    if path is not None:
        return load_log_key(path, origin)
    db_file = getattr(store, "path", None)
    if not isinstance(db_file, str):
        raise LogKeyError("a PostgreSQL registry needs its log key, shared by all its processes (--log-key)")
    return load_log_key(sqlite_key_path(db_file), origin, create=True)
