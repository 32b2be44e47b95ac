"""The did-vek commands that run a registry or talk to one.

Exit status as for every command: 0 success; 1 refused or invalid (the registry said no, or
what it served does not verify or is not proven by its log); 2 usage, input or connection errors
(no answer, or the registry failed: status 0, 5xx, or an answer no registry gives); 3 signed
evidence that the registry's log lies (a fork, or an audit's discrepancy).
"""

import argparse
import functools
import json
import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any

from . import _native
from ._cli_common import (OK, InputError, Invalid, Misbehaviour, add_max_age, add_serve_limits, decode, engine_of,
                          port_argument, read, seconds_argument, serve_limits, shown_name, text_argument, valid_did,
                          workers_argument, write)
from ._errors import InvalidDocument
from ._history import is_version_id
from ._keyfile import KeyFileError
from ._messages import quoted
from ._signed import assertion_key
from ._cli_tlog import read_policy
from .client import RegistryClient, RegistryError, pretty_json
from .tlog.errors import Discrepancy, ForkDetected, FormatError, InvalidProof
from .tlog.state import StateMoved

if TYPE_CHECKING:  # the registry's modules need its extra, imported only when a command runs
    from .registry.cosigning import WitnessPeer
    from .registry.store import Store

DEFAULT_REGISTRY = "http://127.0.0.1:8080"
TIMEOUT_VARIABLE = "DID_VEK_TIMEOUT"
DEFAULT_TIMEOUT = 10.0
DEFAULT_DB = "did-vek-registry.sqlite3"
_REGISTRY_EXTRA = "the registry needs its extra: pip install 'did-vek[registry]'"
_TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"

Run = Callable[[argparse.Namespace], int]


def talking_to_registry(run: Run) -> Run:
    """Runs a command that talks to a registry, turning the registry's answers into exit statuses."""
    @functools.wraps(run)
    def wrapper(args: argparse.Namespace) -> int:
        try:
            return run(args)
        except RegistryError as error:
            if error.status == 404:
                raise Invalid(f"not found: {error.detail}") from None
            if 400 <= error.status < 500:
                raise Invalid(f"refused by the registry: {error.detail} (HTTP {error.status})") from None
            if error.status == 0:
                raise InputError(error.detail) from None
            # A failure of the registry (5xx), or an answer no registry gives.
            raise InputError(f"the registry failed: {error.detail} (HTTP {error.status})") from None
        except InvalidDocument as error:
            raise Invalid(f"the registry served what does not verify: {error}") from None
        except ForkDetected as error:
            # Each signed checkpoint ends in its own newline; the line printed after the last restores it.
            raise Misbehaviour(f"the registry's log forked: {error}\ncheckpoint verified before:\n{error.old}"
                               f"checkpoint shown now:\n{error.new.removesuffix(chr(10))}") from None
        except Discrepancy as error:
            raise Misbehaviour(f"the registry misbehaves: {error}") from None
        except InvalidProof as error:
            raise Invalid(f"the registry's answer is not proven by its log: {error}") from None
        except StateMoved as error:
            raise InputError(str(error)) from None
        except FormatError as error:  # the client's own state
            raise InputError(f"the client's state: {error}") from None
    return wrapper


def registry_client(args: argparse.Namespace) -> RegistryClient:
    url = args.registry or os.environ.get("DID_VEK_REGISTRY") or DEFAULT_REGISTRY
    trust = getattr(args, "trust", None)
    if trust is not None:
        read_policy(trust)  # a policy that cannot be read is named as the user gave it
    try:
        return RegistryClient(url, timeout=_timeout(), ca=args.ca, trust=trust, state=getattr(args, "state", None),
                              max_age=getattr(args, "max_age", None))
    except ValueError as error:
        raise InputError(str(error)) from None


def _timeout() -> float:
    # How long one request to the registry may take, all of it: a registry that answers slowly
    # on purpose cannot hold a command longer.
    text = os.environ.get(TIMEOUT_VARIABLE)
    if text is None:
        return DEFAULT_TIMEOUT
    try:
        return seconds_argument(text)
    except argparse.ArgumentTypeError as error:
        raise InputError(f"${TIMEOUT_VARIABLE}: {error}") from None


