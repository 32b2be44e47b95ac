"""The did-vek command: keys, signatures, DIDs and documents from the shell.

Exit status 0 for success or "valid", 1 for "invalid", 2 for usage and input errors, 3 for
proof that a registry's log misbehaves. Every error is one line on stderr (a fork's two
checkpoints follow it); no traceback reaches the user.
"""

import argparse
import json
import os
import secrets
import sys
from collections.abc import Callable, Sequence
from dataclasses import asdict
from typing import Any, NoReturn

from did_vek_core import DIDDocumentBuilder, DIDEngine, is_valid_did_py, parse_did_py

from ._cli_common import (INVALID, MISBEHAVIOUR, OK, PROG, USAGE, InputError, Invalid, Misbehaviour, decode,
                          engine_of, read, shown_name, text_argument, valid_did, write)
from ._cli_audit import add_commands as add_audit_commands
from ._cli_credentials import add_commands as add_credential_commands
from ._cli_registry import add_commands as add_registry_commands
from ._cli_tlog import add_commands as add_log_commands
from ._cli_witness import add_commands as add_witness_commands
from ._errors import InvalidDocument
from ._history import verify_history
from ._keyfile import KeyFileError, write_secret
from ._keys import is_hex
from ._messages import quoted
from ._sign import sign_document
from ._verify import verify_document


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block and message.
    def error(self, message: str) -> NoReturn:
        self.exit(USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _message(args: argparse.Namespace) -> str:
    if args.message is not None:
        return str(args.message)
    # Signed exactly as read: a final line feed is part of the message.
    return decode(read(args.message_file, "message file"), f"message file {shown_name(args.message_file)}", InputError)


def keygen(args: argparse.Namespace) -> int:
    # The engine never reveals its seed, so the secret is drawn here and given to it.
    secret = secrets.token_bytes(32).hex()
    engine = DIDEngine.from_secret_key(secret)
    summary = f"public key: {engine.public_key}\nDID: {engine.create_did_from_key()}"
    if args.out == "-":
        write(secret)
        write(summary, sys.stderr)
    else:
        write_secret(args.out, secret, replace=args.force)
        write(summary)
    return OK


def did(args: argparse.Namespace) -> int:
    write(engine_of(args.key).create_did_from_key())
    return OK


def public_key(args: argparse.Namespace) -> int:
    write(engine_of(args.key).public_key)
    return OK


def issue(args: argparse.Namespace) -> int:
    engine = engine_of(args.key)
    subject = engine.create_did_from_key() if args.did is None else valid_did(args.did)
    write(engine.create_document(subject))
    return OK


def verify(args: argparse.Namespace) -> int:
    where = shown_name(args.file)
    text = decode(read(args.file, "document"), where, Invalid)
    try:
        verified = verify_document(text, did=args.did)
    except InvalidDocument as error:
        raise Invalid(f"{where}: invalid: {error}") from None
    if args.json:
        fields = {name: value for name, value in asdict(verified).items() if name != "document"}
        write(json.dumps(fields))
    else:
        binding = "key-derived DID" if verified.key_derived else "DID not derived from the key"
        write(f"valid: {verified.did}, public key {verified.public_key}, {binding}")
    return OK


def sign_document_command(args: argparse.Namespace) -> int:
    where = shown_name(args.file)
    text = decode(read(args.file, "document"), where, InputError)
    engine = engine_of(args.key)
    try:
        write(sign_document(engine, text, key_id=args.key_id))
    except InvalidDocument as error:
        raise InputError(f"{where}: not a document that can be signed: {error}") from None
    return OK


def verify_history_command(args: argparse.Namespace) -> int:
    where = shown_name(args.file)
    text = decode(read(args.file, "history"), where, InputError)
    try:
        history = verify_history(text)
    except InvalidDocument as error:
        raise Invalid(f"{where}: invalid: {error}") from None
    latest = history.latest
    state = "deactivated" if history.deactivated else "active"
    write(f"valid: {history.did}, {len(history.versions)} version(s), {state}; version {latest.version_id} "
           f"of {latest.version_time} signed by {latest.key_id} ({latest.public_key})")
    return OK


def sign(args: argparse.Namespace) -> int:
    message = _message(args)
    write(engine_of(args.key).sign(message))
    return OK


def check_signature(args: argparse.Namespace) -> int:
    message = _message(args)
    if not is_hex(args.public_key, 64):
        raise Invalid("the public key is not 64 hex digits")
    if not is_hex(args.signature, 128):
        raise Invalid("the signature is not 128 hex digits")
    if not DIDEngine.verify_with_key(message, args.signature, args.public_key):
        raise Invalid("the signature does not verify for this message and key")
    write("valid")
    return OK


def build(args: argparse.Namespace) -> int:
    try:
        builder = DIDDocumentBuilder(args.did)
    except ValueError:
        raise InputError(f"{quoted(args.did)} is not a valid did:vek DID") from None
    for method, values in args.steps:
        getattr(builder, method)(*values)
    write(builder.build())
    return OK


def parse(args: argparse.Namespace) -> int:
    parts = parse_did_py(args.did)
    if parts is None:
        raise Invalid(f"{quoted(args.did)} is not a DID (did:METHOD:IDENTIFIER)")
    write(f"method: {parts[0]}\nidentifier: {parts[1]}")
    return OK


def validate(args: argparse.Namespace) -> int:
    if not is_valid_did_py(args.did):
        raise Invalid(f"{quoted(args.did)} is not a valid did:vek DID")
    write(f"valid: {args.did}")
    return OK


class _Step(argparse.Action):
    """Records a builder call in command-line order, so interleaved options keep their order."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: str | Sequence[Any] | None, option_string: str | None = None) -> None:
        arguments = [values] if isinstance(values, str) else list(values or ())
        namespace.steps = [*namespace.steps, (self.const, arguments)]


def _command(commands: Any, name: str, run: Callable[[argparse.Namespace], int], help: str) -> _Parser:
    parser: _Parser = commands.add_parser(name, help=help, description=help)
    parser.set_defaults(run=run, command=f"{PROG} {name}")
    return parser


def _message_options(parser: _Parser) -> None:
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--message", metavar="TEXT", type=text_argument, help="the message text")
    group.add_argument("--message-file", metavar="FILE", help="the message as the bytes of FILE (- is stdin), UTF-8")


def make_parser() -> _Parser:
    parser = _Parser(prog=PROG, description="did:vek keys, signatures, DIDs and signed DID documents.")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    keygen_parser = _command(commands, "keygen", keygen, "write a fresh secret key to a file with mode 0600")
    keygen_parser.add_argument("--out", metavar="FILE", required=True, help="the key file (- writes to stdout)")
    keygen_parser.add_argument("--force", action="store_true", help="replace an existing FILE")

    for name, run, what in (("did", did, "the key-derived DID"), ("public-key", public_key, "the public key hex")):
        _command(commands, name, run, f"print {what} of a key file").add_argument(
            "--key", metavar="FILE", required=True, help="the key file")

    issue_parser = _command(commands, "issue", issue, "print a signed DID document")
    issue_parser.add_argument("--key", metavar="FILE", required=True, help="the key file")
    issue_parser.add_argument("--did", metavar="DID", type=text_argument, help="the document's DID (default: key-derived)")

    verify_parser = _command(commands, "verify", verify, "verify a signed DID document")
    verify_parser.add_argument("file", metavar="FILE", nargs="?", default="-", help="the document (default: stdin)")
    verify_parser.add_argument("--did", metavar="DID", type=text_argument, help="the DID the document must be for")
    verify_parser.add_argument("--json", action="store_true", help="print the result as one JSON object")

    sign_document_parser = _command(commands, "sign-document", sign_document_command,
                                    "sign a DID document (the output of build) with a key file")
    sign_document_parser.add_argument("file", metavar="FILE", nargs="?", default="-",
                                      help="the document (default: stdin)")
    sign_document_parser.add_argument("--key", metavar="FILE", required=True, help="the key file")
    sign_document_parser.add_argument("--key-id", metavar="ID", required=True, type=text_argument,
                                      help="the key's id: the proof names the key as DID#ID")

    history_parser = _command(commands, "verify-history", verify_history_command,
                              "verify a DID's history: a JSON array of signed documents, oldest first")
    history_parser.add_argument("file", metavar="FILE", nargs="?", default="-", help="the history (default: stdin)")

    sign_parser = _command(commands, "sign", sign, "sign a message with a key file")
    sign_parser.add_argument("--key", metavar="FILE", required=True, help="the key file")
    _message_options(sign_parser)

    check_parser = _command(commands, "check-signature", check_signature, "check a signature of a message")
    check_parser.add_argument("--public-key", metavar="HEX", required=True, type=text_argument, help="the public key")
    check_parser.add_argument("--signature", metavar="HEX", required=True, type=text_argument, help="the signature")
    _message_options(check_parser)

    build_parser = _command(commands, "build", build, "print an unsigned DID document")
    build_parser.add_argument("did", metavar="DID", type=text_argument, help="the document's DID")
    build_parser.set_defaults(steps=[])
    for option, method, metavar, nargs, what in (
            ("--controller", "set_controller", "C", None, "the document's controller (the last one given)"),
            ("--method", "add_verification_method", ("KEY_ID", "PUBLIC_KEY_HEX"), 2, "a verification method"),
            ("--authentication", "add_authentication", "KEY_ID", None, "a key for authentication"),
            ("--assertion-method", "add_assertion_method", "KEY_ID", None, "a key for assertion"),
            ("--service", "add_service", ("ID", "TYPE", "ENDPOINT"), 3, "a service"),
            ("--consent-service", "add_consent_service", "URL", None, "the bilateral consent service at URL"),
            ("--talvo-service", "add_talvo_service", "URL", None, "the provenance service at URL")):
        build_parser.add_argument(option, action=_Step, const=method, dest="steps", metavar=metavar, nargs=nargs,
                                  type=text_argument, help=what if option == "--controller" else f"{what}; repeatable")

    for name, run, what in (("parse", parse, "print the method and identifier of a DID"),
                            ("validate", validate, "check that a DID is a valid did:vek DID")):
        _command(commands, name, run, what).add_argument("did", metavar="DID", type=text_argument)

    add_registry_commands(commands, _command)
    add_credential_commands(commands, _command)
    add_log_commands(commands, _command)
    add_audit_commands(commands, _command)
    add_witness_commands(commands, _command)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run one command; the exit status is the result."""
    args = make_parser().parse_args(argv)  # usage errors exit here, with status 2
    try:
        return int(args.run(args))
    except Invalid as error:
        print(f"{args.command}: {error}", file=sys.stderr)
        return INVALID
    except Misbehaviour as error:
        print(f"{args.command}: {error}", file=sys.stderr)
        return MISBEHAVIOUR
    except (InputError, KeyFileError) as error:
        print(f"{args.command}: {error}", file=sys.stderr)
        return USAGE
    except BrokenPipeError:
        # The reader went away: nothing more can be said on stdout, and Python must not
        # complain about it again when it flushes at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return USAGE
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # a defect of this command: one line, still no traceback
        print(f"{args.command}: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return USAGE
