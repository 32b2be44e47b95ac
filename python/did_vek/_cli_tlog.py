"""The did-vek commands of the transparency log that need no registry."""

import argparse
from collections.abc import Callable
from typing import Any

from ._cli_common import OK, InputError, Invalid, add_max_age, decode, read, shown_name, write
from .tlog.errors import FormatError, InvalidProof
from .tlog.policy import Policy, parse_policy
from .tlog.proof import TlogProof


def read_policy(path: str) -> Policy:
    where = f"trust policy {shown_name(path)}"
    try:
        return parse_policy(decode(read(path, "trust policy"), where, InputError))
    except FormatError as error:
        raise InputError(f"{where}: {error}") from None


def verify_proof(args: argparse.Namespace) -> int:
    policy = read_policy(args.trust)
    entry = read(args.entry, "entry")
    where = shown_name(args.proof)
    try:
        proof = TlogProof.parse(decode(read(args.proof, "proof"), where, Invalid))
        opened = proof.verify(entry, policy, max_age=args.max_age)
    except (FormatError, InvalidProof) as error:
        raise Invalid(f"{where}: invalid: {error}") from None
    checkpoint = opened.checkpoint
    write(f"valid: entry {proof.index} of {checkpoint.origin}, in its tree of {checkpoint.size} entries")
    return OK


def add_commands(commands: Any, command: Callable[..., Any]) -> None:
    """Adds the log's offline commands to the did-vek parser's `commands`, made with `command`."""
    parser = command(commands, "verify-proof", verify_proof,
                     "check a proof of logging (c2sp.org/tlog-proof@v1) of an entry, offline, under a trust policy")
    parser.add_argument("proof", metavar="PROOF", help="the proof file (- is stdin)")
    parser.add_argument("--trust", metavar="FILE", required=True,
                        help="the trust policy: the logs to accept and the witnesses' quorum")
    parser.add_argument("--entry", metavar="FILE", required=True, help="the entry, exactly as logged (its final newline too)")
    add_max_age(parser)
