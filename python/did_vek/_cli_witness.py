"""did-vek witness: cosign the checkpoints of the given logs, each only when it extends the last."""

import argparse
import sqlite3
from collections.abc import Callable
from typing import Any

from ._cli_common import OK, InputError, engine_of, port_argument, text_argument, write
from .tlog.errors import FormatError
from .tlog.note import Verifier, check_key_name

DEFAULT_PORT = 8081
_EXTRA = "the witness needs the registry's extra: pip install 'did-vek[registry]'"


def witness(args: argparse.Namespace) -> int:
    try:
        from .registry.server import CannotListen, check_listen
        from .witness.server import serve
    except ImportError:
        raise InputError(_EXTRA) from None
    from .witness import Witness, WitnessState

    try:
        check_key_name(args.name, "the witness name")
    except FormatError as error:
        raise InputError(str(error)) from None
    try:
        logs = [Verifier.from_vkey(vkey) for vkey in args.log]
    except FormatError as error:
        raise InputError(f"--log: {error}") from None
    engine = engine_of(args.key)
    try:
        check_listen(args.host, args.port)
    except CannotListen as error:
        raise InputError(str(error)) from None
    try:
        state = WitnessState(args.db)
    except sqlite3.Error as error:
        raise InputError(f"the state {args.db} cannot be opened: {error}") from None
    try:
        running = Witness(args.name, engine, logs, state)
    except ValueError as error:  # a vkey that is not a log's
        state.close()
        raise InputError(f"--log: {error}") from None
    try:
        write(running.vkey)
        serve(running, host=args.host, port=args.port)
    finally:
        state.close()
    return OK


def add_commands(commands: Any, command: Callable[..., Any]) -> None:
    """Adds `witness` to the did-vek parser's `commands`, made with `command`."""
    parser = command(commands, "witness", witness,
                     "run a witness: cosign each log's checkpoints only when they extend the last one cosigned")
    parser.add_argument("--name", required=True, type=text_argument,
                        help="the witness's name, as its cosignatures carry it")
    parser.add_argument("--db", metavar="FILE", required=True, help="the SQLite file of the checkpoints it holds")
    parser.add_argument("--key", metavar="FILE", required=True, help="the key file of its cosigning key")
    parser.add_argument("--log", metavar="VKEY", required=True, action="append", type=text_argument,
                        help="the verifier key of a log it witnesses; repeatable")
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=port_argument, default=DEFAULT_PORT,
                        help=f"the port to listen on (default: {DEFAULT_PORT})")