def serve(args: argparse.Namespace) -> int:
    try:
        from .registry.server import CannotListen, StoreDoesNotAnswer, UnusableCertificate, serve as run_registry
        from .registry.store import StoreUnavailable
    except ImportError:
        raise InputError(_REGISTRY_EXTRA) from None
    from .registry.cosigning import WitnessConfigError
    from .registry.limits import ServeLimits
    from .registry.log_key import LogKeyError
    try:
        witnesses = _witnesses(args)
        run_registry(args.db, host=args.host, port=args.port, workers=args.workers,
                     limits=ServeLimits(**serve_limits(args)), tls_cert=args.tls_cert, tls_key=args.tls_key,
                     log_key=args.log_key, origin=args.origin, witnesses=witnesses, quorum=args.quorum,
                     started=lambda vkey: write(f"log key: {vkey}"))
    except ImportError:  # an engine's driver, imported when its store is opened
        raise InputError(_REGISTRY_EXTRA) from None
    except (CannotListen, UnusableCertificate, LogKeyError, KeyFileError, WitnessConfigError) as error:
        raise InputError(str(error)) from None
    except StoreDoesNotAnswer:
        raise InputError(f"the store {args.db} cannot be opened") from None
    except StoreUnavailable as error:
        raise InputError(f"the store {args.db} cannot be opened: {error}") from None
    return OK


@contextmanager
def _store(db: str, failed: str) -> Iterator["Store"]:
    """The store named by `db`, closed afterwards; its failures are exit 2, saying it `failed`."""
    try:
        from .registry import open_store
        from .registry.store import StoreUnavailable
        # An engine's driver (PostgreSQL's) is imported when its store is opened.
        store = open_store(db)
    except ImportError:
        raise InputError(_REGISTRY_EXTRA) from None
    except StoreUnavailable as error:
        raise InputError(f"the store {db} {failed}: {error}") from None
    try:
        yield store
    except StoreUnavailable as error:
        raise InputError(f"the store {db} {failed}: {error}") from None
    finally:
        store.close()


@talking_to_registry
def publish(args: argparse.Namespace) -> int:
    where = shown_name(args.file)
    text = decode(read(args.file, "document"), where, Invalid)
    with registry_client(args) as client:
        try:
            published = client.publish(text)
        except InvalidDocument as error:
            raise Invalid(f"{where}: invalid: {error}") from None
    what = "published" if published.created else "already published"
    write(f"{what}: {published.did} version {published.version_id} at {published.version_time}")
    return OK


@talking_to_registry
def resolve(args: argparse.Namespace) -> int:
    with registry_client(args) as client:
        try:
            resolution = client.resolve(valid_did(args.did), version_id=args.version_id,
                                        version_time=args.version_time)
        except ValueError as error:
            if isinstance(error, (InvalidDocument, InvalidProof)):
                raise
            raise InputError(str(error)) from None
    if args.json:
        from ._resolution import history_result
        write(pretty_json(history_result(resolution.history, resolution.version)))
    else:
        write(pretty_json(resolution.document))
    return OK


@talking_to_registry
def log(args: argparse.Namespace) -> int:
    with registry_client(args) as client:
        versions = client.log(valid_did(args.did))
    write(pretty_json([json.loads(version) for version in versions]))
    return OK


@talking_to_registry
def deactivate(args: argparse.Namespace) -> int:
    from . import sign_document
    did = valid_did(args.did)
    engine = engine_of(args.key)
    with registry_client(args) as client:
        resolution = client.resolve(did)
        if resolution.deactivated:
            raise Invalid(f"{did} is already deactivated")
        last = resolution.history.latest
        method = f"{did}#{args.key_id}"
        if assertion_key(last.document, method) != engine.public_key:
            raise Invalid(f"the key in {args.key} is not {quoted(method)}, a key of version {last.version_id} "
                          "that may sign the next version")
        # Only what the record rules require: no key is left to sign anything after it.
        document = {"@context": last.document["@context"], "id": did, "created": resolution.history.created,
                    "updated": _later_than(last.version_time)}
        signed = sign_document(engine, json.dumps(document), key_id=args.key_id)
        # If-Match: a version published meanwhile by another writer is not silently followed.
        published = client.publish(signed, if_match=last.version_id)
    write(f"deactivated: {did} version {published.version_id} at {published.version_time}")
    return OK


