"""The did-vek commands that issue and verify credentials.

Exit status as for every command: 0 issued or valid; 1 a credential that does not verify, or
a registry that refused; 2 usage, input or connection errors.
"""

import argparse
import json
from collections.abc import Callable
from dataclasses import asdict
from typing import Any

from . import _native
from ._cli_common import OK, InputError, Invalid, decode, read, shown_name, text_argument, write
from ._cli_registry import log_options, registry_client, registry_options, talking_to_registry
from ._errors import InvalidCredential
from ._signing_key import SigningKey
from .credentials import issue_credential, verify_credential


def issue_credential_command(args: argparse.Namespace) -> int:
    where = shown_name(args.file)
    text = decode(read(args.file, "credential"), where, InputError)
    try:
        issuer = _issuer(_native.parse_json(text))
        write(issue_credential(SigningKey.from_key_file(args.key), text,
                                verification_method=f"{issuer}#{args.key_id}", created=args.created))
    except ValueError as error:  # InvalidCredential, or the text is not JSON
        raise InputError(f"{where}: not a credential that can be issued: {error}") from None
    return OK


def _issuer(credential: Any) -> str:
    # The key is named after the issuer; the credential's other members are checked natively.
    issuer = credential.get("issuer") if isinstance(credential, dict) else None
    if isinstance(issuer, dict):
        issuer = issuer.get("id")
    if not isinstance(issuer, str):
        raise InvalidCredential('the credential has no "issuer" DID')
    return issuer


@talking_to_registry
def verify_credential_command(args: argparse.Namespace) -> int:
    where = shown_name(args.file)
    text = decode(read(args.file, "credential"), where, Invalid)
    with registry_client(args) as client:
        try:
            verified = verify_credential(text, resolver=client)
        except InvalidCredential as error:
            raise Invalid(f"{where}: invalid: {error}") from None
    if args.json:
        write(json.dumps({name: value for name, value in asdict(verified).items() if name != "text"}))
        return OK
    version = "" if verified.version_id is None else f", version {verified.version_id}"
    state = "current" if verified.current else "no longer current"
    variant = "" if verified.standard_proof else "; proof without @context"
    write(f"valid: issued by {verified.did} with {verified.verification_method} "
           f"({verified.public_key}{version}, {state}){variant}")
    return OK


def add_commands(commands: Any, command: Callable[..., Any]) -> None:
    """Adds the credential commands to the did-vek parser's `commands`, made with `command`."""
    issue_parser = command(commands, "issue-credential", issue_credential_command,
                           "add an eddsa-jcs-2022 proof to a W3C credential with a key file")
    issue_parser.add_argument("file", metavar="FILE", nargs="?", default="-", help="the credential (default: stdin)")
    issue_parser.add_argument("--key", metavar="FILE", required=True, help="the key file")
    issue_parser.add_argument("--key-id", metavar="ID", required=True, type=text_argument,
                              help="the key's id: the proof names the key as ISSUER#ID")
    issue_parser.add_argument("--created", metavar="T", type=text_argument,
                              help="the proof's time, YYYY-MM-DDTHH:MM:SSZ (default: now)")

    verify_parser = command(commands, "verify-credential", verify_credential_command,
                            "verify a credential's proof against its issuer's key at the proof's time")
    verify_parser.add_argument("file", metavar="FILE", nargs="?", default="-", help="the credential (default: stdin)")
    verify_parser.add_argument("--json", action="store_true", help="print the result as one JSON object")
    registry_options(verify_parser)
    log_options(verify_parser)
