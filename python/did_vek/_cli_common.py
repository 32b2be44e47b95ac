"""What every did-vek command module shares: the exit statuses, the two failures a command
reports, and the reading, decoding and writing of arguments, files and output."""

import argparse
import math
import sys
from typing import Any

from did_vek_core import DIDEngine, is_valid_did_py

from ._keyfile import read_secret
from ._messages import quoted

PROG = "did-vek"
OK, INVALID, USAGE, MISBEHAVIOUR = 0, 1, 2, 3


class InputError(Exception):
    """Bad input or an unreadable file: exit status 2."""


class Invalid(Exception):
    """A document, signature or DID that does not pass: exit status 1."""


class Misbehaviour(Exception):
    """Signed evidence that a registry's log lies (a fork, or an audit's discrepancy): exit status 3."""


def text_argument(value: str) -> str:
    # Arguments that are not UTF-8 arrive with lone surrogates, which have no UTF-8 form
    # to sign, check or print.
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError("not valid UTF-8") from None
    return value


def port_argument(text: str) -> int:
    if not text.isascii() or not text.isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"not a port number (0 to 65535): {text!r}")
    return int(text)


def workers_argument(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a number of processes (1 or more): {text!r}")
    return int(text)


def threads_argument(text: str) -> int:
    if not text.isascii() or not text.isdigit() or not 1 <= int(text) <= 1024:
        raise argparse.ArgumentTypeError(f"not a number of threads (1 to 1024): {text!r}")
    return int(text)


def connections_argument(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a number of connections (1 or more): {text!r}")
    return int(text)


def max_age_argument(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not 0 < seconds < math.inf:
        raise argparse.ArgumentTypeError(f"not a number of seconds above 0: {text!r}")
    return seconds


def add_max_age(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-age", metavar="SECONDS", type=max_age_argument,
                        help="refuse a checkpoint unless the trust policy's quorum cosigned it within this many seconds")


def seconds_argument(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds <= 3600:
        raise argparse.ArgumentTypeError(f"not a number of seconds (above 0, at most 3600): {text!r}")
    return seconds


def add_serve_limits(parser: argparse.ArgumentParser) -> None:
    """The options of a server process's bounds; unset ones keep the server's defaults."""
    parser.add_argument("--max-connections", type=connections_argument, metavar="N",
                        help="connections open at once per process; more are closed (default: 500)")
    parser.add_argument("--idle-timeout", type=seconds_argument, metavar="S",
                        help="close a kept-alive connection idle this long (default: 5)")
    parser.add_argument("--request-timeout", type=seconds_argument, metavar="S",
                        help="close a connection whose request does not arrive whole, or whose client"
                             " does not read its answer, within this long (default: 10)")


def serve_limits(arguments: argparse.Namespace) -> dict[str, Any]:
    """The bounds given by the options of `add_serve_limits`, for `ServeLimits`."""
    given = {name: getattr(arguments, name) for name in ("max_connections", "idle_timeout", "request_timeout")}
    return {name: value for name, value in given.items() if value is not None}


def write(text: str, stream: Any = None) -> None:
    # Bytes, not text: the output is UTF-8 whatever the locale says.
    stream = stream or sys.stdout
    stream.flush()
    stream.buffer.write(text.encode("utf-8") + b"\n")
    stream.buffer.flush()


def read(path: str, what: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise InputError(f"cannot read {what} {path}: {error.strerror}") from None


def decode(data: bytes, where: str, failure: type[Exception]) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise failure(f"{where} is not UTF-8 text (byte {error.start})") from None


def shown_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def engine_of(path: str) -> DIDEngine:
    return DIDEngine.from_secret_key(read_secret(path))


def valid_did(did: str) -> str:
    if not is_valid_did_py(did):
        raise InputError(f"{quoted(did)} is not a valid did:vek DID")
    return did