def _later_than(time: str) -> str:
    """Now, or one second after `time` when the clock is not past it (versions need a later time)."""
    now = datetime.now(timezone.utc).replace(microsecond=0)
    after = datetime.strptime(time, _TIME_FORMAT).replace(tzinfo=timezone.utc) + timedelta(seconds=1)
    return max(now, after).strftime(_TIME_FORMAT)


@talking_to_registry
def export(args: argparse.Namespace) -> int:
    output = sys.stdout.buffer
    with registry_client(args) as client:
        for line in client.export():
            output.write(line.encode("utf-8") + b"\n")
    output.flush()
    return OK


def import_(args: argparse.Namespace) -> int:
    try:
        from .registry import ImportRefused, import_lines
    except ImportError:
        raise InputError(_REGISTRY_EXTRA) from None
    where = shown_name(args.file)
    lines = decode(read(args.file, "export"), where, InputError).splitlines()
    from .registry import open_log
    from .registry.cosigning import Cosigner, WitnessConfigError
    from .registry.log_key import LogKeyError
    from .registry.log_view import LogView
    from .registry.sequencer import COSIGN_WAIT_SECONDS
    with _store(args.db, "failed") as store:
        cosigner = None
        try:
            witnesses = _witnesses(args)
            # A registry whose checkpoints its witnesses cosign serves nothing they have not
            # cosigned: the import asks them too, else its versions are served uncosigned.
            cosigner = Cosigner(witnesses, args.quorum, LogView(store)) if witnesses else None
            writer = open_log(store, args.log_key, args.origin, cosigner)
            added, skipped = import_lines(writer, lines)
            built = store.head(built=True)
            cosigned = (cosigner is None or built is None
                        or writer.serve(built.size - 1, time.monotonic() + COSIGN_WAIT_SECONDS) is not None)
        except (LogKeyError, KeyFileError, WitnessConfigError) as error:
            raise InputError(str(error)) from None
        except ImportRefused as error:
            # The versions before the refused line stay imported: an import can be run again.
            raise Invalid(f"{where}: {error}") from None
        finally:
            if cosigner is not None:
                cosigner.close()
    if not cosigned:
        raise InputError(f"imported: {added} added, {skipped} skipped, but the witnesses' quorum has not cosigned"
                         " them: they are served once it has (at the registry's next publish, or import again)")
    write(f"imported: {added} added, {skipped} skipped")
    return OK


def _witnesses(args: argparse.Namespace) -> "list[WitnessPeer]":
    """The witnesses of --witness; `WitnessConfigError` for one that cannot be used."""
    from .registry.cosigning import witness_peer
    if args.quorum is not None and not args.witness:
        raise InputError("--quorum needs witnesses (--witness VKEY URL)")
    return [witness_peer(vkey, url) for vkey, url in args.witness or ()]


