"""did-vek audit: the monitor that checks everything a registry's log serves."""

import argparse
from collections.abc import Callable
from typing import Any

from ._cli_common import OK, threads_argument, write
from ._cli_registry import registry_client, talking_to_registry, log_options, registry_options
from ._cli_tlog import read_policy
from .tlog.audit import audit as run_audit
from .tlog.state import ClientState


@talking_to_registry
def audit(args: argparse.Namespace) -> int:
    policy = None if args.trust is None else read_policy(args.trust)
    # Without --state every audit starts from the first entry and remembers nothing.
    state = None if args.state is None else ClientState(args.state)
    with registry_client(args) as client:
        report = run_audit(client, policy=policy, state=state, max_age=args.max_age, threads=args.threads)
    start = f"entries {report.since} to {report.size - 1}" if report.size > report.since else "no new entries"
    write(f"audited: {report.origin}, tree of {report.size} entries ({start}): {report.versions} versions in "
          f"{report.batches} batches, {report.dids} DIDs in the map, {report.tiles} tiles and bundles read")
    return OK


def add_commands(commands: Any, command: Callable[..., Any]) -> None:
    """Adds `audit` to the did-vek parser's `commands`, made with `command`."""
    parser = command(commands, "audit", audit,
                     "check a registry's whole log: tiles, entries, the DID map, every version and history")
    registry_options(parser)
    log_options(parser)
    parser.add_argument("--threads", type=threads_argument, default=None,
                        help="threads that check the histories' signatures (default: one per processor)")
