"""Trust policies (C2SP tlog-policy): which logs to accept and which witnesses must cosign.

    log <vkey> [<url>]
    witness <name> <vkey> [<url>]
    group <name> all|any|<k> <name>...
    quorum <name>|none

Items are separated by spaces and tabs; blank lines and lines starting with "#" are ignored.
A group or the quorum names only witnesses and groups defined on earlier lines, so no
definition can be circular; each is listed at most once in a group.
"""

import re
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from ._base64 import decimal
from .checkpoint import SignedCheckpoint, open_checkpoint
from .errors import FormatError, InvalidProof
from .note import COSIGNATURE_V1, ED25519, Verifier, verify_note

NONE = "none"


@dataclass(frozen=True)
class Log:
    verifier: Verifier
    url: str | None = None


@dataclass(frozen=True)
class Witness:
    name: str
    verifier: Verifier
    url: str | None = None


@dataclass(frozen=True)
class Group:
    name: str
    threshold: int
    members: tuple[str, ...]


@dataclass(frozen=True)
class Policy:
    logs: tuple[Log, ...]
    witnesses: dict[str, Witness]
    groups: dict[str, Group]
    quorum: str  # a witness, a group, or "none"

    def satisfied_by(self, cosigners: Iterable[Verifier]) -> bool:
        """Whether witnesses with these (verified) keys make the quorum."""
        keys = {verifier.public_key for verifier in cosigners}
        return self._witnessed(self.quorum, keys)

    def _witnessed(self, name: str, keys: set[bytes]) -> bool:
        if name == NONE:
            return True
        if name in self.witnesses:
            return self.witnesses[name].verifier.public_key in keys
        group = self.groups[name]
        return sum(self._witnessed(member, keys) for member in group.members) >= group.threshold

    def check_checkpoint(self, signed: str, *, now: float | None = None, max_age: float | None = None) -> SignedCheckpoint:
        """The checkpoint in `signed` if a listed log signed it and the quorum cosigned it.

        With `max_age`, only cosignatures made within that many seconds before `now` count.
        """
        opened = open_checkpoint(signed, (log.verifier for log in self.logs))
        witnesses = [witness.verifier for witness in self.witnesses.values()]
        cosigned = verify_note(opened.note, witnesses)
        if max_age is not None:
            oldest = (time.time() if now is None else now) - max_age
            cosigned = [verified for verified in cosigned if verified.timestamp is not None and verified.timestamp >= oldest]
        if not self.satisfied_by(verified.verifier for verified in cosigned):
            recent = "" if max_age is None else f" within {max_age:g} s"
            raise InvalidProof(f"the checkpoint of {opened.checkpoint.origin} lacks the quorum's cosignatures{recent}")
        return opened


def parse_policy(text: str) -> Policy:
    """The policy in `text`; a `FormatError` naming the line of the first thing wrong."""
    parser = _Parser()
    for number, line in enumerate(text.split("\n"), start=1):
        try:
            parser.line(line)
        except FormatError as error:
            raise FormatError(f"line {number}: {error}") from None
    if parser.quorum is None:
        raise FormatError("the policy has no quorum line")
    return Policy(tuple(parser.logs), parser.witnesses, parser.groups, parser.quorum)


class _Parser:
    def __init__(self) -> None:
        self.logs: list[Log] = []
        self.witnesses: dict[str, Witness] = {}
        self.groups: dict[str, Group] = {}
        self.quorum: str | None = None

    def line(self, line: str) -> None:
        if any((c < " " and c != "\t") or c == "\x7f" for c in line):
            raise FormatError("a control character other than tab")
        # Only spaces and tabs separate items: names may hold any other character.
        items = [item for item in re.split("[ \t]+", line) if item]
        if not items or items[0].startswith("#"):
            return
        keyword, arguments = items[0], items[1:]
        if keyword == "log":
            self.log(arguments)
        elif keyword == "witness":
            self.witness(arguments)
        elif keyword == "group":
            self.group(arguments)
        elif keyword == "quorum":
            self.set_quorum(arguments)
        else:
            raise FormatError(f"unknown keyword {keyword!r}")

    def log(self, arguments: Sequence[str]) -> None:
        if len(arguments) not in (1, 2):
            raise FormatError("'log' takes a vkey and an optional URL")
        verifier = _vkey(arguments[0], ED25519, "log")
        if any(log.verifier.public_key == verifier.public_key for log in self.logs):
            raise FormatError(f"log key {verifier.name!r} is listed twice")
        self.logs.append(Log(verifier, arguments[1] if len(arguments) == 2 else None))

    def witness(self, arguments: Sequence[str]) -> None:
        if len(arguments) not in (2, 3):
            raise FormatError("'witness' takes a name, a vkey and an optional URL")
        name = self.new_name(arguments[0])
        verifier = _vkey(arguments[1], COSIGNATURE_V1, "witness")
        if any(witness.verifier.public_key == verifier.public_key for witness in self.witnesses.values()):
            raise FormatError(f"the key of witness {name!r} is listed twice")
        self.witnesses[name] = Witness(name, verifier, arguments[2] if len(arguments) == 3 else None)

    def group(self, arguments: Sequence[str]) -> None:
        if len(arguments) < 3:
            raise FormatError("'group' takes a name, all, any or a number, and at least one member")
        name = self.new_name(arguments[0])
        members = tuple(arguments[2:])
        for position, member in enumerate(members):
            self.defined(member)
            if member in members[:position]:
                raise FormatError(f"group {name!r} lists {member!r} twice")
        threshold = {"all": len(members), "any": 1}.get(arguments[1])
        if threshold is None:
            threshold = decimal(arguments[1], f"the threshold of group {name!r}", maximum=len(members))
            if threshold == 0:
                raise FormatError(f"the threshold of group {name!r} is 0")
        self.groups[name] = Group(name, threshold, members)

    def set_quorum(self, arguments: Sequence[str]) -> None:
        if len(arguments) != 1:
            raise FormatError("'quorum' takes one name")
        if self.quorum is not None:
            raise FormatError("a second quorum line")
        if arguments[0] != NONE:
            self.defined(arguments[0])
        self.quorum = arguments[0]

    def new_name(self, name: str) -> str:
        if name == NONE or name in self.witnesses or name in self.groups:
            raise FormatError(f"name {name!r} is reserved or already defined")
        return name

    def defined(self, name: str) -> None:
        if name not in self.witnesses and name not in self.groups:
            raise FormatError(f"{name!r} is not a witness or group defined above")


def _vkey(text: str, key_type: int, role: str) -> Verifier:
    verifier = Verifier.from_vkey(text)
    if verifier.key_type != key_type:
        raise FormatError(f"a {role} vkey has signature type 0x{key_type:02x}, not 0x{verifier.key_type:02x}")
    return verifier