def _quorum(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a number of witnesses (1 or more): {text!r}")
    return int(text)


def _version_id(text: str) -> str:
    if not is_version_id(text):
        raise argparse.ArgumentTypeError(f"not a version id (1, 2, ...): {quoted(text)}")
    return text


def _version_time(text: str) -> str:
    try:
        _native.check_timestamp(text, "version_time")
        return text
    except ValueError:  # not of the form, or a day or hour that does not exist
        pass
    raise argparse.ArgumentTypeError(f"not a time of the form YYYY-MM-DDTHH:MM:SSZ: {quoted(text)}")



def registry_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that talks to a registry, as `_client` reads them."""
    parser.add_argument("--registry", metavar="URL", type=text_argument,
                        help=f"the registry's URL (default: $DID_VEK_REGISTRY, else {DEFAULT_REGISTRY})")
    parser.add_argument("--ca", metavar="FILE", type=text_argument,
                        help="trust the https:// registry's certificate only if this PEM CA certificate issued it")


def log_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that checks a registry's answers against its log."""
    parser.add_argument("--trust", metavar="FILE", type=text_argument,
                        help="the trust policy: the logs to accept and the witnesses' quorum (default: the log key"
                             " pinned at first use)")
    parser.add_argument("--state", metavar="DIR", type=text_argument,
                        help="where the checkpoints verified are remembered (default: $DID_VEK_STATE, else"
                             " $XDG_STATE_HOME/did-vek, else ~/.local/state/did-vek)")
    add_max_age(parser)


def add_commands(commands: Any, command: Callable[..., Any]) -> None:
    """Adds the registry's commands to the did-vek parser's `commands`, made with `command`."""
    serve_parser = command(commands, "serve", serve, "run a registry server")
    serve_parser.add_argument("--db", metavar="PATH_OR_URL", default=DEFAULT_DB,
                              help=f"an SQLite file or a postgresql:// URL (default: {DEFAULT_DB})")
    serve_parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default: 127.0.0.1)")
    serve_parser.add_argument("--port", type=port_argument, default=8080, help="the port to listen on (default: 8080)")
    serve_parser.add_argument("--workers", type=workers_argument, default=1, metavar="N",
                              help="the number of server processes (default: 1)")
    add_serve_limits(serve_parser)
    serve_parser.add_argument("--tls-cert", metavar="FILE", type=text_argument,
                              help="serve HTTPS with this PEM certificate (its chain after it)")
    serve_parser.add_argument("--tls-key", metavar="FILE", type=text_argument,
                              help="the PEM private key of --tls-cert")
    log_key_options(serve_parser)

    def talking(name: str, run: Run, what: str) -> Any:
        parser = command(commands, name, run, what)
        registry_options(parser)
        return parser

    publish_parser = talking("publish", publish, "publish a signed document as its DID's next version")
    publish_parser.add_argument("file", metavar="FILE", help="the signed document (- is stdin)")
    log_options(publish_parser)

    resolve_parser = talking("resolve", resolve, "print a DID's document from its verified history")
    log_options(resolve_parser)
    resolve_parser.add_argument("did", metavar="DID", type=text_argument)
    selector = resolve_parser.add_mutually_exclusive_group()
    selector.add_argument("--version-id", metavar="N", type=_version_id, help="the version with this id (1, 2, ...)")
    selector.add_argument("--version-time", metavar="T", type=_version_time,
                          help="the last version at time T (YYYY-MM-DDTHH:MM:SSZ)")
    resolve_parser.add_argument("--json", action="store_true",
                                help="print the resolution result (document and metadata)")

    talking("log", log, "print a DID's signed versions as a JSON array, unchecked").add_argument(
        "did", metavar="DID", type=text_argument)

    deactivate_parser = talking("deactivate", deactivate, "publish a last version that deactivates a DID")
    log_options(deactivate_parser)
    deactivate_parser.add_argument("--key", metavar="FILE", required=True, help="the key file of a signing key")
    deactivate_parser.add_argument("--key-id", metavar="ID", required=True, type=text_argument,
                                   help="that key's id in the DID's last version")
    deactivate_parser.add_argument("did", metavar="DID", type=text_argument)

    talking("export", export, "print every version a registry holds, as JSON lines")

    import_parser = command(commands, "import", import_, "add the versions of an export to a registry's store")
    import_parser.add_argument("--db", metavar="PATH_OR_URL", required=True,
                               help="an SQLite file or a postgresql:// URL")
    import_parser.add_argument("file", metavar="FILE", help="the JSON lines of an export (- is stdin)")
    log_key_options(import_parser)


def log_key_options(parser: argparse.ArgumentParser) -> None:
    """The log's key, origin and witnesses: what `serve` and `import` must be given alike."""
    parser.add_argument("--log-key", metavar="FILE", type=text_argument,
                        help="the key file the log's checkpoints are signed with (default for SQLite:"
                             " <db file>.log-key, made at first start; PostgreSQL needs one)")
    parser.add_argument("--origin", metavar="TEXT", type=text_argument,
                        help="the log's name in its checkpoints (default: did-vek/ and 8 hex digits of its key)")
    parser.add_argument("--witness", nargs=2, metavar=("VKEY", "URL"), action="append", type=text_argument,
                        help="a witness that must cosign each checkpoint before it is served (repeatable)")
    parser.add_argument("--quorum", metavar="K", type=_quorum,
                        help="how many of the witnesses must cosign (default: all)")
